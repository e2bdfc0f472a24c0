#include "publish/Scan.h"

#include <QFile>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "publish/Names.h"
#include "update/Paths.h"

using namespace modUpdate;

namespace publish {

namespace fs = std::filesystem;

namespace {

// The file system library's path as text. Cannot fail.
QString FromPath(const fs::path& path) {
#ifdef Q_OS_WIN
    return QString::fromStdWString(path.native());
#else
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
#endif
}

// The system's words for error.
QString Why(const std::error_code& error) {
    return QString::fromLocal8Bit(error.message().c_str());
}

// True for what file managers and version control leave in a folder and
// players never need.
bool IsLeftOut(const QString& name) {
    for (const char* clutter : {".git", "Thumbs.db", "desktop.ini", ".DS_Store"}) {
        if (name.compare(QLatin1String(clutter), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// Adds the files of folder (relative: its path below the release folder) and
// of its sub-folders to files; see ScanRelease.
void ScanFolder(const fs::path& folder, const QString& relative, QList<ReleaseFile>& files,
                QStringList& leftOut, QStringList& problems) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const QString name = FromPath(it->path().filename());
        const QString path = JoinPath(relative, name, QLatin1Char('/'));
        const fs::file_type type = it->symlink_status(error).type();
        if (error)
            break;
        if (IsLeftOut(name)) {
            leftOut << path + (type == fs::file_type::directory ? QStringLiteral("/") : QString());
        } else if (type == fs::file_type::directory) {
            ScanFolder(it->path(), path, files, leftOut, problems);
        } else if (type == fs::file_type::symlink) {
            problems << path + QStringLiteral(": it is a symbolic link, and quelmor-publish never "
                                              "follows links; put the file or folder itself there");
        } else if (type != fs::file_type::regular) {
            problems << path + QStringLiteral(": it is neither a file nor a folder (a junction, a "
                                              "device or a pipe)");
        } else if (QFile probe(FromPath(it->path())); !probe.open(QIODevice::ReadOnly)) {
            problems << path + QStringLiteral(": it cannot be read: ") + probe.errorString();
        } else {
            const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
            files.append({FromPath(it->path()), name, slash < 0 ? QString() : path.left(slash)});
        }
    }
    if (error)
        problems << (relative.isEmpty() ? QStringLiteral("the release folder")
                                        : relative + QStringLiteral("/: the folder")) +
                        QStringLiteral(" cannot be read: ") + Why(error);
}

} // namespace

QList<ReleaseFile> ScanRelease(const QString& releaseDir, QStringList& leftOut,
                               QStringList& problems) {
    QList<ReleaseFile> files;
    ScanFolder(ToPath(releaseDir), QString(), files, leftOut, problems);
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) {
        return a.folder != b.folder ? a.folder < b.folder : a.name < b.name;
    });
    leftOut.sort();
    return files;
}

QStringList ServerFolderProblemsOnDisk(const QString& serverDir) {
    QStringList problems;
    std::error_code error;
    fs::directory_iterator it(ToPath(serverDir), error);
    if (error == std::errc::no_such_file_or_directory)
        return problems;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        if (it->symlink_status(error).type() == fs::file_type::symlink)
            problems << QStringLiteral("the server folder holds a symbolic link, %1, and "
                                       "quelmor-publish never follows links; put the file itself "
                                       "there")
                            .arg(FromPath(it->path().filename()));
    }
    if (error)
        problems
            << QStringLiteral("the server folder %1 cannot be read: %2").arg(serverDir, Why(error));
    return problems;
}

QString ReleasePath(const ReleaseFile& file) {
    return JoinPath(file.folder, file.name, QLatin1Char('/'));
}

} // namespace publish
