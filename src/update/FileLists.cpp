// Loading the installed and the server file lists and counting the changes.
#include <cstring>
#include <set>

#include "update/Plan.h"

namespace modUpdate {
namespace {

// The per-entry keys of a manifest, as the reader folds them, longest first
// where one begins with another.
const char* const EntryKeys[] = {"filesha256", "filesize", "fileversion", "filepath", "filename"};

// Adds the entry numbers from 1 to max that the "FILES" section of manifest
// mentions in any per-entry key (the number in decimal without leading zeros).
void AddNumbers(const ProfileSections& manifest, std::int64_t max,
                std::set<std::int32_t>& numbers) {
    const auto files = manifest.constFind(QStringLiteral("files"));
    if (files == manifest.constEnd())
        return;
    for (auto key = files->keyBegin(); key != files->keyEnd(); ++key) {
        for (const char* prefix : EntryKeys) {
            if (!key->startsWith(QLatin1String(prefix)))
                continue;
            const QStringView digits = QStringView(*key).mid(std::strlen(prefix));
            bool number = !digits.isEmpty() && digits.size() <= 10 && digits.front() != u'0';
            for (const QChar c : digits)
                number = number && c >= u'0' && c <= u'9';
            if (number && digits.toLongLong() <= max)
                numbers.insert(static_cast<std::int32_t>(digits.toLongLong()));
            break;
        }
    }
}

// Entry i of the "FILES" section of manifest; missing keys give "".
FileEntry EntryOf(const ProfileSections& manifest, std::int32_t i) {
    const QString files = QStringLiteral("FILES");
    const QString number = QString::number(i);
    return {ProfileValue(manifest, files, QStringLiteral("FileName") + number),
            ProfileValue(manifest, files, QStringLiteral("FileVersion") + number),
            ProfileValue(manifest, files, QStringLiteral("FilePath") + number),
            ProfileValue(manifest, files, QStringLiteral("FileSize") + number),
            ProfileValue(manifest, files, QStringLiteral("FileSha256") + number)};
}

} // namespace

bool VersionIsGreater(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseSensitive) > 0;
}

void LoadFileLists(UpdatePlan& plan, const ProfileSections& server,
                   const ProfileSections& installed) {
    std::set<std::int32_t> numbers;
    AddNumbers(server, plan.fileCount, numbers);
    if (plan.installed)
        AddNumbers(installed, plan.fileCount, numbers);

    plan.entries.clear();
    plan.changedCount = 0;
    std::int64_t next = 1; // the first number not in plan.entries yet
    // The numbers from next to before `end`, which neither manifest mentions.
    const auto addUnmentioned = [&](std::int64_t end) {
        if (end <= next)
            return;
        PlannedEntry run;
        run.number = static_cast<std::int32_t>(end - 1);
        run.count = static_cast<std::int32_t>(end - next);
        plan.entries.push_back(run);
    };
    for (const std::int32_t i : numbers) {
        addUnmentioned(i);
        PlannedEntry entry;
        entry.number = i;
        entry.server = EntryOf(server, i);
        if (plan.installed)
            entry.local = EntryOf(installed, i);
        if (VersionIsGreater(entry.server.FileVersion, entry.local.FileVersion))
            ++plan.changedCount;
        plan.entries.push_back(entry);
        next = std::int64_t(i) + 1;
    }
    addUnmentioned(std::int64_t(plan.fileCount) + 1);
}

} // namespace modUpdate
