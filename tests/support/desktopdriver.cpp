#include "desktopdriver.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>
#include <QtEndian>

namespace {

constexpr int commandTimeoutMs = 10000;

quint32 field(const QByteArray& header, int index)
{
    return qFromBigEndian<quint32>(header.constData() + 4 * index);
}

// The colour at (x, y) of an XWD image in ZPixmap format, as `xwd` writes it for a
// true-colour window. A window alone on the screen comes as 32 bits a pixel; once windows of
// another visual are about, such as an X toolkit's, xwd reads the screen through its
// several-visuals path and writes 24, three bytes a pixel.
QColor xwdPixel(const QByteArray& image, int x, int y)
{
    if (image.size() < 100)
        return {};
    const quint32 headerSize = field(image, 0);
    const quint32 format = field(image, 2);
    const quint32 width = field(image, 4);
    const quint32 height = field(image, 5);
    const quint32 byteOrder = field(image, 7);
    const quint32 bitsPerPixel = field(image, 11);
    const quint32 bytesPerLine = field(image, 12);
    const quint32 masks[3] = { field(image, 14), field(image, 15), field(image, 16) };
    const quint32 colours = field(image, 19);
    constexpr quint32 zPixmap = 2;
    if (format != zPixmap || (bitsPerPixel != 32 && bitsPerPixel != 24) || quint32(x) >= width
        || quint32(y) >= height)
        return {};
    const int bytes = int(bitsPerPixel / 8);
    const qint64 offset
        = qint64(headerSize) + 12 * qint64(colours) + qint64(y) * bytesPerLine + qint64(bytes) * x;
    if (offset + bytes > image.size())
        return {};
    const auto* p = reinterpret_cast<const uchar*>(image.constData() + offset);
    quint32 value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= quint32(p[byteOrder == 0 ? i : bytes - 1 - i]) << (8 * i);
    int channel[3];
    for (int i = 0; i < 3; ++i) {
        const quint32 mask = masks[i];
        if (mask == 0)
            return {};
        const int shift = qCountTrailingZeroBits(mask);
        const quint32 max = mask >> shift;
        channel[i] = int(((value & mask) >> shift) * 255 / max);
    }
    return QColor(channel[0], channel[1], channel[2]);
}

}

DesktopDriver::DesktopDriver(const QString& display)
    : m_display(display)
{
}

QString DesktopDriver::run(const QStringList& arguments, bool* ok) const
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("xdotool"), arguments);
    const bool finished = process.waitForFinished(commandTimeoutMs);
    if (!finished)
        process.kill();
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromUtf8(process.readAllStandardOutput());
}

quint64 DesktopDriver::findWindow(const QString& titlePattern, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    do {
        const QString found = run({ QStringLiteral("search"), QStringLiteral("--onlyvisible"),
            QStringLiteral("--name"), titlePattern });
        const quint64 id = found.section(QLatin1Char('\n'), 0, 0).trimmed().toULongLong();
        if (id != 0)
            return id;
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return 0;
}

bool DesktopDriver::windowExists(const QString& titlePattern) const
{
    return findWindow(titlePattern, 0) != 0;
}

bool DesktopDriver::click(quint64 window, int x, int y) const
{
    bool ok = false;
    run({ QStringLiteral("mousemove"), QStringLiteral("--window"), QString::number(window),
            QString::number(x), QString::number(y), QStringLiteral("click"), QStringLiteral("1") },
        &ok);
    return ok;
}

bool DesktopDriver::focus(quint64 window) const
{
    bool ok = false;
    run({ QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window) }, &ok);
    return ok;
}

QPoint DesktopDriver::position(quint64 window) const
{
    bool ok = false;
    const QString shell = run(
        { QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), QString::number(window) },
        &ok);
    QPoint at(-1, -1);
    for (const QString& line : shell.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("X=")))
            at.setX(line.mid(2).toInt());
        else if (line.startsWith(QLatin1String("Y=")))
            at.setY(line.mid(2).toInt());
    }
    return ok ? at : QPoint(-1, -1);
}

bool DesktopDriver::key(const QString& keyName) const
{
    bool ok = false;
    run({ QStringLiteral("key"), keyName }, &ok);
    return ok;
}

QColor DesktopDriver::pixel(quint64 window, int x, int y) const
{
    QProcess xwd;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    xwd.setProcessEnvironment(environment);
    xwd.start(QStringLiteral("xwd"),
        { QStringLiteral("-silent"), QStringLiteral("-id"), QString::number(window) });
    if (!xwd.waitForFinished(commandTimeoutMs) || xwd.exitCode() != 0) {
        xwd.kill();
        return {};
    }
    return xwdPixel(xwd.readAllStandardOutput(), x, y);
}
