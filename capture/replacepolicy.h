#pragma once

#include <QString>
#include <chrono>

// What the result file's atomic replace may meet on this system, and how to answer it. On
// Linux a rename replaces a file that another program has open, and the replacement is a new
// file that must be given the old one's owner and group. On Windows a reader that opened the file
// without delete sharing blocks the rename for as long as it holds the file, and a standard user
// may write an existing C:\Result.txt but not create files beside it in C:\.
namespace ReplacePolicy {

// How long a failed rename is tried again before it counts as a write failure.
std::chrono::milliseconds renameRetryLimit();

// Gives the replacement (open on `handle`) the owner and group of the file at localPath, where
// this process may.
void keepOwnerAndGroup(int handle, const QString& localPath);

}
