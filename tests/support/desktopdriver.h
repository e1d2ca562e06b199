#pragma once

#include <QColor>
#include <QPoint>
#include <QString>

class QProcessEnvironment;

// Works a window on an X display the way an operator would: finds it by title, clicks at a
// point of it, presses keys, and reads the colour of a pixel from a screenshot. Clicks and
// keys go through xdotool (the XTEST extension), so the program under test sees real input.
class DesktopDriver {
public:
    explicit DesktopDriver(const QString& display);

    // The id of the first shown window whose title matches `titlePattern` exactly, or 0 when
    // none appears within `timeoutMs`. Qt keeps a hidden window named after the program, which
    // does not count.
    quint64 findWindow(const QString& titlePattern, int timeoutMs = 15000) const;
    bool windowExists(const QString& titlePattern) const;
    bool click(quint64 window, int x, int y) const;
    bool key(const QString& keyName) const;
    // Gives the window the keyboard, as a window manager gives it a new window; the private
    // server runs none.
    bool focus(quint64 window) const;
    // Where the window's top left corner stands on the screen; (-1, -1) when it cannot be told.
    QPoint position(quint64 window) const;
    // The colour at (x, y) of the window, from a screenshot; invalid when it cannot be taken.
    QColor pixel(quint64 window, int x, int y) const;

private:
    QString run(const QStringList& arguments, bool* ok = nullptr) const;

    QString m_display;
};
