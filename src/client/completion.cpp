// Completion and request delivery: the API's handlers of completions and
// remote requests, on the reader thread under ApiLock, and the answer step that
// the callback thread runs after the application's attribute callback.

#include <algorithm>
#include <cstring>

#include "api/handlers.h"
#include "client/attr_lookup.h"
#include "client/connection.h"
#include "api/op_slot.h"
#include "trace/trace.h"

namespace {

constexpr DWORD kPendingAnswer = 0x8000000A;   // E_PENDING: the application answers nothing

struct StatusRange {
    uint8_t first;
    uint8_t last;
    DWORD code;
};

// ATT error codes and the driver's own statuses; everything else is 1359.
constexpr StatusRange kStatusMap[] = {
    {0x00, 0x00, ERROR_SUCCESS},         {0x01, 0x01, ERROR_INVALID_HANDLE},
    {0x02, 0x03, ERROR_INVALID_DATA},    {0x04, 0x04, ERROR_INVALID_PARAMETER},
    {0x05, 0x05, ERROR_INVALID_DATA},    {0x06, 0x07, ERROR_INVALID_PARAMETER},
    {0x08, 0x08, ERROR_INVALID_DATA},    {0x09, 0x0A, ERROR_INVALID_PARAMETER},
    {0x0B, 0x0B, ERROR_NOT_ENOUGH_MEMORY}, {0x0C, 0x0C, ERROR_INVALID_DATA},
    {0x0D, 0x0E, ERROR_NOT_ENOUGH_MEMORY}, {0x0F, 0x0F, ERROR_INVALID_DATA},
    {0x10, 0x11, ERROR_NOT_ENOUGH_MEMORY}, {0x80, 0x80, ERROR_NOT_ENOUGH_MEMORY},
    {0x81, 0x86, ERROR_ACCESS_DENIED},   {0x87, 0x87, ERROR_INVALID_PARAMETER},
    {0x88, 0x8C, ERROR_ACCESS_DENIED},
};

uint16_t CutLength(uint16_t len) { return std::min<uint16_t>(len, LE_MAX_VALUE); }

void CopyValue(LE_VALUE *to, const uint8_t *bytes, uint16_t len)
{
    to->Length = CutLength(len);
    std::memcpy(to->Value, bytes, to->Length);
}

QOR_CONN_DEV *DeviceByConnId(uint16_t conn_id)
{
    for (QOR_CONN_DEV *dev = pDevList; dev; dev = dev->pNext)
        if (dev->conn_id == conn_id)
            return dev;
    return nullptr;
}

// Frees the slot of an operation nobody waits for (ApiLock held).
void DropSlot(QOR_CONN_DEV *dev)
{
    CloseHandle(dev->hOpEvent);
    dev->hOpEvent = nullptr;
}

// Queues an attribute event (record type 2) to app; a record that cannot be
// allocated is dropped.
void QueueAttribute(QOR_APP_REG *app, const QOR_CONN_DEV *dev, const LeAttrRef &place, const LeCallback &proto)
{
    LeCallback *record = NewCallback(kCallbackAttribute);
    if (!record)
        return;
    record->Device = dev->Address;
    record->attribute = proto.attribute;
    LeAttributeRecord &a = record->attribute;
    a.ServiceGuid = place.service->uuid;
    a.ServiceInstance = place.serviceInstance;
    a.CharGuid = place.chr->uuid;
    a.CharInstance = place.charInstance;
    a.DescrGuid = place.descr ? place.descr->uuid : GUID{};
    QueueCallback(app, record);
}

void OperationComplete(QOR_CONN_DEV *dev, uint8_t op, uint8_t status, const LeAttrValue *payload)
{
    const bool matches = dev->hOpEvent && op == dev->OpKind;
    if (!IsAppRegistered(dev->pOpApp)) {
        LeTrace("***QorLeApi:CompleteCallback could not find app that started op\n");
        // Nobody else would ever free the slot of a call that does not wait.
        if (matches && !dev->OpWait)
            DropSlot(dev);
        return;
    }
    if (!matches) {
        // No operation, or this is the end of another kind (a stray
        // confirmation, a read that its waiter gave up on).
        LeTrace("***QorLeApi:CompleteCallback nobody waits for read/write complete\n");
        return;
    }
    if (op == ZR_OP_READ && payload->handle != dev->OpHandle) {
        // The end of another read, one that an earlier link of this
        // connection left behind: its value is not the one asked for.
        LeTrace("***QorLeApi:ERROR CompleteCallback read of handle:%d is not the outstanding read of handle:%d\n",
                payload->handle, dev->OpHandle);
        return;
    }
    if (dev->OpWait) {
        // The caller copies the value into its own block on its own thread.
        dev->OpStatus = status;
        dev->OpCompleted = true;
        if (dev->pOpValue)
            CopyValue(&dev->OpResult, payload->value, payload->len);
        SetEvent(dev->hOpEvent);
        return;
    }
    DropSlot(dev);
    LeCallback *record = NewCallback(kCallbackComplete);
    if (!record)
        return;
    record->Context = dev->OpContext;
    record->complete.Status = MapGattStatus(status);
    CopyValue(&record->complete.Value, payload->value, payload->len);
    QueueCallback(dev->pOpApp, record);
}

void RemotePush(const QOR_CONN_DEV *dev, uint16_t conn_id, uint8_t op, const LeAttrValue *payload)
{
    LeCallback proto{};
    LeAttributeRecord &a = proto.attribute;
    a.Extra = payload->auth_req;
    a.EventType = op == ZR_OP_NOTIFICATION ? QOR_EVENT_NOTIFICATION : QOR_EVENT_INDICATION;
    CopyValue(&a.Value, payload->value, payload->len);
    a.ConnId = conn_id;
    a.Handle = payload->handle;
    for (QOR_APP_REG *app = pFirst; app; app = app->pNext) {
        if (!AcceptsDevice(app, dev->Address.ullLong) || !InterfaceCurrent(app))
            continue;
        LeAttrRef place;
        if (!FindAttribute(dev->services, payload->handle, &place)) {
            LeTrace("***QorLeApi:ERROR CompleteCallback app not found or abandoned\n");
            continue;
        }
        QueueAttribute(app, dev, place, proto);
    }
}

} // namespace

