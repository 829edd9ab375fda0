#pragma once
// The operation slot of a device record, shared by the value access exports
// and the value change export, and the GATT status mapping of the completion
// handler that ends an operation.
//
// The reader thread never writes a caller's memory: a completion's value waits
// in the record (OpResult) until the waiting caller takes it with EndSlot and
// copies it into its own block on its own thread.

#include <windows.h>

#include <cstdint>

#include "api/app_reg.h"
#include "api/records.h"

// The Windows error code of a GATT status byte.
DWORD MapGattStatus(uint8_t status);

// What a caller that held the slot takes away when it ends its hold.
struct SlotResult {
    uint8_t status = 1;
    bool completed = false;          // a completion arrived; its value is in `value`
    LE_VALUE value{};
};

// Takes the free slot of dev for one operation (ApiLock held): a new
// manual-reset event, the completion op `kind` that alone may end it (0: none)
// and, for a read, the attribute handle its completion must carry. Null when
// the event cannot be created.
HANDLE OccupySlot(QOR_CONN_DEV *dev, QOR_APP_REG *app, LE_VALUE *value, uint32_t wait, uint64_t context,
                  uint8_t kind, uint16_t handle = 0);
// Ends this call's hold on the slot, without ApiLock held: finds the device
// again by address and, if its slot still holds `event`, frees it and gives its
// status and value. Closes the event when the slot held it or when the caller
// owns it anyway (a waiting call: nobody else closes a waiter's event). False
// when the device has gone or its slot holds another event.
bool EndSlot(ULONGLONG address, HANDLE event, bool caller_owns, SlotResult *result);
// A call's hold on a device's slot, kept outside the call's guarded body: when
// the guard ends the body, Drop gives back what the body still held.
struct SlotHold {
    ULONGLONG address = 0;
    HANDLE event = nullptr;          // set while the body holds the slot
    bool caller_owns = true;         // as for EndSlot
    void Drop();
};

// Ends the operation outstanding on a device record that is going away (its
// link went down, or its interface ended; ApiLock held): a waiting caller wakes
// and finds the device gone (2250); a call that did not wait hears 2250 through
// its registration's completion callback.
void EndOutstanding(QOR_CONN_DEV *dev);
