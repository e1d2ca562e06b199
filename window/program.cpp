#include "program.h"

#include "cp932decoder.h"
#include "fatalreport.h"
#include "form1.h"
#include "portcontrol.h"

#include <QApplication>

int runProgram(int& argc, char** argv, bool pacedPolling)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("reccap"));
    QApplication::setApplicationVersion(QStringLiteral(RECCAP_VERSION));

    // Without a code page 932 converter no record could be read or written correctly.
    if (!Cp932Decoder().isValid()) {
        reportFatal(
            nullptr, QStringLiteral("No code page 932 (windows-31j) converter is available"));
        return 1;
    }

    Form1 form(newPortControl());
    form.setPollPacing(pacedPolling);
    form.show();
    return QApplication::exec();
}
