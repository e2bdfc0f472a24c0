#pragma once
// Checking a published server folder the way the updater will read it.

#include <QString>
#include <QStringList>
#include <QTextStream>

// Every problem of the update in serverDir, one message each; empty when it is
// sound. Checked: info.ini is there and readable, has a Version and a Max the
// updater reads, entries 1..Max all have a name and none lies past Max, every
// entry passes the name and folder rules (Names.h), no two names collide
// (letter case ignored), no file stands where a folder is needed, every listed
// file lies flat in serverDir, and no publishing run was left unfinished.
QStringList ServerFolderProblems(const QString& serverDir);

// Prints "OK: ..." to out and returns 0 when serverDir is sound; otherwise
// prints its problems to out, one a line, a summary to err, and returns 1.
int CheckServer(const QString& serverDir, QTextStream& out, QTextStream& err);
