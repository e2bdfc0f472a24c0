#include "transfer/HashThread.h"

#include <stdexcept>

namespace {
// At most this much waits to be hashed; a faster arrival waits for the hash.
constexpr std::size_t MostQueued = 32 << 20;
} // namespace

HashThread::HashThread() : thread_([this] { Run(); }) {}

HashThread::~HashThread() {
    {
        const std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void HashThread::Add(const char* data, std::size_t size) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queued_ < MostQueued; });
    // A piece's memory is taken from one already hashed: no allocation, and no
    // fresh pages to fault in, for each piece of a large file.
    std::string piece;
    if (!spare_.empty()) {
        piece = std::move(spare_.back());
        spare_.pop_back();
    }
    piece.assign(data, size);
    queue_.push_back(std::move(piece));
    queued_ += size;
    lock.unlock();
    changed_.notify_all();
}

std::string HashThread::HexDigest() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.empty() || !error_.empty(); });
    if (!error_.empty())
        throw std::runtime_error(error_);
    return hash_.HexDigest();
}

// Hashes what is queued, in order, until the object is destroyed.
void HashThread::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return !queue_.empty() || ended_; });
        if (queue_.empty())
            return;
        const std::string& piece = queue_.front();
        lock.unlock();
        try {
            hash_.Add(piece.data(), piece.size());
        } catch (const std::exception& failure) {
            lock.lock();
            error_ = failure.what();
            lock.unlock();
        }
        lock.lock();
        queued_ -= piece.size();
        spare_.push_back(std::move(queue_.front()));
        queue_.pop_front();
        changed_.notify_all();
    }
}
