// One control request to the driver: the only place that calls DeviceIoControl
// for the contract's answered-at-once requests.

#include <cstring>
#include <new>

#include "link/link_private.h"
#include "trace/trace.h"

namespace {

// How long a cancelled request may take to come back before it is left to the
// driver.
constexpr DWORD kCancelWaitMs = 2000;

// What the driver may still write after the call: the OVERLAPPED and the output.
// Blocks are kept for re-use, so a request does not touch the heap once the
// pool has grown; a block left to the driver is never re-used or freed.
constexpr DWORD kBlockOutput = 32;
constexpr int kSpareBlocks = 8;

struct RequestBlock {
    RequestBlock *next;
    OVERLAPPED overlapped;
    uint8_t out[kBlockOutput];
};

SRWLOCK g_pool_lock = SRWLOCK_INIT;
RequestBlock *g_spare = nullptr;
int g_spare_count = 0;

RequestBlock *TakeBlock()
{
    AcquireSRWLockExclusive(&g_pool_lock);
    RequestBlock *block = g_spare;
    if (block) {
        g_spare = block->next;
        --g_spare_count;
    }
    ReleaseSRWLockExclusive(&g_pool_lock);
    if (!block)
        block = new (std::nothrow) RequestBlock;
    if (block)
        std::memset(block, 0, sizeof *block);
    return block;
}

void GiveBack(RequestBlock *block)
{
    AcquireSRWLockExclusive(&g_pool_lock);
    if (g_spare_count < kSpareBlocks) {
        block->next = g_spare;
        g_spare = block;
        ++g_spare_count;
        block = nullptr;
    }
    ReleaseSRWLockExclusive(&g_pool_lock);
    delete block;
}

// Cancels a pending request and collects it; false when the driver keeps it
// past the wait (its block then stays with the driver).
bool CancelAndCollect(HANDLE device, RequestBlock *block)
{
    CancelIoEx(device, &block->overlapped);
    if (WaitForSingleObject(block->overlapped.hEvent, kCancelWaitMs) != WAIT_OBJECT_0)
        return false;
    DWORD ignored = 0;
    GetOverlappedResult(device, &block->overlapped, &ignored, FALSE);
    return true;
}

} // namespace

HANDLE NewRequestEvent() { return CreateEventW(nullptr, FALSE, FALSE, nullptr); }

bool LinkControlOn(HANDLE device, HANDLE event, uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len,
                   DWORD *returned)
{
    *returned = 0;
    RequestBlock *block = out_len <= kBlockOutput ? TakeBlock() : nullptr;
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    block->overlapped.hEvent = event;
    if (DeviceIoControl(device, code, const_cast<void *>(in), in_len, out_len ? block->out : nullptr, out_len,
                        returned, &block->overlapped)) {
        if (*returned > out_len)
            *returned = out_len;
        if (*returned)
            std::memcpy(out, block->out, *returned);
        GiveBack(block);
        return true;
    }
    DWORD error = GetLastError();
    // Only an immediate answer counts. A pending request is cancelled; one the
    // driver does not give back keeps its block.
    if (error != ERROR_IO_PENDING || CancelAndCollect(device, block))
        GiveBack(block);
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

LinkIo LinkSend(const RequestLines &lines, Answer answer, uint32_t code, const void *in, DWORD in_len, void *out,
                DWORD out_len, DWORD *returned)
{
    DWORD count = 0;
    LinkIo io = LinkControl(code, in, in_len, out, out_len, &count);
    const DWORD error = io == LinkIo::Done ? ERROR_SUCCESS : GetLastError();
    if (returned)
        *returned = count;
    if (io == LinkIo::Done && (answer == Answer::Any || count == out_len))
        return io;
    if (io == LinkIo::NotOpen) {
        if (lines.not_open)
            LeTrace("%s", lines.not_open);
        return io;
    }
    if (io == LinkIo::NoEvent) {
        LeTrace("%s", lines.no_event);
        return io;
    }
    if (lines.failed)
        LeTrace(lines.failed, static_cast<int>(error), static_cast<int>(count));
    return LinkIo::Refused;
}
