#pragma once
// What a publishing run will do, worked out in full before anything is
// written, and carrying it out.

#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <optional>

#include "update/Failure.h"

#include "publish/History.h"
#include "publish/Names.h"
#include "publish/Publish.h"
#include "publish/SecretKey.h"
#include "publish/ServerManifest.h"

namespace publish {
// One file to put into the server folder.
struct CopyJob {
    QString source;
    QString target;
    QString sha256; // what the manifest says of its bytes
};

// A file whose by-hash/ object is made from its copy in the server folder.
struct ObjectJob {
    QString source;
    QString sha256;
};

// A patch for an entry of the new manifest, from one of the entry's earlier
// versions to the new one.
struct PatchJob {
    qsizetype entry = 0;    // index in PublishPlan::entries
    QString base;           // SHA-256 of the earlier version, lower-case: by-hash/<base>
    qint64 fromRelease = 0; // the newest release whose manifest gave the entry that base
    EntryPatch reuse = {};  // with its sha256 set: patches/ holds this patch already
};

// Everything one run writes, and how it reports it.
struct PublishPlan {
    QString serverDir;               // where the update goes (made when missing)
    QString version;                 // the new global Version
    QString oldVersion;              // the Version published before, "" for none
    qint64 oldRelease = -1;          // the Release published before, -1 for none
    qint64 release = 1;              // the new Release: one more than any before
    QList<PublishedVersion> history; // the history to write, this run last
    QList<PublishEntry> entries;     // the new manifest's entries in position order
    QList<CopyJob> copies;           // game files whose bytes are not on the server yet
    QStringList pending;             // names of the entries whose version is raised
    QList<ObjectJob> seeds;          // objects of the manifest published before, from its copies
    QList<PatchJob> patches;         // in the order their entries offer them
    QString newsSource;              // the news to copy to news.txt, "" for none
    QStringList added;               // report lines per kind of entry
    QStringList changed;
    QStringList unchanged;
    QStringList kept;
    QStringList leftOut;                  // release files and folders not published
    std::optional<MinisignSecretKey> key; // signs info.ini and release.ini when set
    int lifetimeDays = 7;                 // how long release.ini holds
};

// What the patches and the stores of a run came to, for its report.
struct StoreTally {
    QStringList made;    // "pack.pak from release 1: 5.1 MiB"
    int reused = 0;      // patches an earlier run made
    QStringList notKept; // "pack.pak from release 1" when larger than half the file
    int removed = 0;     // files of by-hash/ and patches/ no manifest kept names any more
};

// Works out the run without writing anything. Every reason to refuse it is
// added to problems; the plan is only usable when problems stays empty.
PublishPlan PlanPublish(const PublishRequest& request, QStringList& problems);

// Works out what the run adds to the stores (Store.h), given the manifest
// published before: the objects it has there from the copies it names, and
// the patches to make or reuse. Adds to problems every object or kept copy
// that is not what its name says.
void PlanStore(const ServerManifest& previous, PublishPlan& plan, QStringList& problems);

// Before any copy is written: keeps a copy of the manifest published before
// when it has none, and makes the objects of plan.seeds. Fails saying why not.
modUpdate::Result SeedStores(const PublishPlan& plan);

// Once the copies are written: makes the object of every entry, then the
// patches of plan (or takes those made before) into patches/ and by-hash/,
// adding each one kept to its entry in entries. Fails saying
// why not.
modUpdate::Result FillStores(const PublishPlan& plan, QList<PublishEntry>& entries,
                             StoreTally& tally);

// Once info.ini is written from manifest: keeps its copy, removes the copies
// of older releases than the last KeptReleases, then every file of by-hash/
// and patches/ that none of the kept manifests names. Fails saying why not.
modUpdate::Result TidyStores(const PublishPlan& plan, const QByteArray& manifest,
                             StoreTally& tally);

// Carries out a plan: the record of pending names, the objects of the
// manifest published before, the game files (each checked against the hash
// planned), their objects and the patches, the news, then info.ini and its
// signature, its kept copy, then the history; then the record is removed,
// and so are the files of the stores that no kept manifest names. Fails saying why it stopped.
// published tells whether info.ini was written: when it was not, info.ini is unchanged and the
// record stays for the next run. tally, when given, gets what happened to patches and stores.
modUpdate::Result ApplyPlan(const PublishPlan& plan, bool& published, StoreTally* tally = nullptr);

} // namespace publish
