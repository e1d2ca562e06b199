#pragma once

#include "captureview.h"
#include "fakeserialcontrol.h"

#include <QList>
#include <QMap>
#include <QStringList>
#include <functional>

// Plays the window. Each yield runs the test's hook; when the scripted line has nothing more
// to say, the operator stops the loop the way "Comm Break" does, by closing the port.
class ScriptedView : public CaptureView {
public:
    explicit ScriptedView(FakeSerialControl& port)
        : m_port(port)
    {
    }

    void setField(Field field, const QString& text) override { fields[field] = text; }
    QString resultPath() const override { return QStringLiteral("C:\\Result.txt"); }
    void setLamp(Lamp value) override { lamp = value; }
    void setOpenEnabled(bool enabled) override { openEnabled = enabled; }
    void showCommError(const QString& reason) override
    {
        ++commErrors;
        commErrorReasons << reason;
        portOpenAtCommError = m_port.portOpen();
        lampAtCommError = lamp;
        fieldsAtCommError = fields;
    }
    void showResultFileError(const QString& message) override
    {
        resultFileErrors << message;
        portOpenAtResultFileError = m_port.portOpen();
        lampAtResultFileError = lamp;
        openEnabledAtResultFileError = openEnabled;
    }
    void yieldToEvents(EventPump::Pace pace) override
    {
        yields << pace;
        if (onYield && onYield(pace, int(yields.size())))
            return;
        if (m_port.pendingReads() == 0)
            m_port.setPortOpen(false);
    }
    void fatal(const QString& message) override { fatals << message; }
    void abortProgram() override { ++aborts; }

    QMap<Field, QString> fields;
    QMap<Field, QString> fieldsAtCommError;
    QList<EventPump::Pace> yields;
    QStringList fatals;
    QStringList resultFileErrors;
    QStringList commErrorReasons;
    // Return true to keep the default "stop when the script is done" from running.
    std::function<bool(EventPump::Pace, int)> onYield;
    Lamp lamp { Lamp::Red };
    Lamp lampAtCommError { Lamp::Red };
    bool openEnabled { true };
    bool portOpenAtCommError { true };
    bool portOpenAtResultFileError { true };
    Lamp lampAtResultFileError { Lamp::Green };
    bool openEnabledAtResultFileError { false };
    int commErrors { 0 };
    int aborts { 0 };

private:
    FakeSerialControl& m_port;
};
