#include "displayhold.h"

#include <xcb/xcb.h>

DisplayHold::DisplayHold(const QString& display)
    : m_connection(xcb_connect(display.toLocal8Bit().constData(), nullptr))
{
}

DisplayHold::~DisplayHold() { xcb_disconnect(m_connection); }

bool DisplayHold::isValid() const
{
    return m_connection && xcb_connection_has_error(m_connection) == 0;
}
