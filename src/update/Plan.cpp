// Working out the update before anything in the game folder is read or
// written: what each entry needs, every reason to refuse it, the transfers and
// the room they take.
#include "update/Plan.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

#include "update/Failure.h"
#include "update/FolderView.h"
#include "update/GameFolder.h"
#include "update/NumberReading.h"
#include "update/PartFolder.h"
#include "update/Paths.h"
#include "update/Trust.h"
#include "update/modUpdate.h"

namespace modUpdate {
namespace {

// A manifest may list this many files at most: a "Max" beyond any real game
// would only keep the updater busy for hours.
constexpr std::int32_t MostFiles = 10'000'000;

// Decides by the installed entry with the same number: without an installed
// manifest, or when the installed entry has no name and another version,
// the file is new; equal versions are up to date; a greater server version is
// newer; otherwise the installed file is newer and stays.
Step Decide(const FileEntry& server, const FileEntry& local, bool installed) {
    if (!installed ||
        (server.FileVersion != local.FileVersion && TrimSpaces(local.FileName).isEmpty()))
        return Step::NewFile;
    if (server.FileVersion == local.FileVersion)
        return Step::UpToDate;
    if (VersionIsGreater(server.FileVersion, local.FileVersion))
        return Step::NewerFile;
    return Step::Nothing;
}

bool Fetches(Step step) {
    return step == Step::NewFile || step == Step::NewerFile;
}

// The size entry i gives (FileSize), -1 when it gives none. Throws
// UpdateFailure when the value is not a whole number of bytes.
std::int64_t SizeGiven(const FileEntry& entry, std::int32_t i) {
    if (entry.FileSize.isEmpty())
        return -1;
    const std::int64_t size = ReadDigits(entry.FileSize);
    if (size < 0)
        Fail(QStringLiteral("The server's info.ini is broken: FileSize%1 (\"%2\") is not a "
                            "number of bytes.")
                 .arg(i)
                 .arg(entry.FileSize.left(40)),
             ForPlayer::ListBroken());
    return size;
}

// The SHA-256 entry i gives (FileSha256) in lower case, "" when it gives none.
// Throws UpdateFailure when the value is not 64 hex digits.
QString Sha256Given(const FileEntry& entry, std::int32_t i) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
    if (entry.FileSha256.isEmpty())
        return QString();
    if (!hex.match(entry.FileSha256).hasMatch())
        Fail(QStringLiteral("The server's info.ini is broken: FileSha256%1 (\"%2\") is not "
                            "64 hex digits.")
                 .arg(i)
                 .arg(entry.FileSha256.left(80)),
             ForPlayer::ListBroken());
    return entry.FileSha256.toLower();
}

// The levels of the place an entry's file goes to, below the game folder: its
// folder's and its name's, empty ones left out.
QStringList LevelsOf(const PlannedEntry& entry) {
    QStringList levels = SplitPath(entry.folder) + SplitPath(entry.name);
    levels.removeAll(QString());
    return levels;
}

// The name under which the update's own files and folders are known: the
// manifests, the part folder and the updater (its file named ownName) moved aside.
bool IsOwnName(const QString& name, const QString& ownName) {
    const QString old = QFileInfo(OldUpdaterPath(ownName)).fileName();
    for (const QString& own :
         {QStringLiteral("info.ini"), QStringLiteral("temp.ini"),
          QStringLiteral(".quelmor-partial"), QString::fromLatin1(KeptKeysName),
          QString::fromLatin1(KeptStatementName), old}) {
        if (name.compare(own, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// Refuses an entry whose folder or name could lead outside the game folder,
// or would replace or hide one of the updater's own files.
void RefuseUnsafe(const PlannedEntry& entry, const QString& ownName) {
    for (const QString& value : {entry.folder, entry.name}) {
        const QString reason = UnsafePathReason(value);
        if (!reason.isEmpty())
            Fail(QStringLiteral("Refused to download %1 into \"%2\": %3, which could lead "
                                "outside the game folder.")
                     .arg(entry.name, value, reason),
                 ForPlayer::Elsewhere());
    }
    const QStringList levels = LevelsOf(entry);
    const QString top = levels.constFirst();
    if (levels.size() == 1 && IsOwnName(top, ownName)) {
        const bool manifest = top.compare(QLatin1String("info.ini"), Qt::CaseInsensitive) == 0 ||
                              top.compare(QLatin1String("temp.ini"), Qt::CaseInsensitive) == 0;
        Fail(manifest ? QStringLiteral("Refused to download %1: the server lists a game file "
                                       "with the name of the updater's own manifest.")
                            .arg(entry.name)
                      : QStringLiteral("Refused to download %1: the server lists a game file "
                                       "with the name of one of the updater's own files.")
                            .arg(entry.name),
             ForPlayer::Elsewhere());
    }
    if (levels.size() > 1 &&
        (IsOwnName(top, ownName) || top.compare(ownName, Qt::CaseInsensitive) == 0))
        Fail(QStringLiteral("Refused to download %1 into \"%2\": a folder of that name would "
                            "take the place of the updater's own files.")
                 .arg(entry.name, levels.mid(0, levels.size() - 1).join(u'/')),
             ForPlayer::Elsewhere());
}

// Refuses entries that contradict each other: two that name one file with
// different sizes or hashes, two other files with one place, or a file where
// another entry needs a folder. Letter case is ignored for places, as on Windows.
void RefuseContradictions(const UpdatePlan& plan) {
    QHash<QString, const PlannedEntry*> byName, byPlace, folders;
    for (const PlannedEntry& entry : plan.entries) {
        if (entry.name.isEmpty())
            continue;
        const auto same = [&](const PlannedEntry* other) {
            return other->name == entry.name && other->size == entry.size &&
                   other->sha256 == entry.sha256;
        };
        if (const PlannedEntry* other = byName.value(entry.name); other && !same(other))
            Fail(QStringLiteral("The server's info.ini is broken: entries %1 and %2 name the file "
                                "%3 with different sizes or SHA-256.")
                     .arg(other->number)
                     .arg(entry.number)
                     .arg(entry.name),
                 ForPlayer::ListBroken());
        byName.insert(entry.name, &entry);
        const QStringList levels = LevelsOf(entry);
        const QString place = levels.join(u'/').toCaseFolded();
        if (const PlannedEntry* other = byPlace.value(place); other && !same(other))
            Fail(QStringLiteral("The server's info.ini is broken: entries %1 and %2 both go to %3.")
                     .arg(other->number)
                     .arg(entry.number)
                     .arg(levels.join(u'/')),
                 ForPlayer::ListBroken());
        byPlace.insert(place, &entry);
        for (qsizetype n = 1; n < levels.size(); ++n)
            folders.insert(levels.mid(0, n).join(u'/').toCaseFolded(), &entry);
    }
    for (auto place = byPlace.constBegin(); place != byPlace.constEnd(); ++place) {
        if (const PlannedEntry* other = folders.value(place.key()))
            Fail(QStringLiteral("The server's info.ini is broken: entry %1 puts the file %2 where "
                                "entry %3 needs a folder.")
                     .arg((*place)->number)
                     .arg(LevelsOf(**place).join(u'/'))
                     .arg(other->number),
                 ForPlayer::ListBroken());
    }
}

// Refuses an update that needs more than `free` bytes (-1: unknown).
void RefuseWithoutRoom(std::int64_t needed, std::int64_t free) {
    if (free < 0 || needed <= free)
        return;
    const auto size = [](std::int64_t bytes) {
        return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
    };
    Fail(QStringLiteral("Not enough free space for the update: it needs %1, %2 free.")
             .arg(size(needed), size(free)),
         ForPlayer::NoSpace(size(needed - free)));
}

} // namespace

QString FolderOf(const FileEntry& entry) {
    return TrimOneSeparator(TrimSpaces(entry.FilePath));
}

QString PlacedKeyOf(const PlannedEntry& entry) {
    QString key = entry.folder + QLatin1Char('/') + entry.name;
    key.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return key;
}

UpdatePlan PlanUpdate(const QByteArray& manifest, const ProfileSections& server,
                      const ProfileSections& installed, bool hasInstalled,
                      const Settings& settings) {
    UpdatePlan plan;
    plan.manifest = manifest;
    plan.version = ProfileValue(server, QStringLiteral("VERSION"), QStringLiteral("Version"));
    plan.installed = hasInstalled;
    plan.fileCount =
        ReadNumber(ProfileValue(server, QStringLiteral("VERSION"), QStringLiteral("Max")),
                   QStringLiteral("\"Max\" in the server's info.ini"));
    if (plan.fileCount > MostFiles)
        Fail(QStringLiteral("The server's info.ini lists %1 files (\"Max\"), more than the "
                            "updater can handle (%2).")
                 .arg(plan.fileCount)
                 .arg(MostFiles),
             ForPlayer::ListBroken());
    plan.byHash = ProfileValue(server, QStringLiteral("VERSION"), QStringLiteral("ByHash")) ==
                  QLatin1String("1");
    LoadFileLists(plan, server, installed);

    for (PlannedEntry& entry : plan.entries) {
        entry.step = Decide(entry.server, entry.local, plan.installed);
        entry.size = SizeGiven(entry.server, entry.number);
        entry.sha256 = Sha256Given(entry.server, entry.number);
        const bool named = !TrimSpaces(entry.server.FileName).isEmpty();
        if (named && !settings.publicKey.isEmpty() && (entry.size < 0 || entry.sha256.isEmpty()))
            Fail(QStringLiteral("The server's info.ini is refused: entry %1 (%2) gives no size "
                                "and SHA-256, and this updater installs only files its signature "
                                "covers.")
                     .arg(entry.number)
                     .arg(entry.server.FileName),
                 ForPlayer::NotSigned());
        // Only entries whose files the update touches (fetched, or read by a
        // repair) are checked and get a place.
        if (named && (Fetches(entry.step) || settings.repair)) {
            entry.folder = FolderOf(entry.server);
            entry.name = entry.server.FileName;
            RefuseUnsafe(entry, settings.ownName);
            if (entry.step == Step::NewerFile)
                ReadPatchOffers(entry, server);
        }
    }
    RefuseContradictions(plan);
    return plan;
}

void PlanTransfers(UpdatePlan& plan, const FolderView& folder) {
    // Every place an entry names is judged in manifest order, first of all.
    for (PlannedEntry& entry : plan.entries) {
        if (entry.name.isEmpty())
            continue;
        const PlaceView place = folder.places.value(PlacedKeyOf(entry));
        if (place.refusal)
            throw *place.refusal;
        if (place.damaged) {
            entry.step = Step::NewFile; // missing or damaged: fetched again
            ++plan.changedCount;
        }
    }

    QHash<QString, int> byKey;   // entries with one URL, size and SHA-256 share a transfer
    std::vector<int> places;     // how many entries each file goes to
    std::int64_t replaced = 0;   // bytes of the files the update replaces
    std::int64_t journal = 4096; // bytes of the install's journal, about
    for (PlannedEntry& entry : plan.entries) {
        if (entry.name.isEmpty() || !Fetches(entry.step))
            continue;
        // A server that keeps files by hash serves each release's bytes under
        // their own name, which no cache can mix up.
        const QString url =
            plan.byHash && !entry.sha256.isEmpty() ? ObjectUrlOf(entry.sha256) : UrlOf(entry.name);
        const QString key = PartKeyOf(url, entry.size, entry.sha256);
        const PlaceView place = folder.places.value(PlacedKeyOf(entry));
        if (!byKey.contains(key)) {
            byKey.insert(key, static_cast<int>(plan.files.size()));
            FileToFetch file{entry.name, url, entry.size, entry.sha256, key, nullptr, {}, {}};
            ChoosePatch(plan, entry, place, folder, file);
            plan.files.push_back(std::move(file));
            places.push_back(0);
        }
        entry.file = byKey.value(key);
        ++places[static_cast<std::size_t>(entry.file)];
        replaced += std::max<std::int64_t>(place.size, 0);
        journal += 3 * PlacedKeyOf(entry).toUtf8().size() + 256; // its place, staged and kept
    }

    // What the update writes: each file (its patch and what it makes, for a
    // patched one) less what an earlier run kept of it, a copy of it for every
    // further entry, the manifest, the journal, and, where the disk has no
    // hard links, a copy of every file replaced. Sums beyond any disk count
    // as the largest; a file of unknown size counts what is known of it.
    std::int64_t needed = 0;
    const auto add = [&needed](std::int64_t bytes, std::int64_t times = 1) {
        constexpr std::int64_t Most = std::numeric_limits<std::int64_t>::max();
        if (bytes > 0 && times > 0)
            needed = bytes > (Most - needed) / times ? Most : needed + bytes * times;
    };
    const auto missing = [&folder](const FileToFetch& file) {
        return file.size - folder.parts.value(QFileInfo(PartFileOf(file.key)).fileName(), 0);
    };
    for (std::size_t k = 0; k < plan.files.size(); ++k) {
        const FileToFetch& file = plan.files[k];
        if (file.patch) {
            add(missing(*file.patch));
            add(file.size);
        } else {
            add(missing(file));
        }
        add(file.size, places[k] - 1);
    }
    add(plan.manifest.size());
    add(journal);
    if (!plan.files.empty() && !folder.hardLinks) {
        add(replaced);
        add(folder.manifestSize);
    }
    plan.bytesNeeded = needed;
    RefuseWithoutRoom(plan.bytesNeeded, folder.freeBytes);
}

} // namespace modUpdate
