// The start-up procedure and the update driver.
#include <QDateTime>
#include <QFile>
#include <QSet>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "update/Failure.h"
#include "update/Fetch.h"
#include "update/FolderView.h"
#include "update/Journal.h"
#include "update/ManifestObject.h"
#include "update/News.h"
#include "update/NumberReading.h"
#include "update/Offer.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/Profile.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {

// The news box shows at most this much.
constexpr std::int64_t NewsBytes = 1 << 20;

// Writes a line on standard error at once. Output errors are ignored.
void WriteError(const QString& line) {
    std::fputs((line.toUtf8() + '\n').constData(), stderr);
    std::fflush(stderr);
}

// Ends the run without updating while the installed game may still be played:
// says why on the window (L2 and, in short, L3) and in full on standard
// error, and enables "Continue".
void PlayWithoutUpdate(const QString& headline, const QString& brief, const QString& reason) {
    Window.OfflineReason = reason;
    WriteError(reason);
    Window.SetL2(headline);
    Window.SetL3(brief);
    Window.SetContinueEnabled(true);
}

// Ends a failed update, the installed game left as it was: the failure in
// full (standard error and, on a desktop, a box), "Update failed! You can
// still play." with the failure in short, and "Continue" enabled.
void EndFailed(const UpdateFailure& failure) {
    Window.OfflineReason = failure.message();
    Window.SetL2(QStringLiteral("Update failed! You can still play."));
    Window.SetL3(failure.brief());
    Window.ReportFailure(failure.player().text(), failure.message());
    Window.SetContinueEnabled(true);
}

// Ends the run with a status line on L2: "Continue" enabled, L3 cleared.
void Finish(const QString& status) {
    Window.SetContinueEnabled(true);
    Window.SetL2(status);
    Window.SetL3(QString());
}

// Stores the server manifest as "temp.ini" (a link of that name is removed,
// never followed). Fails when the folder refuses it (no right to write);
// throws UpdateFailure for other failures (a full disk, a folder in the way).
Result WriteServerManifest(const QString& path, const QByteArray& manifest) {
    std::FILE* file = DropLink(path) ? transfer::OpenFile(ToPath(path), "wb") : nullptr;
    if (file == nullptr) {
        const int error = errno;
        const QString reason = QString::fromLocal8Bit(std::strerror(error));
        if (error == EACCES || error == EPERM || error == EROFS)
            return Result::Failed(reason);
        Fail(QStringLiteral("Could not write %1: %2.").arg(path, reason), ForPlayer::NotWritable());
    }
    const auto size = static_cast<std::size_t>(manifest.size());
    const bool written = std::fwrite(manifest.constData(), 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
        QFile::remove(path);
        Fail(QStringLiteral("Could not write %1: %2.")
                 .arg(path, QString::fromLocal8Bit(std::strerror(errno))),
             ForPlayer::NotWritable());
    }
    return Result();
}

// The keys of the files the plan fetches.
QSet<QString> KeysOf(const UpdatePlan& plan) {
    QSet<QString> keys;
    for (const FileToFetch& file : plan.files) {
        keys.insert(file.key);
        if (file.patch)
            keys.insert(file.patch->key);
    }
    return keys;
}

// What asking a server came to: its offer, or the file it gave no answer for
// at all and how that request ended.
struct Asked {
    std::optional<Offer> offer;
    QString unanswered;
    transfer::Outcome outcome;
};

// Text for a transfer that failed: "Could not download <name>: <problem>."
QString ProblemOf(const QString& name, const transfer::Outcome& outcome) {
    return QStringLiteral("Could not download %1: %2.")
        .arg(name, QString::fromStdString(outcome.problem));
}

