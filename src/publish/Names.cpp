#include "publish/Names.h"

#include <QHash>
#include <QRegularExpression>

#include "update/Paths.h"
#include "update/Profile.h"
#include "update/Statement.h"

using namespace modUpdate;

namespace publish {

namespace {

// The parts of a folder value, split at "\" and "/", empty parts dropped.
QStringList FolderParts(const QString& folder) {
    static const QRegularExpression separators(QStringLiteral("[\\\\/]"));
    return folder.split(separators, Qt::SkipEmptyParts);
}

// Why one part of a path (a name or one folder level) cannot be carried to a
// player's disk, as the end of a sentence about it: characters a download
// address cannot hold, non-ASCII characters. "" when it can. (What Windows
// cannot hold is among the updater's own refusals.)
QString PartProblem(const QString& part) {
    for (const QChar c : part) {
        if (c.unicode() > 0x7e)
            return QStringLiteral("holds the non-ASCII character '%1', which players' systems "
                                  "may read in another encoding")
                .arg(c);
        if (QStringLiteral("#%").contains(c))
            return QStringLiteral("holds '%1', which cannot stand in a download address").arg(c);
    }
    return QString();
}

// The names the updater uses for itself at the top of the game folder, and
// what it does there; a game file or folder of such a name there would be
// refused, replaced or deleted on every player's machine.
struct UpdaterName {
    const char* name;
    const char* use;
};
constexpr UpdaterName UpdaterNames[] = {
    {"info.ini", "the updater keeps its manifest there"},
    {"temp.ini", "the updater keeps the manifest it downloads there and refuses game files of "
                 "that name"},
    {".quelmor-partial", "the updater keeps the files it is fetching there, removes that folder "
                         "after each update and refuses game files of that name"},
    {".quelmor-release.ini", "the updater keeps the last release statement it trusted there and "
                             "refuses game files of that name"},
    {".quelmor-keys.ini", "the updater keeps the last key list it trusted there and refuses game "
                          "files of that name"},
    {"Quelmor.old", "an updater that replaces itself moves its old executable there, and each "
                    "start deletes that file"},
};

// True when a and b are equal without regard to letter case.
bool SameName(const QString& a, const char* b) {
    return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
}

// Why name clashes with a file of the updater or of this tool; "" when it does not.
QString ReservedNameProblem(const QString& name, const QString& folder) {
    if (SameName(name, ManifestFileName))
        return QStringLiteral("on the server it would replace the manifest info.ini");
    if (SameName(name, SignatureFileName))
        return QStringLiteral("on the server it would replace the manifest's signature");
    if (SameName(name, NewsFileName))
        return QStringLiteral("on the server it would replace the news, news.txt");
    static const QRegularExpression keyList(QStringLiteral("^keys(-[0-9]+)?\\.ini$"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (SameName(name, StatementFileName) || keyList.match(name).hasMatch())
        return QStringLiteral("on the server it would replace the release statement or a key list");
    if (SameName(name, PendingFileName) || SameName(name, HistoryFileName))
        return QStringLiteral("it is the name of one of the publishing tool's own records");
    for (const char* own : {ObjectFolderName, PatchFolderName, ManifestCopiesFolderName}) {
        if (SameName(name, own))
            return QStringLiteral("on the server it would stand where the publishing tool keeps "
                                  "its folder %1")
                .arg(QLatin1String(own));
    }
    for (const UpdaterName& own : UpdaterNames) {
        if (SameName(name, own.name) && CanonicalFolder(folder).isEmpty())
            return QStringLiteral("%1 at the top of the game folder is one of the updater's own "
                                  "names: %2")
                .arg(QLatin1String(own.name), QLatin1String(own.use));
    }
    return QString();
}

// Reports every file that stands where another entry needs a folder of the
// same name (letter case ignored), and every folder named like one of the
// updater's own names at the top of the game folder.
void FindFileFolderClashes(const QList<PublishEntry>& entries, QStringList& problems) {
    QHash<QString, QString> folders; // folded folder path -> label of an entry inside it
    for (const PublishEntry& entry : entries) {
        QString prefix;
        for (const QString& part : FolderParts(entry.folder)) {
            prefix = JoinPath(prefix, FoldName(part), QLatin1Char('\\'));
            if (!folders.contains(prefix))
                folders.insert(prefix, entry.label);
        }
    }
    for (const UpdaterName& own : UpdaterNames) {
        const auto user = folders.constFind(FoldName(QLatin1String(own.name)));
        if (user != folders.constEnd())
            problems << QStringLiteral("%1: it needs a folder named %2 at the top of the game "
                                       "folder, one of the updater's own names: %3")
                            .arg(*user, QLatin1String(own.name), QLatin1String(own.use));
    }
    for (const PublishEntry& entry : entries) {
        if (entry.name.isEmpty())
            continue;
        const QString path = FoldName(JoinPath(CanonicalFolder(entry.folder), entry.name, u'\\'));
        const auto user = folders.constFind(path);
        if (user != folders.constEnd())
            problems << QStringLiteral("%1 is a file where %2 needs a folder of that name; a "
                                       "player's disk cannot hold both")
                            .arg(entry.label, *user);
    }
}

} // namespace

QString FoldName(const QString& name) {
    return name.toCaseFolded();
}

QString CanonicalFolder(const QString& folder) {
    return FolderParts(folder).join(QLatin1Char('\\'));
}

QString JoinPath(const QString& folder, const QString& name, QChar separator) {
    return folder.isEmpty() ? name : folder + separator + name;
}

QString ValueProblem(const QString& value) {
    const QByteArray text = "[s]\r\nk=" + value.toUtf8() + "\r\n";
    const QString back = ProfileValue(ParseProfile(text), QStringLiteral("s"), QStringLiteral("k"));
    if (back == value)
        return QString();
    if (value.size() > MaxProfileValueLength)
        return QStringLiteral("it is longer than the %1 characters the manifest reader keeps")
            .arg(MaxProfileValueLength);
    return QStringLiteral("the manifest reader would read it back as \"%1\"").arg(back);
}

QString NameProblem(const QString& name, const QString& folder) {
    if (name.isEmpty())
        return QStringLiteral("it has no name");
    if (const QString reason = UnsafePathReason(name); !reason.isEmpty())
        return QStringLiteral("the updater would refuse the name: ") + reason;
    if (name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char('/')))
        return QStringLiteral("its name holds a path separator");
    if (const QString reason = ValueProblem(name); !reason.isEmpty())
        return QStringLiteral("its name cannot be written to the manifest: ") + reason;
    if (const QString reason = PartProblem(name); !reason.isEmpty())
        return QStringLiteral("its name ") + reason;
    return ReservedNameProblem(name, folder);
}

QString FolderProblem(const QString& folder) {
    // The updater drops one separator at each end of a folder before judging it.
    if (const QString reason = UnsafePathReason(TrimOneSeparator(folder)); !reason.isEmpty())
        return QStringLiteral("the updater would refuse its folder: ") + reason;
    const QString written = CanonicalFolder(folder);
    if (const QString reason = ValueProblem(written); !reason.isEmpty())
        return QStringLiteral("its folder cannot be written to the manifest: ") + reason;
    for (const QString& part : FolderParts(folder)) {
        if (const QString reason = PartProblem(part); !reason.isEmpty())
            return QStringLiteral("its folder \"%1\" ").arg(part) + reason;
    }
    return QString();
}

QStringList EntryListProblems(const QList<PublishEntry>& entries) {
    QStringList problems;
    QHash<QString, QString> byName; // folded name -> label of the first entry with it
    for (const PublishEntry& entry : entries) {
        if (entry.name.isEmpty())
            continue; // the manifest reader reports entries without a name
        if (const QString reason = NameProblem(entry.name, entry.folder); !reason.isEmpty())
            problems << entry.label + QStringLiteral(": ") + reason;
        if (const QString reason = FolderProblem(entry.folder); !reason.isEmpty())
            problems << entry.label + QStringLiteral(": ") + reason;
        const QString key = FoldName(entry.name);
        if (const auto first = byName.constFind(key); first != byName.constEnd())
            problems << QStringLiteral("%1 and %2 have the same name on the server, where every "
                                       "file lies in one folder (letter case is ignored)")
                            .arg(*first, entry.label);
        else
            byName.insert(key, entry.label);
    }
    FindFileFolderClashes(entries, problems);
    return problems;
}

} // namespace publish
