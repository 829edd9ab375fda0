// Connection control of simulated devices: a link up under a chosen conn_id,
// advertising while a connect is pending, and the device's link state; and a
// service store written by a real pairing discovery.

#include <cstring>

#include "qortest.h"

namespace qortest {

namespace {

DWORD Control(Controller &ctl, uint32_t code, const void *in, DWORD in_len, void *out = nullptr, DWORD out_len = 0)
{
    DWORD err = ctl.Raw(code, in, in_len, out, out_len);
    if (err != ERROR_SUCCESS)
        ADD_FAILURE() << "controller request 0x" << std::hex << code << " failed, error " << std::dec << err;
    return err;
}

VctlAddress AddressOf(const uint8_t bda[6])
{
    VctlAddress a;
    std::memcpy(a.bda, bda, sizeof a.bda);
    return a;
}

} // namespace

void LinkUp(Controller &ctl, const uint8_t bda[6], uint16_t conn_id)
{
    VctlLinkUp up;
    std::memcpy(up.bda, bda, sizeof up.bda);
    up.conn_id = conn_id;
    Control(ctl, VCTL_LINK_UP, &up, sizeof up);
}

void Advertise(Controller &ctl, const uint8_t bda[6])
{
    VctlAddress a = AddressOf(bda);
    Control(ctl, VCTL_ADVERTISE, &a, sizeof a);
}

VctlDeviceState DeviceState(Controller &ctl, const uint8_t bda[6])
{
    VctlAddress a = AddressOf(bda);
    VctlDeviceState state{};
    Control(ctl, VCTL_GET_DEVICE, &a, sizeof a, &state, sizeof state);
    return state;
}

namespace {

void WINAPI IgnorePairingResult(ULONGLONG, DWORD) {}

} // namespace

bool StoreByPairing(Controller &ctl, TraceCapture &trace, const uint8_t bda[6], const GattDb &db, ULONGLONG address)
{
    if (QorGattPairingRegister() != ERROR_SUCCESS)
        return false;
    ctl.AddDevice(bda, db, 0);
    ctl.SetLink(bda, true);
    bool stored = trace.WaitForPrefix("LeDeviceConnectCallback") &&
                  QorGattPairingDiscover(address, IgnorePairingResult) == ERROR_SUCCESS &&
                  trace.WaitFor("LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry succeeded", 60000);
    QorGattPairingUnregister();
    ctl.RemoveDevice(bda);
    return stored;
}

} // namespace qortest
