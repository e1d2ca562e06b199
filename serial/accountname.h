#pragma once

#include <QString>

// The name of the account with this user id, for messages that must tell an operator whose a
// file is; empty when the system knows no such account. Linux only: files on Windows have no
// owner that reccap reports.
QString accountName(unsigned int uid);
