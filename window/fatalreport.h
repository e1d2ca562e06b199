#pragma once

#include <QString>

class QWidget;

// How the program tells the operator why it has to end: the same text on standard error,
// for whoever reads the session's log, and in a critical message box.
void reportFatal(QWidget* parent, const QString& message);
