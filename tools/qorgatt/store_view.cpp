// A stored characteristic's properties and value handle, through the
// library's store layout.
#include "store_view.h"

#include <string>

#include "store/layout.h"
#include "store/uuid.h"

namespace qorgatt {

namespace {

std::string KeyName(const GUID &uuid)
{
    char name[kUuidNameSize];
    UuidName(NarrowGuid(uuid, BaseRule::Data1Fits16), name);
    return name;
}

} // namespace

StoredCharacteristic FindStoredCharacteristic(ULONGLONG address, const GUID &service, const GUID &characteristic)
{
    char root[kStorePathSize];
    StoreRootPath(root, address);
    const std::string path = std::string(root) + "\\" + KeyName(service) + "\\" + storename::kCharacteristics + "\\" +
                             KeyName(characteristic);
    const StoreKey key(HKEY_LOCAL_MACHINE, path.c_str(), KEY_QUERY_VALUE);
    StoredCharacteristic c;
    c.found = static_cast<bool>(key);
    c.properties = static_cast<uint8_t>(key ? key.Number(storename::kProperties) : 0);
    c.value_handle = static_cast<uint16_t>(key ? key.Number(storename::kValueHandle) : 0);
    return c;
}

} // namespace qorgatt
