#include "applicationstart.h"

#include <QByteArray>
#include <QList>
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
    if (display.isEmpty())
        return QStringLiteral("reccap: cannot open the window, DISPLAY is not set (%1)")
            .arg(reason);
    return QStringLiteral("reccap: cannot open the window on display %1 (%2)").arg(display, reason);
}

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
    std::fprintf(stderr, "%s\n",
        qUtf8Printable(noDisplayLine(reason.section(QLatin1Char('\n'), 0, 0).trimmed())));
    std::fflush(stderr);
    std::_Exit(1);
}

}

std::unique_ptr<QApplication> createApplication(int& argc, char** argv)
{
    previousHandler = qInstallMessageHandler(holdWhileStarting);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previousHandler);
    for (const HeldMessage& message : std::exchange(heldMessages, {})) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        qt_message_output(message.type, context, message.text);
    }
    return app;
}
