#include "replacepolicy.h"

#include <QFile>
#include <sys/stat.h>
#include <unistd.h>

namespace ReplacePolicy {

std::chrono::milliseconds renameRetryLimit() { return std::chrono::milliseconds(0); }

bool writeInPlaceWhenFolderRefuses() { return false; }

// An administrator who prepared the result file for the program that reads it expects that
// program to go on reading it, so the new file takes the old one's owner and group where this
// process may give them: root may give both, any owner may give a group it belongs to. The
// save file already copies the mode.
void keepOwnerAndGroup(int handle, const QString& localPath)
{
    struct stat old { };
    if (::stat(QFile::encodeName(localPath).constData(), &old) != 0)
        return;
    struct stat replacement { };
    // Written in place, the file is the old one and keeps what it has.
    if (handle < 0 || ::fstat(handle, &replacement) != 0 || replacement.st_ino == old.st_ino
        || ::fchown(handle, old.st_uid, old.st_gid) == 0)
        return;
    [[maybe_unused]] const int groupOnly = ::fchown(handle, uid_t(-1), old.st_gid);
}

}
