#include "publish/ServerManifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <limits>

#include "update/Failure.h"
#include "update/NumberReading.h"
#include "update/Profile.h"

using namespace modUpdate;

namespace publish {

namespace {

// Reads "Max" into manifest.max the way the updater does; records a missing,
// unreadable or negative Max as a problem and leaves max at 0.
void ReadMax(const ProfileSections& profile, ServerManifest& manifest) {
    const QString text = ProfileValue(profile, QStringLiteral("VERSION"), QStringLiteral("Max"));
    if (text.isEmpty()) {
        manifest.problems << QStringLiteral("info.ini has no Max in [VERSION]");
        return;
    }
    try {
        manifest.max = ReadNumber(text, QStringLiteral("\"Max\" in info.ini"));
    } catch (const UpdateFailure& failure) {
        manifest.problems << failure.message();
    }
    if (manifest.max < 0) {
        manifest.problems << QStringLiteral("info.ini has a negative Max (%1)").arg(manifest.max);
        manifest.max = 0;
    }
}

// Reads "Release" into manifest.release as the updater does: 1 to 18
// decimal digits; anything else is recorded as a problem.
void ReadRelease(const ProfileSections& profile, ServerManifest& manifest) {
    const QString text =
        ProfileValue(profile, QStringLiteral("VERSION"), QStringLiteral("Release"));
    if (text.isEmpty())
        return;
    const std::int64_t release = ReadDigits(text);
    if (release < 0)
        manifest.problems << QStringLiteral("info.ini has Release=%1 in [VERSION]; it must be a "
                                            "whole number of 1 to 18 digits")
                                 .arg(text);
    else
        manifest.release = release;
}

// Reports every FileName key of [FILES] the updater never reads: a number
// past Max, or one written with leading zeros. Cannot fail.
void FindUnreadKeys(const QHash<QString, QString>& files, ServerManifest& manifest) {
    static const QRegularExpression nameKey(QStringLiteral("^filename(\\d+)$"));
    QList<std::pair<qint64, QString>> unread; // number (or -1) and the problem, for sorting
    for (auto key = files.keyBegin(); key != files.keyEnd(); ++key) {
        const QRegularExpressionMatch match = nameKey.match(*key);
        if (!match.hasMatch())
            continue;
        const QString digits = match.captured(1);
        bool ok = false;
        const qint64 number = digits.toLongLong(&ok);
        if (!ok || QString::number(number) != digits)
            unread.append({-1, QStringLiteral("info.ini has the key FileName%1, which the updater "
                                              "never reads (no leading zeros in entry numbers)")
                                   .arg(digits)});
        else if (number > manifest.max)
            unread.append({number, QStringLiteral("info.ini lists FileName%1 but Max is %2: the "
                                                  "updater never reads entries past Max")
                                       .arg(number)
                                       .arg(manifest.max)});
    }
    std::sort(unread.begin(), unread.end());
    for (const auto& problem : unread)
        manifest.problems << problem.second;
}

// Reports the entries without a name: those listed in nameless, then every
// entry from read + 1 to Max; consecutive ones as one range.
void ReportNameless(QList<std::int32_t> nameless, std::int32_t read, ServerManifest& manifest) {
    QList<std::pair<std::int32_t, std::int32_t>> ranges;
    for (const std::int32_t i : nameless) {
        if (!ranges.isEmpty() && ranges.last().second == i - 1)
            ranges.last().second = i;
        else
            ranges.append({i, i});
    }
    if (read < manifest.max) {
        if (!ranges.isEmpty() && ranges.last().second == read)
            ranges.last().second = manifest.max;
        else
            ranges.append({read + 1, manifest.max});
    }
    for (const auto& [first, last] : ranges) {
        if (first == last)
            manifest.problems << QStringLiteral("entry %1 has no FileName%1, though Max is %2")
                                     .arg(first)
                                     .arg(manifest.max);
        else
            manifest.problems << QStringLiteral("entries %1 to %2 have no FileName, though Max "
                                                "is %3")
                                     .arg(first)
                                     .arg(last)
                                     .arg(manifest.max);
    }
}

// The patches of entry n: keys PatchBase<n>.<k> and the rest for k = 1, 2, 3,
// up to the first k without any of them. Cannot fail.
QList<EntryPatch> ReadPatches(const ProfileSections& profile, const QString& n) {
    QList<EntryPatch> patches;
    for (int k = 1; k <= MostPatchesPerEntry; ++k) {
        const QString suffix = n + QLatin1Char('.') + QString::number(k);
        const auto value = [&](const char* key) {
            return ProfileValue(profile, QStringLiteral("FILES"), QLatin1String(key) + suffix);
        };
        const EntryPatch patch{value("PatchBase"), value("PatchName"), value("PatchSize"),
                               value("PatchSha256")};
        if (patch.base.isEmpty() && patch.name.isEmpty() && patch.size.isEmpty() &&
            patch.sha256.isEmpty())
            break;
        patches << patch;
    }
    return patches;
}

// Reports every patch key of [FILES] the updater never reads: one of an entry
// it does not read, or past the patches read for its entry. Cannot fail.
void FindUnreadPatchKeys(const QHash<QString, QString>& files, ServerManifest& manifest) {
    static const QRegularExpression patchKey(
        QStringLiteral("^patch(base|name|size|sha256)(\\d+)\\.(\\d+)$"));
    for (auto key = files.keyBegin(); key != files.keyEnd(); ++key) {
        const QRegularExpressionMatch match = patchKey.match(*key);
        if (!match.hasMatch())
            continue;
        static const QHash<QString, QString> kinds = {
            {QStringLiteral("base"), QStringLiteral("Base")},
            {QStringLiteral("name"), QStringLiteral("Name")},
            {QStringLiteral("size"), QStringLiteral("Size")},
            {QStringLiteral("sha256"), QStringLiteral("Sha256")}};
        const QString i = match.captured(2), k = match.captured(3);
        const qsizetype entry = i.toLongLong() - 1, patch = k.toLongLong() - 1;
        if (QString::number(entry + 1) == i && QString::number(patch + 1) == k && entry >= 0 &&
            entry < manifest.entries.size() && patch >= 0 &&
            patch < manifest.entries[entry].patches.size())
            continue;
        manifest.unreadPatchKeys
            << QStringLiteral("info.ini has the key %1, which the updater "
                              "never reads (entries 1 to Max have patches "
                              "1 to 3, numbered without gaps)")
                   .arg(QStringLiteral("Patch%1%2.%3").arg(kinds.value(match.captured(1)), i, k));
    }
    manifest.unreadPatchKeys.sort();
}

} // namespace

ServerManifest ReadServerManifest(const QString& serverDir) {
    const QString path = QDir(serverDir).filePath(QString::fromLatin1(ManifestFileName));
    if (!QFileInfo::exists(path))
        return ServerManifest();
    return ReadManifestFile(path);
}

ServerManifest ReadManifestFile(const QString& path) {
    ServerManifest manifest;
    if (!QFileInfo::exists(path))
        return manifest;
    manifest.found = true;
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        manifest.problems << QStringLiteral("info.ini cannot be read: %1").arg(file.errorString());
        return manifest;
    }
    const ProfileSections profile = ParseProfile(file.readAll());
    manifest.version = ProfileValue(profile, QStringLiteral("VERSION"), QStringLiteral("Version"));
    if (manifest.version.isEmpty())
        manifest.problems << QStringLiteral("info.ini has no Version in [VERSION]");
    ReadRelease(profile, manifest);
    ReadMax(profile, manifest);
    manifest.byHash =
        ProfileValue(profile, QStringLiteral("VERSION"), QStringLiteral("ByHash")) == u'1';

