#include "transfer/DownloadFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <cmath>

#include "ui/frmUpdate.h"
#include "update/Failure.h"
#include "update/Paths.h"
#include "update/Profile.h"
#include "update/modUpdate.h"

using namespace modUpdate;

namespace {

// The percentage advances in whole blocks of this size.
constexpr qint64 BlockSize = 1024;

// Finds or makes the folder `relative` below `base`, one level at a time. A
// level that exists in another letter case is used as it is. Returns the real
// path. Throws UpdateFailure when a level cannot be made.
QString MakeFolder(const QString& base, const QString& relative) {
    QString path = base;
    for (const QString& level : SplitPath(relative)) {
        if (level.isEmpty())
            continue;
        QDir parent(path);
        QString found;
        if (QFileInfo(parent.filePath(level)).isDir()) {
            found = level;
        } else {
            const QStringList entries = parent.entryList(
                QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
            for (const QString& entry : entries) {
                if (entry.compare(level, Qt::CaseInsensitive) == 0) {
                    found = entry;
                    break;
                }
            }
        }
        if (found.isEmpty()) {
            if (!parent.mkdir(level)) {
                const QString reason = QFileInfo::exists(parent.filePath(level))
                                           ? QStringLiteral("a file of that name is in the way")
                                           : QStringLiteral("the folder cannot be written");
                Fail(QStringLiteral("Could not create the folder %1: %2.")
                         .arg(QDir::toNativeSeparators(parent.filePath(level)), reason));
            }
            found = level;
        }
        path = parent.filePath(found);
    }
    return path;
}

// The body length the server announced, or -1 when it announced none.
// Throws UpdateFailure when the announcement is not a byte count.
qint64 ExpectedSize(const QString& header, const QString& what) {
    if (header.isEmpty())
        return -1;
    bool ok = false;
    const qint64 size = header.toLongLong(&ok);
    if (!ok || size < 0 || header.startsWith(QLatin1Char('+')))
        Fail(QStringLiteral("Could not download %1: the server announced an invalid size "
                            "(Content-Length: %2).")
                 .arg(what, header.left(40)));
    return size;
}

// Shows how far the transfer has come, counted in whole blocks, as the
// received part of the expected size.
void ShowProgress(qint64 received, qint64 expected, QString& shown) {
    if (expected <= 0)
        return;
    const qint64 counted = received >= expected ? expected : received / BlockSize * BlockSize;
    if (counted == 0)
        return;
    const QString text = QString::number(PercentOf(counted, expected)) + QLatin1Char('%');
    if (text != shown) {
        frmUpdate::Instance().SetPercent(text);
        shown = text;
    }
}

} // namespace

int PercentOf(qint64 received, qint64 expected) {
    const double ratio = static_cast<double>(received) / static_cast<double>(expected);
    return static_cast<int>(std::floor(ratio * 100.0));
}

void DownloadFile(const QString& remoteName, const QString& localName) {
    if (TrimSpaces(localName).isEmpty())
        return;

    // The folder: one separator is dropped at each end, then every missing
    // level is made.
    if (!CurrentFolder.isEmpty())
        CurrentFolder = TrimOneSeparator(CurrentFolder);
    for (const QString& value : {CurrentFolder, localName}) {
        const QString reason = UnsafePathReason(value);
        if (!reason.isEmpty())
            Fail(QStringLiteral("Refused to download %1 into \"%2\": %3, which could lead "
                                "outside the game folder.")
                     .arg(remoteName, value, reason));
    }
    QString folder = AppFolder();
    if (!CurrentFolder.isEmpty())
        folder = MakeFolder(folder, CurrentFolder);
    QString local = localName;
    local.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString target = QDir(folder).filePath(local);
    if (local.contains(QLatin1Char('/')))
        MakeFolder(folder, QFileInfo(local).path());

    // The body goes into a temporary file beside the target, which replaces
    // the target only once the whole file has arrived.
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        Fail(QStringLiteral("Could not write %1: %2.")
                 .arg(QDir::toNativeSeparators(target), file.errorString()));
    InetTransfer& inet = frmUpdate::Instance().Inet;
    struct AbortOnExit {
        InetTransfer& inet;
        ~AbortOnExit() { inet.Abort(); }
    } abortOnExit{inet};

    inet.Execute(ServerUrl + remoteName, &file);
    QString shown;
    qint64 expected = -1;
    while (inet.StillExecuting()) {
        DoEvents(true);
        if (expected < 0)
            expected = ExpectedSize(inet.GetHeader(QStringLiteral("Content-Length")), remoteName);
        ShowProgress(inet.BytesReceived(), expected, shown);
    }
    inet.CheckCompleted(remoteName);
    expected = ExpectedSize(inet.GetHeader(QStringLiteral("Content-Length")), remoteName);
    if (expected >= 0 && inet.BytesReceived() != expected)
        Fail(QStringLiteral("Could not download %1: the server sent %2 of the %3 bytes it "
                            "announced.")
                 .arg(remoteName)
                 .arg(inet.BytesReceived())
                 .arg(expected));
    ShowProgress(inet.BytesReceived(), expected, shown);
    if (!file.commit())
        Fail(QStringLiteral("Could not write %1: %2.")
                 .arg(QDir::toNativeSeparators(target), file.errorString()));
    ForgetIniFile(target);

    DoEvents();
    frmUpdate::Instance().SetL3(QStringLiteral("Downloaded ") + remoteName + QLatin1Char('!'));
}
