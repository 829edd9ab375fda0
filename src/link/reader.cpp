// The reader thread: twenty read-event requests kept pending on the device,
// taken strictly in the order they were sent, each record dispatched on this
// thread. The buffers are allocated once, at start-up.

#include <cstring>
#include <new>

#include "link/link_private.h"
#include "trace/trace.h"

namespace {

struct ReadBuffer {
    ZrEvent record;
    OVERLAPPED overlapped;
};

struct Reader {
    HANDLE device;
    ReadBuffer *slots[kReadSlots];
};

// Sends the read-event request of one slot. A request answered at once leaves
// the slot's event signalled, so the loop takes it in its turn.
bool SendRead(HANDLE device, ReadBuffer *slot)
{
    HANDLE event = slot->overlapped.hEvent;
    std::memset(&slot->overlapped, 0, sizeof slot->overlapped);
    slot->overlapped.hEvent = event;
    ResetEvent(event);
    DWORD returned = 0;
    if (DeviceIoControl(device, ZOREROVA_GATT_READ_EVENT, nullptr, 0, slot->record.raw, sizeof slot->record.raw,
                        &returned, &slot->overlapped)) {
        SetEvent(event);
        return true;
    }
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

void Run(Reader &reader, HANDLE shutdown)
{
    for (int i = 0;; i = (i + 1) % kReadSlots) {
        ReadBuffer *slot = reader.slots[i];
        HANDLE objects[2] = {shutdown, slot->overlapped.hEvent};
        DWORD result = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) {
            LeTrace("LE - ReadWorker: ReadWorker: received exit command 2");
            return;
        }
        if (result != WAIT_OBJECT_0 + 1) {
            LeTrace("LE - ReadWorker:  terminating (WaitForMultipleObjects returned %d, error %d)...",
                    static_cast<int>(result), static_cast<int>(GetLastError()));
            return;
        }
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
