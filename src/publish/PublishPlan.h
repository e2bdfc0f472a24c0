#pragma once
// What a publishing run will do, worked out in full before anything is
// written, and carrying it out.

#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <optional>

#include "publish/History.h"
#include "publish/Names.h"
#include "publish/Publish.h"
#include "publish/SecretKey.h"

// One file to put into the server folder.
struct CopyJob {
    QString source;
    QString target;
    QString sha256; // what the manifest says of its bytes
};

// Everything one run writes, and how it reports it.
struct PublishPlan {
    QString serverDir;               // where the update goes (made when missing)
    QString version;                 // the new global Version
    QString oldVersion;              // the Version published before, "" for none
    qint64 release = 1;              // the new Release: one more than any before
    QList<PublishedVersion> history; // the history to write, this run last
    QList<PublishEntry> entries;     // the new manifest's entries in position order
    QList<CopyJob> copies;           // game files whose bytes are not on the server yet
    QStringList pending;             // names of the entries whose version is raised
    QString newsSource;              // the news to copy to news.txt, "" for none
    QStringList added;               // report lines per kind of entry
    QStringList changed;
    QStringList unchanged;
    QStringList kept;
    QStringList leftOut;                  // release files and folders not published
    std::optional<MinisignSecretKey> key; // signs info.ini when set
};

// Works out the run without writing anything. Every reason to refuse it is
// added to problems; the plan is only usable when problems stays empty.
PublishPlan PlanPublish(const PublishRequest& request, QStringList& problems);

// Carries out a plan: the record of pending names, the game files (each
// checked against the hash planned), the news, then info.ini and its
// signature, then the history; then the record is removed. Returns "" on
// success, else why it stopped. published tells whether info.ini was
// written: when it was not, info.ini is unchanged and the record stays for
// the next run.
QString ApplyPlan(const PublishPlan& plan, bool& published);
