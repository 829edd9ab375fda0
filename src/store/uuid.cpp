#include "store/uuid.h"

#include <cstring>

namespace {

const GUID kBaseUuid = {0x00000000, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};

} // namespace

GUID BaseUuidGuid(uint16_t value)
{
    GUID guid = kBaseUuid;
    guid.Data1 = value;
    return guid;
}

bool IsOnBaseUuid(const GUID &guid, BaseRule rule)
{
    if (rule == BaseRule::Data1Fits16 && guid.Data1 > 0xFFFF)
        return false;
    return guid.Data2 == kBaseUuid.Data2 && guid.Data3 == kBaseUuid.Data3 &&
           std::memcmp(guid.Data4, kBaseUuid.Data4, sizeof guid.Data4) == 0;
}

LeUuid NarrowGuid(const GUID &guid, BaseRule rule)
{
    LeUuid uuid = {};
    if (IsOnBaseUuid(guid, rule)) {
        uuid.len = 2;
        uuid.value[0] = static_cast<uint8_t>(guid.Data1);
        uuid.value[1] = static_cast<uint8_t>(guid.Data1 >> 8);
    } else {
        uuid.len = 16;
        std::memcpy(uuid.value, &guid, sizeof guid);
    }
    return uuid;
}
