#pragma once

#include <QString>

struct xcb_connection_t;

// A connection to the X server held for the whole benchmark. An X server resets when its last
// client leaves, and a program started during that reset cannot connect; between two runs the
// program under measurement is the only client, so without this hold every new run would race
// the reset of the one before.
class DisplayHold {
public:
    explicit DisplayHold(const QString& display);
    ~DisplayHold();
    DisplayHold(const DisplayHold&) = delete;
    DisplayHold& operator=(const DisplayHold&) = delete;

    bool isValid() const;

private:
    xcb_connection_t* m_connection { nullptr };
};
