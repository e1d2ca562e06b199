#include "instrumentline.h"
#include "instrumentsession.h"
#include "portlink.h"
#include "pseudoterminal.h"
#include "recordbody.h"
#include "replayplan.h"
#include "simoptionparser.h"
#include "tracefile.h"
#include "tracereader.h"
#include "tracereplay.h"
#include "transmission.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

constexpr int exitFailed = 1;
constexpr int exitUsage = 2;

// Scripts read our output line by line while we run, so every line goes out at once.
void say(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void complain(const QString& line)
{
    std::fputs(qPrintable(QStringLiteral("instrument-sim: %1\n").arg(line)), stderr);
    std::fflush(stderr);
}

RecordFields fieldsFor(const SimOptions& options, int record)
{
    RecordFields fields = options.people.isEmpty()
        ? options.fields
        : options.people.at((record - 1) % options.people.size());
    if (options.badFirstChar)
        fields.firstCharacter = options.fields.firstCharacter;
    bool numeric = false;
    const int id = fields.id.trimmed().toInt(&numeric);
    if (numeric && options.idStep != 0)
        fields.id = QString::number(id + options.idStep * (record - 1));
    return fields;
}

// The body as it goes out: built from the fields or read from the raw file, cut short before
// an abort or where the line goes dead, and cut into the requested pieces.
std::optional<Transmission> bodyFor(
    const SimOptions& options, const QByteArray& rawBytes, int record, QString* error)
{
    if (!options.rawFile.isEmpty()) {
        const QByteArray bytes = options.abort ? rawBytes.left(options.abortAfterChars) : rawBytes;
        return Transmission::fromBytes(bytes, options.pieces, options.pieceSize);
    }
    const RecordBody body = RecordBody::build(fieldsFor(options, record));
    if (!body.isValid()) {
        *error = QStringLiteral("record %1: %2").arg(record).arg(body.errorString());
        return std::nullopt;
    }
    if (record == 1 && options.cutAfterBytes > 0)
        return Transmission::fromBytes(
            body.bytes().left(options.cutAfterBytes), options.pieces, options.pieceSize);
    if (!options.abort)
        return Transmission::fromText(
            body.text(), options.pieces, options.pieceSize, options.piecesInBytes);
    if (options.piecesInBytes)
        return Transmission::fromBytes(
            body.bytes().left(options.abortAfterChars), options.pieces, options.pieceSize);
    return Transmission::fromText(
        body.text().left(options.abortAfterChars), options.pieces, options.pieceSize, false);
}

// The session of the trace to replay, or nothing (and why, in `error`) when the trace cannot
// be read, is malformed, or does not say which of its sessions is meant.
std::optional<TraceReader::Session> replaySession(const SimOptions& options, QString* error)
{
    QString problem;
    const std::unique_ptr<QFile> file = TraceFile::openForReading(options.replayFile, &problem);
    if (!file) {
        *error = QStringLiteral("cannot read %1: %2").arg(options.replayFile, problem);
        return std::nullopt;
    }
    const std::optional<QByteArray> data = TraceReader::read(*file, &problem);
    const std::optional<QList<TraceReader::Session>> sessions
        = data ? TraceReader::parse(*data, &problem) : std::nullopt;
    if (!sessions) {
        *error = QStringLiteral("%1: %2; no replay").arg(options.replayFile, problem);
        return std::nullopt;
    }
    if (options.replaySession > sessions->size()) {
        *error = QStringLiteral("%1 holds %2 session(s), not %3")
                     .arg(options.replayFile)
                     .arg(sessions->size())
                     .arg(options.replaySession);
        return std::nullopt;
    }
    if (options.replaySession == 0 && sessions->size() > 1) {
        QStringList list;
        for (int i = 0; i < sessions->size(); ++i)
            list << QStringLiteral("%1 (line %2, started %3)")
                        .arg(i + 1)
                        .arg(sessions->at(i).line)
                        .arg(sessions->at(i).started);
        *error = QStringLiteral("%1 holds %2 sessions: %3; choose one with --session N")
                     .arg(options.replayFile)
                     .arg(sessions->size())
                     .arg(list.join(QStringLiteral(", ")));
        return std::nullopt;
    }
    return sessions->at(std::max(0, options.replaySession - 1));
}

// A silence in the trace longer than --timeout-s (at the replay's speed), or nothing. Every wait
// of a replay ends within --timeout-s; a trace whose times leap (edited, or written across a
// clock that jumped) would otherwise hold the line for as long as it says.
std::optional<QString> tooLongASilence(const ReplayPlan& plan, const SimOptions& options)
{
    for (const ReplayPlan::Step& step : plan.steps()) {
        const double seconds = double(step.gapMicros) / 1e6 / options.replaySpeed;
        if (seconds > options.timeoutS)
            return QStringLiteral("%1: line %2: the trace is silent for %3 s before this read "
                                  "(at --speed %4), longer than --timeout-s %5; no replay")
                .arg(options.replayFile)
                .arg(step.traceLine)
                .arg(seconds, 0, 'g', 6)
                .arg(options.replaySpeed)
                .arg(options.timeoutS);
    }
    return std::nullopt;
}

int signalDescriptor()
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stops, nullptr) != 0)
        return -1;
    return signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
}

}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("instrument-sim"));

    SimOptionParser parser;
    switch (parser.parse(QCoreApplication::arguments())) {
    case SimOptionParser::Outcome::Help:
        std::fputs(qPrintable(parser.message()), stdout);
        return 0;
    case SimOptionParser::Outcome::Error:
        complain(parser.message());
        complain(QStringLiteral("try --help"));
        return exitUsage;
    case SimOptionParser::Outcome::Run:
        break;
    }
    const SimOptions options = parser.options();

    // A trace that cannot be replayed is refused before the line exists, like a bad argument.
    std::optional<ReplayPlan> plan;
    if (!options.replayFile.isEmpty()) {
        QString error;
        const std::optional<TraceReader::Session> session = replaySession(options, &error);
        if (!session) {
            complain(error);
            return exitUsage;
        }
        plan.emplace(*session);
        if (plan->steps().isEmpty()) {
            complain(QStringLiteral("%1: the session starting at line %2 holds no reads to play")
                         .arg(options.replayFile)
                         .arg(session->line));
            return exitUsage;
        }
        if (const std::optional<QString> silence = tooLongASilence(*plan, options)) {
            complain(*silence);
            return exitUsage;
        }
        say(QStringLiteral("replay: %1 (reccap %2, started %3): %4 records, %5 reads")
                .arg(options.replayFile, session->programVersion, session->started)
                .arg(plan->records().size())
                .arg(plan->steps().size()));
    }

    QByteArray rawBytes;
    if (!options.rawFile.isEmpty()) {
        QFile raw(options.rawFile);
        if (!raw.open(QIODevice::ReadOnly)) {
            complain(QStringLiteral("cannot read %1: %2").arg(options.rawFile, raw.errorString()));
            return exitUsage;
        }
        rawBytes = raw.readAll();
    }
    // Refuse bad fields before the line exists, so a typo never leaves a half-run behind.
    for (int record : { 1, options.count }) {
        if (plan)
            break;
        QString error;
        if (!bodyFor(options, rawBytes, record, &error)) {
            complain(error.isEmpty() ? QStringLiteral("the body has a character code page 932 "
                                                      "cannot carry")
                                     : error);
            return exitUsage;
        }
    }
    const QString headerText
        = options.headerOverrun ? options.header + QLatin1Char('X') : options.header;
    const std::optional<Transmission> header
        = Transmission::fromText(headerText, options.headerPieces, 0, false);
    if (!header) {
        complain(QStringLiteral("the header has a character code page 932 cannot carry"));
        return exitUsage;
    }

    const int stops = signalDescriptor();
    if (stops < 0) {
        complain(QStringLiteral("cannot watch for stop signals"));
        return exitFailed;
    }
    PseudoTerminal terminal;
    if (!terminal.open()) {
        complain(terminal.errorString());
        return exitFailed;
    }
    PortLink link;
    if (!options.printSlaveOnly) {
        if (!link.create(options.linkFolder, options.port, terminal.slavePath())) {
            complain(link.errorString());
            return exitFailed;
        }
    }
    // Printed only once the link stands, so a script that waits for it can start the receiver.
    say(QStringLiteral("slave: %1").arg(terminal.slavePath()));
    if (!link.path().isEmpty())
        say(QStringLiteral("link: %1 -> %2").arg(link.path(), terminal.slavePath()));

    InstrumentLine line(terminal.masterDescriptor(), stops);
    line.setLatency(std::chrono::milliseconds(options.latencyMs));
    InstrumentSession session(options, line);
    QList<RecordOutcome> outcomes;
    int status = 0;
    if (plan) {
        TraceReplay replay(
            *plan, line, { options.replaySpeed, options.resultFile, options.timeoutS }, say);
        if (!replay.run()) {
            complain(line.failed() ? line.errorString() : QStringLiteral("stopped"));
            status = exitFailed;
        } else {
            say(QStringLiteral("replay: %1 difference(s)").arg(replay.differences()));
            status = replay.differences() == 0 ? 0 : exitFailed;
        }
    }
    for (int record = 1; record <= options.count && !plan; ++record) {
        QString error;
        const std::optional<Transmission> body = bodyFor(options, rawBytes, record, &error);
        if (!body) {
            complain(error);
            status = exitUsage;
            break;
        }
        const RecordOutcome outcome = session.sendRecord(record, *header, *body);
        outcomes.append(outcome);
        say(outcome.toString());
        if (!outcome.wentAsPlanned()) {
            if (outcome.result == QLatin1String("timeout"))
                complain(QStringLiteral("record %1: no answer within %2 s")
                             .arg(record)
                             .arg(options.timeoutS));
            else if (line.failed())
                complain(line.errorString());
            status = exitFailed;
            break;
        }
        if (options.recordDelayMs > 0 && record < options.count
            && !session.idle(
                InstrumentLine::Clock::now() + std::chrono::milliseconds(options.recordDelayMs))) {
            status = exitFailed;
            break;
        }
    }
    if ((status == 0 || plan) && options.hold) {
        say(QStringLiteral("holding the line until SIGINT or SIGTERM"));
        session.idle(InstrumentLine::Clock::time_point::max());
        if (line.failed()) {
            complain(line.errorString());
            status = exitFailed;
        }
    }
    if (options.summary) {
        say(QStringLiteral("summary: %1 of %2 records, ACKs after each header:")
                .arg(outcomes.size())
                .arg(options.count));
        for (const RecordOutcome& outcome : outcomes)
            say(QStringLiteral("summary: record %1 acks=%2 result=%3")
                    .arg(outcome.number)
                    .arg(outcome.bodyAcks)
                    .arg(outcome.result));
        if (options.hold)
            say(QStringLiteral("summary: ACKs in total=%1").arg(line.acks()));
    }
    ::close(stops);
    return status;
}
