#pragma once
// Helpers of the connection and cache tests: UUIDs as the store names them,
// hand-made stores, and their fixture.

#include "../pairing/store_view.h"
#include "client_fixture.h"

namespace clienttest {

using qortest::ApiLockIsFree;
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
struct StoreValue { std::string key; const char *name; DWORD type; std::string hex; };

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

// Registrations as ClientTest makes them, with a scenario on the controller and the trace.
using ConnectionTest = qortest::ClientTest;

} // namespace clienttest
