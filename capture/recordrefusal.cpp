#include "recordrefusal.h"

#include "fieldcaption.h"

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

QString refusalReason(const Refusal& refusal)
{
    using Fault = Refusal::Fault;
    switch (refusal.rule) {
    case RecordRefusal::NoLeadingAck:
        return QStringLiteral("先頭がACKではありません");
    case RecordRefusal::CutOff:
        return QStringLiteral("途中で途切れました");
    case RecordRefusal::SecondRecord:
        return QStringLiteral("二人分のデータが混ざっています");
    case RecordRefusal::MissingField:
    case RecordRefusal::MalformedField:
    case RecordRefusal::Unencodable:
        break;
    }
    if (!refusal.field)
        return QStringLiteral("項目の区切りが見つかりません");
    QString what;
    switch (refusal.fault) {
    case Fault::None:
    case Fault::Missing:
        what = QStringLiteral("見つかりません");
        break;
    case Fault::WrongLength:
        what = refusal.field == CaptureView::Field::Text4 ? QStringLiteral("9文字ではありません")
                                                          : QStringLiteral("1文字ではありません");
        break;
    case Fault::ControlCharacter:
        what = QStringLiteral("制御文字を含みます");
        break;
    case Fault::DoubleQuote:
        what = QStringLiteral("二重引用符を含みます");
        break;
    case Fault::Unencodable:
        what = QStringLiteral("使えない文字を含みます");
        break;
    }
    return fieldCaption(*refusal.field) + QStringLiteral(": ") + what;
}
