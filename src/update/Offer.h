#pragma once
// What a server offers: its release statement (when it has one) and its
// manifest, each checked before anything is read from it.

#include <QByteArray>
#include <QString>
#include <optional>

#include "update/Profile.h"
#include "update/Settings.h"
#include "update/Trust.h"

namespace modUpdate {
// What a server offers.
struct Offer {
    Stated stated;          // its statement, checked; what to keep of it
    bool upToDate = false;  // the statement names the installed manifest: none was fetched
    QByteArray manifest;    // its manifest, checked
    ProfileSections server; // and the manifest's sections
};

// The installed manifest: its bytes' SHA-256 ("" for none) and its sections.
struct Installed {
    QString sha256;
    ProfileSections sections;
};

// Fetches the manifest the statement of stated names (the compressed object,
// unpacked within the size it states and checked against its hashes), or,
// from a server without a statement, info.ini and (when updates are signed)
// info.ini.minisig; then refuses what can only do harm. Returns nothing, with
// unanswered and outcome set, when the server did not answer for a file at
// all. A statement that names the installed manifest ends it at once (unless
// the run repairs). Throws UpdateFailure when the server answers but fails,
// or the manifest is refused.
[[nodiscard]] std::optional<Offer> FetchOffer(Stated stated, const Installed& installed,
                                              const Settings& settings, QString& unanswered,
                                              transfer::Outcome& outcome);

} // namespace modUpdate
