#include "lockfiles.h"

#include <QCoreApplication>
#include <QDir>

// The temporary folder lies in the user's own profile, which other users may not write: nothing
// in it was planted by them.
namespace LockFiles {

QString problem(const QString&, Owner) { return {}; }

QString ownerOf(const QString&) { return {}; }

QString userFolder() { return QDir::tempPath() + QStringLiteral("/reccap"); }

QString preparePrivateFolder(const QString& path)
{
    if (QDir().mkpath(path))
        return {};
    return QCoreApplication::translate("LockFiles", "cannot create the folder %1 for reccap's lock")
        .arg(path);
}

}
