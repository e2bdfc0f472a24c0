// The start-up procedure and the update driver.
#include <QFile>

#include "transfer/DownloadFile.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/News.h"
#include "update/NumberReading.h"
#include "update/Paths.h"
#include "update/Profile.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {
// A manifest may list this many files at most: a "Max" beyond any real game
// would only exhaust the memory or keep the updater busy for hours.
constexpr std::int32_t MostFiles = 10'000'000;

#ifndef QUELMOR_SERVER_URL
#define QUELMOR_SERVER_URL ""
#endif
QString serverUrlOverride;
bool serverUrlOverridden = false;
} // namespace

QString ConfiguredServerUrl() {
    return serverUrlOverridden ? serverUrlOverride : QStringLiteral(QUELMOR_SERVER_URL);
}

void SetServerUrlForTests(const QString& url) {
    serverUrlOverride = url;
    serverUrlOverridden = true;
}

void Main() {
    FileCount = 0;
    CurrentFolder.clear();
    ServerUrl = ConfiguredServerUrl();

    const QString installedManifest = AppPath(QStringLiteral("info.ini"));
    const QString serverManifest = AppPath(QStringLiteral("temp.ini"));
    if (FileExists(installedManifest))
        InstalledVersion =
            ReadIniValue(installedManifest, QStringLiteral("VERSION"), QStringLiteral("Version"));

    frmUpdate& window = frmUpdate::Instance();
    window.show();
    window.SetVersionText(InstalledVersion.isEmpty()
                              ? QStringLiteral("Version 0.0")
                              : QStringLiteral("Version ") + InstalledVersion);

    if (ServerUrl.isEmpty()) {
        window.SetContinueEnabled(true);
        window.SetL2(QStringLiteral("Please Input The Correct Web URL!"));
        return;
    }
    window.SetContinueEnabled(false);

    // The news is requested with two slashes before its name; servers answer
    // that path with the news text.
    window.SetL2(QStringLiteral("Getting News..."));
    window.SetNews(DecodeNews(
        window.Inet.OpenURL(ServerUrl + QStringLiteral("/news.txt"), QStringLiteral("news.txt"))));

    window.SetL2(QStringLiteral("Getting Information..."));
    DownloadFile(QStringLiteral("info.ini"), QStringLiteral("temp.ini"));

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

    if (InstalledVersion != ServerVersion) {
        InstalledVersion = ServerVersion;
        window.SetL2(QStringLiteral("Checking File Versions..."));
        if (FileCount > 0)
            LoadFileLists();
        if (FileCount > 0)
            UpdateFiles();
        // The installed manifest is replaced only once every file has landed.
        DownloadFile(QStringLiteral("info.ini"), QStringLiteral("info.ini"));
        window.SetContinueEnabled(true);
        window.SetL2(QStringLiteral("Update Complete!"));
        window.SetL3(QString());
        window.SetVersionText(QStringLiteral("Version ") + ServerVersion);
    } else {
        window.SetL2(QStringLiteral("You Have The Latest Version!"));
        window.SetL3(QString());
        window.SetContinueEnabled(true);
    }

    if (FileExists(serverManifest))
        QFile::remove(serverManifest);
}

} // namespace modUpdate
