#include "uifonts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

namespace {

const QStringList japaneseGothics { QStringLiteral("IPAPGothic"),
    QStringLiteral("Noto Sans CJK JP") };

const QString uiFace = QStringLiteral("MS UI Gothic");
const QString buttonFace = QStringLiteral("ＭＳ Ｐゴシック");

// Narrower than this, a caption is harder to read than a clipped one.
constexpr int narrowestStretch = 70;

void narrowToFit(QWidget* widget, const QString& text, int room)
{
    QFont font = widget->font();
    for (int stretch = 100;
         stretch >= narrowestStretch && QFontMetrics(font).horizontalAdvance(text) > room;
         --stretch)
        font.setStretch(stretch);
    widget->setFont(font);
}

void substituteIfMissing(const QString& face)
{
    if (!QFontDatabase::families().contains(face))
        QFont::insertSubstitutions(face, japaneseGothics);
}

}

namespace UiFonts {

QStringList fallbackFaces() { return japaneseGothics; }

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
    narrowToFit(button, button->text(),
        button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width());
}

void fitCaption(QLabel* label) { narrowToFit(label, label->text(), label->contentsRect().width()); }

}
