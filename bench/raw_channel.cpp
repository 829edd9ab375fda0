#include "raw_channel.h"

#include <vector>

namespace bench {
namespace {

constexpr int kSlots = 20;

struct Slot {
    ZrEvent record;
    OVERLAPPED ov;
};

// Sends a slot's read; one answered at once leaves its event set, for its turn.
bool SendRead(HANDLE device, Slot &s)
{
    HANDLE ev = s.ov.hEvent;
    s.ov = OVERLAPPED{};
    s.ov.hEvent = ev;
    ResetEvent(ev);
    DWORD n = 0;
    if (DeviceIoControl(device, ZOREROVA_GATT_READ_EVENT, nullptr, 0, s.record.raw, sizeof s.record.raw, &n, &s.ov)) {
        SetEvent(ev);
        return true;
    }
    if (GetLastError() == ERROR_IO_PENDING)
        return true;
    SetEvent(ev);   // nothing pends: the wait at the end must not hang on it
    return false;
}

} // namespace

RawChannel::RawChannel(Handler on_event) : on_event_(std::move(on_event))
{
    if (!channel_.IsOpen() || !channel_.Register())
        return;
    thread_ = std::thread([this] { Run(); });
    WaitForSingleObject(started_, INFINITE);
}

RawChannel::~RawChannel()
{
    SetEvent(stop_);
    if (thread_.joinable())
        thread_.join();
    CloseHandle(started_);
    CloseHandle(stop_);
}

bool RawChannel::Request(uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len)
{
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD n = 0;
    bool done = DeviceIoControl(channel_.Handle(), code, const_cast<void *>(in), in_len, out, out_len, &n, &ov);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        CancelIoEx(channel_.Handle(), &ov);
        GetOverlappedResult(channel_.Handle(), &ov, &n, TRUE);
    }
    CloseHandle(ov.hEvent);
    return done;
}

void RawChannel::Run()
{
    const HANDLE device = channel_.Handle();
    std::vector<Slot> slots(kSlots);
    bool pended = true;
    for (Slot &s : slots) {
        s.ov.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        pended = pended && SendRead(device, s);
    }
    ready_ = pended;
    SetEvent(started_);
    for (int i = 0; ready_; i = (i + 1) % kSlots) {
        HANDLE objects[2] = {stop_, slots[i].ov.hEvent};
        if (WaitForMultipleObjects(2, objects, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        DWORD n = 0;
        if (!GetOverlappedResult(device, &slots[i].ov, &n, FALSE))
            break;
        on_event_(slots[i].record);
        if (!SendRead(device, slots[i]))
            break;
    }
    CancelIo(device);
    for (Slot &s : slots) {
        DWORD n = 0;
        GetOverlappedResult(device, &s.ov, &n, TRUE);
        CloseHandle(s.ov.hEvent);
    }
}

} // namespace bench
