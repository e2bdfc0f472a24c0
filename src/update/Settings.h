#pragma once
// What one run of the updater is set to: the servers and the key built into
// the program, and what its command line asks for. Made once in main() (tests
// make their own) and read-only for the whole run.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>

namespace modUpdate {
struct Settings {
    // The update server and then its mirrors, base URLs ending in "/"; empty
    // when none was built in.
    QStringList servers = {};
    // The minisign public key the server manifest must be signed with (its
    // base64 line); "" for none.
    QString publicKey = {};
    // Root keys (base64 lines) built in instead: they sign the server's key
    // list, which names the keys that sign its releases. An updater built
    // with them requires the server's signed release statement. Empty for
    // none; publicKey alone is then both the root and the signing key.
    QStringList rootKeys = {};
    // The file name of the updater itself; an entry of that name at the top of
    // the game folder replaces the running updater.
    QString ownName = {};
    // With --repair: every file the manifest gives a hash is checked on disk,
    // and a missing or damaged one is fetched again even when the versions
    // are equal.
    bool repair = false;
    // The most bytes per second the whole update may arrive at (0: no cap).
    std::int64_t limitRate = 0;
    // Seconds without progress before a transfer is given up, and the pause
    // before its second try (doubled for each further one).
    int timeoutSeconds = 60;
    int retryPauseMs = 1000;
    // Seconds the news may take in all, tries included; half of it to connect.
    int newsSeconds = 10;
    // Seconds within which the manifest (and its signature) must begin to be
    // answered, tries included; a server silent that long counts as unreachable.
    int answerSeconds = 30;
    // Certificates to trust for HTTPS instead of the system's store ("" for
    // the system's).
    std::string caFile = {};
};

// The settings built into this updater (its file named ownName), for the
// command line `arguments` (the program's name first; --repair, --limit-rate)
// and the value of QUELMOR_LIMIT_RATE ("" when unset). A speed that is not
// understood is left out, and warning says so (else it is cleared).
[[nodiscard]] Settings SettingsOf(const QString& ownName, const QStringList& arguments,
                                  const QString& limitRate, QString& warning);

} // namespace modUpdate
