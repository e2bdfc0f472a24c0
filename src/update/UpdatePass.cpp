// The per-file pass: every entry reported on the window in manifest order,
// the files to fetch brought into the part folder.
#include <algorithm>

#include "update/Fetch.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

namespace modUpdate {

namespace {

// Files that may already arrive while the pass is at an earlier one.
constexpr std::size_t FetchedAhead = 3;

} // namespace

std::vector<std::int64_t> UpdateFiles(const UpdatePlan& plan, const Settings& settings) {
    // The files to fetch, in the order the pass needs them.
    std::vector<int> order;
    std::vector<std::size_t> position(plan.files.size(), 0); // of each file in order
    std::vector<bool> listed(plan.files.size(), false);
    for (const PlannedEntry& entry : plan.entries) {
        const auto file = static_cast<std::size_t>(entry.file);
        if (entry.file >= 0 && !listed[file]) {
            listed[file] = true;
            position[file] = order.size();
            order.push_back(entry.file);
        }
    }
    std::vector<std::int64_t> arrived(plan.files.size(), -1);

    Window.SetL2(QString());
    UpdateNumber = 0;
    std::size_t started = 0; // files of order started so far
    for (const PlannedEntry& entry : plan.entries) {
        Window.SetL3(QStringLiteral("Checking Files..."));
        const auto progress = [&] {
            return QStringLiteral("Downloading File %1 Of %2")
                .arg(UpdateNumber)
                .arg(plan.changedCount);
        };
        if (entry.step == Step::NewFile) {
            UpdateNumber += entry.count; // a run of unmentioned numbers is shown as its last
            Window.SetL2(QStringLiteral("Downloading ") + entry.server.FileName +
                         QStringLiteral("..."));
            Window.SetL3(progress());
        } else if (entry.step == Step::UpToDate) {
            Window.SetL2(QStringLiteral("File Already Up To Date!"));
        } else if (entry.step == Step::NewerFile) {
            ++UpdateNumber;
            Window.SetL3(progress());
            Window.SetL2(
                QStringLiteral("Updating %1 From Version %2 To %3...")
                    .arg(entry.local.FileName, entry.local.FileVersion, entry.server.FileVersion));
        }
        if (entry.file >= 0) {
            // The files that follow this one may arrive meanwhile.
            const std::size_t current = position[static_cast<std::size_t>(entry.file)];
            for (started = std::max(started, current + 1);
                 started < order.size() && started <= current + FetchedAhead; ++started)
                FetchAhead(plan.files[static_cast<std::size_t>(order[started])]);
            const std::int64_t bytes = DownloadFile(plan, entry, settings);
            if (bytes >= 0)
                arrived[static_cast<std::size_t>(entry.file)] = bytes;
        }
        DoEvents(); // a long list of files up to date stays responsive
    }
    return arrived;
}

} // namespace modUpdate
