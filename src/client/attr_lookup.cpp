#include "client/attr_lookup.h"

namespace {

// How many records before `until` in the list have the same uuid.
template <class T>
uint32_t InstanceOf(const T *head, const T *until)
{
    uint32_t n = 0;
    for (; head != until; head = head->next)
        n += IsEqualGUID(head->uuid, until->uuid) ? 1 : 0;
    return n;
}

LeDescr *DescriptorWithHandle(LeChar *chr, uint16_t handle)
{
    for (LeDescr *descr = chr->descriptors; descr; descr = descr->next)
        if (descr->handle == handle)
            return descr;
    return nullptr;
}

} // namespace

bool FindAttribute(LeService *services, uint16_t handle, LeAttrRef *found)
{
    if (handle == 0)
        return false;   // the handle of no attribute, though unset fields hold it
    for (LeService *service = services; service; service = service->next) {
        for (LeChar *chr = service->characteristics; chr; chr = chr->next) {
            const bool itself = chr->attrHandle == handle || chr->valueHandle == handle;
            LeDescr *descr = itself ? nullptr : DescriptorWithHandle(chr, handle);
            if (!itself && !descr)
                continue;
            found->service = service;
            found->chr = chr;
            found->descr = descr;
            found->serviceInstance = InstanceOf(services, service);
            found->charInstance = InstanceOf(service->characteristics, chr);
            return true;
        }
    }
    return false;
}
