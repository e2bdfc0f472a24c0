// Fetching the file of one entry into the part folder.
#include "update/Fetch.h"
#include "update/Paths.h"
#include "update/modUpdate.h"

namespace modUpdate {

std::int64_t DownloadFile(const UpdatePlan& plan, const PlannedEntry& entry,
                          const Settings& settings) {
    if (TrimSpaces(entry.name).isEmpty() || entry.file < 0)
        return -1;
    const std::int64_t arrived =
        FetchFile(plan.files[static_cast<std::size_t>(entry.file)], settings);
    DoEvents();
    Window.SetL3(QStringLiteral("Downloaded ") + entry.name + QLatin1Char('!'));
    return arrived;
}

} // namespace modUpdate
