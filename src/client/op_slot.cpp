#include "client/op_slot.h"

#include "client/connection.h"

HANDLE OccupySlot(QOR_CONN_DEV *dev, QOR_APP_REG *app, LE_VALUE *value, uint32_t wait, uint64_t context, uint8_t kind)
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
    return event;
}

bool EndSlot(ULONGLONG address, HANDLE event, bool caller_owns, uint8_t *status)
{
    bool ours;
    {
        ApiLockHold hold;
        QOR_CONN_DEV *dev = FindDevice(address);
        ours = dev && dev->hOpEvent == event;
        if (ours) {
            dev->hOpEvent = nullptr;
            *status = dev->OpStatus;
        }
    }
    if (ours || caller_owns)
        CloseHandle(event);
    return ours;
}
