#include "translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace {

QTranslator& ownTranslator()
{
    static QTranslator translator;
    return translator;
}

QTranslator& qtTranslator()
{
    static QTranslator translator;
    return translator;
}

// Qt for Windows carries no translations of its own; its Japanese one ships beside the program.
QString qtTranslationsFolder()
{
#ifdef Q_OS_WIN
    return QCoreApplication::applicationDirPath() + QStringLiteral("/translations");
#else
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#endif
}

}

void loadOwnTranslations()
{
    if (ownTranslator().isEmpty())
        static_cast<void>(ownTranslator().load(QLocale::system(), QStringLiteral("reccap"),
            QStringLiteral("_"), QStringLiteral(":/i18n")));
}

void installTranslations()
{
    loadOwnTranslations();
    if (!ownTranslator().isEmpty())
        QCoreApplication::installTranslator(&ownTranslator());
    // English needs no file: the source texts are English, Qt's too.
    if (qtTranslator().load(QLocale::system(), QStringLiteral("qtbase"), QStringLiteral("_"),
            qtTranslationsFolder()))
        QCoreApplication::installTranslator(&qtTranslator());
}

// The toolkit's complaints arrive while the application is being made, when an instance exists
// but has no translators yet: the translator is asked directly.
QString startupText(const char* context, const char* sourceText)
{
    loadOwnTranslations();
    const QString translated = ownTranslator().translate(context, sourceText);
    return translated.isEmpty() ? QString::fromUtf8(sourceText) : translated;
}
