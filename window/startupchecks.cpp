#include "startupchecks.h"

#include "dosdevices.h"

#include <QCoreApplication>

QString configurationProblem()
{
    const QString folderProblem = DosDevices::folderProblem();
    if (!folderProblem.isEmpty())
        return folderProblem;
    if (DosDevices::localPath(QStringLiteral("C:\\")).isEmpty()) {
        return QCoreApplication::translate("StartupChecks",
            "No folder for drive C: there is no c: link in %1 and HOME is not set, so "
            "C:\\Result.txt has nowhere to go")
            .arg(DosDevices::folder());
    }
    return {};
}
