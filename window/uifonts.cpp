#include "uifonts.h"

#include <QApplication>
#include <QFontDatabase>

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

}
