// The reader thread: twenty read-event requests kept pending on the device,
// taken strictly in the order they were sent, each record dispatched on this
// thread. The buffers are allocated once, at start-up.

#include <atomic>
#include <cstring>
#include <new>

#include "link/link_private.h"
#include "trace/trace.h"

namespace {

struct ReadBuffer {
    ZrEvent record;
    OVERLAPPED overlapped;
    bool answered;                   // the driver completed the request as it was sent
};

struct Reader {
    HANDLE device;
    ReadBuffer *slots[kReadSlots];
};

std::atomic<void (*)()> g_wake_hook{nullptr};

void WakeConsumers()
{
    if (void (*hook)() = g_wake_hook.load(std::memory_order_acquire))
        hook();
}

// Counts the records since the consumers were last woken.
class WakeBatch {
public:
    void BeforeWait() { Wake(); }
    void AfterRecord()
    {
        if (++records_ == kWakeBatch)
            Wake();
    }

private:
    void Wake()
    {
        records_ = 0;
        WakeConsumers();
    }
    int records_ = 0;
};

// Sends the read-event request of one slot. Starting the request resets the
// slot's event and completing it (at once or later) signals it; a request the
// driver answered at once is marked, so the loop takes it in its turn without
// waiting. A request that failed leaves the event signalled for the end's wait.
bool SendRead(HANDLE device, ReadBuffer *slot)
{
    HANDLE event = slot->overlapped.hEvent;
    std::memset(&slot->overlapped, 0, sizeof slot->overlapped);
    slot->overlapped.hEvent = event;
    DWORD returned = 0;
    slot->answered = DeviceIoControl(device, ZOREROVA_GATT_READ_EVENT, nullptr, 0, slot->record.raw,
                                     sizeof slot->record.raw, &returned, &slot->overlapped) != FALSE;
    if (slot->answered)
        return true;
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
        return true;
    SetEvent(event);
    LeTrace("LE - ReadWorker: DeviceIoControl(ZOREROVA_GATT_READ_EVENT) failed, error %u",
            static_cast<unsigned>(error));
    return false;
}

// Allocates the slots and pends all twenty reads; false if any step failed.
bool StartReads(Reader &reader)
{
    for (int i = 0; i < kReadSlots; ++i) {
        ReadBuffer *slot = new (std::nothrow) ReadBuffer;
        if (!slot) {
            LeTrace("LE - ReadWorker: Failed to allocate memory");
            return false;
        }
        reader.slots[i] = slot;
        std::memset(slot, 0, sizeof *slot);
        slot->overlapped.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        if (!slot->overlapped.hEvent) {
            LeTrace("LE - ReadWorker:: Event allocation failed. err=%d", static_cast<int>(GetLastError()));
            return false;
        }
        if (!SendRead(reader.device, slot))
            return false;
    }
    return true;
}

// The slot's turn: false when the reader ends. A request the driver answered
// at once needs no wait; the shutdown still comes before its record.
bool AwaitSlot(const ReadBuffer *slot, HANDLE shutdown, WakeBatch &wakes)
{
    if (slot->answered && !LinkShutdownSignalled())
        return true;
    wakes.BeforeWait();
    HANDLE objects[2] = {shutdown, slot->overlapped.hEvent};
    DWORD result = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0) {
        LeTrace("LE - ReadWorker: ReadWorker: received exit command 2");
        return false;
    }
    if (result != WAIT_OBJECT_0 + 1) {
        LeTrace("LE - ReadWorker:  terminating (WaitForMultipleObjects returned %d, error %d)...",
                static_cast<int>(result), static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

void Run(Reader &reader, HANDLE shutdown)
{
    WakeBatch wakes;
    for (int i = 0;; i = (i + 1) % kReadSlots) {
        ReadBuffer *slot = reader.slots[i];
        if (!AwaitSlot(slot, shutdown, wakes))
            return;
        DWORD transferred = 0;
        if (!GetOverlappedResult(reader.device, &slot->overlapped, &transferred, FALSE)) {
            LeTrace("LE - ReadWorker: Read failed, status %u", static_cast<unsigned>(GetLastError()));
            return;
        }
        LeTrace("LE - ReadWorker: completed %p", static_cast<void *>(slot));
        // A short read leaves the previous record in the buffer: not an event.
        if (transferred < sizeof slot->record.raw)
            LeTrace("LE - ReadWorker: short read of %u bytes dropped", static_cast<unsigned>(transferred));
        else
            DispatchEvent(&slot->record);
        wakes.AfterRecord();
        if (!SendRead(reader.device, slot))
            return;
    }
}

// Cancels what is pending and waits for every request before its buffer goes.
void StopReads(Reader &reader)
{
    LeTrace("LE - ReadWorker: cancelling all IO requests...");
    CancelIo(reader.device);
    for (int i = 0; i < kReadSlots; ++i) {
        ReadBuffer *slot = reader.slots[i];
        if (!slot)
            continue;
        if (slot->overlapped.hEvent) {
            LeTrace("LE - ReadWorker: waiting for completion of the request %d", i);
            DWORD transferred = 0;
            if (!GetOverlappedResult(reader.device, &slot->overlapped, &transferred, TRUE))
                LeTrace("LE - ReadWorker: GetOverlappedResult failed, err=%d Closing overlapped event...",
                        static_cast<int>(GetLastError()));
            else
                LeTrace("LE - ReadWorker: Closing overlapped event...");
            CloseHandle(slot->overlapped.hEvent);
        }
        delete slot;
        reader.slots[i] = nullptr;
    }
}

} // namespace

void SetReaderWakeHook(void (*hook)()) { g_wake_hook.store(hook, std::memory_order_release); }

DWORD WINAPI ReadWorker(LPVOID startup_event)
{
    MarkReaderThread();
    LeTrace("LE - ReadWorker: Read thread started");
    Reader reader = {};
    reader.device = LinkDeviceHandle();
    if (StartReads(reader)) {
        LeTrace("LE - ReadWorker: completed startup. hStartupEvent=%p", startup_event);
        SetEvent(static_cast<HANDLE>(startup_event));
        Run(reader, LinkShutdownEvent());
        // What the last records queued is not held back by the end.
        WakeConsumers();
    } else {
        // GATT_Register waits for the start-up or the shutdown event: end its
        // wait (with failure) before anything is closed.
        SetEvent(LinkShutdownEvent());
    }
    StopReads(reader);
    MarkReaderEnding();
    LeTrace("LE - ReadWorker: deregistering");
    GATT_DeregisterAll(true);
    LeTrace("LE - ReadWorker: exits");
    return 0;
}
