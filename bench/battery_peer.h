#pragma once
// The peer of the value benchmarks: a device with a battery service (0x180F)
// whose level characteristic (0x2A19, value handle 3) reads and notifies. Its
// tree is stored by a pairing through the controller, an application is
// registered to hear its values, and its link is up before any run.

#include <windows.h>

#include "QorLeLib.h"
#include "qortest.h"

namespace bench {

constexpr uint16_t kLevelHandle = 3;

// A simulated device and the conn_id its link comes up under.
struct Peer {
    uint8_t bda[6];
    uint16_t conn_id;

    LE_ADDRESS Address() const;
};

// The battery service and its level characteristic.
GUID BatteryService();
GUID BatteryLevel();

// Resets the controller, pairs `peer` as the battery device (its tree stored
// under its address), registers the application `app` with `on_attribute` as
// its pfnAttribute (*reg), brings the peer's link up and waits until the
// library has announced the connection; false when a step failed.
bool PairAndRegister(qortest::Controller &ctl, const Peer &peer, GUID app,
                     PFN_LE_ATTRIBUTE_CALLBACK on_attribute, HQORREG *reg);

// Waits for the library's announcement of a connection (its trace line).
bool WaitConnected(qortest::TraceCapture &trace, const LE_ADDRESS &address, uint16_t conn_id);

} // namespace bench
