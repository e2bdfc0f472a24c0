// Quelmor Auto Updater: shows the updater window, brings the game up to date
// and waits for "Continue" or "Exit". QUELMOR_VERSION and QUELMOR_SERVER_URL
// come from the build.
#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstring>
#include <exception>

#include "ui/FailureBox.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/modUpdate.h"

namespace {
// Prints what this build is: the product line, then the update server built in.
// Cannot fail.
void PrintVersion() {
    std::puts("Quelmor Auto Updater " QUELMOR_VERSION);
    if (std::strlen(QUELMOR_SERVER_URL) == 0)
        std::puts("Update server: none built in (the updater asks for the correct web URL)");
    else
        std::puts("Update server: " QUELMOR_SERVER_URL);
    // The signing key's id follows here once builds can carry one.
}
} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        PrintVersion();
        return 0;
    }
    bool repair = false; // --repair: check every file on disk, fetch what is damaged
    for (int i = 1; i < argc; ++i)
        repair = repair || std::strcmp(argv[i], "--repair") == 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelmor Auto Updater"));
    QApplication::setApplicationVersion(QStringLiteral(QUELMOR_VERSION));

    modUpdate::RepairMode = repair;
    modUpdate::OwnName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    ConnectWindow();
    try {
        modUpdate::Main();
    } catch (const ExitRequested&) {
        return 0;
    } catch (const UpdateFailure& failure) {
        ReportFailure(failure.message());
        return 1;
    } catch (const std::exception& error) {
        ReportFailure(
            QStringLiteral("The updater failed: %1.").arg(QString::fromLocal8Bit(error.what())));
        return 1;
    }
    if (modUpdate::ExitClicked)
        return modUpdate::OfflineReason.isEmpty() ? 0 : 1;
    return QApplication::exec();
}
