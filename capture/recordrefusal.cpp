#include "recordrefusal.h"

QLatin1String ruleName(RecordRefusal refusal)
{
    switch (refusal) {
    case RecordRefusal::NoLeadingAck:
        return QLatin1String("no-ack");
    case RecordRefusal::MissingField:
        return QLatin1String("missing-field");
    case RecordRefusal::MalformedField:
        return QLatin1String("malformed-field");
    case RecordRefusal::Unencodable:
        return QLatin1String("unencodable");
    case RecordRefusal::CutOff:
        return QLatin1String("cut-off");
    case RecordRefusal::SecondRecord:
        return QLatin1String("second-record");
    }
    return QLatin1String("unknown");
}
