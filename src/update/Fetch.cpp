#include "update/Fetch.h"

#include <QDir>
#include <QFile>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>

#include "update/Failure.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

using namespace modUpdate;

namespace {

// Tries of one transfer in all: the first and three more.
constexpr int Tries = 4;
// The longest pause a busy server may ask for (Retry-After).
constexpr int LongestServerPauseMs = 30'000;
// The percentage advances in whole blocks of this size.
constexpr std::int64_t BlockSize = 1024;

// A file transfer under way and how far it has come.
struct FileTransfer {
    int id = 0;
    std::int64_t received = 0;
    std::int64_t total = -1;
};

// The file transfers under way, by URL: the current file's and those started ahead.
std::map<QString, std::shared_ptr<FileTransfer>> fileTransfers;

// Starts the transfer of url into its part file; progress goes into `progress`.
int StartFile(const QString& url, const Expected& expected,
              const std::shared_ptr<FileTransfer>& progress) {
    transfer::Request request;
    request.url = url.toStdString();
    request.file = ToPath(PartFileOf(url));
    request.record = ToPath(PartRecordOf(url));
    request.size = expected.size;
    request.sha256 = expected.sha256;
    request.cancel = &ExitClicked;
    request.progress = [progress](std::int64_t received, std::int64_t total) {
        progress->received = received;
        progress->total = total;
    };
    return Inet->Start(std::move(request));
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
        Window.SetPercent(text);
        shown = text;
    }
}

// Waits until request id ends, letting window events run; `each` runs after
// every step. Throws ExitRequested when the player clicks "Exit".
transfer::Outcome WaitFor(int id, const std::function<void()>& each) {
    while (Inet->Running(id)) {
        Inet->Wait(50);
        if (each)
            each();
        DoEvents();
    }
    return Inet->Finish(id);
}

// The line that tells the player another try is coming.
QString RetryLine(const transfer::Outcome& outcome, const QString& name, int attempt) {
    const QString tries = QStringLiteral("(try %1 of %2)...").arg(attempt).arg(Tries);
    if (outcome.unreachable)
        return QStringLiteral("No connection; trying %1 again %2").arg(name, tries);
    if (outcome.httpStatus != 0 && outcome.httpStatus != 200 && outcome.httpStatus != 206)
        return QStringLiteral("Server busy (%1); trying %2 again %3")
            .arg(outcome.httpStatus)
            .arg(name, tries);
    return QStringLiteral("Connection lost; resuming %1 %2").arg(name, tries);
}

// Runs request id to its end, trying again (through start) after a broken
// connection, a time-out or a busy server, up to Tries tries in all, after
// pauses of 1, 2 and 4 seconds or what the server asked for (at most 30 s).
// Returns the outcome of the last try.
transfer::Outcome WithRetries(int id, const QString& name, const std::function<int()>& start,
                              const std::function<void()>& each) {
    for (int attempt = 1;; ++attempt) {
        const transfer::Outcome outcome = WaitFor(id, each);
        if (outcome.status != transfer::Status::Failed || !outcome.transient || attempt == Tries)
            return outcome;
        Window.SetL3(RetryLine(outcome, name, attempt + 1));
        int pause = RetryPauseMs << (attempt - 1);
        if (outcome.retryAfter >= 0)
            pause = std::min(outcome.retryAfter * 1000, LongestServerPauseMs);
        PauseFor(pause);
        id = start();
    }
}

} // namespace

int PercentOf(std::int64_t received, std::int64_t expected) {
    const double ratio = static_cast<double>(received) / static_cast<double>(expected);
    return static_cast<int>(std::floor(ratio * 100.0));
}

QString UrlOf(const QString& remoteName) {
    return ServerUrl + QString::fromStdString(transfer::EncodeSegment(remoteName.toStdString()));
}

transfer::Outcome FetchToMemory(const QString& url, const QString& name, std::int64_t maxBytes,
                                bool cutAtMax) {
    const auto start = [&] {
        transfer::Request request;
        request.url = url.toStdString();
        request.maxBytes = maxBytes;
        request.cutAtMax = cutAtMax;
        request.cancel = &ExitClicked;
        return Inet->Start(std::move(request));
    };
    transfer::Outcome outcome = WithRetries(start(), name, start, nullptr);
    if (outcome.status == transfer::Status::Cancelled)
        throw ExitRequested{};
    return outcome;
}

void FetchAhead(const QString& url, const Expected& expected) {
    if (fileTransfers.count(url) != 0)
        return;
    MakePartFolder();
    auto transfer = std::make_shared<FileTransfer>();
    transfer->id = StartFile(url, expected, transfer);
    fileTransfers[url] = transfer;
}

QString FetchFile(const QString& url, const QString& name, const Expected& expected) {
    FetchAhead(url, expected);
    const std::shared_ptr<FileTransfer> transfer = fileTransfers[url];
    QString shown;
    const auto each = [&] { ShowPercent(*transfer, shown); };
    each(); // a file that has already arrived shows its percentage at once
    const auto start = [&] { return transfer->id = StartFile(url, expected, transfer); };
    const transfer::Outcome outcome = WithRetries(transfer->id, name, start, each);
    fileTransfers.erase(url);
    if (outcome.status == transfer::Status::Cancelled)
        throw ExitRequested{};
    if (outcome.status == transfer::Status::Failed) {
        if (outcome.damaged)
            QFile::remove(PartFileOf(url)); // damaged bytes are never continued
        KeepOrDropPart(url);
        if (outcome.damaged)
            Fail(QStringLiteral("%1 arrived damaged: %2.")
                     .arg(name, QString::fromStdString(outcome.problem)));
        Fail(QStringLiteral("Could not download %1: %2.")
                 .arg(name, QString::fromStdString(outcome.problem)));
    }
    each();
    QFile::remove(PartRecordOf(url)); // the part is whole and goes into place
    return PartFileOf(url);
}

void EndTransfers() {
    for (const auto& [url, transfer] : fileTransfers) {
        if (Inet)
            Inet->Cancel(transfer->id);
        KeepOrDropPart(url);
    }
    fileTransfers.clear();
    QDir().rmdir(PartFolder()); // only when nothing in it is worth keeping
}

void PauseFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto now = std::chrono::steady_clock::now(); now < end;
         now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        Inet->Wait(static_cast<int>(std::min<long long>(left, 50)));
        DoEvents();
    }
}
