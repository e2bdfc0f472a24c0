#pragma once
// The publishing tool's side of release.ini and keys.ini: writing the
// statement of a release (and the compressed manifest it names), renewing
// it, and signing a new key list with the root keys.

#include <QString>
#include <QStringList>
#include <QTextStream>
#include <optional>

#include "update/Failure.h"
#include "update/Statement.h"

#include "publish/SecretKey.h"

namespace publish {
// How long a statement holds when the studio does not say.
inline constexpr int DefaultLifetimeDays = 7;
// How long a key list holds when the studio does not say.
inline constexpr int DefaultKeyListDays = 365;

// Reads the secret key file path into key, asking for its password (on err's
// terminal) when it is encrypted. Fails saying why the key cannot be used.
modUpdate::Result LoadSecretKey(const QString& path, QTextStream& err, MinisignSecretKey& key);

// text followed by key's signature of it (when key is given), trusted comment
// "timestamp:<now>\tfile:<name>".
[[nodiscard]] QByteArray SignedText(const QByteArray& text, const MinisignSecretKey* key,
                                    const QString& name);

// Puts the compressed manifest into serverDir's by-hash/ as
// <SHA-256 of manifest>.zst (never written over) and fills the manifest's
// part of statement. Fails saying why not.
modUpdate::Result StoreManifestObject(const QString& serverDir, const QByteArray& manifest,
                                      modUpdate::ReleaseStatement& statement);

// Signs statement (with signing time now and the given lifetime) by key, or
// leaves it unsigned without one, and puts it in place as serverDir's
// release.ini in one step. Fails when it would be longer than StatementGoal
// or cannot be written.
modUpdate::Result WriteStatement(const QString& serverDir, modUpdate::ReleaseStatement statement,
                                 const MinisignSecretKey* key, int lifetimeDays);

// Reads serverDir's key list as the updater does, signatures unchecked;
// nothing when there is none. A list that cannot be read is added to problems.
std::optional<modUpdate::KeyList> ReadServerKeyList(const QString& serverDir,
                                                    QStringList& problems);

// What --check finds wrong with serverDir's release.ini and keys.ini, read
// as an updater built with key (null: without a key) reads them, and that
// release.ini names manifest (the bytes of info.ini) and its compressed copy.
// summary receives "release N, expires <date>" for the report.
QStringList StatementProblems(const QString& serverDir, const QByteArray& manifest,
                              const modUpdate::MinisignPublicKey* key, QString& summary);

// quelmor-publish refresh: signs serverDir's release.ini again with a new
// signing time and expiry, nothing else changed. Returns the exit status.
[[nodiscard]] int Refresh(const QString& serverDir, const QString& keyFile, int lifetimeDays,
                          QTextStream& out, QTextStream& err);

// What quelmor-publish keys is asked to do.
struct KeysRequest {
    QString serverDir;
    QStringList rootKeyFiles; // secret root keys that sign the new list
    QString signingKeyFile;   // the secret key that signs releases from now on
    QStringList newRootFiles; // public keys of the roots from now on; empty to keep them
    int threshold = 0;        // roots needed for the next list; 0 to keep it
};

// quelmor-publish keys: writes the next key list (keys.ini and its copy
// keys-<version>.ini), signed by the root keys given, naming the new signing
// key, and signs release.ini again with it. Returns the exit status.
[[nodiscard]] int RotateKeys(const KeysRequest& request, QTextStream& out, QTextStream& err);

} // namespace publish
