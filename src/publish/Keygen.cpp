// quelmor-publish keygen: a new signing key pair in minisign's format.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "publish/Publish.h"
#include "publish/SecretKey.h"

using namespace modUpdate;

namespace publish {

namespace {

// Writes bytes to a new file at path that only its owner may read when
// secret; never replaces a file. Fails saying why not.
Result WriteNewFile(const QString& path, const QByteArray& bytes, bool secret) {
    QFile file(path);
    const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const QFileDevice::Permissions everyone =
        owner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, secret ? owner : everyone) ||
        file.write(bytes) != bytes.size() || !file.flush())
        return Result::Failed(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return Result();
}

} // namespace

int MakeKeys(const QString& dir, QTextStream& out, QTextStream& err) {
    const QString publicPath = QDir(dir).filePath(QStringLiteral("quelmor.pub"));
    const QString secretPath = QDir(dir).filePath(QStringLiteral("quelmor.key"));
    for (const QString& path : {publicPath, secretPath}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            err << QStringLiteral("quelmor-publish: refused: %1 is there already, and keygen never "
                                  "replaces a key; move it away or give another folder\n")
                       .arg(path);
            return 1;
        }
    }
    const std::optional<KeyPairFiles> keys = MakeKeyPair();
    Result made =
        keys ? Result() : Result::Failed(QStringLiteral("libsodium could not be started"));
    if (made && !QDir().mkpath(dir))
        made = Result::Failed(QStringLiteral("cannot create the folder %1").arg(dir));
    if (made)
        made = WriteNewFile(secretPath, keys->secretKeyFile, true);
    if (made)
        made = WriteNewFile(publicPath, keys->publicKeyFile, false);
    if (!made) {
        err << QStringLiteral("quelmor-publish: %1\n").arg(made.why());
        return 1;
    }
    out << QStringLiteral("Made a key pair, key id %1:\n"
                          "  %2  the secret key: not encrypted and readable only by you; keep it\n"
                          "  off the server and keep a copy in a safe place\n"
                          "  %3  the public key\n"
                          "Sign with: quelmor-publish ... --sign %2\n"
                          "Build the updater with: -DQUELMOR_PUBLIC_KEY=%4\n")
               .arg(keys->keyIdText, QDir::toNativeSeparators(secretPath),
                    QDir::toNativeSeparators(publicPath), QString::fromLatin1(keys->publicKeyLine));
    return 0;
}

} // namespace publish
