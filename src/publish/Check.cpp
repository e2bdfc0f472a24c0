#include "publish/Check.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>

#include "publish/CheckStore.h"
#include "publish/FileBytes.h"
#include "publish/Names.h"
#include "publish/ReleaseFile.h"
#include "publish/Scan.h"
#include "publish/ServerManifest.h"
#include "publish/Store.h"

using namespace modUpdate;

namespace publish {

namespace {

// Adds to problems what is wrong with the FileSize and FileSha256 of entry,
// whose server copy is at path: a malformed value, or one the copy does not
// match; with signed, also a missing value.
void CheckIntegrity(const PublishEntry& entry, const QString& path, bool keyed,
                    QStringList& problems) {
    static const QRegularExpression size(QStringLiteral("^[0-9]{1,18}$"));
    static const QRegularExpression sha256(QStringLiteral("^[0-9a-fA-F]{64}$"));
    if (keyed && (entry.size.isEmpty() || entry.sha256.isEmpty()))
        problems << QStringLiteral("%1 has no FileSize or no FileSha256, so updaters with a key "
                                   "refuse it; publish again with quelmor-publish")
                        .arg(entry.label);
    if (!entry.size.isEmpty() && !size.match(entry.size).hasMatch()) {
        problems << QStringLiteral("%1: FileSize \"%2\" is not a whole number of bytes")
                        .arg(entry.label, entry.size);
        return;
    }
    if (!entry.sha256.isEmpty() && !sha256.match(entry.sha256).hasMatch()) {
        problems << QStringLiteral("%1: FileSha256 \"%2\" is not 64 hex digits")
                        .arg(entry.label, entry.sha256);
        return;
    }
    if (entry.size.isEmpty() && entry.sha256.isEmpty())
        return;
    FileDigest digest;
    if (const Result failure = DigestFile(path, digest); !failure)
        problems << QStringLiteral("%1: %2").arg(entry.label, failure.why());
    else if (!entry.size.isEmpty() && entry.size != QString::number(digest.size))
        problems << QStringLiteral("%1: the file on the server has %2 bytes, info.ini says %3")
                        .arg(entry.label, QString::number(digest.size), entry.size);
    else if (!entry.sha256.isEmpty() && entry.sha256.toLower() != digest.sha256)
        problems << QStringLiteral("%1: the file on the server has the SHA-256 %2, info.ini says "
                                   "%3")
                        .arg(entry.label, digest.sha256, entry.sha256);
}

// Adds to problems why info.ini.minisig in dir is not key's valid signature of
// info.ini.
void CheckSignature(const QDir& dir, const MinisignPublicKey& key, QStringList& problems) {
    QFile manifest(dir.filePath(QString::fromLatin1(ManifestFileName)));
    QFile signature(dir.filePath(QString::fromLatin1(SignatureFileName)));
    if (!signature.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("info.ini.minisig is missing: updaters with key id %1 refuse "
                                   "the update; publish again with --sign")
                        .arg(KeyIdText(key.keyId));
        return;
    }
    if (!manifest.open(QIODevice::ReadOnly))
        return; // reported with the manifest
    if (const Result verified =
            VerifyMinisign(key, manifest.readAll(), signature.read(MaxSignatureFileSize + 1));
        !verified)
        problems << QStringLiteral("info.ini.minisig is refused: %1; publish again with --sign")
                        .arg(verified.why());
}

} // namespace

QStringList ServerFolderProblems(const QString& serverDir, const MinisignPublicKey* key,
                                 QString* summary) {
    if (!QFileInfo(serverDir).isDir())
        return {QStringLiteral("%1 is not a folder").arg(serverDir)};
    QStringList problems = ServerFolderProblemsOnDisk(serverDir);
    const ServerManifest manifest = ReadServerManifest(serverDir);
    if (!manifest.found)
        return problems << QStringLiteral("%1 has no info.ini").arg(serverDir);
    problems += manifest.problems;
    problems += EntryListProblems(manifest.entries);
    const QDir dir(serverDir);
    for (const PublishEntry& entry : manifest.entries) {
        // A name that breaks the rules is reported above and may not name a file here.
        if (!NameProblem(entry.name, entry.folder).isEmpty())
            continue;
        const QFileInfo file(dir.filePath(entry.name));
        if (!file.isFile())
            problems << QStringLiteral("%1: the file %2 is missing from the server folder")
                            .arg(entry.label, entry.name);
        else if (!file.isSymLink()) { // a link is reported above
            const qsizetype before = problems.size();
            CheckIntegrity(entry, file.filePath(), key != nullptr, problems);
            // The object is often a hard link of the copy: then both are damaged.
            const QString object = ObjectPath(serverDir, entry.sha256);
            if (problems.size() > before && manifest.byHash && SameFile(file.filePath(), object))
                problems.last() += QStringLiteral(", and so has its object by-hash/%1, the same "
                                                  "file")
                                       .arg(entry.sha256.toLower());
        }
    }
    problems += StoreProblems(serverDir, manifest);
    if (key != nullptr)
        CheckSignature(dir, *key, problems);
    QFile text(dir.filePath(QString::fromLatin1(ManifestFileName)));
    QString stated;
    if (text.open(QIODevice::ReadOnly))
        problems += StatementProblems(serverDir, text.readAll(), key, stated);
    if (summary != nullptr)
        *summary = stated;
    if (QFileInfo::exists(dir.filePath(QString::fromLatin1(PendingFileName))))
        problems << QStringLiteral("%1 is there: a publishing run did not finish; run "
                                   "quelmor-publish again")
                        .arg(QString::fromLatin1(PendingFileName));
    return problems;
}

QStringList ServerFolderWarnings(const QString& serverDir) {
    QFile news(QDir(serverDir).filePath(QString::fromLatin1(NewsFileName)));
    if (!news.open(QIODevice::ReadOnly))
        return {QStringLiteral("news.txt is missing: players see an empty news box; publish with "
                               "--news FILE")};
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(news.readAll()); // the decoder runs when its result is converted
    if (utf8.hasError())
        return {QStringLiteral("news.txt is not valid UTF-8: players may see it garbled; save it "
                               "as UTF-8 and publish it again with --news")};
    return {};
}

int CheckServer(const QString& serverDir, const QString& publicKey, QTextStream& out,
                QTextStream& err) {
    MinisignPublicKey key;
    if (!publicKey.isEmpty()) {
        QFile file(publicKey);
        const QByteArray text = QFileInfo(publicKey).isFile() && file.open(QIODevice::ReadOnly)
                                    ? file.read(8192)
                                    : publicKey.toUtf8();
        if (const Result parsed = ParsePublicKey(text, key); !parsed) {
            err << QStringLiteral("quelmor-publish: --public-key %1: %2\n")
                       .arg(publicKey, parsed.why());
            return 2;
        }
    }
    QString stated;
    const QStringList problems =
        ServerFolderProblems(serverDir, publicKey.isEmpty() ? nullptr : &key, &stated);
    for (const QString& warning : ServerFolderWarnings(serverDir))
        err << QStringLiteral("quelmor-publish: warning: ") << warning << '\n';
    if (problems.isEmpty()) {
        const ServerManifest manifest = ReadServerManifest(serverDir);
        const bool signedFolder =
            QFileInfo::exists(QDir(serverDir).filePath(QString::fromLatin1(SignatureFileName)));
        out << QStringLiteral("OK: %1 serves version %2, release %3, with %4 files%5\n")
                   .arg(QDir::toNativeSeparators(serverDir), manifest.version,
                        QString::number(manifest.release), QString::number(manifest.entries.size()),
                        !publicKey.isEmpty()
                            ? QStringLiteral(", signed by key id ") + KeyIdText(key.keyId)
                        : signedFolder
                            ? QStringLiteral("; the signature was not checked (give --public-key)")
                            : QString());
        out << QStringLiteral("  ") << stated << '\n';
        return 0;
    }
    for (const QString& problem : problems)
        out << problem << '\n';
    err << QStringLiteral("quelmor-publish: %1 has %2 problem(s)\n")
               .arg(QDir::toNativeSeparators(serverDir), QString::number(problems.size()));
    return 1;
}

} // namespace publish
