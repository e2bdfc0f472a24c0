#include "ui/Actions.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include "ui/FailureBox.h"
#include "ui/frmUpdate.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

using namespace modUpdate;

namespace ui {

namespace {

const QString kGame = QStringLiteral("Quelmor.dxe");

// Gives the game the execute bits its read bits allow, as "chmod +x" would,
// when it cannot be run yet. Fails saying why.
Result MakeRunnable(const QString& path) {
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return Result();
#else
    if (QFileInfo(path).isExecutable())
        return Result();
    QFile game(path);
    const QFile::Permissions old = game.permissions();
    QFile::Permissions wanted = old & (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                       QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                       QFile::ReadOther | QFile::WriteOther | QFile::ExeOther);
    if (old & QFile::ReadOwner)
        wanted |= QFile::ExeOwner;
    if (old & QFile::ReadGroup)
        wanted |= QFile::ExeGroup;
    if (old & QFile::ReadOther)
        wanted |= QFile::ExeOther;
    if (!game.setPermissions(wanted))
        return Result::Failed(
            QStringLiteral("its permissions could not be changed (%1)").arg(game.errorString()));
    return Result();
#endif
}

// Starts the game on its own, in the application folder, with the switch that
// tells it the updater ran. Fails saying why.
Result StartGame(const QString& path) {
    QProcess game;
    game.setProgram(path);
    game.setArguments({QStringLiteral("--startedbypatcher")});
    game.setWorkingDirectory(AppFolder());
    if (game.startDetached())
        return Result();
    const QString reason = game.errorString();
    return Result::Failed(reason.isEmpty() ? QStringLiteral("the system refused to start it")
                                           : reason);
}

} // namespace

// Marks the "Exit" click for the event pump and ends the event loop: with
// status 0, or 1 when the run could not update. Cannot fail.
void Label1_Click() {
    modUpdate::Window.ExitClicked = true;
    QCoreApplication::exit(modUpdate::Window.OfflineReason.isEmpty() ? 0 : 1);
}

// Starts the game and ends the updater with status 0. Without the game it
// shows "Error starting the game!" and stays; when the game cannot be started
// it reports why and ends with status 1.
void lblConnect_Click() {
    // Handled once: a second click while the game starts, or a click after
    // "Exit", does nothing.
    bool& starting = frmUpdate::Instance().gameStarting;
    if (starting || modUpdate::Window.ExitClicked)
        return;
    const QString path = AppPath(kGame);
    if (!FileExists(path)) {
        frmUpdate::Instance().SetL2(QStringLiteral("Error starting the game!"));
        return;
    }
    starting = true;
    struct Done {
        bool& starting;
        ~Done() { starting = false; } // the event loop ends before another click
    } done{starting};
    QCoreApplication::processEvents();
    if (modUpdate::Window.ExitClicked)
        return; // "Exit" came first
    Result started = MakeRunnable(path);
    if (started)
        started = StartGame(path);
    if (!started) {
        ReportFailure(QStringLiteral("The game could not be started. Repair or reinstall the "
                                     "game; if it happens again, tell the studio."),
                      QStringLiteral("Could not start the game %1: %2.").arg(kGame, started.why()));
        QCoreApplication::exit(1);
        return;
    }
    QCoreApplication::processEvents();
    QCoreApplication::exit(0);
}

} // namespace ui
