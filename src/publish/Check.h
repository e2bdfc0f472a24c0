#pragma once
// Checking a published server folder the way the updater will read it.

#include <QString>
#include <QStringList>
#include <QTextStream>

#include "update/Signature.h"

namespace publish {
// Every problem of the update in serverDir, one message each; empty when it is
// sound. Checked: info.ini is there and readable, has a Version and a Max the
// updater reads and a Release that is a whole number, entries 1..Max all have
// a name and none lies past Max, every entry passes the name and folder rules
// (Names.h), no two names collide (letter case ignored), no file stands where
// a folder is needed, every listed file lies flat in serverDir with the size
// and SHA-256 info.ini gives, by-hash/ and patches/ hold what info.ini names
// (StoreProblems), no symbolic link is there, and no publishing run was left
// unfinished. With a key: info.ini.minisig is key's valid signature
// of info.ini, and every entry carries FileSize and FileSha256. release.ini
// and keys.ini are read as such an updater reads them (StatementProblems);
// summary, when given, receives what release.ini states.
[[nodiscard]] QStringList ServerFolderProblems(const QString& serverDir,
                                               const modUpdate::MinisignPublicKey* key = nullptr,
                                               QString* summary = nullptr);

// What players would miss in serverDir without the update failing: news.txt
// missing, or not valid UTF-8.
[[nodiscard]] QStringList ServerFolderWarnings(const QString& serverDir);

// Prints "OK: ..." to out and returns 0 when serverDir is sound; otherwise
// prints its problems to out, one a line, a summary to err, and returns 1.
// Warnings go to err either way. publicKey, when not empty, is a minisign
// public key file or the key's base64 line; one that cannot be read is a
// usage error (2).
[[nodiscard]] int CheckServer(const QString& serverDir, const QString& publicKey, QTextStream& out,
                              QTextStream& err);

} // namespace publish
