#pragma once
// The server API's local service tables: one per registration, headed by its
// pServices and built of the tree records of the attribute cache, in creation
// order. The tables are walked and changed under ApiLock; the driver requests
// that go with the changes are sent outside it. The end of a registration
// (api/app_reg.cpp) releases its table.

#include <windows.h>

#include <cstdint>

#include "api/app_reg.h"
#include "store/uuid.h"

// The service whose s_handle is `handle`: registrations in list order, each
// table in list order, first match. *owner (when given) receives the
// registration that holds it. The caller holds ApiLock.
LeService *FindLocalService(uint16_t handle, QOR_APP_REG **owner = nullptr);
