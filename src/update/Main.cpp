// The start-up procedure and the update driver.
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "update/DownloadFile.h"
#include "update/Failure.h"
#include "update/Fetch.h"
#include "update/News.h"
#include "update/NumberReading.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/Profile.h"
#include "update/Signature.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {
// A manifest may list this many files at most: a "Max" beyond any real game
// would only exhaust the memory or keep the updater busy for hours.
constexpr std::int32_t MostFiles = 10'000'000;
// The news box shows at most this much; a manifest may be this long.
constexpr std::int64_t NewsBytes = 1 << 20;
constexpr std::int64_t ManifestBytes = 256 << 20;

#ifndef QUELMOR_SERVER_URL
#define QUELMOR_SERVER_URL ""
#endif
QString serverUrlOverride;
bool serverUrlOverridden = false;

// Writes a line on standard error at once. Output errors are ignored.
void WriteError(const QString& line) {
    std::fputs((line.toUtf8() + '\n').constData(), stderr);
    std::fflush(stderr);
}

// Ends the run without updating while the installed game may still be played:
// says why on the window (L2 and, in short, L3) and in full on standard
// error, and enables "Continue".
void PlayWithoutUpdate(const QString& headline, const QString& brief, const QString& reason) {
    OfflineReason = reason;
    WriteError(reason);
    Window.SetL2(headline);
    Window.SetL3(brief);
    Window.SetContinueEnabled(true);
}

// Ends the run with a status line on L2: "Continue" enabled, L3 cleared.
void Finish(const QString& status) {
    Window.SetContinueEnabled(true);
    Window.SetL2(status);
    Window.SetL3(QString());
}

// Stores the server manifest as "temp.ini". Returns "" when it was written,
// else why the folder refuses it; throws UpdateFailure for other failures
// (a full disk, a folder in the way).
QString WriteServerManifest(const QString& path) {
    std::FILE* file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (file == nullptr) {
        const int error = errno;
        const QString reason = QString::fromLocal8Bit(std::strerror(error));
        if (error == EACCES || error == EPERM || error == EROFS)
            return reason;
        Fail(QStringLiteral("Could not write %1: %2.").arg(path, reason));
    }
    const auto size = static_cast<std::size_t>(ServerManifest.size());
    const bool written = std::fwrite(ServerManifest.constData(), 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
        QFile::remove(path);
        Fail(QStringLiteral("Could not write %1: %2.")
                 .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    }
    ForgetIniFile(path);
    return QString();
}

// Makes the checked server manifest the installed one, whole and flushed to
// disk, in one step. Throws UpdateFailure when it cannot be written.
void InstallManifest(const QString& path) {
    // Every file of this update is in place, but perhaps only in the system's
    // cache. One flush makes them all durable before the installed manifest
    // names them. Until the manifest is replaced it still lists the old
    // versions, so a crash or power loss before this point only makes the next
    // start fetch the changed files again.
    // The flush may take seconds for large files; events keep running meanwhile.
    auto flushed = std::make_shared<std::atomic<bool>>(false);
    std::thread([flushed] {
        FlushPlacedFiles();
        *flushed = true;
    }).detach();
    while (!*flushed) {
        DoEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(ServerManifest) != ServerManifest.size() ||
        !file.commit())
        Fail(QStringLiteral("Could not write %1: %2.").arg(path, file.errorString()));
    ForgetIniFile(path);
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
                 .arg(value.left(40)));
    return -1;
}

// Refuses a server manifest that can only do harm: one without a Version
// (an error page from a portal, a half-uploaded file), or one of an older
// release than the installed one (a replayed old update).
void RefuseManifest(const ProfileSections& server, const QString& installedManifest) {
    const QString version = QStringLiteral("VERSION");
    if (ProfileValue(server, version, QStringLiteral("Version")).isEmpty())
        Fail(QStringLiteral("The server's info.ini is not an update: it has no [VERSION] section "
                            "with a Version. Nothing was changed."));
    const std::int64_t offered =
        ReleaseOf(ProfileValue(server, version, QStringLiteral("Release")), false);
    const std::int64_t installed =
        ReleaseOf(ReadIniValue(installedManifest, version, QStringLiteral("Release")), true);
    if (offered >= 0 && offered < installed)
        Fail(QStringLiteral("The server offers release %1, older than the installed %2. Nothing "
                            "was changed.")
                 .arg(offered)
                 .arg(installed));
}

