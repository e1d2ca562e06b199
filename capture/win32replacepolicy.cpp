#include "replacepolicy.h"

namespace ReplacePolicy {

// Readers and virus scanners hold the file for milliseconds; a second is far beyond them and
// still short for an operator waiting on the next record.
std::chrono::milliseconds renameRetryLimit() { return std::chrono::milliseconds(1000); }

// The replacement inherits the folder's permissions, which is what an administrator who
// prepared C:\Result.txt set up; there is no owner to carry over.
void keepOwnerAndGroup(int, const QString&) { }

}
