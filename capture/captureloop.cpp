#include "captureloop.h"

#include "captureview.h"
#include "fieldextractor.h"
#include "resultfile.h"
#include "resultline.h"
#include "serialcontrol.h"

using Field = CaptureView::Field;
using Lamp = CaptureView::Lamp;
using Pace = EventPump::Pace;

CaptureLoop::CaptureLoop(SerialControl& port, CaptureView& view)
    : m_port(port)
    , m_view(view)
{
}

void CaptureLoop::run()
{
    if (m_running)
        return;
    m_running = true;
    m_stopRequested = false;
    m_endAfterRecord = false;
    struct Running {
        bool& flag;
        ~Running() { flag = false; }
    } running { m_running };

    m_view.setOpenEnabled(false);
    m_port.setInputLen(0);
    m_view.setLamp(Lamp::Green);
    while (cycle() == Outcome::Continue && !m_endAfterRecord) { }
}

bool CaptureLoop::yieldOnce()
{
    // The port is closed here by the loop itself, so a "Comm Break" handled in this yield
    // does not end the loop; only the window going away does.
    m_view.yieldToEvents(Pace::Once);
    return !m_stopRequested;
}

bool CaptureLoop::sendAck()
{
    if (m_port.output(QString(QChar(ack))))
        return true;
    m_view.fatal(m_port.errorString());
    return false;
}

CaptureLoop::Outcome CaptureLoop::cycle()
{
    if (!m_port.setPortOpen(true)) {
        m_view.fatal(m_port.errorString());
        return Outcome::End;
    }
    QString accumulator;
    m_port.clearInBuffer();

    do {
        m_view.yieldToEvents(Pace::UntilEvent);
        if (m_stopRequested || !m_port.portOpen())
            return Outcome::End;
        const QString chunk = m_port.input();
        // An overrun header can never be exactly four characters again; what follows only
        // needs draining, not keeping.
        if (accumulator.size() <= headerLength)
            accumulator += chunk;
    } while (accumulator.size() != headerLength);

    m_view.setLamp(Lamp::Blue);
    m_view.setField(Field::Text1, accumulator);
    m_port.clearInBuffer();
    if (!sendAck())
        return Outcome::End;
    m_port.clearInBuffer();
    accumulator.clear();
    for (const Field field :
        { Field::Text3, Field::Text7, Field::Text2, Field::Text4, Field::Text5 })
        m_view.setField(field, QString());

    do {
        m_view.yieldToEvents(Pace::CharacterTime);
        if (m_stopRequested || !m_port.portOpen())
            return Outcome::End;
        const QString chunk = m_port.input();
        if (chunk == QLatin1String("K")) {
            m_view.abortProgram();
            return Outcome::End;
        }
        accumulator += chunk;
        if (!sendAck())
            return Outcome::End;
    } while (accumulator.size() < minimumBodyLength);

    m_port.clearInBuffer();
    m_port.setPortOpen(false);

    if (accumulator.at(0) != QChar(ack)) {
        m_view.showCommError();
        return m_stopRequested ? Outcome::End : Outcome::Continue;
    }

    if (!yieldOnce())
        return Outcome::End;
    if (handleRecord(accumulator) == Outcome::End)
        return Outcome::End;
    m_view.setLamp(Lamp::Green);
    return yieldOnce() ? Outcome::Continue : Outcome::End;
}

CaptureLoop::Outcome CaptureLoop::handleRecord(const QString& body)
{
    const std::optional<PersonFields> fields = FieldExtractor::extract(body);
    const std::optional<QByteArray> line = fields ? ResultLine::build(*fields) : std::nullopt;
    if (!line) {
        // A record without the fields the file needs, or with text the file cannot hold
        // exactly, is treated like a damaged one: nothing half right reaches the file.
        m_view.showCommError();
        return m_stopRequested ? Outcome::End : Outcome::Continue;
    }

    m_view.setField(Field::Text3, fields->id);
    m_view.setField(Field::Text7, fields->kanjiName);
    m_view.setField(Field::Text2, fields->kanaName);
    m_view.setField(Field::Text4, fields->birthDate);
    m_view.setField(Field::Text5, fields->gender);
    m_view.setField(Field::Text8, fields->birthDateConverted);

    QString error;
    if (!ResultFile::write(m_view.resultPath(), *line, &error)) {
        m_view.fatal(error);
        return Outcome::End;
    }
    return Outcome::Continue;
}