// Checks the server manifest against its signature and the key built in,
// before anything is read from the manifest. Throws UpdateFailure when the
// key is broken or the signature is malformed, by another key or of other bytes.
void CheckSignature(const QByteArray& signature) {
    MinisignPublicKey key;
    const QString broken = ParsePublicKey(PublicKey.toLatin1(), key);
    if (!broken.isEmpty())
        Fail(QStringLiteral("The public key built into this updater is broken: %1.").arg(broken));
    const QString wrong = VerifyMinisign(key, ServerManifest, signature);
    if (!wrong.isEmpty())
        Fail(QStringLiteral("The server's info.ini is refused because its signature does not "
                            "hold: %1. Nothing was changed.")
                 .arg(wrong));
}

// Steps from the news to the end of the update: everything that talks to the
// server or writes into the game folder.
void Run(const QString& installedManifest, const QString& serverManifest) {
    CleanPartFolder();
    if (!OwnName.isEmpty())
        QFile::remove(OldUpdaterPath()); // the updater a new one replaced

    // The news is requested with two slashes before its name; servers answer
    // that path with the news text. An error status leaves the box empty.
    Window.SetL2(QStringLiteral("Getting News..."));
    Inet = std::make_unique<transfer::Transfers>(transfer::Options{TimeoutSeconds, CaFile});
    const transfer::Outcome news = FetchToMemory(ServerUrl + QStringLiteral("/news.txt"),
                                                 QStringLiteral("news.txt"), NewsBytes, true);
    const auto problem = [](const QString& name, const transfer::Outcome& outcome) {
        return QStringLiteral("Could not download %1: %2.")
            .arg(name, QString::fromStdString(outcome.problem));
    };
    const auto offline = [&](const QString& name, const transfer::Outcome& outcome) {
        PlayWithoutUpdate(QStringLiteral("Cannot reach the update server!"),
                          QString::fromStdString(outcome.brief), problem(name, outcome));
    };
    if (news.unreachable)
        return offline(QStringLiteral("news.txt"), news);
    if (news.status == transfer::Status::Done)
        Window.SetNews(DecodeNews(QByteArray::fromStdString(news.body)));
    else if (news.httpStatus == 0)
        Fail(problem(QStringLiteral("news.txt"), news));

    Window.SetL2(QStringLiteral("Getting Information..."));
    const transfer::Outcome manifest = FetchToMemory(
        UrlOf(QStringLiteral("info.ini")), QStringLiteral("info.ini"), ManifestBytes, false);
    if (manifest.unreachable)
        return offline(QStringLiteral("info.ini"), manifest);
    if (manifest.status != transfer::Status::Done)
        Fail(problem(QStringLiteral("info.ini"), manifest));
    ServerManifest = QByteArray::fromStdString(manifest.body);
    if (!PublicKey.isEmpty()) {
        const transfer::Outcome signature =
            FetchToMemory(UrlOf(QStringLiteral("info.ini.minisig")),
                          QStringLiteral("info.ini.minisig"), MaxSignatureFileSize, false);
        if (signature.unreachable)
            return offline(QStringLiteral("info.ini.minisig"), signature);
        if (signature.status != transfer::Status::Done)
            Fail(QStringLiteral("Could not download info.ini.minisig, the signature of the "
                                "update: %1. This updater installs only signed updates.")
                     .arg(QString::fromStdString(signature.problem)));
        CheckSignature(QByteArray::fromStdString(signature.body));
    }
    const ProfileSections server = ParseProfile(ServerManifest);
    RefuseManifest(server, installedManifest);

    const QString refused = WriteServerManifest(serverManifest);
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
    RememberIniFile(serverManifest, server);
    Window.SetL3(QStringLiteral("Downloaded info.ini!"));

    FileCount =
        ReadNumber(ReadIniValue(serverManifest, QStringLiteral("VERSION"), QStringLiteral("Max")),
                   QStringLiteral("\"Max\" in the server's info.ini"));
    if (FileCount > MostFiles)
        Fail(QStringLiteral("The server's info.ini lists %1 files (\"Max\"), more than the "
                            "updater can handle (%2).")
                 .arg(FileCount)
                 .arg(MostFiles));
    LocalFiles.clear();
    ServerFiles.clear();
    if (FileCount > 0) {
        LocalFiles.resize(static_cast<std::size_t>(FileCount) + 1);
        ServerFiles.resize(static_cast<std::size_t>(FileCount) + 1);
    }
    ServerVersion =
        ReadIniValue(serverManifest, QStringLiteral("VERSION"), QStringLiteral("Version"));

    const bool newVersion = InstalledVersion != ServerVersion;
    if (newVersion || RepairMode) {
        InstalledVersion = ServerVersion;
        Window.SetL2(QStringLiteral("Checking File Versions..."));
        OpenPlacedList(ServerManifest);
        if (FileCount > 0)
            LoadFileLists();
        if (FileCount > 0)
            UpdateFiles();
    }
    if (newVersion || UpdateNumber > 0) {
        // The installed manifest is replaced only once every file has landed.
        InstallManifest(installedManifest);
        RemovePartFolder();
        Finish(QStringLiteral("Update Complete!"));
        Window.SetVersionText(QStringLiteral("Version ") + ServerVersion);
    } else {
        RemovePartFolder(); // nothing of an earlier update is worth continuing
        Finish(QStringLiteral("You Have The Latest Version!"));
    }

    if (FileExists(serverManifest))
        QFile::remove(serverManifest);
}

} // namespace

