#pragma once

#include "captureview.h"

#include <QLatin1String>
#include <QString>
#include <optional>

// Why the capture loop dropped a record. Each reason is one of the rules a record must pass
// (LineRules, FieldExtractor, ResultLine); a line trace names it, so that a desk's "records are
// rejected" comes with the rule that rejected them.
enum class RecordRefusal {
    // The body does not start with the ACK character.
    NoLeadingAck,
    // A field marker that one of the result file's fields needs is missing.
    MissingField,
    // A field is there but cannot be taken as it stands: a date of birth or gender cut short,
    // or an item holding a control character or a double quote.
    MalformedField,
    // The result line has a character code page 932 cannot carry exactly.
    Unencodable,
    // The body wait fell silent before the body was complete.
    CutOff,
    // Another record's body began inside this one's: the instrument started over.
    SecondRecord,
};

// The rule's name in a trace: no-ack, missing-field, malformed-field, unencodable, cut-off,
// second-record.
QLatin1String ruleName(RecordRefusal refusal);

// A refusal as the operator is told it: the rule and, where one field is to blame, the field
// (the window's box for it) and what is wrong with it. An operator who sees the same "please
// resend" on every resend cannot tell a line fault, which a resend cures, from a record the
// instrument will always send the same way.
struct Refusal {
    enum class Fault { None, Missing, WrongLength, ControlCharacter, DoubleQuote, Unencodable };

    Refusal(RecordRefusal rule)
        : rule(rule)
    {
    }
    Refusal(RecordRefusal rule, CaptureView::Field field, Fault fault)
        : rule(rule)
        , field(field)
        , fault(fault)
    {
    }

    RecordRefusal rule;
    std::optional<CaptureView::Field> field;
    Fault fault { Fault::None };
};

// One line in Japanese for the "please resend" box and the trace, naming the field by its
// caption in the window: "受信性別: 制御文字を含みます".
QString refusalReason(const Refusal& refusal);
