// Carrying out a publishing run and reporting it.
#include <QDir>
#include <QFile>

#include "publish/FileBytes.h"
#include "publish/PublishPlan.h"
#include "publish/ServerManifest.h"

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

} // namespace

QString ApplyPlan(const PublishPlan& plan, bool& published) {
    published = false;
    const QDir server(plan.serverDir);
    if (!QDir().mkpath(plan.serverDir))
        return QStringLiteral("cannot create the server folder %1").arg(plan.serverDir);
    const QString pendingPath = server.filePath(QString::fromLatin1(PendingFileName));
    // Until info.ini names the new versions, the record tells a later run which
    // server copies no longer match the versions published.
    if (!plan.pending.isEmpty()) {
        if (const QString failure = WriteFileSafely(pendingPath, PendingText(plan.pending));
            !failure.isEmpty())
            return failure;
    }
    for (const CopyJob& copy : plan.copies) {
        if (const QString failure = CopyFileSafely(copy.source, copy.target); !failure.isEmpty())
            return failure;
    }
    const QString news = server.filePath(QString::fromLatin1(NewsFileName));
    if (!plan.newsSource.isEmpty()) {
        if (const QString failure = CopyFileSafely(plan.newsSource, news); !failure.isEmpty())
            return failure;
    }
    const QString manifest = server.filePath(QString::fromLatin1(ManifestFileName));
    if (const QString failure = WriteFileSafely(manifest, ManifestText(plan.version, plan.entries));
        !failure.isEmpty())
        return failure;
    published = true;
    if (QFile::exists(pendingPath) && !QFile::remove(pendingPath))
        return QStringLiteral("the update is published, but %1 could not be removed; remove it "
                              "by hand")
            .arg(pendingPath);
    return QString();
}

int Publish(const PublishRequest& request, QTextStream& out, QTextStream& err) {
    QStringList problems;
    const PublishPlan plan = PlanPublish(request, problems);
    if (!problems.isEmpty()) {
        err << QStringLiteral("quelmor-publish: refused; nothing was changed in %1:\n")
                   .arg(QDir::toNativeSeparators(request.serverDir));
        for (const QString& problem : problems)
            err << QStringLiteral("  ") << problem << '\n';
        return 1;
    }
    bool published = false;
    if (const QString failure = ApplyPlan(plan, published); !failure.isEmpty()) {
        err << QStringLiteral("quelmor-publish: stopped: %1\n").arg(failure);
        if (published)
            return 1;
        err << QStringLiteral("info.ini was not changed, so players still get %1. Run the same "
                              "command again once the cause is fixed.\n")
                   .arg(plan.oldVersion.isEmpty() ? QStringLiteral("no update")
                                                  : QStringLiteral("version ") + plan.oldVersion);
        return 1;
    }
    out << QStringLiteral("Published version %1 to %2 (%3 files in info.ini)\n")
               .arg(plan.version, QDir::toNativeSeparators(plan.serverDir))
               .arg(plan.entries.size());
    PrintGroup(out, QStringLiteral("Added"), plan.added);
    PrintGroup(out, QStringLiteral("Changed"), plan.changed);
    PrintGroup(out, QStringLiteral("Unchanged"), plan.unchanged);
    PrintGroup(out, QStringLiteral("Kept, no longer in the release"), plan.kept,
               QStringLiteral("their entries stay: the updater never deletes files and matches "
                              "entries by position"));
    out << QStringLiteral("Copied to the server: %1 file(s)%2\n")
               .arg(plan.copies.size())
               .arg(plan.newsSource.isEmpty() ? QString() : QStringLiteral(", news.txt"));
    return 0;
}
