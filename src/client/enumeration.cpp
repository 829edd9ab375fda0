// Listing a remote device's services, characteristics and descriptors, one
// entry per call, from the tree of its device record when it is connected and
// otherwise from the scratch record, which holds the last device asked for.

#include <cstdint>

#include "client/connection.h"
#include "api/export.h"
#include "trace/trace.h"

namespace {

constexpr DWORD kNoMoreItems = ERROR_NO_MORE_ITEMS;

class DevLockHold {
public:
    explicit DevLockHold(QOR_CONN_DEV *dev) : dev_(dev) { EnterCriticalSection(&dev_->DevLock); }
    ~DevLockHold() { LeaveCriticalSection(&dev_->DevLock); }
    DevLockHold(const DevLockHold &) = delete;
    DevLockHold &operator=(const DevLockHold &) = delete;

private:
    QOR_CONN_DEV *dev_;
};

void Reload(QOR_CONN_DEV *dev)
{
    FreeAttributeCache(dev);
    LoadAttributeCache(dev);
}

// The record whose tree answers for the address. A tree found empty is read
// from the store again, so a store written after the load is seen. ApiLock
// held.
QOR_CONN_DEV *TreeFor(ULONGLONG address)
{
    QOR_CONN_DEV *dev = FindDevice(address);
    if (!dev) {
        dev = ScratchDevice();
        DevLockHold hold(dev);
        if (dev->Address.ullLong != address) {
            dev->Address.ullLong = address;
            Reload(dev);
        }
    }
    if (!dev->services) {
        DevLockHold hold(dev);
        Reload(dev);
    }
    return dev;
}

template <class Node>
Node *NthNode(Node *node, DWORD inx)
{
    for (; node && inx; --inx)
        node = node->next;
    return node;
}

// The first node of the list whose handle field holds `handle`.
template <class Node>
Node *FirstWithHandle(Node *node, uint16_t Node::*field, USHORT handle)
{
    while (node && node->*field != handle)
        node = node->next;
    return node;
}

// Hands the entry at `inx` to the caller, its UUID and the handle that names
// it; `missing` when the list is shorter.
template <class Node>
DWORD HandOut(Node *list, DWORD inx, uint16_t Node::*field, GUID *pGuid, USHORT *handle, DWORD missing)
{
    const Node *node = NthNode(list, inx);
    if (!node)
        return missing;
    *pGuid = node->uuid;
    *handle = node->*field;
    return ERROR_SUCCESS;
}

// Handle numbers are printed with %p in the argument traces.
void *AsPointer(USHORT handle) { return reinterpret_cast<void *>(static_cast<uintptr_t>(handle)); }

DWORD EnumService(const LE_ADDRESS *pAddress, DWORD inx, GUID *pGuidServ, USHORT *hService)
{
    ApiLockHold hold;
    LeTrace("***QorLeApi:QorGattEnumService %012I64x inx:%d\n", pAddress->ullLong, static_cast<int>(inx));
    *hService = 0;
    return HandOut(TreeFor(pAddress->ullLong)->services, inx, &LeService::s_handle, pGuidServ, hService, kNoMoreItems);
}

DWORD EnumCharacteristic(const LE_ADDRESS *pAddress, USHORT hService, DWORD inx, GUID *pGuidChar, USHORT *hChar)
{
    ApiLockHold hold;
    LeTrace("***QorLeApi:QorGattEnumCharacteristic %012I64x handle:0x%x inx:%d\n", pAddress->ullLong, hService,
            static_cast<int>(inx));
    LeService *service = FirstWithHandle(TreeFor(pAddress->ullLong)->services, &LeService::s_handle, hService);
    if (!service)
        return kNoMoreItems;
    return HandOut(service->characteristics, inx, &LeChar::attrHandle, pGuidChar, hChar, ERROR_INTERNAL_ERROR);
}

DWORD EnumDescriptor(const LE_ADDRESS *pAddress, USHORT hService, USHORT hChar, DWORD inx, GUID *pGuidDescr,
                     USHORT *hDescr)
{
    ApiLockHold hold;
    LeTrace("***QorLeApi:QorGattEnumDescriptor %012I64x service:0x%x char:0x%x inx:%d\n", pAddress->ullLong,
            hService, hChar, static_cast<int>(inx));
    *hDescr = 0;
    LeService *service = FirstWithHandle(TreeFor(pAddress->ullLong)->services, &LeService::s_handle, hService);
    LeChar *chr = service ? FirstWithHandle(service->characteristics, &LeChar::attrHandle, hChar) : nullptr;
    if (!chr)
        return kNoMoreItems;
    return HandOut(chr->descriptors, inx, &LeDescr::handle, pGuidDescr, hDescr, ERROR_INTERNAL_ERROR);
}

} // namespace

