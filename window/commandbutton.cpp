#include "commandbutton.h"

#include <QKeyEvent>

void CommandButton::keyPressEvent(QKeyEvent* event)
{
    const bool returnKey = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!returnKey || (event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
        QPushButton::keyPressEvent(event);
        return;
    }
    // The press shows as Space's does and the click comes from the event queue, so that a
    // handler that runs its own loop (a capture, a break) never runs inside this key event.
    // A held key presses once.
    if (!event->isAutoRepeat())
        animateClick();
    event->accept();
}
