// Carrying out a publishing run and reporting it.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include "publish/FileBytes.h"
#include "publish/PublishPlan.h"
#include "publish/ReleaseFile.h"
#include "publish/ServerManifest.h"
#include "publish/Store.h"

using namespace modUpdate;

namespace publish {

namespace {

// Prints one kind of entry: a heading with the count, the note when there are
// entries, then one line each.
void PrintGroup(QTextStream& out, const QString& heading, const QStringList& lines,
                const QString& note = QString()) {
    out << heading << QStringLiteral(": %1\n").arg(lines.size());
    if (!lines.isEmpty() && !note.isEmpty())
        out << QStringLiteral("  (") << note << QStringLiteral(")\n");
    for (const QString& line : lines)
        out << QStringLiteral("  ") << line << '\n';
}

// Prints the patches made, taken from earlier runs and not kept, and the
// files removed from by-hash/ and patches/, when there are any.
void PrintStores(QTextStream& out, const StoreTally& tally) {
    if (!tally.made.isEmpty() || tally.reused > 0 || !tally.notKept.isEmpty()) {
        out << QStringLiteral("Patches: %1 made").arg(tally.made.size());
        if (!tally.made.isEmpty())
            out << QStringLiteral(" (") << tally.made.join(QStringLiteral(", ")) << u')';
        out << QStringLiteral(", %1 reused").arg(tally.reused);
        if (!tally.notKept.isEmpty())
            out << QStringLiteral(", %1 not kept, larger than half the file (%2)")
                       .arg(QString::number(tally.notKept.size()),
                            tally.notKept.join(QStringLiteral(", ")));
        out << u'\n';
    }
    if (tally.removed > 0)
        out << QStringLiteral("Removed from by-hash/ and patches/: %1 file(s) no manifest of "
                              "the last %2 releases names\n")
                   .arg(tally.removed)
                   .arg(KeptReleases);
}

// Writes text as info.ini and, when the plan has a key, its signature info.ini.minisig
// (trusted comment: time, file, version and release). Both are written in full
// before either is put in place, then they are put in place one right after
// the other, the signature first. Fails saying why not.
Result WriteManifest(const QDir& server, const PublishPlan& plan, const QByteArray& text) {
    QSaveFile manifest(server.filePath(QString::fromLatin1(ManifestFileName)));
    QSaveFile signature(server.filePath(QString::fromLatin1(SignatureFileName)));
    if (!manifest.open(QIODevice::WriteOnly) || manifest.write(text) != text.size())
        return Result::Failed(
            QStringLiteral("cannot write %1: %2").arg(manifest.fileName(), manifest.errorString()));
    if (plan.key) {
        const QByteArray comment =
            QStringLiteral("timestamp:%1\tfile:info.ini\tversion:%2\trelease:%3")
                .arg(QString::number(QDateTime::currentSecsSinceEpoch()), plan.version,
                     QString::number(plan.release))
                .toUtf8();
        const QByteArray bytes = SignPrehashed(*plan.key, text, comment);
        if (!signature.open(QIODevice::WriteOnly) || signature.write(bytes) != bytes.size() ||
            !signature.commit())
            return Result::Failed(QStringLiteral("cannot write %1: %2")
                                      .arg(signature.fileName(), signature.errorString()));
    }
    if (!manifest.commit())
        return Result::Failed(
            QStringLiteral("cannot write %1: %2%3")
                .arg(manifest.fileName(), manifest.errorString(),
                     plan.key ? QStringLiteral(" (its new signature is already in place)")
                              : QString()));
    return Result();
}

// Reads the secret key of the request, asking for its password when it is
// encrypted, into plan.key. Fails saying why the key cannot be
// used; also refuses a key other than the one that signed the update on the
// server, which every updater built with that one would refuse.
Result UnlockKey(const PublishRequest& request, PublishPlan& plan, QTextStream& err) {
    MinisignSecretKey key;
    if (const Result loaded = LoadSecretKey(request.secretKeyFile, err, key); !loaded)
        return loaded;
    QStringList problems;
    if (const std::optional<KeyList> list = ReadServerKeyList(plan.serverDir, problems); list) {
        // With a key list, it says which keys sign.
        for (const MinisignPublicKey& signing : list->signing) {
            if (signing.keyId == key.keyId && signing.key == PublicKeyOf(key).key) {
                plan.key = key;
                return Result();
            }
        }
        return Result::Failed(QStringLiteral("keys.ini on the server does not name key id %1 as "
                                             "a signing key, so updaters would refuse this update")
                                  .arg(KeyIdText(key.keyId)));
    }
    if (!problems.isEmpty())
        return Result::Failed(problems.join(QStringLiteral("; ")));
    QFile old(QDir(plan.serverDir).filePath(QString::fromLatin1(SignatureFileName)));
    if (old.open(QIODevice::ReadOnly)) {
        const QByteArray oldKeyId = SignatureKeyId(old.read(MaxSignatureFileSize + 1));
        if (!oldKeyId.isEmpty() && oldKeyId != key.keyId)
            return Result::Failed(
                QStringLiteral("info.ini.minisig on the server was made by key id %1, and "
                               "--sign gives key id %2: updaters built with %1 would refuse "
                               "this update; to change keys, remove info.ini.minisig first")
                    .arg(KeyIdText(oldKeyId), KeyIdText(key.keyId)));
    }
    plan.key = key;
    return Result();
}

} // namespace

Result ApplyPlan(const PublishPlan& plan, bool& published, StoreTally* tally) {
    published = false;
    StoreTally ignored;
    StoreTally& counts = tally != nullptr ? *tally : ignored;
    const QDir server(plan.serverDir);
    if (!QDir().mkpath(plan.serverDir))
        return Result::Failed(
            QStringLiteral("cannot create the server folder %1").arg(plan.serverDir));
    const QString pendingPath = server.filePath(QString::fromLatin1(PendingFileName));
    // Until info.ini names the new versions, the record tells a later run which
    // server copies no longer match the versions published.
    if (!plan.pending.isEmpty()) {
        if (const Result failure = WriteFileSafely(pendingPath, PendingText(plan.pending));
            !failure)
            return failure;
    }
    // The objects of what players have now are made before any copy is replaced.
    if (const Result failure = SeedStores(plan); !failure)
        return failure;
    for (const CopyJob& copy : plan.copies) {
        if (const Result failure = CopyFileSafely(copy.source, copy.target, copy.sha256); !failure)
            return failure;
    }
    QList<PublishEntry> entries = plan.entries;
    if (const Result failure = FillStores(plan, entries, counts); !failure)
        return failure;
    const QString news = server.filePath(QString::fromLatin1(NewsFileName));
    if (!plan.newsSource.isEmpty()) {
        if (const Result failure = CopyFileSafely(plan.newsSource, news); !failure)
            return failure;
    }
    const QByteArray text = ManifestText(plan.version, plan.release, entries);
    // The compressed copy release.ini names is there before either names it.
    ReleaseStatement statement;
    statement.release = plan.release;
    statement.version = plan.version;
    if (const Result stored = StoreManifestObject(plan.serverDir, text, statement); !stored)
        return stored;
    if (const Result written = WriteManifest(server, plan, text); !written)
        return written;
    published = true;
    if (const Result written = WriteStatement(plan.serverDir, statement,
                                              plan.key ? &*plan.key : nullptr, plan.lifetimeDays);
        !written)
        return Result::Failed(QStringLiteral("info.ini is published, but %1; run quelmor-publish "
                                             "refresh to write it")
                                  .arg(written.why()));
    if (QFile::exists(pendingPath) && !QFile::remove(pendingPath))
        return Result::Failed(
            QStringLiteral("the update is published, but %1 could not be removed; remove it "
                           "by hand")
                .arg(pendingPath));
    const QString history = server.filePath(QString::fromLatin1(HistoryFileName));
    if (const Result failure = WriteFileSafely(history, HistoryText(plan.history)); !failure)
        return Result::Failed(
            QStringLiteral("the update is published, but %1; add the line \"%2\" to it by hand")
                .arg(failure.why(),
                     QString::fromUtf8(HistoryText({plan.history.last()}).trimmed())));
    if (const Result failure = TidyStores(plan, text, counts); !failure)
        return Result::Failed(
            QStringLiteral("the update is published, but %1; publish again to tidy by-hash/ "
                           "and patches/")
                .arg(failure.why()));
    return Result();
}

int Publish(const PublishRequest& request, QTextStream& out, QTextStream& err) {
    QStringList problems;
    PublishPlan plan = PlanPublish(request, problems);
    // The password is asked for only when everything else is in order.
    if (problems.isEmpty() && !request.secretKeyFile.isEmpty()) {
        if (const Result why = UnlockKey(request, plan, err); !why)
            problems << why.why();
    }
    if (!problems.isEmpty()) {
        err << QStringLiteral("quelmor-publish: refused; nothing was changed in %1:\n")
                   .arg(QDir::toNativeSeparators(request.serverDir));
        for (const QString& problem : problems)
            err << QStringLiteral("  ") << problem << '\n';
        return 1;
    }
    bool published = false;
    StoreTally tally;
    if (const Result failure = ApplyPlan(plan, published, &tally); !failure) {
        err << QStringLiteral("quelmor-publish: stopped: %1\n").arg(failure.why());
        if (published)
            return 1;
        err << QStringLiteral("info.ini was not changed, so players still get %1. Run the same "
                              "command again once the cause is fixed.\n")
                   .arg(plan.oldVersion.isEmpty() ? QStringLiteral("no update")
                                                  : QStringLiteral("version ") + plan.oldVersion);
        return 1;
    }
    out << QStringLiteral("Published version %1, release %2, to %3 (%4 files in info.ini%5)\n")
               .arg(plan.version, QString::number(plan.release),
                    QDir::toNativeSeparators(plan.serverDir), QString::number(plan.entries.size()),
                    plan.key ? QStringLiteral(", signed by key id ") + KeyIdText(plan.key->keyId)
                             : QString());
    PrintGroup(out, QStringLiteral("Added"), plan.added);
    PrintGroup(out, QStringLiteral("Changed"), plan.changed);
    PrintGroup(out, QStringLiteral("Unchanged"), plan.unchanged);
    PrintGroup(out, QStringLiteral("Kept, no longer in the release"), plan.kept,
               QStringLiteral("their entries stay: the updater never deletes files and matches "
                              "entries by position"));
    if (!plan.leftOut.isEmpty())
        PrintGroup(out, QStringLiteral("Left out"), plan.leftOut,
                   QStringLiteral("system and version-control files players never need"));
    out << QStringLiteral("Copied to the server: %1 file(s)%2\n")
               .arg(plan.copies.size())
               .arg(plan.newsSource.isEmpty() ? QString() : QStringLiteral(", news.txt"));
    PrintStores(out, tally);
    return 0;
}

} // namespace publish
