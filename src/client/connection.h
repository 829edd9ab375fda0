#pragma once
// Connections of the client API: the list of connected devices, the device
// addresses in their two forms, and QorGattConnect with its watcher thread.
// The API's ConnectCallback (api_handlers.h) keeps the list in step with the
// driver link's connection events.

#include <windows.h>

#include <cstdint>

#include "client/attr_cache.h"

constexpr size_t kBdaSize = 6;

// The six-byte form (first byte most significant) and the API's number.
ULONGLONG AddressFromBda(const uint8_t *bda);
void BdaFromAddress(ULONGLONG address, uint8_t (&bda)[kBdaSize]);

// The first record of pDevList with that address, or null. ApiLock held.
QOR_CONN_DEV *FindDevice(ULONGLONG address);

// Handed by a connect that does not wait to its watcher, which frees it (and
// closes the start event) when it ends.
struct WatchBlock {
    LE_ADDRESS Address;
    HANDLE hStartEvent;              // manual-reset: the watcher has started
    uint8_t gatt_if;
};

// Looks for the block's device every 500 ms and cancels the connect after 20
// looks. Exit code 0.
DWORD WINAPI WaitConnectThread(LPVOID param);
