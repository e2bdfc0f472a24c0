// The start-up procedure and the update driver.
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
#include "update/News.h"
#include "update/NumberReading.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/Profile.h"
#include "update/Signature.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {

// The news box shows at most this much; a manifest may be this long.
constexpr std::int64_t NewsBytes = 1 << 20;
constexpr std::int64_t ManifestBytes = 256 << 20;

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

// A "Release" number of a manifest: -1 when it gives none or, with lenient,
// one that is not a whole number. Throws UpdateFailure for a server manifest
// whose Release is not a whole number.
std::int64_t ReleaseOf(const QString& value, bool lenient) {
    const std::int64_t release = ReadDigits(value);
    if (release >= 0)
        return release;
    if (!value.isEmpty() && !lenient)
        Fail(QStringLiteral("The server's info.ini is broken: its Release (\"%1\") is not a "
                            "whole number.")
                 .arg(value.left(40)),
             ForPlayer::ListBroken());
    return -1;
}

// Refuses a server manifest that can only do harm: one without a Version
// (an error page from a portal, a half-uploaded file), one of an older
// release than the installed one (a replayed old update), or, when updates
// are signed, one without a Release while the installed one has one.
void RefuseManifest(const ProfileSections& server, const ProfileSections& installed,
                    bool signedOnly) {
    const QString version = QStringLiteral("VERSION");
    if (ProfileValue(server, version, QStringLiteral("Version")).isEmpty())
        Fail(QStringLiteral("The server's info.ini is not an update: it has no [VERSION] section "
                            "with a Version. Nothing was changed."),
             ForPlayer::NotAnUpdate());
    const std::int64_t offered =
        ReleaseOf(ProfileValue(server, version, QStringLiteral("Release")), false);
    const std::int64_t current =
        ReleaseOf(ProfileValue(installed, version, QStringLiteral("Release")), true);
    if (offered >= 0 && offered < current)
        Fail(QStringLiteral("The server offers release %1, older than the installed %2. Nothing "
                            "was changed.")
                 .arg(offered)
                 .arg(current),
             ForPlayer::OlderRelease());
    if (offered < 0 && current >= 0 && signedOnly)
        Fail(QStringLiteral("The server's info.ini is refused: it gives no Release, while the "
                            "installed one is release %1. Nothing was changed.")
                 .arg(current),
             ForPlayer::ListBroken());
}

// Checks the server manifest against its signature and the key built in
// (publicKey), before anything is read from the manifest. Throws
// UpdateFailure when the key is broken or the signature is malformed, by
// another key or of other bytes.
void CheckSignature(const QByteArray& manifest, const QByteArray& signature,
                    const QString& publicKey) {
    MinisignPublicKey key;
    if (const Result parsed = ParsePublicKey(publicKey.toLatin1(), key); !parsed)
        Fail(QStringLiteral("The public key built into this updater is broken: %1.")
                 .arg(parsed.why()),
             ForPlayer::BuiltWrongly());
    if (const Result verified = VerifyMinisign(key, manifest, signature); !verified)
        Fail(QStringLiteral("The server's info.ini is refused because its signature does not "
                            "hold: %1. Nothing was changed.")
                 .arg(verified.why()),
             ForPlayer::NotSigned());
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

// What a server offers: its manifest, checked, and the manifest's sections.
struct Offer {
    QByteArray manifest;
    ProfileSections server;
};

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

// Asks the server at ServerUrl for its news (shown when it comes), its
// manifest and, when updates are signed, the manifest's signature, and checks
// the manifest. Returns the offer, or what it did not answer for. Throws
// UpdateFailure when it answers but fails, or its manifest is refused.
Asked AskServer(const ProfileSections& installed, const Settings& settings) {
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
    const QString manifestName = QStringLiteral("info.ini");
    const transfer::Outcome fetched =
        FetchToMemory(UrlOf(manifestName), manifestName, ManifestBytes, false,
                      settings.retryPauseMs, 0, settings.answerSeconds);
    if (fetched.kind == transfer::Kind::Unreachable)
        return {std::nullopt, manifestName, fetched};
    if (fetched.kind != transfer::Kind::Done)
        Fail(ProblemOf(manifestName, fetched), ForPlayerOf(fetched));
    Offer offer{QByteArray::fromStdString(fetched.body), {}};
    if (!settings.publicKey.isEmpty()) {
        const QString name = QStringLiteral("info.ini.minisig");
        const transfer::Outcome signature =
            FetchToMemory(UrlOf(name), name, MaxSignatureFileSize, false, settings.retryPauseMs, 0,
                          settings.answerSeconds);
        if (signature.kind == transfer::Kind::Unreachable)
            return {std::nullopt, name, signature};
        if (signature.kind != transfer::Kind::Done)
            Fail(QStringLiteral("Could not download info.ini.minisig, the signature of the "
                                "update: %1. This updater installs only signed updates.")
                     .arg(QString::fromStdString(signature.problem)),
                 signature.httpStatus == 404 ? ForPlayer::NotSigned() : ForPlayerOf(signature));
        CheckSignature(offer.manifest, QByteArray::fromStdString(signature.body),
                       settings.publicKey);
    }
    offer.server = ParseProfile(offer.manifest);
    RefuseManifest(offer.server, installed, !settings.publicKey.isEmpty());
    return {offer, QString(), {}};
}

// Asks the update server and then each mirror in turn (AskServer) until one
// offers an update this updater accepts, and returns it: every file then
// comes from that server, ServerUrl. Returns nothing when no server answered
// at all (the game is then played as it is); throws the failure of the first
// server that answered when none offers an update.
std::optional<Offer> AskServers(const ProfileSections& installed, const Settings& settings) {
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
            Asked asked = AskServer(installed, settings);
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
void Run(const ProfileSections& installed, bool hasInstalled, HeldLock& lock,
         const QString& unwritable, const Settings& settings) {
    if (!settings.ownName.isEmpty() && unwritable.isEmpty())
        QFile::remove(OldUpdaterPath(settings.ownName)); // the updater a new one replaced

    Inet = std::make_unique<transfer::Transfers>(
        transfer::Options{settings.timeoutSeconds, settings.caFile, settings.limitRate});
    const std::optional<Offer> offer = AskServers(installed, settings);
    if (!offer)
        return; // no server answered: the game is played as it is
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
    UpdatePlan plan = PlanUpdate(manifest, server, installed, hasInstalled, settings);
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
    ProfileSections installed;
    bool hasInstalled = false;
    const auto readInstalled = [&] {
        const QString path = AppPath(QStringLiteral("info.ini"));
        hasInstalled = IsPlainFile(path);
        installed = hasInstalled ? ReadProfile(path) : ProfileSections();
        InstalledVersion =
            ProfileValue(installed, QStringLiteral("VERSION"), QStringLiteral("Version"));
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
