#include "update/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {
QString appFolderOverride;
}

QString AppFolder() {
    if (!appFolderOverride.isEmpty())
        return appFolderOverride;
    return QDir::cleanPath(QCoreApplication::applicationDirPath());
}

void SetAppFolderForTests(const QString& folder) { appFolderOverride = QDir::cleanPath(folder); }

QString AppPath(const QString& name) {
    QString relative = name;
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return AppFolder() + QLatin1Char('/') + relative;
}

bool FileExists(const QString& path) { return QFileInfo(path).isFile(); }
