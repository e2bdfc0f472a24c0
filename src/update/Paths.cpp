#include "update/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <system_error>

namespace {
QString appFolderOverride;
}

QString AppFolder() {
    if (!appFolderOverride.isEmpty())
        return appFolderOverride;
    return QDir::cleanPath(QCoreApplication::applicationDirPath());
}

std::filesystem::path ToPath(const QString& path) {
#ifdef Q_OS_WIN
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

void SetAppFolderForTests(const QString& folder) {
    appFolderOverride = QDir::cleanPath(folder);
}

QString AppPath(const QString& name) {
    QString relative = name;
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return AppFolder() + QLatin1Char('/') + relative;
}

bool FileExists(const QString& path) {
    return QFileInfo(path).isFile();
}

bool IsLink(const QString& path) {
    const QFileInfo info(path);
    return info.isSymbolicLink() || info.isJunction();
}

bool IsPlainFile(const QString& path) {
    return !IsLink(path) && QFileInfo(path).isFile();
}

bool DropLink(const QString& path) {
    std::error_code error;
    return !IsLink(path) || std::filesystem::remove(ToPath(path), error);
}

QStringList SplitPath(const QString& relative) {
    static const QRegularExpression separator(QStringLiteral("[\\\\/]"));
    return relative.split(separator);
}

QString TrimSpaces(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == QLatin1Char(' '))
        ++first;
    while (last > first && text[last - 1] == QLatin1Char(' '))
        --last;
    return text.mid(first, last - first);
}

QString TrimOneSeparator(const QString& folder) {
    QString trimmed = folder;
    auto isSeparator = [](QChar c) { return c == QLatin1Char('\\') || c == QLatin1Char('/'); };
    if (!trimmed.isEmpty() && isSeparator(trimmed.front()))
        trimmed.remove(0, 1);
    if (!trimmed.isEmpty() && isSeparator(trimmed.back()))
        trimmed.chop(1);
    return trimmed;
}

QString UnsafePathReason(const QString& relative) {
    static const QRegularExpression device(
        QStringLiteral("^(con|prn|aux|nul|com[0-9]|lpt[0-9]|conin\\$|conout\\$)$"),
        QRegularExpression::CaseInsensitiveOption);
    for (const QChar c : relative) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("it holds a control character");
    }
    if (relative.startsWith(QLatin1Char('\\')) || relative.startsWith(QLatin1Char('/')))
        return QStringLiteral("it is an absolute path");
    if (relative.contains(QLatin1Char(':')))
        return QStringLiteral("it names a drive or holds a colon");
    const QStringList parts = SplitPath(relative);
    for (const QString& part : parts) {
        if (part.isEmpty())
            continue; // "a//b" stays inside "a"
        if (part.count(QLatin1Char('.')) == part.size())
            return QStringLiteral("it holds the part \"%1\"").arg(part);
        if (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')))
            return QStringLiteral("the part \"%1\" ends in a dot or a blank").arg(part);
        if (device.match(part.section(QLatin1Char('.'), 0, 0)).hasMatch())
            return QStringLiteral("the part \"%1\" is a name Windows keeps for a device").arg(part);
    }
    return QString();
}
