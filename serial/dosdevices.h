#pragma once

#include <QString>

// The program names its port and its result file the way the instrument's documentation
// and the reception desk know them: "COM3" and "C:\Result.txt". On Linux a folder of links
// says what those names are on this machine, one link per name:
//
//   $XDG_CONFIG_HOME/reccap/dosdevices/com3 -> /dev/ttyUSB0
//   $XDG_CONFIG_HOME/reccap/dosdevices/c:   -> /srv/reception
//
// With no com link, port n is /dev/ttyS<n-1>; with no c: link, drive C is the home folder,
// and without a home folder (HOME unset) drive C has no mapping at all: "/" is nobody's
// reception folder. On Windows the names are used as they stand (win32dosdevices.cpp), and
// there is no folder.
namespace DosDevices {

QString folder();

// Why the folder cannot be looked in, when it exists but this user may not read it: every
// name would then silently take its default. Empty when it can be read or does not exist.
QString folderProblem();

// The device path (or Windows port name) that opening port n opens.
QString portDevice(int port);

// The local path for a path such as "C:\Result.txt"; empty when its drive has no mapping.
QString localPath(const QString& dosPath);

}
