#include "uifonts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

namespace {

const QStringList japaneseGothics { QStringLiteral("IPAPGothic"),
    QStringLiteral("Noto Sans CJK JP") };

const QString uiFace = QStringLiteral("MS UI Gothic");
const QString buttonFace = QStringLiteral("ＭＳ Ｐゴシック");

void substituteIfMissing(const QString& face)
{
    if (!QFontDatabase::families().contains(face))
        QFont::insertSubstitutions(face, japaneseGothics);
}

}

namespace UiFonts {

void install()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    substituteIfMissing(uiFace);
    substituteIfMissing(buttonFace);
    QFont font(uiFace);
    font.setPointSize(9);
    QApplication::setFont(font);
}

QFont buttonFont()
{
    install();
    QFont font(buttonFace);
    font.setBold(true);
    font.setPointSizeF(11.25);
    return font;
}

void fitCaption(QPushButton* button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    const int room
        = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
    // Narrower than this, a caption is harder to read than a clipped one.
    constexpr int narrowest = 70;
    QFont font = button->font();
    for (int stretch = 100;
         stretch >= narrowest && QFontMetrics(font).horizontalAdvance(button->text()) > room;
         --stretch)
        font.setStretch(stretch);
    button->setFont(font);
}

}
