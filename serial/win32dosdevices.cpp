#include "dosdevices.h"

// Windows itself knows COM3 and drive C; nothing is mapped.
namespace DosDevices {

QString folder() { return {}; }

QString folderProblem() { return {}; }

QString portDevice(int port) { return QStringLiteral("COM%1").arg(port); }

QString localPath(const QString& dosPath) { return dosPath; }

}
