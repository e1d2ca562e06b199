#pragma once

#include <QFont>

class QLabel;
class QPushButton;

// The window was designed around two Windows faces: the default UI face at 9 pt for labels
// and text boxes, and "ＭＳ Ｐゴシック" for the buttons. Where those faces are not
// installed, a Japanese proportional gothic stands in under their names, so that captions
// fit the fixed layout and Japanese text, ideographic spaces included, renders.
namespace UiFonts {

// The stand-ins, in the order they are tried.
QStringList fallbackFaces();

// Registers the stand-ins and makes the default UI face the application's font. Idempotent.
void install();

QFont buttonFont();

// Where a stand-in face or the system's own bold draws wider than the design's face (Wine
// emboldens by widening every glyph), narrows the button's font just enough for its caption
// to fit whole; height and point size stay as designed.
void fitCaption(QPushButton* button);
// The same for a row's caption, whose label is as wide as the design's face needed and no wider:
// a stand-in with wider kana (Noto Sans CJK's are full width) would clip its end.
void fitCaption(QLabel* label);

}
