// Connection control of simulated devices: a link up under a chosen conn_id,
// advertising while a connect is pending, and the device's link state; and a
// service store written by a real pairing discovery.

#include <cstdio>
#include <cstring>

#include "pairing/pairing.h"

#include "qortest.h"

namespace qortest {

namespace {

// A VctlAddress is the six address bytes alone: `bda` serves as one.
void Control(Controller &ctl, uint32_t code, const void *in, DWORD in_len, void *out = nullptr, DWORD out_len = 0)
{
    DWORD err = ctl.Raw(code, in, in_len, out, out_len);
    if (err != ERROR_SUCCESS)
        ADD_FAILURE() << "controller request 0x" << std::hex << code << " failed, error " << std::dec << err;
}

void WINAPI IgnorePairingResult(ULONGLONG, DWORD) {}

} // namespace

void LinkUp(Controller &ctl, const uint8_t bda[6], uint16_t conn_id)
{
    VctlLinkUp up;
    std::memcpy(up.bda, bda, sizeof up.bda);
    up.conn_id = conn_id;
    Control(ctl, VCTL_LINK_UP, &up, sizeof up);
}

void Advertise(Controller &ctl, const uint8_t bda[6]) { Control(ctl, VCTL_ADVERTISE, bda, sizeof(VctlAddress)); }

VctlDeviceState DeviceState(Controller &ctl, const uint8_t bda[6])
{
    VctlDeviceState state{};
    Control(ctl, VCTL_GET_DEVICE, bda, sizeof(VctlAddress), &state, sizeof state);
    return state;
}

bool StoreByPairing(Controller &ctl, TraceCapture &trace, const uint8_t bda[6], const GattDb &db, ULONGLONG address)
{
    constexpr uint16_t kConnId = 199;   // the link's last: no other simulated device takes it
    const std::string stored = "LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry succeeded";
    if (QorGattPairingRegister() != ERROR_SUCCESS)
        return false;
    char linked[96];
    std::snprintf(linked, sizeof linked,
                  "LeDeviceConnectCallback %02x%02x%02x%02x%02x%02x gatt_if %d conn_id %d connected 1", bda[0],
                  bda[1], bda[2], bda[3], bda[4], bda[5], pairing_gatt_if, kConnId);
    const size_t links = trace.Count(linked), stores = trace.Count(stored);
    ctl.AddDevice(bda, db, 0);
    LinkUp(ctl, bda, kConnId);
    bool done = trace.WaitForCount(linked, links + 1) &&
                QorGattPairingDiscover(address, IgnorePairingResult) == ERROR_SUCCESS &&
                trace.WaitForCount(stored, stores + 1, 60000);
    QorGattPairingUnregister();
    ctl.RemoveDevice(bda);
    return done;
}

} // namespace qortest
