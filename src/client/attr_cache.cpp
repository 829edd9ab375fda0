#include "client/attr_cache.h"

#include <cstring>
#include <new>

#include "link/discovery.h"
#include "store/layout.h"
#include "trace/trace.h"

// ---- loading a tree from the service store ----

namespace {

constexpr REGSAM kWalkAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
constexpr DWORD kValueSize = 512;

// Opens the subkeys of `key` in the registry's order and hands each to
// visit(name, subkey); the walk ends at the first index that cannot be
// enumerated or opened, or when visit returns false.
template <class Visit>
void ForEachSubkey(const StoreKey &key, Visit visit)
{
    char name[kStoreKeyNameSize];
    for (DWORD index = 0;; ++index) {
        if (!key.Subkey(index, name))
            return;
        StoreKey sub(key.get(), name, kWalkAccess);
        if (!sub || !visit(name, sub))
            return;
    }
}

// Appends one new record per subkey of `list` at the tail of `head`, filled by
// fill(record, name, subkey). A list key that could not be opened leaves the
// list empty; a record that cannot be allocated ends the walk.
template <class Node, class Fill>
void LoadList(const StoreKey &list, Node *&head, Fill fill)
{
    if (!list)
        return;
    Node **tail = &head;
    ForEachSubkey(list, [&](const char *name, const StoreKey &sub) {
        Node *node = new (std::nothrow) Node;
        if (!node)
            return false;
        *tail = node;
        tail = &node->next;
        fill(*node, name, sub);
        return true;
    });
}

uint16_t Le16(const uint8_t *b) { return static_cast<uint16_t>(b[0] | b[1] << 8); }

// The stored value of a standard descriptor, kept in its characteristic.
void KeepDescriptorValue(LeChar &chr, uint32_t data1, const uint8_t (&b)[kValueSize])
{
    switch (data1) {
    case kDescrExtProps:
        chr.extProperties = Le16(b);
        break;
    case kDescrUserDescription: {
        // A text that fills the buffer without a terminator is cut to what the
        // field holds with its own terminator.
        size_t len = strnlen(reinterpret_cast<const char *>(b), kUserDescriptionChars - 1);
        std::memcpy(chr.userDescription, b, len);
        chr.userDescription[len] = '\0';
        break;
    }
    case kDescrClientConfig:
        chr.clientConfig = Le16(b);
        break;
    case kDescrServerConfig:
        chr.serverConfig = Le16(b);
        break;
    case kDescrPresentation:
        chr.format = b[0];
        chr.exponent = static_cast<int8_t>(b[1]);
        chr.unit = Le16(b + 2);
        chr.nameSpace = b[4];
        chr.description = Le16(b + 5);
        break;
    default:
        break;
    }
}

void FillDescriptor(LeChar &chr, LeDescr &descr, const char *name, const StoreKey &key)
{
    descr.handle = static_cast<uint16_t>(key.Number(storename::kHandle));
    uint8_t value[kValueSize];
    key.Read(storename::kValue, value, sizeof value);
    descr.uuid = GuidFromStoreName(name);
    KeepDescriptorValue(chr, descr.uuid.Data1, value);
}

void FillCharacteristic(LeChar &chr, const char *name, const StoreKey &key)
{
    chr.attrHandle = static_cast<uint16_t>(key.Number(storename::kAttrHandle));
    chr.properties = static_cast<uint8_t>(key.Number(storename::kProperties));
    chr.valueHandle = static_cast<uint16_t>(key.Number(storename::kValueHandle));
    chr.uuid = GuidFromStoreName(name);
    LoadList(StoreKey(key.get(), storename::kDescriptors, kWalkAccess), chr.descriptors,
             [&chr](LeDescr &descr, const char *n, const StoreKey &k) { FillDescriptor(chr, descr, n, k); });
}

void FillService(LeService &service, const char *name, const StoreKey &key)
{
    service.e_handle = static_cast<uint16_t>(key.Number(storename::kLastHandle));
    service.s_handle = static_cast<uint16_t>(key.Number(storename::kFirstHandle));
    service.uuid = GuidFromStoreName(name);
    service.flag = 0;
    LoadList(StoreKey(key.get(), storename::kCharacteristics, kWalkAccess), service.characteristics,
             FillCharacteristic);
}

} // namespace

void LoadAttributeCache(QOR_CONN_DEV *dev)
{
    char path[kStorePathSize];
    StoreRootPath(path, dev->Address.ullLong);
    dev->services = nullptr;
    LoadList(StoreKey(HKEY_LOCAL_MACHINE, path, KEY_READ), dev->services, FillService);
}

// ---- lookups ----

namespace {

// The instance-th node of the list whose uuid equals *uuid, or null.
template <class Node>
Node *NthWithUuid(Node *node, const GUID *uuid, uint32_t instance)
{
    for (; node; node = node->next) {
        if (IsEqualGUID(node->uuid, *uuid) && instance-- == 0)
            return node;
    }
    return nullptr;
}

} // namespace

LeChar *FindChar(LeService *services, const GUID *pGuidService, uint32_t serviceInstance, const GUID *pGuidChar,
                 uint32_t charInstance)
{
    LeService *service = NthWithUuid(services, pGuidService, serviceInstance);
    if (!service) {
        LeTrace("***QorLeApi:ERROR FindChar service %x not found\n", static_cast<unsigned>(pGuidService->Data1));
        return nullptr;
    }
    LeChar *chr = NthWithUuid(service->characteristics, pGuidChar, charInstance);
    if (!chr)
        LeTrace("***QorLeApi:ERROR FindChar char %x not found\n", static_cast<unsigned>(pGuidChar->Data1));
    return chr;
}

LeDescr *FindDescr(LeService *services, const GUID *pGuidService, uint32_t serviceInstance, const GUID *pGuidChar,
                   uint32_t charInstance, const GUID *pGuidDescr)
{
    LeChar *chr = FindChar(services, pGuidService, serviceInstance, pGuidChar, charInstance);
    if (!chr)
        return nullptr;
    LeDescr *descr = NthWithUuid(chr->descriptors, pGuidDescr, 0);
    if (!descr)
        LeTrace("***QorLeApi:ERROR FindDescr descriptor %x not found\n", static_cast<unsigned>(pGuidDescr->Data1));
    return descr;
}