    const QHash<QString, QString> files = profile.value(QStringLiteral("files"));
    const QString section = QStringLiteral("FILES");
    // Every entry needs a key of its own, so entries past the number of keys
    // have no name; they are not read one by one.
    const std::int32_t readable =
        static_cast<std::int32_t>(qMin<qsizetype>(manifest.max, files.size()));
    QList<std::int32_t> nameless;
    for (std::int32_t i = 1; i <= readable; ++i) {
        const QString n = QString::number(i);
        PublishEntry entry;
        entry.name = ProfileValue(profile, section, QStringLiteral("FileName") + n);
        entry.version = ProfileValue(profile, section, QStringLiteral("FileVersion") + n);
        entry.folder = ProfileValue(profile, section, QStringLiteral("FilePath") + n);
        entry.size = ProfileValue(profile, section, QStringLiteral("FileSize") + n);
        entry.sha256 = ProfileValue(profile, section, QStringLiteral("FileSha256") + n);
        entry.patches = ReadPatches(profile, n);
        entry.label = QStringLiteral("entry %1 (%2)")
                          .arg(i)
                          .arg(JoinPath(CanonicalFolder(entry.folder), entry.name, u'\\'));
        if (entry.name.isEmpty())
            nameless << i;
        manifest.entries << entry;
    }
    ReportNameless(nameless, readable, manifest);
    FindUnreadKeys(files, manifest);
    FindUnreadPatchKeys(files, manifest);
    return manifest;
}

QByteArray ManifestText(const QString& version, qint64 release,
                        const QList<PublishEntry>& entries) {
    QByteArray text =
        "[VERSION]\r\nVersion=" + version.toUtf8() + "\r\nRelease=" + QByteArray::number(release) +
        "\r\nMax=" + QByteArray::number(entries.size()) + "\r\nByHash=1\r\n[FILES]\r\n";
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QByteArray n = QByteArray::number(i + 1);
        const PublishEntry& entry = entries[i];
        text += "FileName" + n + "=" + entry.name.toUtf8() + "\r\n";
        text += "FileVersion" + n + "=" + entry.version.toUtf8() + "\r\n";
        text += "FilePath" + n + "=" + CanonicalFolder(entry.folder).toUtf8() + "\r\n";
        text += "FileSize" + n + "=" + entry.size.toUtf8() + "\r\n";
        text += "FileSha256" + n + "=" + entry.sha256.toUtf8() + "\r\n";
        for (qsizetype k = 0; k < entry.patches.size(); ++k) {
            const QByteArray nk = n + "." + QByteArray::number(k + 1) + "=";
            const EntryPatch& patch = entry.patches[k];
            text += "PatchBase" + nk + patch.base.toUtf8() + "\r\n";
            text += "PatchName" + nk + patch.name.toUtf8() + "\r\n";
            text += "PatchSize" + nk + patch.size.toUtf8() + "\r\n";
            text += "PatchSha256" + nk + patch.sha256.toUtf8() + "\r\n";
        }
    }
    return text;
}

QSet<QString> ReadPendingNames(const QString& serverDir, QStringList& problems) {
    QSet<QString> names;
    QFile file(QDir(serverDir).filePath(QString::fromLatin1(PendingFileName)));
    if (!file.exists())
        return names;
    if (!file.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("%1 cannot be read: %2")
                        .arg(QString::fromLatin1(PendingFileName), file.errorString());
        return names;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QString name = QString::fromUtf8(line).trimmed();
        if (!name.isEmpty())
            names.insert(FoldName(name));
    }
    return names;
}

QByteArray PendingText(const QStringList& names) {
    QByteArray text;
    for (const QString& name : names)
        text += name.toUtf8() + "\n";
    return text;
}

} // namespace publish
