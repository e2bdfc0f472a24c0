// Quelmor Auto Updater: shows the updater window, brings the game up to date
// and waits for "Continue" or "Exit". QUELMOR_VERSION, QUELMOR_SERVER_URL and
// QUELMOR_PUBLIC_KEY come from the build (the mirrors too, inside the update).
#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstring>
#include <exception>

#include "ui/FailureBox.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/LimitRate.h"
#include "update/Signature.h"
#include "update/modUpdate.h"

namespace {
// Prints what this build is: the product line, the update server and the
// mirrors built in, and the id of the key updates must be signed with.
// Cannot fail.
void PrintVersion() {
    std::puts("Quelmor Auto Updater " QUELMOR_VERSION);
    if (std::strlen(QUELMOR_SERVER_URL) == 0)
        std::puts("Update server: none built in (the updater asks for the correct web URL)");
    else
        std::puts("Update server: " QUELMOR_SERVER_URL);
    for (const QString& mirror : modUpdate::ConfiguredServerUrls().mid(1))
        std::printf("Mirror: %s\n", mirror.toUtf8().constData());
    MinisignPublicKey key;
    if (std::strlen(QUELMOR_PUBLIC_KEY) == 0)
        std::puts("Signing key: none (updates are not checked against a signature)");
    else if (ParsePublicKey(QUELMOR_PUBLIC_KEY, key).isEmpty())
        std::printf("Signing key: %s\n", KeyIdText(key.keyId).toLatin1().constData());
    else
        std::puts("Signing key: broken (every update will be refused)");
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
    // One look everywhere: the news box's scroll bar takes the window's colours
    // on Windows as on Linux.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setApplicationName(QStringLiteral("Quelmor Auto Updater"));
    QApplication::setApplicationVersion(QStringLiteral(QUELMOR_VERSION));

    // A cap that is not understood is said on standard error, and the update
    // runs at full speed: a mistyped shortcut must not keep anyone from playing.
    QString warning;
    modUpdate::LimitRate = LimitRateOf(QCoreApplication::arguments(),
                                       qEnvironmentVariable("QUELMOR_LIMIT_RATE"), warning);
    if (!warning.isEmpty())
        std::fprintf(stderr, "%s\n", warning.toLocal8Bit().constData());
    modUpdate::RepairMode = repair;
    modUpdate::PublicKey = QStringLiteral(QUELMOR_PUBLIC_KEY);
    modUpdate::OwnName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    ConnectWindow();
    try {
        modUpdate::Main();
    } catch (const ExitRequested&) {
        return 0;
    } catch (const AlreadyRunning&) {
        ReportFailure(QStringLiteral("The updater is already running."));
        return 1;
    } catch (const UpdateFailure& failure) {
        ReportFailure(failure.player().text(), failure.message());
        return 1;
    } catch (const std::exception& error) {
        ReportFailure(
            QStringLiteral("The updater failed. Try again; if it happens again, tell the studio."),
            QStringLiteral("The updater failed: %1.").arg(QString::fromLocal8Bit(error.what())));
        return 1;
    }
    if (modUpdate::ExitClicked)
        return modUpdate::OfflineReason.isEmpty() ? 0 : 1;
    return QApplication::exec();
}
