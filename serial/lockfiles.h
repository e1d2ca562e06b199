#pragma once

#include <QString>

// Lock files live in folders that other users can reach: the serial port's in the system's
// lock folder, which every user may write, and reccap's own one-per-display lock in the user's
// runtime folder or, without one, below the shared temporary folder. Qt's QLockFile reads
// whatever it finds at a lock's path to learn who holds it, and a named pipe planted there
// blocks that read for good, a huge sparse file or a link to /dev/zero fills the memory. So
// nothing is handed to QLockFile before these checks have looked at it with lstat, without
// opening it; they never block. On Windows the temporary folder is the user's own, and none
// of this applies (win32lockfiles.cpp).
namespace LockFiles {

// Above this a file is no lock: QLockFile writes five short lines (process id, program, host,
// machine and boot ids), under 300 bytes, and the UUCP-style locks of other serial programs
// hold a process id in 11 bytes or 4. One page reads at once, so a lock of up to this size
// costs QLockFile nothing; anything larger was made for another purpose.
constexpr qint64 maxLockSize = 4096;

enum class Owner {
    Anyone, // a shared lock folder: another user's program may hold the port
    Us, // our own folder: only we make locks there
};

// Why `path` may not be handed to QLockFile, as a sentence that names the path, what is
// there and whose it is, and what to do; empty when nothing is there, or a plain file of a
// lock's size (owned by us, when `owner` says so). The same goes for the ".rmlock" file
// beside it, which QLockFile reads when the lock looks stale.
QString problem(const QString& path, Owner owner);

// Whose the file at `path` is, as "nobody (uid 65534)"; empty when there is none.
QString ownerOf(const QString& path);

// This user's folder for reccap's own locks: $XDG_RUNTIME_DIR/reccap when the runtime folder
// is usable, else reccap-<uid> in $TMPDIR or /tmp.
QString userFolder();

// Makes such a folder when it does not exist yet (mode 0700), and checks that it is a folder,
// not a link, and ours. Group and others lose any access to a folder of ours: nobody else
// should have had it, and what they may have left inside is checked by problem() like any
// lock. Empty when the folder is fit for use, else why not, naming it.
QString preparePrivateFolder(const QString& path);

}
