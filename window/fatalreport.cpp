#include "fatalreport.h"

#include <QMessageBox>
#include <cstdio>

void reportFatal(QWidget* parent, const QString& message)
{
    std::fprintf(stderr, "reccap: %s\n", qUtf8Printable(message));
    std::fflush(stderr);
    QMessageBox::critical(parent, QStringLiteral("reccap"), message);
}
