#pragma once
// What the library's enumeration does not give: a stored characteristic's
// properties and value handle, read from the service store.
#include "qorgatt.h"

namespace qorgatt {

constexpr uint8_t kNotify = 0x10;
constexpr uint8_t kIndicate = 0x20;

struct StoredCharacteristic {
    bool found = false;
    uint8_t properties = 0;
    uint16_t value_handle = 0;   // the handle a peer's notifications and reads use
};

StoredCharacteristic FindStoredCharacteristic(ULONGLONG address, const GUID &service, const GUID &characteristic);

} // namespace qorgatt
