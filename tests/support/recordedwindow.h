#pragma once

#include "form1.h"
#include "lampshape.h"

#include <QLineEdit>
#include <QPushButton>
#include <QStringList>

// The window on a given port, with nothing that blocks: fatal reports and the end of the
// program are recorded instead of shown and done. The window owns the port.
template <typename Port> struct RecordedWindow {
    Port* port;
    Form1 form;
    QStringList fatals;
    QList<int> ends;

    explicit RecordedWindow(Port* serial = new Port)
        : port(serial)
        , form(serial)
    {
        form.setFatalReporter([this](const QString& message) { fatals << message; });
        form.setProgramEnd([this](int status) { ends << status; });
    }
    template <typename T> T* child(const char* name) const
    {
        return form.findChild<T*>(QLatin1String(name));
    }
    QPushButton* button(const char* name) const { return child<QPushButton>(name); }
    QColor lamp() const { return child<LampShape>("Shape1")->color(); }
    QString text(const char* name) const { return child<QLineEdit>(name)->text(); }
};
