#include "simoptionparser.h"

#include "dosdevices.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>

namespace {

struct IntOption {
    const char* name;
    int minimum;
    int maximum;
    int* target;
};

std::optional<int> toInt(const QString& text, int minimum, int maximum)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

std::optional<QList<int>> toSizes(const QString& text)
{
    QList<int> sizes;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const std::optional<int> size = toInt(part, 1, 1 << 20);
        if (!size)
            return std::nullopt;
        sizes.append(*size);
    }
    return sizes;
}

}

SimOptionParser::Outcome SimOptionParser::parse(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays the instrument on a pseudo-terminal: sends 4-character headers and record bodies "
        "in code page 932 the way the receiver expects them, and counts the ACKs it answers "
        "with.\n\n"
        "Prints \"slave: /dev/pts/N\" once the line is ready, then one line per record:\n\n"
        "  record N: header-ack=0|1 acks=A header-sends=K other=B result=RESULT\n\n"
        "header-ack: the header was acknowledged; acks: ACKs after the header's own, one per "
        "poll of the receiver's body wait; header-sends: how often the header went out; other: "
        "bytes other than ACK from the receiver.\n"
        "RESULT is sent (whole body out and the ACKs have stopped; a --bad-first-char body is "
        "sent too), aborted, unanswered (no header ACK, as planned after --header-overrun), "
        "incomplete (body shorter than the receiver's 178 characters, or cut off), timeout, "
        "stopped (by a "
        "signal) or failed (the line broke).\n\n"
        "With --replay TRACE it plays the instrument's side of a trace that reccap --trace "
        "wrote instead: the bytes reccap read, in order and with their timing, each sent once "
        "reccap has answered and discarded as the trace shows. Then one line per record:\n\n"
        "  record N: header-ack=T/R acks=T/R discards=T/R outcome=OUTCOME result=same|differs|"
        "unchecked\n\n"
        "T is the trace's figure, R the receiver's in the replay. A difference (a header "
        "answered on one side only, a body answered on one side only, more discards than the "
        "trace shows or none where it shows some, another result file, a receiver still "
        "answering where the trace shows it done, or a wait for an ACK or a reopened port that "
        "never ended) is printed as \"difference: ...\". ACK counts differ from run to run "
        "and are shown only.\n\n"
        "Exit status: 0 when every record went as planned (with --replay: as in the trace), 1 "
        "on a timeout, a line failure or a difference from the trace, 2 on a bad argument or on a "
        "--replay TRACE that is no trace: not a plain file (a named pipe, a device), a line "
        "longer than a trace's 65536 bytes, a malformed trace, or a silence in it longer than "
        "--timeout-s."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);

    const QCommandLineOption help(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help."));
    const QCommandLineOption link(QStringLiteral("link"),
        QStringLiteral("Create or replace DIR/comN as a link to the slave (default: the "
                       "program's dosdevices folder, %1, created when missing). Removed on exit.")
            .arg(DosDevices::folder()),
        QStringLiteral("DIR"));
    const QCommandLineOption port(QStringLiteral("port"),
        QStringLiteral("Port number N for the comN link (default 3)."), QStringLiteral("N"));
    const QCommandLineOption printSlave(
        QStringLiteral("print-slave"), QStringLiteral("Make no link; only print the slave path."));

    const QCommandLineOption id(QStringLiteral("id"),
        QStringLiteral("ID, at most 5 characters, right-aligned with spaces (default 12345)."),
        QStringLiteral("TEXT"));
    const QCommandLineOption idStep(QStringLiteral("id-step"),
        QStringLiteral("Add N to a numeric ID for every further record (default 0)."),
        QStringLiteral("N"));
    const QCommandLineOption kanji(QStringLiteral("kanji"),
        QStringLiteral("Kanji name (default 山田太郎)."), QStringLiteral("TEXT"));
    const QCommandLineOption kana(QStringLiteral("kana"),
        QStringLiteral("Kana name, family name, one space, given name (default ﾔﾏﾀﾞ ﾀﾛｳ). It "
                       "is followed by a space so that the receiver's cut at the second space "
                       "gives the name back."),
        QStringLiteral("TEXT"));
    const QCommandLineOption dob(QStringLiteral("dob"),
        QStringLiteral("Date of birth as an era date, 9 characters (default S45.03.12)."),
        QStringLiteral("TEXT"));
    const QCommandLineOption gender(QStringLiteral("gender"),
        QStringLiteral("Gender, 1 character (default 1)."), QStringLiteral("C"));
    const QCommandLineOption filler(QStringLiteral("filler"),
        QStringLiteral("Filler text, repeated where nobody reads (default 0); no comma, no ESC."),
        QStringLiteral("TEXT"));
    const QCommandLineOption length(QStringLiteral("length"),
        QStringLiteral("Pad the body to at least N characters (default 178; the receiver gives "
                       "a shorter one up once the line has been quiet for 0.75 s)."),
        QStringLiteral("N"));
    const QCommandLineOption people(QStringLiteral("people"),
        QStringLiteral("Take the people from FILE (UTF-8), one per line: ID, kanji name, kana "
                       "name, date of birth and gender separated by tabs; lines starting with # "
                       "are skipped. Record N sends person N, starting over after the last."),
        QStringLiteral("FILE"));
    const QCommandLineOption raw(QStringLiteral("raw"),
        QStringLiteral("Send the bytes of FILE as the body instead of building one; piece sizes "
                       "then count bytes."),
        QStringLiteral("FILE"));
    const QCommandLineOption badFirst(QStringLiteral("bad-first-char"),
        QStringLiteral("Begin the body with STX (code 2) instead of ACK, so that it is "
                       "rejected."));

    const QCommandLineOption cutAfter(QStringLiteral("cut-after"),
        QStringLiteral("Stop record 1's body after its first N bytes, as an instrument switched "
                       "off or unplugged mid-record; the records after it go whole."),
        QStringLiteral("N"));
    const QCommandLineOption nextAtOnce(QStringLiteral("next-at-once"),
        QStringLiteral("With --cut-after, send record 2's header the moment record 1's body "
                       "stops, as an instrument that was reset mid-record, without waiting for "
                       "the receiver to give record 1 up."));

    const QCommandLineOption header(QStringLiteral("header"),
        QStringLiteral("The 4-character header (default R001)."), QStringLiteral("TEXT"));
    const QCommandLineOption headerPieces(QStringLiteral("header-pieces"),
        QStringLiteral("Send the header in pieces of these character counts, e.g. 2,2; "
                       "--piece-delay-ms apart."),
        QStringLiteral("LIST"));
    const QCommandLineOption headerOverrun(QStringLiteral("header-overrun"),
        QStringLiteral("Send the header with one extra character (5 at once), once, and expect "
                       "no ACK."));

    const QCommandLineOption pieces(QStringLiteral("pieces"),
        QStringLiteral("Send the body in pieces of these character counts, e.g. 100,78; the "
                       "rest goes as one last piece."),
        QStringLiteral("LIST"));
    const QCommandLineOption pieceSize(QStringLiteral("piece-size"),
        QStringLiteral("Send the body in pieces of N characters."), QStringLiteral("N"));
    const QCommandLineOption piecesInBytes(QStringLiteral("pieces-in-bytes"),
        QStringLiteral("Piece sizes count bytes, so a double-byte character can be split "
                       "between pieces."));
    const QCommandLineOption pieceDelay(QStringLiteral("piece-delay-ms"),
        QStringLiteral("Pause between pieces (default 10). Before the receiver has the whole "
                       "body, a piece also waits for four ACKs after the one before it, so that "
                       "each piece is a read of its own."),
        QStringLiteral("MS"));

    const QCommandLineOption count(QStringLiteral("count"),
        QStringLiteral("Number of records (default 1)."), QStringLiteral("N"));
    const QCommandLineOption recordDelay(QStringLiteral("record-delay-ms"),
        QStringLiteral("Extra pause between records (default 0)."), QStringLiteral("MS"));

    const QCommandLineOption abort(QStringLiteral("abort"),
        QStringLiteral(
            "After the first body ACK send the single chunk \"K\" instead of the body."));
    const QCommandLineOption abortAfter(QStringLiteral("abort-after-chars"),
        QStringLiteral("With --abort, send the first N body characters (in the usual pieces) "
                       "before the \"K\"."),
        QStringLiteral("N"));

    const QCommandLineOption waitAck(QStringLiteral("wait-ack"),
        QStringLiteral("Wait for the header's ACK before the body, resending the header when it "
                       "was lost (the default)."));
    const QCommandLineOption noWaitAck(QStringLiteral("no-wait-ack"),
        QStringLiteral("Send header and body --piece-delay-ms apart without waiting for any "
                       "ACK; no resend."));
    const QCommandLineOption bodyAtOnce(QStringLiteral("body-at-once"),
        QStringLiteral("Send the body the moment the header's ACK arrives, as a fast instrument "
                       "does, instead of after the receiver's first body poll."));
    const QCommandLineOption resend(QStringLiteral("resend-ms"),
        QStringLiteral("Resend an unanswered header after this long (default 500). Once the "
                       "receiver's input discards have been seen on the line, a header is "
                       "resent only when no ACK followed a discard within this long. The first "
                       "header waits for the receiver's discard on opening, or for this long "
                       "of silence."),
        QStringLiteral("MS"));
    const QCommandLineOption resendEvery(QStringLiteral("resend-every-ms"),
        QStringLiteral("Send the header again every MS until its ACK arrives, whatever the "
                       "receiver does meanwhile, as an instrument that re-sends on a timer; a "
                       "copy may then cross the receiver's ACK."),
        QStringLiteral("MS"));
    const QCommandLineOption bodyDelay(QStringLiteral("body-delay-ms"),
        QStringLiteral("Wait MS between the header's ACK and the body, as a slow instrument "
                       "does (default 0)."),
        QStringLiteral("MS"));
    const QCommandLineOption latency(QStringLiteral("latency-ms"),
        QStringLiteral("Let bytes take MS each way between the receiver and the instrument, as "
                       "through a USB serial adapter (16 is typical; default 0)."),
        QStringLiteral("MS"));
    const QCommandLineOption quiet(QStringLiteral("quiet-ms"),
        QStringLiteral("A body is over when no ACK has come for this long (default 100)."),
        QStringLiteral("MS"));
    const QCommandLineOption timeout(QStringLiteral("timeout-s"),
        QStringLiteral("Give up on a record after this long, exit status 1 (default 30)."),
        QStringLiteral("S"));
    const QCommandLineOption noise(QStringLiteral("noise"),
        QStringLiteral("Before the first header send these bytes, given in hex (e.g. ff0081), "
                       "and let the line rest for a second, as an instrument that puts noise on "
                       "the line when it is switched on."),
        QStringLiteral("HEX"));
    const QCommandLineOption replay(QStringLiteral("replay"),
        QStringLiteral("Play the instrument's side of TRACE (written by reccap --trace) and "
                       "compare the receiver's answers with it; the options that shape records "
                       "do not apply."),
        QStringLiteral("TRACE"));
    const QCommandLineOption session(QStringLiteral("session"),
        QStringLiteral("With --replay, play session N of a trace that several runs appended to "
                       "(default: the only one)."),
        QStringLiteral("N"));
    const QCommandLineOption speed(QStringLiteral("speed"),
        QStringLiteral("With --replay, play N times as fast as the trace's own timing (default "
                       "1; 0.5 plays at half speed). Waits for the receiver are never "
                       "shortened."),
        QStringLiteral("N"));
    const QCommandLineOption result(QStringLiteral("result"),
        QStringLiteral("With --replay, read FILE (the receiver's result file) after every record "
                       "and compare it with the line the trace shows written."),
        QStringLiteral("FILE"));
    const QCommandLineOption hold(QStringLiteral("hold"),
        QStringLiteral("After the last record keep the line open until SIGINT or SIGTERM."));
    const QCommandLineOption summary(QStringLiteral("summary"),
        QStringLiteral("On exit print the ACKs received for every record."));

    parser.addOptions({ help, link, port, printSlave, id, idStep, kanji, kana, dob, gender, filler,
        length, people, raw, badFirst, cutAfter, nextAtOnce, header, headerPieces, headerOverrun,
        pieces, pieceSize, piecesInBytes, pieceDelay, count, recordDelay, abort, abortAfter,
        waitAck, noWaitAck, bodyAtOnce, resend, resendEvery, bodyDelay, latency, quiet, timeout,
        noise, replay, session, speed, result, hold, summary });

    auto fail = [this](const QString& message) {
        m_message = message;
        return Outcome::Error;
    };

    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        m_message = parser.helpText();
        return Outcome::Help;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"")
                        .arg(parser.positionalArguments().constFirst()));

    SimOptions& o = m_options;
    const IntOption intOptions[] = {
        { "port", 1, 255, &o.port },
        { "id-step", -99999, 99999, &o.idStep },
        { "length", 0, 30000, &o.fields.minimumLength },
        { "piece-size", 1, 1 << 20, &o.pieceSize },
        { "piece-delay-ms", 0, 600000, &o.pieceDelayMs },
        { "count", 1, 1000000, &o.count },
        { "record-delay-ms", 0, 3600000, &o.recordDelayMs },
        { "abort-after-chars", 0, 30000, &o.abortAfterChars },
        { "cut-after", 1, 30000, &o.cutAfterBytes },
        { "resend-ms", 1, 600000, &o.resendMs },
        { "resend-every-ms", 1, 600000, &o.resendEveryMs },
        { "body-delay-ms", 0, 600000, &o.bodyDelayMs },
        { "latency-ms", 0, 1000, &o.latencyMs },
        { "quiet-ms", 1, 600000, &o.quietMs },
        { "timeout-s", 1, 86400, &o.timeoutS },
    };
    for (const IntOption& option : intOptions) {
        const QString name = QLatin1String(option.name);
        if (!parser.isSet(name))
            continue;
        const std::optional<int> value = toInt(parser.value(name), option.minimum, option.maximum);
        if (!value)
            return fail(QStringLiteral("--%1 wants a whole number from %2 to %3, not \"%4\"")
                            .arg(name)
                            .arg(option.minimum)
                            .arg(option.maximum)
                            .arg(parser.value(name)));
        *option.target = *value;
    }

    if (parser.isSet(printSlave) && parser.isSet(link))
        return fail(QStringLiteral("--print-slave and --link exclude each other"));
    o.printSlaveOnly = parser.isSet(printSlave);
    if (!o.printSlaveOnly)
        o.linkFolder = parser.isSet(link) ? parser.value(link) : DosDevices::folder();
    if (o.linkFolder.isEmpty() && !o.printSlaveOnly)
        return fail(QStringLiteral("--link wants a folder"));

    if (parser.isSet(id))
        o.fields.id = parser.value(id);
    if (parser.isSet(kanji))
        o.fields.kanjiName = parser.value(kanji);
    if (parser.isSet(kana))
        o.fields.kanaName = parser.value(kana);
    if (parser.isSet(dob))
        o.fields.dateOfBirth = parser.value(dob);
    if (parser.isSet(gender))
        o.fields.gender = parser.value(gender);
    if (parser.isSet(filler))
        o.fields.filler = parser.value(filler);
    o.badFirstChar = parser.isSet(badFirst);
    if (parser.isSet(people)) {
        for (const QCommandLineOption* single : { &id, &kanji, &kana, &dob, &gender, &raw }) {
            if (parser.isSet(single->names().constLast()))
                return fail(QStringLiteral("--people names every field; --%1 cannot apply")
                                .arg(single->names().constLast()));
        }
        QFile file(parser.value(people));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return fail(QStringLiteral("--people: cannot read %1: %2")
                            .arg(file.fileName(), file.errorString()));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QString& line = lines[i];
            if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
                continue;
            const QStringList cells = line.split(QLatin1Char('\t'));
            if (cells.size() != 5)
                return fail(QStringLiteral("--people: line %1 wants 5 tab-separated fields, "
                                           "not %2")
                                .arg(i + 1)
                                .arg(cells.size()));
            RecordFields person = o.fields;
            person.id = cells[0];
            person.kanjiName = cells[1];
            person.kanaName = cells[2];
            person.dateOfBirth = cells[3];
            person.gender = cells[4];
            o.people << person;
        }
        if (o.people.isEmpty())
            return fail(QStringLiteral("--people: %1 names nobody").arg(file.fileName()));
    }
    if (parser.isSet(raw)) {
        o.rawFile = parser.value(raw);
        for (const QCommandLineOption* built : { &id, &kanji, &kana, &dob, &gender, &filler,
                 &length, &idStep, &badFirst, &cutAfter }) {
            if (parser.isSet(built->names().constLast()))
                return fail(QStringLiteral("--raw sends the file as it is; --%1 cannot apply")
                                .arg(built->names().constLast()));
        }
    }

    if (parser.isSet(header))
        o.header = parser.value(header);
    if (o.header.size() != 4)
        return fail(QStringLiteral("--header wants exactly 4 characters, not \"%1\" (use "
                                   "--header-overrun for a longer one)")
                        .arg(o.header));
    o.headerOverrun = parser.isSet(headerOverrun);
    if (parser.isSet(headerPieces)) {
        const std::optional<QList<int>> sizes = toSizes(parser.value(headerPieces));
        if (!sizes)
            return fail(QStringLiteral("--header-pieces wants sizes like 2,2, not \"%1\"")
                            .arg(parser.value(headerPieces)));
        o.headerPieces = *sizes;
    }

    if (parser.isSet(pieces) && parser.isSet(pieceSize))
        return fail(QStringLiteral("--pieces and --piece-size exclude each other"));
    if (parser.isSet(pieces)) {
        const std::optional<QList<int>> sizes = toSizes(parser.value(pieces));
        if (!sizes)
            return fail(QStringLiteral("--pieces wants sizes like 100,78, not \"%1\"")
                            .arg(parser.value(pieces)));
        o.pieces = *sizes;
    }
    o.piecesInBytes = parser.isSet(piecesInBytes) || !o.rawFile.isEmpty();

    o.abort = parser.isSet(abort) || parser.isSet(abortAfter);
    if (parser.isSet(waitAck) && parser.isSet(noWaitAck))
        return fail(QStringLiteral("--wait-ack and --no-wait-ack exclude each other"));
    o.waitAck = !parser.isSet(noWaitAck);
    if (parser.isSet(bodyAtOnce) && !o.waitAck)
        return fail(QStringLiteral("--body-at-once answers the header's ACK; --no-wait-ack "
                                   "waits for none"));
    o.bodyAtOnce = parser.isSet(bodyAtOnce);
    if (parser.isSet(nextAtOnce) && !parser.isSet(cutAfter))
        return fail(QStringLiteral("--next-at-once goes with --cut-after"));
    o.nextAtOnce = parser.isSet(nextAtOnce);
    o.hold = parser.isSet(hold);
    o.summary = parser.isSet(summary);
    if (o.badFirstChar)
        o.fields.firstCharacter = QChar(0x02);

    if (parser.isSet(noise)) {
        const QByteArray hex = parser.value(noise).toLatin1();
        static const QRegularExpression pairs(QStringLiteral("^([0-9a-fA-F]{2})+$"));
        if (!pairs.match(QString::fromLatin1(hex)).hasMatch())
            return fail(QStringLiteral("--noise wants bytes in hex like ff0081, not \"%1\"")
                            .arg(parser.value(noise)));
        o.noise = QByteArray::fromHex(hex);
    }

    if (!parser.isSet(replay)) {
        for (const QCommandLineOption* only : { &session, &speed, &result }) {
            if (parser.isSet(only->names().constFirst()))
                return fail(
                    QStringLiteral("--%1 goes with --replay").arg(only->names().constFirst()));
        }
        return Outcome::Run;
    }
    // The trace says what each record is and how it went; an option that shapes records would
    // make the replay something else than what the desk saw.
    for (const QCommandLineOption* shaping : { &id, &idStep, &kanji, &kana, &dob, &gender, &filler,
             &length, &people, &raw, &badFirst, &cutAfter, &nextAtOnce, &header, &headerPieces,
             &headerOverrun, &pieces, &pieceSize, &piecesInBytes, &pieceDelay, &count, &recordDelay,
             &abort, &abortAfter, &waitAck, &noWaitAck, &bodyAtOnce, &resend, &resendEvery,
             &bodyDelay, &quiet, &noise, &summary }) {
        if (parser.isSet(shaping->names().constFirst()))
            return fail(QStringLiteral("--replay plays the trace's own records; --%1 cannot apply")
                            .arg(shaping->names().constFirst()));
    }
    o.replayFile = parser.value(replay);
    o.resultFile = parser.value(result);
    if (parser.isSet(session)) {
        const std::optional<int> n = toInt(parser.value(session), 1, 1000000);
        if (!n)
            return fail(QStringLiteral("--session wants a session number from 1, not \"%1\"")
                            .arg(parser.value(session)));
        o.replaySession = *n;
    }
    if (parser.isSet(speed)) {
        bool ok = false;
        const double factor = parser.value(speed).trimmed().toDouble(&ok);
        if (!ok || !(factor >= 0.01 && factor <= 1000))
            return fail(QStringLiteral("--speed wants a factor from 0.01 to 1000, not \"%1\"")
                            .arg(parser.value(speed)));
        o.replaySpeed = factor;
    }
    return Outcome::Run;
}
