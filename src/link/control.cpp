// One control request to the driver: the only place that calls DeviceIoControl
// for the contract's answered-at-once requests.

#include "link/link_private.h"

HANDLE NewRequestEvent() { return CreateEventW(nullptr, FALSE, FALSE, nullptr); }

bool LinkControlOn(HANDLE device, HANDLE event, uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len,
                   DWORD *returned)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    *returned = 0;
    if (DeviceIoControl(device, code, const_cast<void *>(in), in_len, out, out_len, returned, &overlapped))
        return true;
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        // Only an immediate answer counts. The request must not outlive this
        // frame (the driver would write its result here later): cancel it and
        // collect it before leaving.
        DWORD ignored = 0;
        CancelIoEx(device, &overlapped);
        GetOverlappedResult(device, &overlapped, &ignored, TRUE);
        *returned = 0;
    }
    SetLastError(error);
    return false;
}

LinkIo LinkControl(uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len, DWORD *returned)
{
    DWORD ignored = 0;
    if (!returned)
        returned = &ignored;
    *returned = 0;
    HANDLE device = AcquireDevice();
    LinkIo result = LinkIo::NotOpen;
    if (device != INVALID_HANDLE_VALUE) {
        HANDLE event = NewRequestEvent();
        if (!event) {
            result = LinkIo::NoEvent;
        } else {
            result = LinkControlOn(device, event, code, in, in_len, out, out_len, returned) ? LinkIo::Done
                                                                                              : LinkIo::Refused;
            DWORD error = GetLastError();
            CloseHandle(event);
            SetLastError(error);
        }
    }
    ReleaseDevice();
    return result;
}
