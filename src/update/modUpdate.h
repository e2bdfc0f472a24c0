#pragma once
// The update run: start-up, the comparison of the installed and the server
// file lists, and the per-file pass. One module of procedures sharing the
// state below, which lives for the whole run.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transfer/Transfers.h"
#include "update/Plan.h"
#include "update/Settings.h"

namespace modUpdate {

// How the run reaches the window: the window fills these in before the run
// starts, and the run shows everything through them.
struct WindowHooks {
    std::function<void()> Show;
    std::function<void(const QString&)> SetL2, SetL3, SetPercent, SetVersionText, SetNews;
    std::function<void(bool)> SetContinueEnabled;
    // Writes a line to standard output only, beside the status lines.
    std::function<void(const QString&)> Say;
    // Shows a failure: the player's text in a box on a desktop, with the
    // details behind a button; the details on standard error.
    std::function<void(const QString& text, const QString& details)> ReportFailure;
    // Lets pending window events run once (after sleeping until one comes,
    // with waitForEvents).
    std::function<void(bool waitForEvents)> PumpEvents;

    // What the run and the window share. Set by the "Exit" click: the event
    // pump then ends the run with ExitRequested.
    std::atomic<bool> ExitClicked{false};
    // Why the run could not update although the installed game may be
    // played: the server could not be reached, the game folder cannot be
    // written, or the update failed and left the installed game as it was.
    // "" otherwise. "Exit" then ends the updater with status 1.
    QString OfflineReason;
};
inline WindowHooks Window;

// Base URL of the server the run talks to (the update server or a mirror),
// ending with "/"; empty when none was built in.
inline QString ServerUrl;
// "Version" of the installed manifest; after a detected update, the server's.
inline QString InstalledVersion;
// "Version" of the server manifest.
inline QString ServerVersion;
// Running number of the file being fetched.
inline std::int32_t UpdateNumber = 0;
// Carries every transfer of the run.
inline std::unique_ptr<transfer::Transfers> Inet;

// The start-up procedure: opens the window, shows the news, fetches the server
// manifest, updates what changed and enables "Continue". When the server
// cannot be reached, the folder cannot be written or the update fails, it
// says so, sets OfflineReason and enables "Continue" all the same: the game
// folder then holds the installed release as it was. Returns AnotherRuns,
// having touched nothing, when another updater works in the game folder.
// Throws ExitRequested when the player clicks "Exit"; every transfer is then
// ended and no temporary file is left but parts worth continuing.
enum class MainEnd { Ran, AnotherRuns };
[[nodiscard]] MainEnd Main(const Settings& settings);

// The per-file pass: reports every entry of the plan on the window, in
// order, and fetches each new or newer file into the part folder. While one
// file is fetched, up to three of the following ones may already arrive.
// Returns how many bytes arrived of each file of plan.files (-1 for one not
// fetched). Throws UpdateFailure when a file cannot be fetched.
std::vector<std::int64_t> UpdateFiles(const UpdatePlan& plan, const Settings& settings);

// Fetches the file of entry into the part folder (unless an earlier run put
// it in place already), showing the percentage and then "Downloaded
// <name>!"; returns the bytes that arrived (-1 when none were fetched). Does
// nothing for a blank name. A broken connection or a busy server is tried
// again up to three times, continuing what arrived. Throws UpdateFailure when
// the file cannot be fetched.
[[nodiscard]] std::int64_t DownloadFile(const UpdatePlan& plan, const PlannedEntry& entry,
                                        const Settings& settings);

// Puts every fetched file of the plan in place, in manifest order, makes
// every file the manifest names durable, then makes the server manifest the
// installed one. When any step fails (or the player clicks "Exit" meanwhile)
// every file put in place is taken back and the replaced ones restored, and
// the failure is thrown on.
void InstallFiles(const UpdatePlan& plan, const std::vector<std::int64_t>& arrived,
                  const Settings& settings);

// Lets all pending window events run once (after sleeping until one arrives
// when asked to; the window lets them run every 15 ms or so when called
// often). Throws ExitRequested once the player has clicked "Exit".
void DoEvents(bool waitForEvents = false);

} // namespace modUpdate
