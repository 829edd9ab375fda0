#pragma once
// What the link's own files share among themselves and nobody else needs: the
// reader's view of the channel state, the raw control request, the lifecycle of
// a connection record and the safe reading of a registration slot.

#include "link/link.h"

// ---- channel state seen by the reader ----
HANDLE LinkShutdownEvent();
// The shutdown event has been signalled (read without a wait).
bool LinkShutdownSignalled();
// Marks the reader thread (set by ReadWorker itself when it starts, so it holds
// even before GATT_Register has stored the thread's id).
void MarkReaderThread();
// The reader has cancelled and collected its reads: from now on it may close
// the channel itself.
void MarkReaderEnding();

// The device handle for one request: held shared until ReleaseDevice, so the
// channel is not closed under the request. INVALID_HANDLE_VALUE when closed
// (ReleaseDevice is still due).
HANDLE AcquireDevice();
void ReleaseDevice();

// ---- the raw control request ----
// Sends one control request on `device` with `event` in its OVERLAPPED and counts
// only an immediate success. A request the driver leaves pending is cancelled; it
// counts as refused with GetLastError() == ERROR_IO_PENDING. The OVERLAPPED and
// the output live in a block of the heap, never in the caller's frame: when the
// driver does not give a cancelled request back in time, the block is left to it.
// It holds up to 32 output bytes (the contract's outputs are a byte or two); a
// larger output is refused with ERROR_NOT_ENOUGH_MEMORY.
// The last error on return is the one of the request.
bool LinkControlOn(HANDLE device, HANDLE event, uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len,
                   DWORD *returned);
// A fresh auto-reset, non-signalled, unnamed event for one request.
HANDLE NewRequestEvent();

// ---- one request with its trace lines ----
// The lines of one request kind; a null one is not traced. `failed` takes the
// error (GetLastError(), or 0 when the call succeeded with the wrong byte
// count) and the bytes returned; a line may print the first alone.
struct RequestLines {
    const char *not_open;
    const char *no_event;
    const char *failed;
};
// How a request that succeeded counts: with any answer, or only with exactly
// out_len bytes (any other count counts as Refused).
enum class Answer { Any, Exact };
// LinkControl with the request's trace lines for what did not go through.
LinkIo LinkSend(const RequestLines &lines, Answer answer, uint32_t code, const void *in, DWORD in_len,
                void *out = nullptr, DWORD out_len = 0, DWORD *returned = nullptr);

// ---- connection records ----
// Holds a record's lock for a scope; Release leaves it early where a call must
// run outside it, Acquire takes it again.
class RecordLock {
public:
    explicit RecordLock(conn_record &rec) : lock_(&rec.lock) { Acquire(); }
    ~RecordLock() { Release(); }
    RecordLock(const RecordLock &) = delete;
    RecordLock &operator=(const RecordLock &) = delete;

    void Acquire()
    {
        EnterCriticalSection(lock_);
        held_ = true;
    }
    void Release()
    {
        if (held_)
            LeaveCriticalSection(lock_);
        held_ = false;
    }

private:
    CRITICAL_SECTION *lock_;
    bool held_ = false;
};

// Reader thread only.
void ConnRecordUp(uint16_t conn_id, const uint8_t *bda);
void ConnRecordDown(uint16_t conn_id);

// ---- registration slots ----
// Copies a slot's number and callbacks out, so a slot cleared concurrently is
// never half-read; false when the slot is free.
bool ReadSlot(int index, uint8_t *gatt_if, gatt_callbacks *callbacks);

