#pragma once

#include <QString>

// The operator's language. reccap's own messages come from translations embedded in the program
// (":/i18n"), Qt's own (the buttons of its boxes) from Qt's translations where the platform has
// them; both are chosen by the system's locale, and English is the fallback. Some messages are
// written before the application object exists (a window that cannot open), so reccap's own
// translations are loaded first and can be asked directly through startupText().
void loadOwnTranslations();

// Installs reccap's own translations and Qt's into the application.
void installTranslations();

// A message marked with QT_TRANSLATE_NOOP, in the operator's language, whether or not the
// application has installed its translators yet.
QString startupText(const char* context, const char* sourceText);