// Asks the server at ServerUrl for its news (shown when it comes), then for
// its key list and release statement and the manifest they name (or, from a
// server without them, its manifest and, when updates are signed, the
// manifest's signature), checking each. Returns the offer, or what it did not
// answer for. Throws UpdateFailure when it answers but fails, or a file is
// refused.
Asked AskServer(const Trusted& trusted, const Installed& installed, const Settings& settings) {
    // The news is requested with two slashes before its name; servers answer
    // that path with the news text. The news is optional: an error status, or
    // a server too slow to send it, leaves the box empty.
    Window.SetL2(QStringLiteral("Getting News..."));
    const QString newsName = QStringLiteral("news.txt");
    const transfer::Outcome news = FetchToMemory(ServerUrl + u'/' + newsName, newsName, NewsBytes,
                                                 true, settings.retryPauseMs, settings.newsSeconds);
    if (news.kind == transfer::Kind::Unreachable)
        return {std::nullopt, newsName, news};
    if (news.kind == transfer::Kind::Done)
        Window.SetNews(DecodeNews(QByteArray::fromStdString(news.body)));
    else if (news.httpStatus == 0 && !news.transient)
        Fail(ProblemOf(newsName, news), ForPlayerOf(news));

    Window.SetL2(QStringLiteral("Getting Information..."));
    Stated stated = AskStatement(trusted, QDateTime::currentSecsSinceEpoch(), settings);
    if (!stated.unanswered.isEmpty())
        return {std::nullopt, stated.unanswered, stated.outcome};
    Asked asked;
    asked.offer =
        FetchOffer(std::move(stated), installed, settings, asked.unanswered, asked.outcome);
    return asked;
}

// Asks the update server and then each mirror in turn (AskServer) until one
// offers an update this updater accepts, and returns it: every file then
// comes from that server, ServerUrl. Returns nothing when no server answered
// at all (the game is then played as it is); throws the failure of the first
// server that answered when none offers an update.
std::optional<Offer> AskServers(const Installed& installed, const Settings& settings) {
    const Trusted trusted = ReadTrusted(settings);
    const QStringList& servers = settings.servers;
    std::optional<UpdateFailure> failed; // of the first server that answered
    std::optional<Asked> away;           // the first server that did not
    for (qsizetype i = 0; i < servers.size(); ++i) {
        ServerUrl = servers[i];
        if (i > 0)
            Window.SetL3(
                QStringLiteral("Trying mirror %1 of %2...").arg(i).arg(servers.size() - 1));
        QString why;
        try {
            Asked asked = AskServer(trusted, installed, settings);
            if (asked.offer)
                return asked.offer;
            why = ProblemOf(asked.unanswered, asked.outcome);
            if (!away)
                away = std::move(asked);
        } catch (const UpdateFailure& failure) {
            why = failure.message();
            if (!failed)
                failed = failure;
        }
        if (i + 1 < servers.size())
            WriteError(QStringLiteral("%1 (%2); trying the mirror %3.")
                           .arg(why, ServerUrl, servers[i + 1]));
    }
    if (failed)
        throw *failed;
    PlayWithoutUpdate(QStringLiteral("Cannot reach the update server!"),
                      QString::fromStdString(away->outcome.brief),
                      ProblemOf(away->unanswered, away->outcome));
    return std::nullopt;
}

// Steps from the news to the end of the update: everything that talks to the
// server or writes into the game folder. With `unwritable` (why this run may
// not write into the game folder), it only tells whether the game is up to date;
// else it holds lock.
void Run(const Installed& installed, bool hasInstalled, HeldLock& lock, const QString& unwritable,
         const Settings& settings) {
    if (!settings.ownName.isEmpty() && unwritable.isEmpty())
        QFile::remove(OldUpdaterPath(settings.ownName)); // the updater a new one replaced

    Inet = std::make_unique<transfer::Transfers>(
        transfer::Options{settings.timeoutSeconds, settings.caFile, settings.limitRate});
    const std::optional<Offer> offer = AskServers(installed, settings);
    if (!offer)
        return; // no server answered: the game is played as it is
    // What the server stated is kept, so no later start accepts an older
    // statement; a folder that cannot keep it is updated all the same.
    if (unwritable.isEmpty()) {
        if (const Result kept = KeepStated(offer->stated); !kept)
            WriteError(QStringLiteral("Could not keep the server's release statement: %1.")
                           .arg(kept.why()));
    }
    if (offer->upToDate) {
        if (unwritable.isEmpty())
            RemovePartFolder(lock); // nothing of an earlier update is worth continuing
        return Finish(QStringLiteral("You Have The Latest Version!"));
    }
    const QByteArray& manifest = offer->manifest;
    const ProfileSections& server = offer->server;

    QString refused = unwritable;
    if (refused.isEmpty()) {
        if (const Result written =
                WriteServerManifest(AppPath(QStringLiteral("temp.ini")), manifest);
            !written)
            refused = written.why();
    }
    if (!refused.isEmpty()) {
        // A game installed where the player may not write: it can still be
        // played, and told whether it is up to date.
        ServerVersion = ProfileValue(server, QStringLiteral("VERSION"), QStringLiteral("Version"));
        if (InstalledVersion != ServerVersion)
            return PlayWithoutUpdate(
                QStringLiteral("Cannot update: the game folder is not writable!"), refused,
                QStringLiteral("Could not update the game in %1: %2.").arg(AppFolder(), refused));
        return Finish(QStringLiteral("You Have The Latest Version!"));
    }
    Window.SetL3(QStringLiteral("Downloaded info.ini!"));

    // Everything the update will do is decided here, before any file of the
    // game is read or written.
    UpdatePlan plan = PlanUpdate(manifest, server, installed.sections, hasInstalled, settings);
    ServerVersion = plan.version;
    const bool newVersion = InstalledVersion != ServerVersion;
    if (newVersion || settings.repair) {
        Window.SetL2(QStringLiteral("Checking File Versions..."));
        PlanTransfers(plan, LookAtGameFolder(plan, settings));
        CleanPartFolder(KeysOf(plan)); // nothing else of an earlier update is worth keeping
        const std::vector<std::int64_t> arrived = UpdateFiles(plan, settings);
        if (newVersion || !plan.files.empty()) {
            // The installed manifest is replaced only once every file has landed.
            InstallFiles(plan, arrived, settings);
            RemovePartFolder(lock);
            Finish(QStringLiteral("Update Complete!"));
            Window.SetVersionText(QStringLiteral("Version ") + ServerVersion);
            return;
        }
    }
    RemovePartFolder(lock); // nothing of an earlier update is worth continuing
    Finish(QStringLiteral("You Have The Latest Version!"));
}