DWORD MapGattStatus(uint8_t status)
{
    for (const StatusRange &r : kStatusMap)
        if (status >= r.first && status <= r.last)
            return r.code;
    return ERROR_INTERNAL_ERROR;
}

namespace api {

void CompleteCallback(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload)
{
    if (!pFirst) {
        LeTrace("***QorLeApi:CompleteCallback no app registered conn_id:%d\n", conn_id);
        return;
    }
    ApiLockHold hold;
    LeTrace("***QorLeApi:CompleteCallback conn_id:%d\n", conn_id);
    QOR_CONN_DEV *dev = DeviceByConnId(conn_id);
    if (!dev) {
        LeTrace("***QorLeApi:ERROR CompleteCallback not found or abandoned\n");
        return;
    }
    switch (op) {
    case ZR_OP_READ:
    case ZR_OP_WRITE:
    case ZR_OP_INDICATION_DONE:
        OperationComplete(dev, op, status, payload);
        break;
    case ZR_OP_NOTIFICATION:
    case ZR_OP_INDICATION:
        RemotePush(dev, conn_id, op, payload);
        break;
    default:
        LeTrace("***QorLeApi:ERROR CompleteCallback received op:%d dont know what to do with it\n", op);
        break;
    }
}

void RequestCallback(uint16_t conn_id, uint32_t trans_id, uint8_t req_type, const ZrRequestPayload *payload)
{
    if (!pFirst) {
        LeTrace("***QorLeApi:RequestCallback no app registered conn_id:%d\n", conn_id);
        return;
    }
    ApiLockHold hold;
    LeTrace("***QorLeApi:RequestCallback conn_id:%d, type:%d \n", conn_id, req_type);
    QOR_CONN_DEV *dev = DeviceByConnId(conn_id);
    if (!dev) {
        LeTrace("***QorLeApi:ERROR RequestCallback not found\n");
        return;
    }
    // Only reads (1) and writes (2, 3) carry a handle; the link passes no others.
    if (req_type < 1 || req_type > 3)
        return;
    LeCallback proto{};
    LeAttributeRecord &a = proto.attribute;
    a.EventType = req_type == 1 ? QOR_EVENT_READ_REQUEST : QOR_EVENT_WRITE_REQUEST;
    if (req_type != 1) {
        CopyValue(&a.Value, payload->value, payload->len);
        a.NeedResponse = payload->need_rsp;
    }
    a.ConnId = conn_id;
    a.Handle = payload->handle;
    a.TransId = trans_id;
    dev->ReqTransId = trans_id;
    dev->ReqHandle = payload->handle;
    for (QOR_APP_REG *app = pFirst; app; app = app->pNext) {
        LeAttrRef place;
        if (AcceptsDevice(app, dev->Address.ullLong) && InterfaceCurrent(app) && app->pfnAttribute &&
            FindAttribute(app->pServices, payload->handle, &place))
            QueueAttribute(app, dev, place, proto);
    }
}

void AnswerRemote(const LeCallback *record, DWORD result)
{
    const LeAttributeRecord &a = record->attribute;
    const ULONGLONG address = record->Device.ullLong;
    if (a.EventType == QOR_EVENT_WRITE_REQUEST && a.NeedResponse == 0) {
        LeTrace("QOR_APP_REG::CallbackThread: not sending response for write command : %012I64x\n", address);
        return;
    }
    if (a.EventType != QOR_EVENT_READ_REQUEST && a.EventType != QOR_EVENT_WRITE_REQUEST &&
        a.EventType != QOR_EVENT_INDICATION) {
        LeTrace("QOR_APP_REG::CallbackThread: not sending response for op %d for %012I64x\n",
                static_cast<int>(a.EventType), address);
        return;
    }
    if (result == kPendingAnswer) {
        LeTrace("QOR_APP_REG::CallbackThread: pending request %d for %012I64x\n", static_cast<int>(a.EventType),
                address);
        return;
    }
    uint8_t gatt_if;
    {
        ApiLockHold hold;
        QOR_CONN_DEV *dev = FindDevice(address);
        if (!dev) {
            LeTrace("***QOR_APP_REG::CallbackThread: device control block is not found\n");
            return;
        }
        gatt_if = dev->gatt_if;
    }
    // The connection, handle and transaction are the record's own: a later
    // request of the same device does not redirect this answer.
    if (a.EventType == QOR_EVENT_INDICATION) {
        LeTrace("***QOR_APP_REG::CallbackThread: sending response for ind gatt_if:%d conn_id:%d handle:%d\n", gatt_if,
                a.ConnId, a.Handle);
        GATTCIf_SendHandleValueConfirm(gatt_if, a.ConnId, a.Handle);
        return;
    }
    LeAttrValue rsp{};
    rsp.conn_id = a.ConnId;
    rsp.handle = a.Handle;
    if (a.EventType == QOR_EVENT_READ_REQUEST) {
        if (a.Value.Length > LE_MAX_VALUE) {
            LeTrace("***QOR_APP_REG::CallbackThread: too big data length %d\n", a.Value.Length);
            return;
        }
        rsp.len = a.Value.Length;
    }
    std::memcpy(rsp.value, a.Value.Value, CutLength(a.Value.Length));
    GATTS_SendRsp(a.ConnId, a.TransId, static_cast<uint8_t>(result), &rsp);
}

} // namespace api
