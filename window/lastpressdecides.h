#pragma once

#include <utility>

// What follows a break of "Comm Break": the operator's last press decides.
//
// Neither button can act at once while a break holds the line for its second. A capture loop
// started inside that second would poll a line held in break, where the instrument hears no
// ACK, and a loop that the break stopped is still on the stack until the break is over. Yet
// dropping a press, or acting on one that a later press took back, leaves the window doing
// the opposite of what the operator last asked for. So the presses made during a break's wait
// are taken in order and the last one wins: after "Comm Open", capture starts once the break
// is over; after "Comm Break", the program is idle with a red lamp.
class LastPressDecides {
public:
    void pressOpen() { m_captureAfterBreak = true; }
    void pressBreak() { m_captureAfterBreak = false; }

    bool wantsCapture() const { return m_captureAfterBreak; }
    // Whether capture must start now that the break is over; the answer is given once.
    bool takeCapture() { return std::exchange(m_captureAfterBreak, false); }

private:
    bool m_captureAfterBreak { false };
};
