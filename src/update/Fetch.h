#pragma once
// The run's transfers: the news and the manifest into memory, game files into
// the part folder, each tried again after a broken connection or a busy
// server, while the window's events keep running.

#include <QString>
#include <cstdint>
#include <memory>

#include "transfer/Transfers.h"
#include "update/Failure.h"
#include "update/Settings.h"

namespace modUpdate {
// A file to fetch into the part folder.
struct FileToFetch {
    QString name;           // as the manifest gives it: on the server and in messages
    QString url;            // the base URL and the name as one segment
    std::int64_t size = -1; // bytes, -1 when unknown
    QString sha256;         // lower-case hex, "" when unknown
    QString key;            // names its part file and record (PartKeyOf)
    // A patch that makes this file from the installed file at `base`, whose
    // identity (FileIdOf) was baseId when the plan chose it: fetched instead
    // of the file, which is fetched whole when the patch fails. Null when
    // there is none.
    std::shared_ptr<const FileToFetch> patch;
    QString base, baseId;
};

// What a player is told when a transfer failed, by its kind: a damaged file,
// an untrusted server, a busy or broken one, a broken connection, an
// unwritable folder, a proxy's refused login.
ForPlayer ForPlayerOf(const transfer::Outcome& outcome);

// The whole percentage shown after `received` of `expected` bytes: received
// divided by expected, times 100, rounded down.
[[nodiscard]] int PercentOf(std::int64_t received, std::int64_t expected);

// The URL of a file on the server: the base URL and the name as one segment.
[[nodiscard]] QString UrlOf(const QString& remoteName);

// The URL of the server's copy of the bytes with SHA-256 sha256 (lower-case
// hex): by-hash/<sha256> below the base URL.
[[nodiscard]] QString ObjectUrlOf(const QString& sha256);

// Fetches url into memory (at most maxBytes; with cutAtMax a longer body is
// cut there) and returns the outcome of the last try, pausing firstPauseMs
// before the second try (doubled for each further one). With seconds, every try
// together may take that long at most, half of it to connect. With
// answerSeconds, each try must begin to be answered within a third of it,
// and tries that get no answer end that long after the first began, so a
// server that takes the request and never answers counts as unreachable.
// Throws ExitRequested when the player clicks "Exit" meanwhile.
transfer::Outcome FetchToMemory(const QString& url, const QString& name, std::int64_t maxBytes,
                                bool cutAtMax, int firstPauseMs, int seconds = 0,
                                int answerSeconds = 0);

// Starts fetching file (its patch, when it has one) into its part file
// unless it is under way or here already.
void FetchAhead(const FileToFetch& file);

// Fetches file into its part file (or takes the transfer FetchAhead started,
// or the whole file an earlier try left), showing its percentage, and
// returns how many bytes the part file holds. A file with a patch is made
// from its patch and the installed file; when that fails, a line says why
// and the whole file is fetched. Throws UpdateFailure, naming the file, when
// the last try fails, and ExitRequested when the player clicks "Exit"
// meanwhile.
[[nodiscard]] std::int64_t FetchFile(const FileToFetch& file, const Settings& settings);

// Ends every transfer; parts worth continuing are kept, the rest removed.
void EndTransfers();

// The pause before a retry meant to last ms: drawn at random from ms to
// twice ms, so players refused at once come back spread out.
[[nodiscard]] int SpreadPause(int ms);

// Waits ms milliseconds while transfers move and window events run.
void PauseFor(int ms);

} // namespace modUpdate
