#include "cp932decoder.h"
#include "fatalreport.h"
#include "form1.h"
#include "qtserialcontrol.h"

#include <QApplication>

// The program as shipped, except that every wait polls as fast as it can: the benchmark's
// yardstick for what resting between polls saves.
int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("reccap"));
    QApplication::setApplicationVersion(QStringLiteral(RECCAP_VERSION));

    if (!Cp932Decoder().isValid()) {
        reportFatal(
            nullptr, QStringLiteral("No code page 932 (windows-31j) converter is available"));
        return 1;
    }

    Form1 form(new QtSerialControl);
    form.setPollPacing(false);
    form.show();
    return QApplication::exec();
}
