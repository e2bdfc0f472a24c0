#include "update/Fetch.h"

#include <QFile>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "update/Failure.h"
#include "update/PartFolder.h"
#include "update/Patch.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

namespace modUpdate {
namespace {

using Clock = std::chrono::steady_clock;

// Tries of one transfer in all: the first and three more.
constexpr int Tries = 4;
// The longest pause a busy server may ask for (Retry-After).
constexpr int LongestServerPauseMs = 30'000;
// The percentage advances in whole blocks of this size.
constexpr std::int64_t BlockSize = 1024;

// A file transfer of this run and how far it has come.
struct FileTransfer {
    int id = 0;
    std::int64_t received = 0;
    std::int64_t total = -1;
    bool done = false; // the part file is whole and checked
};

// The file transfers of this run, by key: under way, started ahead, or done.
std::map<QString, std::shared_ptr<FileTransfer>> fileTransfers;
// The files whose patch failed in this run: they are fetched whole.
std::set<QString> patchFailed;

// Starts the transfer of file into its part file; progress goes into `progress`.
int StartFile(const FileToFetch& file, const std::shared_ptr<FileTransfer>& progress) {
    transfer::Request request;
    request.url = file.url.toStdString();
    request.file = ToPath(PartFileOf(file.key));
    request.record = ToPath(PartRecordOf(file.key));
    request.size = file.size;
    request.sha256 = file.sha256.toStdString();
    request.cancel = &modUpdate::Window.ExitClicked;
    request.progress = [progress](std::int64_t received, std::int64_t total) {
        progress->received = received;
        progress->total = total;
    };
    return modUpdate::Inet->Start(std::move(request));
}

// Shows how far the transfer has come, in whole blocks of 1 KiB, as the
// received part of the whole size; nothing while the size is unknown.
void ShowPercent(const FileTransfer& transfer, QString& shown) {
    const std::int64_t total = transfer.total;
    if (total <= 0)
        return;
    const std::int64_t counted =
        transfer.received >= total ? total : transfer.received / BlockSize * BlockSize;
    if (counted == 0)
        return;
    const QString text = QString::number(PercentOf(counted, total)) + u'%';
    if (text != shown) {
        modUpdate::Window.SetPercent(text);
        shown = text;
    }
}

// Waits until request id ends, letting window events run; `each` runs after
// every step. Throws ExitRequested when the player clicks "Exit".
transfer::Outcome WaitFor(int id, const std::function<void()>& each) {
    while (modUpdate::Inet->Running(id)) {
        modUpdate::Inet->Wait(50);
        if (each)
            each();
        modUpdate::DoEvents();
    }
    return modUpdate::Inet->Finish(id);
}

// The line that tells the player another try is coming.
QString RetryLine(const transfer::Outcome& outcome, const QString& name, int attempt) {
    const QString tries = QStringLiteral("(try %1 of %2)...").arg(attempt).arg(Tries);
    if (outcome.kind == transfer::Kind::Unreachable)
        return QStringLiteral("No connection; trying %1 again %2").arg(name, tries);
    if (outcome.httpStatus != 0 && outcome.httpStatus != 200 && outcome.httpStatus != 206)
        return QStringLiteral("Server busy (%1); trying %2 again %3")
            .arg(outcome.httpStatus)
            .arg(name, tries);
    return QStringLiteral("Connection lost; resuming %1 %2").arg(name, tries);
}

// Runs request id to its end, trying again (through start) after a broken
// connection, a time-out or a busy server, up to Tries tries in all, after
// pauses of firstPauseMs, twice and four times that (1, 2 and 4 seconds for a
// player) or what the server asked for (at most 30 s), each drawn up to twice
// as long (SpreadPause),
// as long as the next try would begin before deadline (and, after a try that
// got no answer, before answerDeadline). Returns the outcome of the last try.
transfer::Outcome WithRetries(int id, const QString& name, const std::function<int()>& start,
                              const std::function<void()>& each, int firstPauseMs,
                              Clock::time_point deadline = Clock::time_point::max(),
                              Clock::time_point answerDeadline = Clock::time_point::max()) {
    for (int attempt = 1;; ++attempt) {
        const transfer::Outcome outcome = WaitFor(id, each);
        if (!outcome.Failed() || !outcome.transient || attempt == Tries)
            return outcome;
        int pause = firstPauseMs << (attempt - 1);
        if (outcome.retryAfter >= 0)
            pause = std::min(outcome.retryAfter * 1000, LongestServerPauseMs);
        pause = SpreadPause(pause);
        const Clock::time_point resumed = Clock::now() + std::chrono::milliseconds(pause);
        if (resumed >= deadline ||
            (outcome.kind == transfer::Kind::Unreachable && resumed >= answerDeadline))
            return outcome;
        modUpdate::Window.SetL3(RetryLine(outcome, name, attempt + 1));
        PauseFor(pause);
        id = start();
    }
}

// Starts the transfer of file into its part file unless it is under way or
// here already.
void StartAhead(const FileToFetch& file) {
    if (fileTransfers.count(file.key) != 0)
        return;
    MakePartFolder();
    auto transfer = std::make_shared<FileTransfer>();
    transfer->id = StartFile(file, transfer);
    fileTransfers[file.key] = transfer;
}

// Brings the part file of file to its end: takes the transfer under way (or
// starts it), tries again as WithRetries does, and shows the percentage.
// Returns the bytes the part file holds; on failure -1, with the outcome in
// failed and the part kept only when it is worth continuing. Throws
// ExitRequested when the player clicks "Exit".
std::int64_t Bring(const FileToFetch& file, transfer::Outcome& failed, int firstPauseMs) {
    StartAhead(file);
    const std::shared_ptr<FileTransfer> transfer = fileTransfers[file.key];
    QString shown;
    const auto each = [&] { ShowPercent(*transfer, shown); };
    each(); // a file that has already arrived shows its percentage at once
    if (transfer->done)
        return transfer->received;
    const auto start = [&] { return transfer->id = StartFile(file, transfer); };
    const transfer::Outcome outcome =
        WithRetries(transfer->id, file.name, start, each, firstPauseMs);
    if (outcome.kind == transfer::Kind::Cancelled)
        throw ExitRequested{};
    if (outcome.Failed()) {
        fileTransfers.erase(file.key);
        if (outcome.kind == transfer::Kind::Damaged || !outcome.transient) {
            // Damaged bytes are never continued, and no try mends the rest.
            QFile::remove(PartFileOf(file.key));
            QFile::remove(PartRecordOf(file.key));
        }
        KeepOrDropPart(file.key);
        failed = outcome;
        return -1;
    }
    transfer->received = outcome.received;
    transfer->total = outcome.received;
    transfer->done = true;
    each();
    return outcome.received;
}

// Applies the patch of file, which has arrived, to the installed file into
// the file's part file on a thread, while window events run. Throws
// ExitRequested once the patch is applied or given up, when the player
// clicked "Exit" meanwhile.
Result ApplyWhileEventsRun(const FileToFetch& file) {
    std::atomic<bool> done{false};
    Result applied;
    std::thread worker([&] {
        try {
            applied = ApplyPatch(file.base, file.baseId, PartFileOf(file.patch->key),
                                 PartFileOf(file.key), file.size, file.sha256);
        } catch (const std::exception& error) {
            applied = Result::Failed(QString::fromLocal8Bit(error.what()));
        }
        done = true;
    });
    try {
        while (!done) {
            modUpdate::DoEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    } catch (...) {
        worker.join();
        throw;
    }
    worker.join();
    return applied;
}

// Makes the part file of file from its patch and the installed file. Throws
// ExitRequested.
Result BringByPatch(const FileToFetch& file, int firstPauseMs) {
    transfer::Outcome outcome;
    if (Bring(*file.patch, outcome, firstPauseMs) < 0)
        return Result::Failed(QStringLiteral("the patch could not be downloaded: ") +
                              QString::fromStdString(outcome.problem));
    QFile::remove(PartRecordOf(file.key)); // the part is made here, not continued
    const Result applied = ApplyWhileEventsRun(file);
    // The patch has served, whatever came of it.
    fileTransfers.erase(file.patch->key);
    QFile::remove(PartFileOf(file.patch->key));
    QFile::remove(PartRecordOf(file.patch->key));
    if (applied) {
        auto made = std::make_shared<FileTransfer>();
        made->received = made->total = file.size;
        made->done = true;
        fileTransfers[file.key] = made;
    }
    return applied;
}

} // namespace

ForPlayer ForPlayerOf(const transfer::Outcome& outcome) {
    switch (outcome.kind) {
    case transfer::Kind::Damaged:
        return ForPlayer::DamagedFile();
    case transfer::Kind::Untrusted:
        return ForPlayer::Untrusted();
    case transfer::Kind::Unwritable:
        return ForPlayer::NotWritable();
    case transfer::Kind::ProxyLogin:
        return ForPlayer::ProxyLogin();
    case transfer::Kind::Busy:
        return ForPlayer::ServerBusy();
    case transfer::Kind::Unreachable:
    case transfer::Kind::ConnectionLost:
        return ForPlayer::ConnectionLost();
    case transfer::Kind::Refused:
        return ForPlayer::ServerBroken();
    case transfer::Kind::Running:
    case transfer::Kind::Done:
    case transfer::Kind::Cancelled:
        break;
    }
    return ForPlayer::Unknown();
}

int PercentOf(std::int64_t received, std::int64_t expected) {
    const double ratio = static_cast<double>(received) / static_cast<double>(expected);
    return static_cast<int>(std::floor(ratio * 100.0));
}

QString UrlOf(const QString& remoteName) {
    return modUpdate::ServerUrl +
           QString::fromStdString(transfer::EncodeSegment(remoteName.toStdString()));
}

QString ObjectUrlOf(const QString& sha256) {
    return modUpdate::ServerUrl + QStringLiteral("by-hash/") + sha256;
}

int SpreadPause(int ms) {
    static thread_local std::mt19937 draw{std::random_device{}()};
    return ms + std::uniform_int_distribution<int>(0, ms)(draw);
}

transfer::Outcome FetchToMemory(const QString& url, const QString& name, std::int64_t maxBytes,
                                bool cutAtMax, int firstPauseMs, int seconds, int answerSeconds) {
    const auto after = [](int limit) {
        return limit > 0 ? Clock::now() + std::chrono::seconds(limit) : Clock::time_point::max();
    };
    const Clock::time_point deadline = after(seconds), answerDeadline = after(answerSeconds);
    const auto start = [&] {
        transfer::Request request;
        request.url = url.toStdString();
        request.maxBytes = maxBytes;
        request.cutAtMax = cutAtMax;
        request.cancel = &modUpdate::Window.ExitClicked;
        if (seconds > 0) {
            // Half the time to connect, and what is left of it for the whole try.
            request.connectSeconds = std::max(1, seconds / 2);
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            request.timeLimitMs = std::max<long>(1, static_cast<long>(left.count()));
        }
        if (answerSeconds > 0) {
            // A third of the time for each try to be answered, or what is left of it.
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(answerDeadline -
                                                                                    Clock::now());
            request.answerMs =
                std::clamp<long>(static_cast<long>(left.count()), 1, answerSeconds * 1000L / 3);
        }
        return modUpdate::Inet->Start(std::move(request));
    };
    transfer::Outcome outcome =
        WithRetries(start(), name, start, nullptr, firstPauseMs, deadline, answerDeadline);
    if (outcome.kind == transfer::Kind::Cancelled)
        throw ExitRequested{};
    return outcome;
}

void FetchAhead(const FileToFetch& file) {
    StartAhead(file.patch && patchFailed.count(file.key) == 0 ? *file.patch : file);
}

std::int64_t FetchFile(const FileToFetch& file, const Settings& settings) {
    if (file.patch && fileTransfers.count(file.key) == 0 && patchFailed.count(file.key) == 0) {
        const Result patched = BringByPatch(file, settings.retryPauseMs);
        if (patched)
            return file.size;
        patchFailed.insert(file.key);
        modUpdate::Window.Say(
            QStringLiteral("The patch for %1 could not be used (%2); downloading the whole "
                           "file.")
                .arg(file.name, patched.why()));
    }
    transfer::Outcome outcome;
    const std::int64_t bytes = Bring(file, outcome, settings.retryPauseMs);
    if (bytes >= 0)
        return bytes;
    if (outcome.kind == transfer::Kind::Damaged)
        Fail(QStringLiteral("%1 arrived damaged: %2.")
                 .arg(file.name, QString::fromStdString(outcome.problem)),
             ForPlayerOf(outcome));
    Fail(QStringLiteral("Could not download %1: %2.")
             .arg(file.name, QString::fromStdString(outcome.problem)),
         ForPlayerOf(outcome));
}

void EndTransfers() {
    for (const auto& [key, transfer] : fileTransfers) {
        if (modUpdate::Inet && !transfer->done)
            modUpdate::Inet->Cancel(transfer->id);
        KeepOrDropPart(key);
    }
    fileTransfers.clear();
    patchFailed.clear();
}

void PauseFor(int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        modUpdate::Inet->Wait(static_cast<int>(std::min<long long>(left, 50)));
        modUpdate::DoEvents();
    }
}

} // namespace modUpdate
