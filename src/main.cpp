// Quelmor Auto Updater: shows the updater window, brings the game up to date
// and waits for "Continue" or "Exit". QUELMOR_VERSION comes from the build (the
// servers and the key too, in the settings).
#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstring>
#include <exception>

#include "ui/FailureBox.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/Settings.h"
#include "update/Signature.h"
#include "update/modUpdate.h"

using namespace modUpdate;

namespace {
// Prints what this build is: the product line, the update server and the
// mirrors built in, and the id of the key updates must be signed with.
// Cannot fail.
void PrintVersion(const Settings& settings) {
    std::puts("Quelmor Auto Updater " QUELMOR_VERSION);
    if (settings.servers.isEmpty())
        std::puts("Update server: none built in (the updater asks for the correct web URL)");
    else
        std::printf("Update server: %s\n", settings.servers.constFirst().toUtf8().constData());
    for (const QString& mirror : settings.servers.mid(1))
        std::printf("Mirror: %s\n", mirror.toUtf8().constData());
    MinisignPublicKey key;
    if (settings.publicKey.isEmpty())
        std::puts("Signing key: none (updates are not checked against a signature)");
    else if (ParsePublicKey(settings.publicKey.toLatin1(), key))
        std::printf("Signing key: %s\n", KeyIdText(key.keyId).toLatin1().constData());
    else
        std::puts("Signing key: broken (every update will be refused)");
    for (const QString& line : settings.rootKeys) {
        if (ParsePublicKey(line.toLatin1(), key))
            std::printf("Root key: %s\n", KeyIdText(key.keyId).toLatin1().constData());
        else
            std::puts("Root key: broken (every update will be refused)");
    }
}
} // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QString warning;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        PrintVersion(SettingsOf(QString(), arguments, QString(), warning));
        return 0;
    }
    QApplication app(argc, argv);
    // One look everywhere: the news box's scroll bar takes the window's colours
    // on Windows as on Linux.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setApplicationName(QStringLiteral("Quelmor Auto Updater"));
    QApplication::setApplicationVersion(QStringLiteral(QUELMOR_VERSION));

    const Settings settings = SettingsOf(
        QFileInfo(QCoreApplication::applicationFilePath()).fileName(),
        QCoreApplication::arguments(), qEnvironmentVariable("QUELMOR_LIMIT_RATE"), warning);
    if (!warning.isEmpty())
        std::fprintf(stderr, "%s\n", warning.toLocal8Bit().constData());
    ui::ConnectWindow();
    try {
        if (modUpdate::Main(settings) == modUpdate::MainEnd::AnotherRuns) {
            ui::ReportFailure(QStringLiteral("The updater is already running."));
            return 1;
        }
    } catch (const ExitRequested&) {
        return 0;
    } catch (const UpdateFailure& failure) {
        ui::ReportFailure(failure.player().text(), failure.message());
        return 1;
    } catch (const std::exception& error) {
        ui::ReportFailure(
            QStringLiteral("The updater failed. Try again; if it happens again, tell the studio."),
            QStringLiteral("The updater failed: %1.").arg(QString::fromLocal8Bit(error.what())));
        return 1;
    }
    if (modUpdate::Window.ExitClicked)
        return modUpdate::Window.OfflineReason.isEmpty() ? 0 : 1;
    return QApplication::exec();
}
