#include "captureloop.h"

#include "captureview.h"
#include "fieldextractor.h"
#include "recordjournal.h"
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
    if (!resultFileWritable())
        return;
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
    fail(m_port.errorString());
    return false;
}

// The instrument forgets a record once its header is answered, so a record whose line could not
// reach the file would be lost. While the file cannot be written, nothing is answered: capture
// stops as a break leaves it, the instrument keeps the record and sends it again, and the
// operator, told where and why, presses Comm Open once the folder is back. A write that fails
// after this check (a disk filling up meanwhile) is still the fatal end it always was.
bool CaptureLoop::resultFileWritable()
{
    QString message;
    if (ResultFile::checkWritable(m_view.resultPath(), &message))
        return true;
    if (m_port.portOpen()) {
        m_port.clearInBuffer();
        m_port.setPortOpen(false);
    }
    m_view.setLamp(Lamp::Red);
    m_view.setOpenEnabled(true);
    m_view.showResultFileError(message);
    return false;
}

void CaptureLoop::fail(const QString& message)
{
    if (RecordJournal* journal = m_port.journal())
        journal->fatalError(message);
    m_view.fatal(message);
}

CaptureLoop::Outcome CaptureLoop::cycle()
{
    if (!m_port.setPortOpen(true)) {
        fail(m_port.errorString());
        return Outcome::End;
    }
    QString accumulator;
    m_port.clearInBuffer();

    do {
        m_view.yieldToEvents(Pace::UntilEvent);
        if (m_stopRequested || !m_port.portOpen())
            return Outcome::End;
        // Without this, one noise byte or a doubled header left the wait holding more than a
        // header for good, and every later record went unanswered.
        const std::chrono::nanoseconds silence = m_port.silentFor();
        const bool newBurst = LineRules::startsBurst(silence);
        if (newBurst)
            m_port.forgetPartialCharacter();
        if (LineRules::isStaleHeaderStart(silence))
            accumulator.clear();
        const QString chunk = m_port.input();
        if (!chunk.isEmpty())
            accumulator = LineRules::headerSoFar(accumulator, chunk, newBurst);
    } while (!LineRules::isHeader(accumulator));

    if (!resultFileWritable())
        return Outcome::End;
    const QString header = accumulator;
    m_view.setLamp(Lamp::Blue);
    m_view.setField(Field::Text1, header);
    // What came with or after the header but before our answer belongs to no record. What
    // comes after the answer is the body: an instrument may send it the moment the ACK reaches
    // it, and where the ACK leaves at once (not queued for the next turn of the event loop) a
    // discard after it would throw the start of the body away.
    m_port.clearInBuffer();
    if (!sendAck())
        return Outcome::End;
    // From here on the loop polls at the line's pace and the timer wakes it for each poll.
    m_port.setWakeOnInput(false);
    accumulator.clear();
    for (const Field field :
        { Field::Text3, Field::Text7, Field::Text2, Field::Text4, Field::Text5 })
        m_view.setField(field, QString());

    LineRules::AnsweredSilence quiet(m_port.silentFor());
    do {
        m_view.yieldToEvents(Pace::CharacterTime);
        if (m_stopRequested || !m_port.portOpen())
            return Outcome::End;
        QString chunk = m_port.input();
        quiet.observe(m_port.silentFor(), !chunk.isEmpty());
        // Before the body's first character there is nothing a next record could be merged
        // with, so an instrument may take as long as it likes to start the body.
        if (chunk.isEmpty() && !accumulator.isEmpty()
            && LineRules::isCutOffBody(quiet.silence(), quiet.answers()))
            return rejectRecord(RecordRefusal::CutOff);
        if (LineRules::mayBeAbort(chunk, m_port.holdsPartialCharacter(), accumulator.size())
            && !settleLoneK(chunk))
            return Outcome::End;
        if (chunk.isEmpty())
            quiet.answered();
        accumulator += chunk;
        LineRules::dropHeaderCopies(accumulator, header);
        // Checked before the answer: the poll that brought the other record's start is not
        // acknowledged, and none of this one reaches the file.
        if (LineRules::holdsSecondRecord(accumulator)) {
            return rejectRecord(accumulator.at(0) == QChar(ack) ? RecordRefusal::SecondRecord
                                                                : RecordRefusal::NoLeadingAck);
        }
        if (!sendAck())
            return Outcome::End;
    } while (accumulator.size() < minimumBodyLength);

    const QString body = LineRules::recordBody(accumulator);
    if (body.at(0) != QChar(ack))
        return rejectRecord(RecordRefusal::NoLeadingAck);
    switch (settleRecordEnd()) {
    case RecordEnd::Quiet:
        break;
    case RecordEnd::SecondRecord:
        return rejectRecord(RecordRefusal::SecondRecord);
    case RecordEnd::Stopped:
        return Outcome::End;
    }

    m_port.clearInBuffer();
    m_port.setPortOpen(false);

    if (!yieldOnce())
        return Outcome::End;
    if (handleRecord(body) == Outcome::End)
        return Outcome::End;
    m_view.setLamp(Lamp::Green);
    return yieldOnce() ? Outcome::Continue : Outcome::End;
}

