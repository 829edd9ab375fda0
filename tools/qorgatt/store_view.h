#pragma once
// What the library's enumeration does not give: a stored characteristic's
// properties and value handle, read from the service store.
#include <vector>

#include "qorgatt.h"

namespace qorgatt {

struct StoredCharacteristic {
    bool found = false;
    uint8_t properties = 0;
    uint16_t value_handle = 0;   // the handle a peer's notifications and reads use
};

StoredCharacteristic FindStoredCharacteristic(Address address, const Uuid &service, const Uuid &characteristic);

// A device's stored tree through the library's enumeration, with each
// characteristic's properties and value handle from the store. Throws Failure.
std::vector<qorle::Service> StoredTree(Address address);

} // namespace qorgatt
