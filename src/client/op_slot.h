#pragma once
// The operation slot of a device record, shared by the value access exports
// and the value change export, and what the completion handler needs of it:
// the GATT status mapping and the attribute lookup by handle.

#include <windows.h>

#include <cstdint>

#include "client/app_reg.h"
#include "client/attr_cache.h"

// The Windows error code of a GATT status byte.
DWORD MapGattStatus(uint8_t status);

// Where a handle sits in a tree: its service and characteristic, and the
// descriptor when the handle is a descriptor's.
struct AttrPlace {
    const LeService *service = nullptr;
    const LeChar *chr = nullptr;
    const LeDescr *descr = nullptr;
    DWORD serviceInstance = 0;
    DWORD charInstance = 0;
};
// A characteristic matches by its declaration or value handle, otherwise a
// descriptor by its handle; the first match in list order. False when none.
bool FindAttrByHandle(const LeService *services, uint16_t handle, AttrPlace *place);

// Takes the free slot of dev for one operation (ApiLock held): a new
// manual-reset event, and the completion op `kind` that alone may end it (0:
// none). Null when the event cannot be created.
HANDLE OccupySlot(QOR_CONN_DEV *dev, QOR_APP_REG *app, LE_VALUE *value, uint32_t wait, uint64_t context,
                  uint8_t kind);
// Ends this call's hold on the slot, without ApiLock held: finds the device
// again by address and, if its slot still holds `event`, frees it and gives its
// status. Closes the event when the slot held it or when the caller owns it
// anyway (a waiting call: nobody else closes a waiter's event). False when the
// device has gone or its slot holds another event.
bool EndSlot(ULONGLONG address, HANDLE event, bool caller_owns, uint8_t *status);