// A damaged record is dropped with the port closed, so that nothing the instrument sends while
// the operator reads the box is taken for part of a record; the next cycle opens it afresh.
// The rule is noted first, so that it reaches a trace with the close and not only after the
// box has been answered.
CaptureLoop::Outcome CaptureLoop::rejectRecord(const Refusal& why)
{
    const QString reason = refusalReason(why);
    if (RecordJournal* journal = m_port.journal())
        journal->recordRejected(ruleName(why.rule), reason);
    m_port.clearInBuffer();
    m_port.setPortOpen(false);
    m_view.showCommError(reason);
    return m_stopRequested ? Outcome::End : Outcome::Continue;
}

// A read of a lone "K" is the abort only if the line stays silent after it. The K is not
// answered until that is settled, since an abort must not be acknowledged; a K that turns out
// to be data is answered together with what followed it, by one ACK. The empty polls in
// between are answered as every empty poll is: an instrument that waits for ACKs before its
// next piece would otherwise stall, and its silence would be taken for an abort. False when
// the loop is to end: the abort, a failed ACK, or the port closed meanwhile.
bool CaptureLoop::settleLoneK(QString& chunk)
{
    LineRules::AnsweredSilence quiet(m_port.silentFor());
    for (;;) {
        m_view.yieldToEvents(Pace::CharacterTime);
        if (m_stopRequested || !m_port.portOpen())
            return false;
        const QString more = m_port.input();
        if (!more.isEmpty() || m_port.holdsPartialCharacter()) {
            chunk += more;
            return true;
        }
        quiet.observe(m_port.silentFor(), false);
        if (LineRules::isAbort(quiet.silence(), quiet.answers())) {
            if (RecordJournal* journal = m_port.journal())
                journal->recordAborted(quiet.silence(), quiet.answers());
            m_view.abortProgram();
            return false;
        }
        if (!sendAck())
            return false;
        quiet.answered();
    }
}

// A complete body is one person's only if no other record started inside it. An instrument
// reset near the end of a body sends the next header into the body's last characters; our
// answer to the poll that completed the body then reads to it as the header's ACK, and that
// record's body follows. So the line is watched, unanswered, until it has been quiet for a
// moment: what arrives meanwhile belongs to no record and is dropped with the receive buffer,
// unless it starts another body. A "Comm Break" meanwhile leaves a record received in full,
// which is still written. Data that never stops is not waited out for longer than the receive
// buffer's worth of polls.
CaptureLoop::RecordEnd CaptureLoop::settleRecordEnd()
{
    for (int polls = 0, pollsSinceData = 0; polls < SerialControl::receiveBufferSize; ++polls) {
        m_view.yieldToEvents(Pace::CharacterTime);
        if (m_stopRequested)
            return RecordEnd::Stopped;
        if (!m_port.portOpen())
            return RecordEnd::Quiet;
        const QString chunk = m_port.input();
        if (chunk.contains(QChar(ack)))
            return RecordEnd::SecondRecord;
        pollsSinceData = chunk.isEmpty() ? pollsSinceData + 1 : 0;
        if (LineRules::isRecordEnd(m_port.silentFor(), pollsSinceData))
            return RecordEnd::Quiet;
    }
    return RecordEnd::Quiet;
}

CaptureLoop::Outcome CaptureLoop::handleRecord(const QString& body)
{
    Refusal why = RecordRefusal::MissingField;
    const std::optional<PersonFields> fields = FieldExtractor::extract(body, &why);
    const std::optional<QByteArray> line = fields ? ResultLine::build(*fields, &why) : std::nullopt;
    if (!line) {
        // A record without the fields the file needs, or with text the file cannot hold
        // exactly, is treated like a damaged one: nothing half right reaches the file.
        return rejectRecord(why);
    }

    m_view.setField(Field::Text3, fields->id);
    m_view.setField(Field::Text7, fields->kanjiName);
    m_view.setField(Field::Text2, fields->kanaName);
    m_view.setField(Field::Text4, fields->birthDate);
    m_view.setField(Field::Text5, fields->gender);
    m_view.setField(Field::Text8, fields->birthDateConverted);

    QString error;
    if (!ResultFile::write(m_view.resultPath(), *line, &error)) {
        fail(error);
        return Outcome::End;
    }
    if (RecordJournal* journal = m_port.journal())
        journal->recordWritten(*line);
    return Outcome::Continue;
}
