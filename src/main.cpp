// Quelmor Auto Updater: shows the updater window, brings the game up to date
// and waits for "Continue" or "Exit".
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <exception>

#include "ui/FailureBox.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/modUpdate.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("Quelmor Auto Updater 1.00");
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelmor Auto Updater"));
    QApplication::setApplicationVersion(QStringLiteral("1.00"));

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
