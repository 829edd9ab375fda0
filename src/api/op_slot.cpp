#include "api/op_slot.h"

#include "api/records.h"
#include "trace/trace.h"

HANDLE OccupySlot(QOR_CONN_DEV *dev, QOR_APP_REG *app, LE_VALUE *value, uint32_t wait, uint64_t context, uint8_t kind,
                  uint16_t handle)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        return nullptr;
    dev->hOpEvent = event;
    dev->pOpApp = app;
    dev->pOpValue = value;
    dev->OpStatus = 1;
    dev->OpWait = wait;
    dev->OpContext = context;
    dev->OpKind = kind;
    dev->OpHandle = handle;
    dev->OpCompleted = false;
    dev->OpResult.Length = 0;
    return event;
}

bool EndSlot(ULONGLONG address, HANDLE event, bool caller_owns, SlotResult *result)
{
    bool ours;
    {
        ApiLockHold hold;
        QOR_CONN_DEV *dev = FindDevice(address);
        ours = dev && dev->hOpEvent == event;
        if (ours) {
            dev->hOpEvent = nullptr;
            result->status = dev->OpStatus;
            result->completed = dev->OpCompleted;
            if (dev->OpCompleted)
                result->value = dev->OpResult;
        }
    }
    if (ours || caller_owns)
        CloseHandle(event);
    return ours;
}

void SlotHold::Drop()
{
    if (!event)
        return;
    SlotResult dropped;
    EndSlot(address, event, caller_owns, &dropped);
    event = nullptr;
}

void EndOutstanding(QOR_CONN_DEV *dev)
{
    if (!dev->hOpEvent)
        return;
    LeTrace("***QorLeApi:ERROR %012I64x gone with an operation outstanding\n", dev->Address.ullLong);
    if (dev->OpWait) {
        SetEvent(dev->hOpEvent);   // the waiter closes it
        dev->hOpEvent = nullptr;
        return;
    }
    CloseHandle(dev->hOpEvent);
    dev->hOpEvent = nullptr;
    if (!IsAppRegistered(dev->pOpApp))
        return;
    LeCallback *record = NewCallback(kCallbackComplete);
    if (!record)
        return;
    record->Context = dev->OpContext;
    record->complete.Status = ERROR_NOT_CONNECTED;
    QueueCallback(dev->pOpApp, record);
}
