#pragma once
// Connections of the client API: QorGattConnect with its watcher thread. The
// list of connected devices and the address forms are the shared records'
// (api/records.h).
// The API's ConnectCallback (api_handlers.h) keeps the list in step with the
// driver link's connection events.

#include <windows.h>

#include <cstdint>

#include "client/attr_cache.h"

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
