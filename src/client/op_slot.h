#pragma once
// The operation slot of a device record, shared by the value access exports
// and the value change export, and the GATT status mapping of the completion
// handler that ends an operation.

#include <windows.h>

#include <cstdint>

#include "client/app_reg.h"
#include "client/attr_cache.h"

// The Windows error code of a GATT status byte.
DWORD MapGattStatus(uint8_t status);

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
