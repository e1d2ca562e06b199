#include "win32requests.h"

#include <algorithm>
#include <vector>

namespace {

// Never destroyed: at the program's end a driver may still hold an abandoned request.
std::vector<std::unique_ptr<Win32Request>>& kept()
{
    static auto* const requests = new std::vector<std::unique_ptr<Win32Request>>;
    return *requests;
}

Win32Requests::CancelCall cancelCall = CancelIoEx;

void reclaimCompleted()
{
    auto& requests = kept();
    requests.erase(std::remove_if(requests.begin(), requests.end(),
                       [](const std::unique_ptr<Win32Request>& r) { return r->completed(); }),
        requests.end());
}

}

Win32Request::Win32Request()
    : event(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

Win32Request::~Win32Request()
{
    if (event)
        CloseHandle(event);
}

OVERLAPPED& Win32Request::fresh()
{
    overlapped = {};
    overlapped.hEvent = event;
    return overlapped;
}

bool Win32Requests::cancel(HANDLE handle, std::unique_ptr<Win32Request>& request)
{
    reclaimCompleted();
    if (request->completed())
        return true;
    cancelCall(handle, &request->overlapped);
    if (WaitForSingleObject(request->event, cancelLimitMs) == WAIT_OBJECT_0) {
        DWORD ignored = 0;
        GetOverlappedResult(handle, &request->overlapped, &ignored, FALSE);
        return true;
    }
    kept().push_back(std::move(request));
    request = std::make_unique<Win32Request>();
    return false;
}

int Win32Requests::abandoned()
{
    reclaimCompleted();
    return int(kept().size());
}

void Win32Requests::setCancelCall(CancelCall call) { cancelCall = call ? call : CancelIoEx; }
