#pragma once
// The lookup of an attribute handle in a service list: a remote device's tree
// (notifications, indications) or a registration's local service table (remote
// requests, value changes). Both lists are walked under ApiLock.

#include <cstdint>

#include "api/records.h"

struct LeAttrRef {
    LeService *service = nullptr;
    LeChar *chr = nullptr;
    LeDescr *descr = nullptr;        // null when the characteristic itself matched
    uint32_t serviceInstance = 0;    // services before it in the list with an equal uuid
    uint32_t charInstance = 0;       // characteristics before it in the service with an equal uuid
};

// Services in list order, their characteristics in list order: a
// characteristic matches by attrHandle or valueHandle, else its descriptors
// are searched by handle. The first match wins; false when nothing matches.
bool FindAttribute(LeService *services, uint16_t handle, LeAttrRef *found);
