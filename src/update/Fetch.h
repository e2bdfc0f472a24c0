#pragma once
// The run's transfers: the news and the manifest into memory, game files into
// the part folder, each tried again after a broken connection or a busy
// server, while the window's events keep running.

#include <QString>
#include <cstdint>

#include "transfer/Transfers.h"

// What is known of a game file before it is fetched.
struct Expected {
    std::int64_t size = -1; // bytes, -1 when unknown
    std::string sha256;     // lower-case hex, "" when unknown
};

// The whole percentage shown after `received` of `expected` bytes: received
// divided by expected, times 100, rounded down.
int PercentOf(std::int64_t received, std::int64_t expected);

// The URL of a file on the server: the base URL and the name as one segment.
QString UrlOf(const QString& remoteName);

// Fetches url into memory (at most maxBytes; with cutAtMax a longer body is
// cut there) and returns the outcome of the last try. Throws ExitRequested
// when the player clicks "Exit" meanwhile.
transfer::Outcome FetchToMemory(const QString& url, const QString& name, std::int64_t maxBytes,
                                bool cutAtMax);

// Starts fetching url into its part file unless it is under way already.
void FetchAhead(const QString& url, const Expected& expected);

// Fetches url into its part file (or takes the transfer FetchAhead started),
// showing its percentage, and returns the part file. Throws UpdateFailure,
// naming `name`, when the last try fails, and ExitRequested when the player
// clicks "Exit" meanwhile.
QString FetchFile(const QString& url, const QString& name, const Expected& expected);

// Ends every transfer; parts worth continuing are kept, the rest removed.
void EndTransfers();

// Waits ms milliseconds while transfers move and window events run.
void PauseFor(int ms);
