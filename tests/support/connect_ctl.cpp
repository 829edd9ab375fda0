// Connection control of simulated devices: a link up under a chosen conn_id,
// advertising while a connect is pending, and the device's link state; and a
// service store written by a real pairing discovery.

#include <algorithm>
#include <cstring>

#include "scenario.h"
#include "tests/pairing/store_view.h"

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
    // The store only ever adds: what another case stored here would stay beside the new tree.
    storeview::DeleteDevice(address);
    if (QorGattPairingRegister() != ERROR_SUCCESS)
        return false;
    // The pairing layer's line of the link, whatever interface it was given.
    const std::string linked = "LeDeviceConnectCallback " + ToHex(bda, 6, false) + " gatt_if ";
    auto links = [&](const std::vector<std::string> &lines) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string &l) { return !l.rfind(linked, 0); });
    };
    const auto before = links(trace.Lines());
    const size_t stores = trace.Count(stored);
    ctl.AddDevice(bda, db, 0);
    LinkUp(ctl, bda, kConnId);
    bool done = trace.WaitUntil([&](const std::vector<std::string> &lines) { return links(lines) > before; }) &&
                QorGattPairingDiscover(address, IgnorePairingResult) == ERROR_SUCCESS &&
                trace.WaitForCount(stored, stores + 1, 60000);
    QorGattPairingUnregister();
    ctl.RemoveDevice(bda);
    return done;
}

} // namespace qortest
