#pragma once
// Helpers of the connection, cache and enumeration tests: UUIDs as the store
// names them, hand-made stores, the device list as text, and their fixture.

#include <windows.h>

#include <string>
#include <vector>

#include "../pairing/store_view.h"
#include "client_fixture.h"
#include "scenario.h"

namespace clienttest {

using qortest::ApiLockIsFree;
using qortest::ClientTest;
using qortest::Fmt;

// "180f" for a Base-UUID GUID, braced lower-case text for any other.
inline std::string Name(const GUID &g)
{
    if (IsEqualGUID(g, qortest::BaseGuid(static_cast<uint16_t>(g.Data1))))
        return Fmt("%04lx", g.Data1);
    return Fmt("{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3, g.Data4[0],
               g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

// One value under a device's Services key: key path, value name, type, bytes
// in the scenario runner's hex ("aa*512": 512 bytes aa).
struct StoreValue {
    std::string key;
    const char *name;
    DWORD type;
    std::string hex;
};

// Replaces (or adds to) the device's store.
inline void WriteStore(ULONGLONG address, const std::vector<StoreValue> &values, bool fresh = true)
{
    if (fresh)
        storeview::DeleteDevice(address);
    for (const StoreValue &v : values) {
        std::vector<uint8_t> bytes = qortest::Hex(v.hex);
        std::string path = storeview::ServicesKey(address) + "\\" + v.key;
        EXPECT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, path.c_str(), v.name, v.type, bytes.data(),
                                  static_cast<DWORD>(bytes.size())), 0);
    }
}

// The device list: "address/gatt_if/conn_id" per record.
inline std::vector<std::string> Listed()
{
    ApiLockHold hold;
    std::vector<std::string> out;
    for (const QOR_CONN_DEV *dev = pDevList; dev; dev = dev->pNext)
        out.push_back(Fmt("%012I64x/%d/%d", dev->Address.ullLong, dev->gatt_if, dev->conn_id));
    return out;
}

inline ULONGLONG AddressOf(const uint8_t bda[6])
{
    ULONGLONG a = 0;
    for (int i = 0; i < 6; ++i)
        a = a << 8 | bda[i];
    return a;
}

// Registrations as ClientTest makes them, with a scenario on the controller and the trace.
using ConnectionTest = ClientTest;

} // namespace clienttest
