#include "applicationstart.h"

#include "translations.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <cstdio>
#include <cstdlib>

namespace {

struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};

QtMessageHandler previousHandler = nullptr;
QList<HeldMessage> heldMessages;

QString noDisplayLine(const QString& reason)
{
    QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty())
        display = qEnvironmentVariable("WAYLAND_DISPLAY");
    // No application exists yet to translate with; startupText() reaches the translations.
    if (display.isEmpty())
        return QStringLiteral("reccap: ")
            + startupText("ApplicationStart",
                QT_TRANSLATE_NOOP(
                    "ApplicationStart", "cannot open the window, DISPLAY is not set (%1)"))
                  .arg(reason);
    return QStringLiteral("reccap: ")
        + startupText("ApplicationStart",
            QT_TRANSLATE_NOOP("ApplicationStart", "cannot open the window on display %1 (%2)"))
              .arg(display, reason);
}

#ifndef Q_OS_WIN
// A platform that Qt could not find is a package that is not installed; setting DISPLAY
// instead would be the wrong advice in a Wayland session.
QString missingPlatformPackage(const QString& complaint)
{
    static const QRegularExpression missing(
        QStringLiteral("Could not find the Qt platform plugin \"([^\"]+)\""));
    const QRegularExpressionMatch match = missing.match(complaint);
    if (!match.hasMatch())
        return {};
    const QString plugin = match.captured(1);
    const QString package = plugin.startsWith(QLatin1String("wayland"))
        ? QStringLiteral("qt6-wayland")
        : QStringLiteral("qt6-qpa-plugins");
    return startupText("ApplicationStart",
        QT_TRANSLATE_NOOP(
            "ApplicationStart", "Qt's %1 platform is not installed: install the package %2"))
        .arg(plugin, package);
}
#endif

void holdWhileStarting(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtFatalMsg) {
        heldMessages.append({ type, QByteArray(context.category), text });
        return;
    }
    // The toolkit's own first complaint names the cause best ("could not connect to display").
    QString reason = text;
    for (const HeldMessage& held : std::as_const(heldMessages)) {
        if (held.category.startsWith("qt.qpa")) {
            reason = held.text;
            break;
        }
    }
#ifndef Q_OS_WIN
    if (const QString package = missingPlatformPackage(reason); !package.isEmpty())
        reason = package;
#endif
    std::fprintf(stderr, "%s\n",
        qUtf8Printable(noDisplayLine(reason.section(QLatin1Char('\n'), 0, 0).trimmed())));
    std::fflush(stderr);
    std::_Exit(1);
}

}

std::unique_ptr<QApplication> createApplication(int& argc, char** argv)
{
    loadOwnTranslations();
    previousHandler = qInstallMessageHandler(holdWhileStarting);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previousHandler);
    installTranslations();
    for (const HeldMessage& message : std::exchange(heldMessages, {})) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        qt_message_output(message.type, context, message.text);
    }
    return app;
}
