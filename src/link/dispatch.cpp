// The link-level handlers of driver events, all on the reader thread: they keep
// the connection table, open the client operation gate and pass events up
// through the registrations' callbacks.

#include <algorithm>

#include "link/link_private.h"
#include "trace/trace.h"

namespace {

// Request types that carry an attribute handle at the front of their payload.
bool RoutableRequest(uint8_t req_type) { return req_type >= 1 && req_type <= 3; }

const gatts_service_record *FindService(uint16_t handle)
{
    for (const gatts_service_record *s = gatts_service_list; s; s = __atomic_load_n(&s->next, __ATOMIC_ACQUIRE)) {
        if (s->s_handle <= handle && handle <= s->e_handle)
            return s;
    }
    return nullptr;
}

// Each distinct handler once: registrations that share one handler (every
// application registration of the API does) would otherwise see the event once
// per interface.
void CompleteToAll(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload)
{
    decltype(gatt_callbacks::on_complete) called[kMaxGattIf];
    int n = 0;
    for (int i = 0; i < kMaxGattIf; ++i) {
        uint8_t gatt_if;
        gatt_callbacks callbacks;
        if (!ReadSlot(i, &gatt_if, &callbacks) || !callbacks.on_complete)
            continue;
        if (std::find(called, called + n, callbacks.on_complete) != called + n)
            continue;
        called[n++] = callbacks.on_complete;
        callbacks.on_complete(conn_id, op, status, payload);
    }
}

} // namespace

void DispatchEvent(const ZrEvent *event)
{
    switch (event->type) {
    case ZR_EVT_COMPLETE: {
        const ZrEvtComplete &e = event->complete;
        CompleteCallback(e.conn_id, e.op, e.status, &e.payload);
        break;
    }
    case ZR_EVT_REQUEST: {
        const ZrEvtRequest &e = event->request;
        RequestCallback(e.conn_id, e.trans_id, e.req_type, &e.payload);
        break;
    }
    case ZR_EVT_DISC_COMPLETE: {
        const ZrEvtDiscComplete &e = event->disc_complete;
        DiscoveryComplete(e.conn_id, e.disc_type, e.status);
        break;
    }
    case ZR_EVT_DISC_RESULT: {
        const ZrEvtDiscResult &e = event->disc_result;
        DiscoveryResult(e.conn_id, e.disc_type, &e.result);
        break;
    }
    case ZR_EVT_CONNECTION: {
        const ZrEvtConnection &e = event->connection;
        ConnectedCallback(e.bda, e.conn_id, e.connected);
        break;
    }
    default:
        break;   // not a record the library knows: dropped
    }
}

void ConnectedCallback(const uint8_t *bda, uint16_t conn_id, uint8_t connected)
{
    if (conn_id >= kMaxConnections) {
        LeTrace("ConnectedCallback illegal conn_id=%d %08x%04x", conn_id, BdaHigh(bda), BdaLow(bda));
        return;
    }
    if (connected)
        ConnRecordUp(conn_id, bda);
    for (int i = 0; i < kMaxGattIf; ++i) {
        uint8_t gatt_if;
        gatt_callbacks callbacks;
        if (ReadSlot(i, &gatt_if, &callbacks) && callbacks.on_connected)
            callbacks.on_connected(gatt_if, bda, conn_id, connected);
    }
    // After the callbacks, so that they still see the record as it was.
    if (!connected)
        ConnRecordDown(conn_id);
}

void CompleteCallback(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload)
{
    // The walk takes the reads of its own connection only: a client's read on
    // another connection still ends that client's operation.
    if (op == ZR_OP_READ && DiscoveryTakesRead(conn_id)) {
        DiscoverClientCompleteCallback(conn_id, op, status, payload);
        return;
    }
    if (conn_id >= kMaxConnections) {
        LeTrace("CompleteCallback bad conn_id:%d", conn_id);
        return;
    }
    conn_record &rec = conn_table[conn_id];
    if (!rec.connected) {
        LeTrace("CompleteCallback not connected conn_id:%d", conn_id);
        return;
    }
    RecordLock lock(rec);
    if (rec.op == op) {
        LeTrace("CompleteCallback conn_id=%d, op=%d completed status=%d", conn_id, op, status);
        ClientGateOpenLocked(rec);
    }
    // The registration that last started an operation here hears the
    // connection's completions. Before any operation, or once that
    // registration has gone (its callbacks went with it), they go to every
    // registration, as a notification must not vanish with an earlier reader.
    const uint8_t owner = rec.op_gatt_if;
    uint8_t gatt_if;
    gatt_callbacks callbacks;
    const bool owned = IsGattIf(owner) && ReadSlot(owner - 1, &gatt_if, &callbacks);
    lock.Release();   // the callbacks run outside the lock
    if (!owned) {
        CompleteToAll(conn_id, op, status, payload);
        return;
    }
    if (callbacks.on_complete)
        callbacks.on_complete(conn_id, op, status, payload);
    LeTrace("CompleteCallback notified conn_id=%d, op=%d, status=%d", conn_id, op, status);
}

void RequestCallback(uint16_t conn_id, uint32_t trans_id, uint8_t req_type, const ZrRequestPayload *payload)
{
    if (!payload) {
        LeTrace("RequestCallback with NULL data conn_id=%d", conn_id);
        return;
    }
    if (!RoutableRequest(req_type)) {
        // Only reads and writes carry the attribute handle a request is routed by.
        LeTrace("RequestCallback unknown request type conn_id=%d, type=%d", conn_id, req_type);
        return;
    }
    const uint16_t handle = payload->handle;
    const gatts_service_record *service = FindService(handle);
    if (!service) {
        LeTrace("RequestCallback with for NULL handle conn_id=%d, type=%d handle=%d", conn_id, req_type, handle);
        return;
    }
    for (int i = 0; i < kMaxGattIf; ++i) {
        uint8_t gatt_if;
        gatt_callbacks callbacks;
        if (!ReadSlot(i, &gatt_if, &callbacks) || gatt_if != service->gatt_if)
            continue;
        if (callbacks.on_request)
            callbacks.on_request(conn_id, trans_id, req_type, payload);
        else
            LeTrace("RequestCallback found app does not have request callback conn_id=%d, type=%d handle=%d",
                    conn_id, req_type, handle);
        return;
    }
    LeTrace("RequestCallback failed to find service conn_id=%d, type=%d handle=%d", conn_id, req_type, handle);
}
