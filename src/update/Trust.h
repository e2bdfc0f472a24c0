#pragma once
// What the updater trusts of a server: the keys built in and the key list and
// release statement it accepted last, kept in the game folder under its own
// names (.quelmor-keys.ini, .quelmor-release.ini), and asking a server for
// its current key list and statement.

#include <QByteArray>
#include <QString>
#include <optional>

#include "transfer/Transfers.h"
#include "update/Settings.h"
#include "update/Statement.h"

namespace modUpdate {
// The names of the kept copies in the game folder.
inline constexpr char KeptKeysName[] = ".quelmor-keys.ini";
inline constexpr char KeptStatementName[] = ".quelmor-release.ini";

// What the game folder keeps and the build gives: the key list in force
// (the built-in keys until a list was accepted; none for an updater built
// without keys) and the last statement accepted.
struct Trusted {
    std::optional<KeyList> keys;
    QByteArray keysBytes; // the kept list as the server sent it ("" for the built-in keys)
    std::optional<ReleaseStatement> statement;
    bool statementRequired = false; // built with root keys, or a statement was once accepted
};

// Reads what the build and the game folder give. A kept copy that is missing
// or unreadable counts as none. Throws UpdateFailure when a key built in is
// broken.
[[nodiscard]] Trusted ReadTrusted(const Settings& settings);

// What a server states, once checked.
struct Stated {
    // The server's statement, or none when it has none (and none is
    // required); the bytes to keep of it and of a newer key list ("" for none).
    std::optional<ReleaseStatement> statement;
    QByteArray statementBytes, keysBytes;
    // The file the server gave no answer for at all, and how that ended ("" when it answered).
    QString unanswered;
    transfer::Outcome outcome;
};

// Asks the server at ServerUrl for its key list (when keys are built in) and
// its statement, and checks them against trusted at the time now (seconds
// since 1970). Throws UpdateFailure when the server answers but a file is
// refused: a key list not signed by the roots in force, a statement not
// signed by a key in force, expired, from the future, older than the last one
// accepted, or missing while one is required.
[[nodiscard]] Stated AskStatement(const Trusted& trusted, std::int64_t now,
                                  const Settings& settings);

// Keeps what stated accepted in the game folder, each copy written whole
// under a new name and then renamed into force. Fails saying why not.
Result KeepStated(const Stated& stated);

} // namespace modUpdate
