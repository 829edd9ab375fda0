#pragma once
// The client's attribute cache: a device record's tree read from the service
// store, and the searches of the read and write exports in it.

#include "api/records.h"

// Builds the device's tree from the service store of its Address. The list is
// set empty first (callers free what was there). Nothing is traced: an absent
// or unreadable store gives an empty or partial tree.
void LoadAttributeCache(QOR_CONN_DEV *dev);

// The charInstance-th characteristic with that UUID in the serviceInstance-th
// service with that UUID (top-level services only); null, with a trace line,
// when either is missing.
LeChar *FindChar(LeService *services, const GUID *pGuidService, uint32_t serviceInstance, const GUID *pGuidChar,
                 uint32_t charInstance);
// The first descriptor with that UUID of the characteristic FindChar finds.
LeDescr *FindDescr(LeService *services, const GUID *pGuidService, uint32_t serviceInstance, const GUID *pGuidChar,
                   uint32_t charInstance, const GUID *pGuidDescr);
