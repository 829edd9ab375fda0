#pragma once
// The server API's local service tables: one per registration, headed by its
// pServices and built of the tree records of the attribute cache, in creation
// order. The tables are walked and changed under ApiLock; the driver requests
// that go with the changes are sent outside it.

#include <windows.h>

#include <cstdint>

#include "client/app_reg.h"

// A GUID as the driver takes it: a Base-UUID GUID becomes a 16-bit LeUuid
// holding the low 16 bits of Data1 (the upper 16 bits are not examined); any
// other GUID becomes a 128-bit LeUuid of its 16 bytes as they lie in memory.
LeUuid GuidToLeUuid(const GUID &guid);

// The service whose s_handle is `handle`: registrations in list order, each
// table in list order, first match. *owner (when given) receives the
// registration that holds it. The caller holds ApiLock.
LeService *FindLocalService(uint16_t handle, QOR_APP_REG **owner = nullptr);

// The end of a registration, before its interface is released: takes its table
// out, deletes each created service in the driver under gatt_if (nothing is
// sent when it is 0) and frees the records. Without ApiLock; nothing happens
// for a registration that is no longer listed.
void ReleaseLocalServices(QOR_APP_REG *app, uint8_t gatt_if);

// Frees a table that nobody can reach any more, without driver requests.
void FreeLocalServices(LeService *services);
