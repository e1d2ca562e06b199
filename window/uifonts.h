#pragma once

#include <QFont>

// The window was designed around two Windows faces: the default UI face at 9 pt for labels
// and text boxes, and "ＭＳ Ｐゴシック" for the buttons. Where those faces are not
// installed, a Japanese proportional gothic stands in under their names, so that captions
// fit the fixed layout and Japanese text, ideographic spaces included, renders.
namespace UiFonts {

// Registers the stand-ins and makes the default UI face the application's font. Idempotent.
void install();

QFont buttonFont();

}
