#include "form1.h"
#include "qtserialcontrol.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("reccap"));
    QApplication::setApplicationVersion(QStringLiteral(RECCAP_VERSION));

    Form1 form(new QtSerialControl);
    form.show();
    return QApplication::exec();
}
