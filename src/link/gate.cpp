// The client operation gate: one client operation at a time per connection.
//
// A record keeps its lock and its op_done event for the life of the process:
// the lock is initialised at load time, the event created the first time the
// link comes up. A link going down signals op_done instead of closing it, so a
// caller still waiting in ClientEnterOp wakes and fails, and a late
// ClientExitOp never meets a closed event. Each link-up counts a new session of
// the record; a waiter that wakes in another session than the one it entered
// fails too, since the connection it meant is gone.

#include <cstring>

#include "link/link_private.h"
#include "trace/trace.h"

namespace {

constexpr DWORD kGateWaitMs = 15000;

// Sessions of each record, under the record's lock.
uint32_t g_session[kMaxConnections];

struct ConnLocks {
    ConnLocks()
    {
        for (conn_record &rec : conn_table)
            InitializeCriticalSection(&rec.lock);
    }
};
ConnLocks g_conn_locks;

bool LinkUp(const conn_record &rec, uint16_t conn_id, uint32_t session)
{
    return rec.connected && g_session[conn_id] == session;
}

// A record without its event (its creation failed) tries again when a waiter
// needs it; null when it still cannot be made. The record's lock is held.
HANDLE CreateGateEvent(conn_record &rec, uint16_t conn_id)
{
    if (!rec.op_done)
        rec.op_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!rec.op_done)
        LeTrace("ClientEnterOp conn_id=%d event creation failed - %d", conn_id, static_cast<int>(GetLastError()));
    return rec.op_done;
}

} // namespace

void ClientGateOpenLocked(conn_record &rec)
{
    rec.op = 0;
    if (rec.connected && rec.op_done)
        SetEvent(rec.op_done);
}

void ConnRecordUp(uint16_t conn_id, const uint8_t *bda)
{
    conn_record &rec = conn_table[conn_id];
    RecordLock lock(rec);
    std::memcpy(rec.bd_addr, bda, sizeof rec.bd_addr);
    rec.conn_id = conn_id;
    rec.connected = 1;
    rec.op = 0;
    ++g_session[conn_id];
    if (rec.op_done)
        ResetEvent(rec.op_done);
    else
        CreateGateEvent(rec, conn_id);
}

void ConnRecordDown(uint16_t conn_id)
{
    conn_record &rec = conn_table[conn_id];
    RecordLock lock(rec);
    if (rec.conn_id != kConnIdDown) {
        rec.conn_id = kConnIdDown;
        rec.connected = 0;
        if (rec.op_done)
            SetEvent(rec.op_done);   // wakes the waiters, who find the link gone
    }
}

bool ClientEnterOp(uint8_t gatt_if, uint16_t conn_id, uint8_t op)
{
    if (conn_id >= kMaxConnections) {
        LeTrace("ClientEnterOp failed gatt_if=%d conn_id=%d", gatt_if, conn_id);
        return true;
    }
    conn_record &rec = conn_table[conn_id];
    RecordLock lock(rec);
    // The session in which the caller found the link up; a wait that outlives
    // it fails like a link that is not up.
    const uint32_t session = g_session[conn_id];
    for (;;) {
        if (!LinkUp(rec, conn_id, session)) {
            lock.Release();
            LeTrace("ClientEnterOp failed gatt_if=%d conn_id=%d", gatt_if, conn_id);
            return true;
        }
        if (rec.op == 0)
            break;
        HANDLE done = CreateGateEvent(rec, conn_id);
        if (!done)
            return true;
        ResetEvent(done);
        lock.Release();   // the wait runs outside the lock
        const bool woken = WaitForSingleObject(done, kGateWaitMs) == WAIT_OBJECT_0;
        lock.Acquire();
        if (!woken) {
            const uint16_t in_place = rec.op;
            lock.Release();
            LeTrace("ClientEnterOp conn_id=%d opertation type=%d has not completed", conn_id, in_place);
            return true;
        }
    }
    rec.op_gatt_if = gatt_if;
    rec.op = op;
    LeTrace("ClientEnterOp gatt_if=%d conn_id=%d op=%d", gatt_if, conn_id, op);
    return false;
}

void ClientExitOp(uint16_t conn_id)
{
    if (conn_id >= kMaxConnections) {
        LeTrace("ClientExitOp bad conn_id:%d", conn_id);
        return;
    }
    conn_record &rec = conn_table[conn_id];
    RecordLock lock(rec);
    LeTrace("ClientExitOp gatt_if=%d conn_id=%d op=%d", rec.op_gatt_if, conn_id, rec.op);
    ClientGateOpenLocked(rec);
}
