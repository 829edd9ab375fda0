// The value benchmarks' peer, paired, registered and connected (see battery_peer.h).

#include "battery_peer.h"

#include <cstdio>

namespace bench {

LE_ADDRESS Peer::Address() const
{
    LE_ADDRESS a{0};
    for (uint8_t b : bda)
        a.ullLong = a.ullLong << 8 | b;
    return a;
}

GUID BatteryService() { return qortest::BaseGuid(0x180F); }
GUID BatteryLevel() { return qortest::BaseGuid(0x2A19); }

bool WaitConnected(qortest::TraceCapture &trace, const LE_ADDRESS &address, uint16_t conn_id)
{
    char line[96];
    std::snprintf(line, sizeof line, "***QorLeApi:ConnectCallback gatt_if:1 bda:%012llx conn_id:%u",
                  static_cast<unsigned long long>(address.ullLong), static_cast<unsigned>(conn_id));
    return trace.WaitForPrefix(line);
}

bool PairAndRegister(qortest::Controller &ctl, const Peer &peer, GUID app,
                     PFN_LE_ATTRIBUTE_CALLBACK on_attribute, HQORREG *reg)
{
    ctl.Reset();
    qortest::TraceCapture trace;
    qortest::GattDb db;
    db.Service(qortest::Uuid16(0x180F));
    db.Characteristic(qortest::Uuid16(0x2A19), 0x12, {0x64});
    LE_ADDRESS any{0};
    const LE_ADDRESS address = peer.Address();
    if (!qortest::StoreByPairing(ctl, trace, peer.bda, db, address.ullLong) ||
        QorGattRegister(&any, &app, nullptr, nullptr, on_attribute, nullptr, reg) != 0)
        return false;
    ctl.AddDevice(peer.bda, db, 0);
    qortest::LinkUp(ctl, peer.bda, peer.conn_id);
    return WaitConnected(trace, address, peer.conn_id);
}

} // namespace bench
