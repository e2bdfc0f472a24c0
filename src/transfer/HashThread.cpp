#include "transfer/HashThread.h"

#include <stdexcept>

namespace {
// At most this much waits to be hashed; a faster arrival waits for the hash.
constexpr std::size_t MostQueued = 32 << 20;
// Bytes handed to the thread at once: a wake-up per piece of a few KiB, as the
// network delivers them, would cost more than hashing them.
constexpr std::size_t Batch = 1 << 20;
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
    filling_.append(data, size);
    if (filling_.size() >= Batch)
        Queue();
}

void HashThread::Queue() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queued_ < MostQueued; });
    queued_ += filling_.size();
    queue_.push_back(std::move(filling_));
    // The next batch is filled in the memory of one already hashed: no
    // allocation, and no fresh pages to fault in, for each batch of a large file.
    filling_.clear();
    if (!spare_.empty()) {
        filling_ = std::move(spare_.back());
        spare_.pop_back();
        filling_.clear();
    }
    lock.unlock();
    changed_.notify_all();
}

std::string HashThread::HexDigest() {
    if (!filling_.empty())
        Queue();
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