QString ConfiguredServerUrl() {
    return serverUrlOverridden ? serverUrlOverride : QStringLiteral(QUELMOR_SERVER_URL);
}

void SetServerUrlForTests(const QString& url) {
    serverUrlOverride = url;
    serverUrlOverridden = true;
}

void DoEvents(bool waitForEvents) {
    // Events run at most every 15 ms or so: often enough for a smooth window
    // and a prompt "Exit", seldom enough that thousands of small files do not
    // wait for as many repaints.
    static auto last = std::chrono::steady_clock::time_point();
    const auto now = std::chrono::steady_clock::now();
    if (waitForEvents || now - last >= std::chrono::milliseconds(15)) {
        QCoreApplication::processEvents(waitForEvents ? QEventLoop::WaitForMoreEvents
                                                      : QEventLoop::AllEvents);
        last = std::chrono::steady_clock::now();
    }
    if (ExitClicked)
        throw ExitRequested{};
}

void Main() {
    FileCount = 0;
    CurrentFolder.clear();
    ServerUrl = ConfiguredServerUrl();
    OfflineReason.clear();
    ServerManifest.clear();

    const QString installedManifest = AppPath(QStringLiteral("info.ini"));
    const QString serverManifest = AppPath(QStringLiteral("temp.ini"));
    if (FileExists(installedManifest))
        InstalledVersion =
            ReadIniValue(installedManifest, QStringLiteral("VERSION"), QStringLiteral("Version"));

    Window.Show();
    Window.SetVersionText(InstalledVersion.isEmpty()
                              ? QStringLiteral("Version 0.0")
                              : QStringLiteral("Version ") + InstalledVersion);

    if (ServerUrl.isEmpty()) {
        Window.SetContinueEnabled(true);
        Window.SetL2(QStringLiteral("Please Input The Correct Web URL!"));
        return;
    }
    Window.SetContinueEnabled(false);

    try {
        Run(installedManifest, serverManifest);
    } catch (...) {
        // The one way out of a failed or abandoned run: every transfer ends,
        // parts worth continuing stay for the next start, nothing else is left.
        EndTransfers();
        Inet.reset();
        throw;
    }
    Inet.reset();
}

} // namespace modUpdate