// Each export checks its arguments, then runs the rest under the fault guard:
// the address is read and the handles written only there, so a bad pointer
// costs the caller 1359, not the process.

constexpr ExportDecl kEnumService = {"QorGattEnumService",
                                     "***QorLeApi:ERROR QorGattEnumService crashed Addr:%p Inx:%d GUID:%p\n",
                                     ERROR_INTERNAL_ERROR};
constexpr ExportDecl kEnumCharacteristic = QOR_EXPORT_UNTRACED(QorGattEnumCharacteristic);
constexpr ExportDecl kEnumDescriptor = QOR_EXPORT_UNTRACED(QorGattEnumDescriptor);

extern "C" DWORD WINAPI QorGattEnumService(PLE_ADDRESS pAddress, DWORD inx, GUID *pGuidServ, USHORT *hService)
{
    if (!pFirst || !pAddress || !pGuidServ || !hService) {
        LeTrace("***QorLeApi:ERROR QorGattEnumService invalid arguments pAddress:%p pGuidServ:%p hService:%p\n",
                static_cast<void *>(pAddress), static_cast<void *>(pGuidServ), static_cast<void *>(hService));
        return ERROR_INVALID_PARAMETER;
    }
    return RunExport(kEnumService, [&] { return EnumService(pAddress, inx, pGuidServ, hService); }, NothingHeld{},
                     static_cast<void *>(pAddress), static_cast<int>(inx), static_cast<void *>(pGuidServ));
}

extern "C" DWORD WINAPI QorGattEnumCharacteristic(PLE_ADDRESS pAddress, USHORT hService, DWORD inx, GUID *pGuidChar,
                                                  USHORT *hChar)
{
    if (!pFirst || !pAddress || !hService || !pGuidChar || !hChar) {
        LeTrace("***QorLeApi:ERROR QorGattEnumCharacteristic invalid arguments pAddress:%p hService:%p pGuidChar:%p "
                "hChar:%p\n",
                static_cast<void *>(pAddress), AsPointer(hService), static_cast<void *>(pGuidChar),
                static_cast<void *>(hChar));
        return ERROR_INVALID_PARAMETER;
    }
    return RunExport(kEnumCharacteristic,
                     [&] { return EnumCharacteristic(pAddress, hService, inx, pGuidChar, hChar); });
}

extern "C" DWORD WINAPI QorGattEnumDescriptor(PLE_ADDRESS pAddress, USHORT hService, USHORT hChar, DWORD inx,
                                              GUID *pGuidDescr, USHORT *hDescr)
{
    if (!pFirst || !pAddress || !hService || !hChar || !pGuidDescr || !hDescr) {
        LeTrace("***QorLeApi:ERROR QorGattEnumDescriptor invalid arguments pAddress:%p hService:%p hChar:%p "
                "pGuidDescr:%p hDescr:%p\n",
                static_cast<void *>(pAddress), AsPointer(hService), AsPointer(hChar), static_cast<void *>(pGuidDescr),
                static_cast<void *>(hDescr));
        return ERROR_INVALID_PARAMETER;
    }
    return RunExport(kEnumDescriptor,
                     [&] { return EnumDescriptor(pAddress, hService, hChar, inx, pGuidDescr, hDescr); });
}
