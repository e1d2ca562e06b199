#pragma once

#include <QByteArray>

#include <memory>
#include <qt_windows.h>

// One overlapped request on the port, with the bytes it reads into or writes from. From the
// call that hands it to the driver until the driver completes it, cancelled or not, the
// OVERLAPPED, its event and the bytes are the driver's: freeing any of them earlier lets the
// driver write into memory that holds something else by then.
struct Win32Request {
    Win32Request();
    ~Win32Request();
    Win32Request(const Win32Request&) = delete;
    Win32Request& operator=(const Win32Request&) = delete;

    OVERLAPPED& fresh();
    bool completed() const { return HasOverlappedIoCompleted(&overlapped); }

    HANDLE event { nullptr };
    OVERLAPPED overlapped {};
    QByteArray buffer;
};

// Calling off requests without waiting for ever. Some drivers (USB serial adapters among them,
// once the adapter is pulled) never complete a cancelled request; an unbounded wait for it
// would hang the window ("Not Responding") instead of reporting the port lost, and hold up
// sign-out. So a cancelled request is waited for a bounded time, and one the driver keeps past
// it is abandoned on purpose: kept, never freed, until the driver is seen to have completed it.
namespace Win32Requests {

// Every wait after a cancel ends within this, with room to spare under half a second.
constexpr DWORD cancelLimitMs = 400;

// Cancels `request` if it is still with the driver and waits for the driver to give it back.
// False when the driver has not given it back within cancelLimitMs: `request` is then kept
// here and replaced by a fresh one, and the caller treats the port as lost.
bool cancel(HANDLE handle, std::unique_ptr<Win32Request>& request);

// Requests abandoned and not yet seen completed.
int abandoned();

// How the driver is asked to cancel (CancelIoEx); a test plays a driver that ignores it.
using CancelCall = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);
void setCancelCall(CancelCall call);

}
