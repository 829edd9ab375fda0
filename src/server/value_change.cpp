// Value change: a local characteristic's new value pushed to a connected
// device as a notification, or as an indication awaited for up to 10 s.

#include <algorithm>
#include <cstring>

#include "QorLeLib.h"
#include "api/records.h"
#include "api/export.h"
#include "api/op_slot.h"
#include "trace/trace.h"

namespace {

constexpr DWORD kConfirmWaitMs = 10000;

// The registration whose local table holds a characteristic with this handle
// (ApiLock held).
QOR_APP_REG *OwnerOfChar(USHORT hChar)
{
    for (QOR_APP_REG *app = pFirst; app; app = app->pNext)
        for (const LeService *s = app->pServices; s; s = s->next)
            for (const LeChar *c = s->characteristics; c; c = c->next)
                if (c->attrHandle == hChar)
                    return app;
    return nullptr;
}

// Takes the device's slot (ApiLock held): 0 or the code.
DWORD Start(ULONGLONG address, USHORT hChar, bool indicate, uint16_t *conn_id, HANDLE *event)
{
    ApiLockHold hold;
    QOR_CONN_DEV *dev = FindDevice(address);
    if (!dev) {
        LeTrace("***QorLeApi:QorGattCharValueChanged not connected\n");
        return ERROR_NOT_CONNECTED;
    }
    QOR_APP_REG *owner = OwnerOfChar(hChar);
    if (!owner) {
        LeTrace("***QorLeApi:QorGattCharValueChanged char handle not found\n");
        return ERROR_INVALID_PARAMETER;
    }
    if (dev->hOpEvent) {
        LeTrace("***QorLeApi:ERROR QorGattCharValueChanged event already exists\n");
        return ERROR_SERVICE_ALREADY_RUNNING;
    }
    // A notification takes the whole slot too, with no completion that may end
    // it, so a stray completion during the send finds nobody waiting.
    *event = OccupySlot(dev, owner, nullptr, 1, 0, indicate ? ZR_OP_INDICATION_DONE : 0);
    if (!*event) {
        LeTrace("***QorLeApi:ERROR QorGattCharValueChanged failed to create event\n");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *conn_id = dev->conn_id;
    return ERROR_SUCCESS;
}

// The caller's value is copied before the slot is taken, so a fault on it
// (caught by the guard) leaves nothing behind.
DWORD Body(PLE_ADDRESS pAddress, USHORT hChar, bool indicate, PLE_VALUE pValue, SlotHold *hold)
{
    LeTrace("***QorLeApi:QorGattCharValueChanged\n");
    const ULONGLONG address = pAddress->ullLong;
    LE_VALUE value;
    value.Length = pValue->Length;   // the link refuses a length above 512
    std::memcpy(value.Value, pValue->Value, std::min<size_t>(value.Length, LE_MAX_VALUE));
    uint16_t conn_id = 0;
    hold->address = address;
    if (DWORD rc = Start(address, hChar, indicate, &conn_id, &hold->event))
        return rc;
    const HANDLE event = hold->event;
    uint8_t rc = indicate ? GATTS_HandleValueIndication(conn_id, hChar, value.Length, value.Value)
                          : GATTS_HandleValueNotification(conn_id, hChar, value.Length, value.Value);
    SlotResult end;
    hold->event = nullptr;
    if (rc) {
        LeTrace("***QorLeApi:ERROR GATTS_HandleValue failed rc:%d\n", rc);
        EndSlot(address, event, true, &end);
        return ERROR_INTERNAL_ERROR;
    }
    if (!indicate) {
        EndSlot(address, event, true, &end);
        return ERROR_SUCCESS;
    }
    const bool timed_out = WaitForSingleObject(event, kConfirmWaitMs) == WAIT_TIMEOUT;
    if (!EndSlot(address, event, true, &end)) {
        LeTrace("***QorLeApi:ERROR QorGattCharValueChanged abandoned while waiting for confirmation\n");
        return ERROR_NOT_CONNECTED;
    }
    if (end.status == 0)
        return ERROR_SUCCESS;
    return timed_out ? ERROR_TIMEOUT : ERROR_INTERNAL_ERROR;
}

} // namespace

extern "C" DWORD WINAPI QorGattCharValueChanged(PLE_ADDRESS pAddress, USHORT hChar, DWORD bIndicate, PLE_VALUE pValue)
{
    if (!pFirst || !pAddress || !pValue || hChar == 0) {
        LeTrace("***QorLeApi:QorGattCharValueChanged no app registered\n");
        return ERROR_INVALID_PARAMETER;
    }
    constexpr ExportDecl kValueChanged = QOR_EXPORT(QorGattCharValueChanged);
    SlotHold hold;
    return RunExport(kValueChanged, [&] { return Body(pAddress, hChar, bIndicate != 0, pValue, &hold); },
                     [&] { hold.Drop(); });
}
