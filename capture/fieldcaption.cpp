#include "fieldcaption.h"

QString fieldCaption(CaptureView::Field field)
{
    using Field = CaptureView::Field;
    switch (field) {
    case Field::Text1:
        return QStringLiteral("受信コマンド");
    case Field::Text2:
        return QStringLiteral("受信カナ氏名");
    case Field::Text3:
        return QStringLiteral("受信ID");
    case Field::Text4:
        return QStringLiteral("受信生年月日");
    case Field::Text5:
        return QStringLiteral("受信性別");
    case Field::Text7:
        return QStringLiteral("受信漢字氏名");
    case Field::Text8:
        return QStringLiteral("受信生年月日 (西暦)");
    }
    return {};
}
