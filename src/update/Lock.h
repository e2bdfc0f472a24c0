#pragma once
// The lock that keeps a second updater out of a game folder: an operating
// system lock on a file, which the system drops when the process ends however
// it ends. A crash, a kill, a full disk or a lock file written on another
// machine therefore never keeps anyone out; only a running updater does.

#include <QString>
#include <cstdint>

namespace modUpdate {
// How taking the lock went.
enum class Locking {
    Taken,    // this run holds it
    Held,     // another process holds it
    Vanished, // its file was removed while it was taken: try again
    Failed,   // it cannot be taken here (why says why): no right to write, a full disk
};

// A lock held: the system's handle of its file (-1 for none), and the path.
struct HeldLock {
    std::intptr_t handle = -1;
    QString path;
};

// Takes the lock on the file at path into lock, the file made when missing
// (a link there is never followed). Does not wait.
[[nodiscard]] Locking TakeLock(const QString& path, HeldLock& lock, QString& why);

// Removes the file of lock, then gives the lock up. Cannot fail; does
// nothing for a lock not held.
void ReleaseLock(HeldLock& lock);

} // namespace modUpdate
