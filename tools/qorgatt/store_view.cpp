// A stored characteristic's properties and value handle, through the
// library's store layout.
#include "store_view.h"

#include <string>

#include "session.h"
#include "store/layout.h"
#include "store/uuid.h"

namespace qorgatt {

namespace {

std::string KeyName(const Uuid &uuid)
{
    char name[kUuidNameSize];
    UuidName(NarrowGuid(uuid.guid(), BaseRule::Data1Fits16), name);
    return name;
}

} // namespace

StoredCharacteristic FindStoredCharacteristic(Address address, const Uuid &service, const Uuid &characteristic)
{
    char root[kStorePathSize];
    StoreRootPath(root, address.value());
    const std::string path = std::string(root) + "\\" + KeyName(service) + "\\" + storename::kCharacteristics + "\\" +
                             KeyName(characteristic);
    const StoreKey key(HKEY_LOCAL_MACHINE, path.c_str(), KEY_QUERY_VALUE);
    StoredCharacteristic c;
    c.found = static_cast<bool>(key);
    c.properties = static_cast<uint8_t>(key ? key.Number(storename::kProperties) : 0);
    c.value_handle = static_cast<uint16_t>(key ? key.Number(storename::kValueHandle) : 0);
    return c;
}

std::vector<qorle::Service> StoredTree(Address address)
{
    std::error_code ec;
    std::vector<qorle::Service> tree = Session::Get().Client().services(address, ec);
    Check("listing the stored tree of " + address.str(), ec);
    for (qorle::Service &s : tree)
        for (qorle::Characteristic &c : s.characteristics) {
            const StoredCharacteristic stored = FindStoredCharacteristic(address, s.uuid, c.uuid);
            if (stored.found) {
                c.properties = stored.properties;
                c.value_handle = stored.value_handle;
            }
        }
    return tree;
}

} // namespace qorgatt
