// The update run as the updater's own process, for tests that kill it: runs
// the update of the game folder argv[1] (its updater named "Quelmor") against
// the server argv[2], the real window offscreen, every status line on standard
// output, and dies on the spot, as a kill would, when it reaches install step
// number argv[3] (1 for the first; none or 0: never). Prints "step <name>" for
// every install step it passes. Exit status as the updater's.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

#include "ui/FailureBox.h"
#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/Journal.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

using namespace modUpdate;

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetAppFolderForTests(QString::fromLocal8Bit(argv[1]));
    const Settings settings{.servers = {QString::fromLocal8Bit(argv[2])},
                            .ownName = QStringLiteral("Quelmor"),
                            .retryPauseMs = 10,
                            .answerSeconds = 3};
    int left = argc > 3 ? std::atoi(argv[3]) : 0;
    AfterInstallStep = [&left](const QString& step) {
        std::printf("step %s\n", step.toUtf8().constData());
        std::fflush(stdout);
        if (--left != 0)
            return;
#ifdef _WIN32
        TerminateProcess(GetCurrentProcess(), 9);
#else
        std::raise(SIGKILL);
#endif
    };
    ui::ConnectWindow();
    try {
        if (modUpdate::Main(settings) == modUpdate::MainEnd::AnotherRuns) {
            ui::ReportFailure(QStringLiteral("The updater is already running."));
            return 1;
        }
    } catch (const UpdateFailure& failure) {
        ui::ReportFailure(failure.player().text(), failure.message());
        return 1;
    }
    return modUpdate::Window.OfflineReason.isEmpty() ? 0 : 1;
}
