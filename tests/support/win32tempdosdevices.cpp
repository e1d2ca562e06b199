#include "tempdosdevices.h"

TempDosDevices::TempDosDevices()
    : m_valid(true)
{
}

QString TempDosDevices::folder() const { return {}; }

QString TempDosDevices::resultFile() const { return QStringLiteral("C:\\Result.txt"); }
