#pragma once

#include <QLatin1String>

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