// The end of every run, whatever happened: transfers ended (parts worth
// continuing kept), "temp.ini" removed, the part folder given up.
void EndRun(HeldLock& lock) {
    EndTransfers();
    Inet.reset();
    QFile::remove(AppPath(QStringLiteral("temp.ini")));
    ClosePartFolder(lock);
}

} // namespace

void DoEvents(bool waitForEvents) {
    Window.PumpEvents(waitForEvents);
    if (Window.ExitClicked)
        throw ExitRequested{};
}

MainEnd Main(const Settings& settings) {
    ServerUrl = settings.servers.value(0);
    Window.OfflineReason.clear();
    Window.ExitClicked = false;
    UpdateNumber = 0;

    // The installed manifest is read once (again after an install a crash
    // interrupted is finished); a link in its place counts as none.
    Installed installed;
    bool hasInstalled = false;
    const auto readInstalled = [&] {
        const QString path = AppPath(QStringLiteral("info.ini"));
        hasInstalled = IsPlainFile(path);
        QFile file(path);
        const QByteArray bytes =
            hasInstalled && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        installed = {hasInstalled ? Sha256Of(bytes) : QString(), ParseProfile(bytes)};
        InstalledVersion =
            ProfileValue(installed.sections, QStringLiteral("VERSION"), QStringLiteral("Version"));
        Window.SetVersionText(InstalledVersion.isEmpty()
                                  ? QStringLiteral("Version 0.0")
                                  : QStringLiteral("Version ") + InstalledVersion);
    };
    Window.Show();
    readInstalled();

    if (ServerUrl.isEmpty()) {
        Window.SetContinueEnabled(true);
        Window.SetL2(QStringLiteral("Please Input The Correct Web URL!"));
        return MainEnd::Ran;
    }
    Window.SetContinueEnabled(false);

    // One updater at a time in a game folder. Where the lock cannot be taken
    // (a folder the player may not write, a full disk), nothing is written:
    // the run only tells whether the game is up to date.
    QString unwritable;
    HeldLock lock;
    const Locking locking = OpenPartFolder(lock, unwritable);
    if (locking == Locking::Held)
        return MainEnd::AnotherRuns;
    if (locking == Locking::Taken)
        unwritable.clear();
    try {
        // What a crash left is finished first, without the network.
        if (locking == Locking::Taken && FinishLastInstall())
            readInstalled();
        Run(installed, hasInstalled, lock, unwritable, settings);
    } catch (const UpdateFailure& failure) {
        // The one way out of a failed run: every transfer ends, parts worth
        // continuing stay for the next start, nothing else is left.
        EndRun(lock);
        EndFailed(failure);
        return MainEnd::Ran;
    } catch (...) {
        EndRun(lock);
        throw;
    }
    EndRun(lock);
    return MainEnd::Ran;
}

} // namespace modUpdate
