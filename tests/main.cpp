// Runs the tests with a real application object (offscreen unless told otherwise).
#include <QApplication>
#include <QDir>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "ui/frmUpdate.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Without a runtime folder Qt warns on standard error, which would mix
        // into the test listing that CTest reads.
#ifndef _WIN32
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString runtime = QDir::tempPath() + QStringLiteral("/runtime-%1").arg(::getuid());
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    }
#endif
    QApplication app(argc, argv);
    ui::ConnectWindow();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
