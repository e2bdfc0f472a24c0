#pragma once
// quelmor-publish: turns a game release folder into an update in the folder
// the update server serves, and checks such a folder.

#include <QString>
#include <QStringList>
#include <QTextStream>

// What one publishing run is asked to do.
struct PublishRequest {
    QString releaseDir; // the game tree of the release
    QString serverDir;  // the folder served at http://<host>:4444/Quelmor/
    QString version;    // the manifest's new global Version
    QString newsFile;   // copied to news.txt; "" to leave the news as it is
};

// Makes serverDir an update to the release: every file flat in serverDir, the
// manifest info.ini written last. Prints what it did to out and returns 0.
// When the release or the server folder cannot be published, prints every
// reason to err, changes nothing and returns 1; when writing fails half-way,
// prints why to err and returns 1 with info.ini unchanged.
int Publish(const PublishRequest& request, QTextStream& out, QTextStream& err);

// Runs the tool with its command-line arguments (without the program name).
// Returns the exit status: 0 done, 1 refused or failed, 2 a usage error
// (the usage text goes to err).
int RunPublish(const QStringList& args, QTextStream& out, QTextStream& err);

// The usage text.
QString PublishUsage();
