#pragma once
// quelmor-publish: turns a game release folder into an update in the folder
// the update server serves, and checks such a folder.

#include <QString>
#include <QStringList>
#include <QTextStream>

namespace publish {
// What one publishing run is asked to do.
struct PublishRequest {
    QString releaseDir;          // the game tree of the release
    QString serverDir;           // the folder served as the updater's base URL
    QString version;             // the manifest's new global Version
    QString newsFile;            // copied to news.txt; "" to leave the news as it is
    QString secretKeyFile;       // minisign secret key to sign info.ini with; "" for none
    bool includeUpdater = false; // the updater's own executable may be in the release
    int lifetimeDays = 7;        // how long release.ini holds
};

// Makes serverDir an update to the release: every file flat in serverDir, the
// manifest info.ini (and its signature info.ini.minisig) written last, the
// history of versions updated. Asks for the password of an encrypted key
// (ReadPassword). Prints what it did to out and returns 0. When the release
// or the server folder cannot be published, prints every reason to err,
// changes nothing and returns 1; when writing fails half-way, prints why to
// err and returns 1 with info.ini unchanged.
[[nodiscard]] int Publish(const PublishRequest& request, QTextStream& out, QTextStream& err);

// Runs the tool with its command-line arguments (without the program name).
// Returns the exit status: 0 done, 1 refused or failed, 2 a usage error
// (the usage text goes to err).
[[nodiscard]] int RunPublish(const QStringList& args, QTextStream& out, QTextStream& err);

// Makes a new minisign key pair in dir: quelmor.pub and quelmor.key (not
// encrypted, readable by its owner only). Prints the key id and the public
// key line to out and returns 0; refuses to overwrite either file (1).
[[nodiscard]] int MakeKeys(const QString& dir, QTextStream& out, QTextStream& err);

// The usage text.
[[nodiscard]] QString PublishUsage();

} // namespace publish
