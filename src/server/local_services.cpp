// The six local-service exports: create a service, add included services,
// characteristics and descriptors to it, start it and delete it.
//
// A new record is linked into its table before its driver request is sent, so
// that a second create of the same UUID and instance sees it; the request goes
// out without ApiLock, and the record is then looked for again before the
// driver's handle is stored, because a concurrent delete (or the end of its
// registration) may have freed it meanwhile.

#include "server/local_services.h"

#include <atomic>
#include <cstring>
#include <new>

#include "api/export.h"
#include "link/link.h"
#include "store/uuid.h"
#include "trace/trace.h"

namespace {

constexpr DWORD kDriverRefusedService = 4316;
constexpr DWORD kMaxHandles = 0xFFFF;
constexpr size_t kDescrBlockSize = 22;

// ---- singly linked lists of the tree records (LeService, LeChar, LeDescr) ----
template <class T>
void AppendTail(T **head, T *record)
{
    while (*head)
        head = &(*head)->next;
    *head = record;
}

template <class T>
bool Unlink(T **head, const T *record)
{
    for (; *head; head = &(*head)->next) {
        if (*head == record) {
            *head = record->next;
            return true;
        }
    }
    return false;
}

template <class T>
bool Holds(const T *head, const T *record)
{
    for (; head; head = head->next)
        if (head == record)
            return true;
    return false;
}

LeChar *LastChar(LeService *service)
{
    LeChar *chr = service->characteristics;
    while (chr && chr->next)
        chr = chr->next;
    return chr;
}

DWORD DriverVerdict(uint16_t handle) { return handle ? ERROR_SUCCESS : kDriverRefusedService; }

// ---- the exports' bodies ----

// A service created in the driver whose handle the caller has not got yet. A
// fault on the caller's handle gives it back: its record (unless a delete or
// the end of its registration took it first, and the service with it) and the
// driver's service, so the same UUID and instance can be made again.
struct HandOver {
    QOR_APP_REG *app = nullptr;
    LeService *volatile service = nullptr;   // set while the handle is written
    uint8_t gatt_if = 0;
    LeUuid le_uuid{};
    uint16_t le_instance = 0;

    void Undo()
    {
        LeService *created = service;
        if (!created)
            return;
        bool ours;
        {
            ApiLockHold hold;
            ours = IsAppRegistered(app) && Unlink(&app->pServices, static_cast<const LeService *>(created));
        }
        if (!ours)
            return;
        FreeService(created);
        GATTS_DeleteService(gatt_if, &le_uuid, le_instance);
    }
};

DWORD CreateService(HQORREG hReg, const GUID *pGuidService, DWORD instance, DWORD numHandles, BYTE serviceFlag,
                    USHORT *phService, HandOver *hand_over)
{
    if (!pFirst || !hReg || !pGuidService || !phService || numHandles == 0 || numHandles > kMaxHandles) {
        LeTrace("***QorLeApi:QorGattCreateService illegal param\n");
        return ERROR_INVALID_PARAMETER;
    }
    if (!IsAppRegistered(hReg)) {
        LeTrace("***QorLeApi:QorGattCreateService invalid handle\n");
        return ERROR_INVALID_HANDLE;
    }
    LeTrace("***QorLeApi:QorGattCreateService\n");
    auto *app = static_cast<QOR_APP_REG *>(hReg);
    const GUID uuid = *pGuidService;
    LeService *service = nullptr;
    uint8_t gatt_if = 0;
    {
        ApiLockHold hold;
        if (!IsAppRegistered(hReg))
            return ERROR_INVALID_HANDLE;   // it ended since the check above
        if (InterfaceTakenOver(app)) {
            LeTrace("***QorLeApi:QorGattCreateService invalid handle\n");
            return ERROR_INVALID_HANDLE;   // its interface went with an earlier opening of the channel
        }
        for (LeService *s = app->pServices; s; s = s->next) {
            if (IsEqualGUID(s->uuid, uuid) && s->instance == instance) {
                LeTrace("QorGattCreateService existing service\n");
                return ERROR_DUPLICATE_SERVICE_NAME;
            }
        }
        service = new (std::nothrow) LeService;
        if (!service) {
            LeTrace("QorGattCreateService no memory\n");
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        service->uuid = uuid;
        service->instance = instance;
        AppendTail(&app->pServices, service);
        gatt_if = app->gatt_if;
    }

    const LeUuid le_uuid = GuidToLeUuid(uuid);
    const auto le_instance = static_cast<uint16_t>(instance);
    uint16_t s_handle = GATTS_CreateService(gatt_if, &le_uuid, le_instance, static_cast<uint16_t>(numHandles),
                                            serviceFlag);
    bool kept;
    {
        ApiLockHold hold;
        kept = IsAppRegistered(hReg) && Holds(app->pServices, service);
        if (kept && s_handle) {
            service->s_handle = s_handle;
            service->e_handle = static_cast<uint16_t>(s_handle + numHandles);
        } else if (kept) {
            // Refused: no record, so the same UUID and instance can be tried again.
            Unlink(&app->pServices, service);
            delete service;
        }
    }
    if (!kept) {
        // The registration ended meanwhile and took its table with it.
        if (s_handle)
            GATTS_DeleteService(gatt_if, &le_uuid, le_instance);
        *phService = 0;
        return ERROR_INVALID_HANDLE;
    }
    // The caller's handle is written last: a fault there undoes the create.
    // The fences keep the write between setting and clearing the hand-over.
    *hand_over = {app, service, gatt_if, le_uuid, le_instance};
    std::atomic_signal_fence(std::memory_order_seq_cst);
    *phService = s_handle;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    hand_over->service = nullptr;
    return DriverVerdict(s_handle);
}

DWORD AddIncludeService(USHORT hService, USHORT hIncludedService)
{
    if (!hService || !hIncludedService) {
        LeTrace("***QorLeApi:QorGattAddIncludeService illegal param\n");
        return ERROR_INVALID_PARAMETER;
    }
    LeTrace("***QorLeApi:QorGattAddIncludeService\n");
    {
        ApiLockHoldIfReady lock;
        if (!FindLocalService(hService)) {
            LeTrace("***QorLeApi:QorGattAddIncludeService service handle not found\n");
            return ERROR_INVALID_HANDLE;
        }
        if (!FindLocalService(hIncludedService)) {
            LeTrace("***QorLeApi:QorGattAddIncludeService include service handle not found\n");
            return ERROR_INVALID_HANDLE;
        }
    }
    return DriverVerdict(GATTS_AddIncludeService(hService, hIncludedService));
}

DWORD AddCharacteristic(USHORT hService, const GUID *pGuidChar, DWORD perm, BYTE property, USHORT *phChar)
{
    if (!hService || !pGuidChar || !phChar) {
        LeTrace("***QorLeApi:QorGattAddCharacteristic illegal param\n");
        return ERROR_INVALID_PARAMETER;
    }
    LeTrace("***QorLeApi:QorGattAddCharacteristic\n");
    LeChar *chr = nullptr;
    LeUuid le_uuid;
    {
        ApiLockHoldIfReady lock;
        LeService *service = FindLocalService(hService);
        if (!service) {
            LeTrace("***QorLeApi:QorGattAddCharacteristic service handle not found\n");
            return ERROR_INVALID_HANDLE;
        }
        const GUID uuid = *pGuidChar;
        chr = new (std::nothrow) LeChar;
        if (!chr) {
            LeTrace("QorGattAddCharacteristic no memory\n");
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        chr->uuid = uuid;
        le_uuid = GuidToLeUuid(uuid);
        AppendTail(&service->characteristics, chr);
    }

    uint16_t handle = GATTS_AddCharacteristic(hService, &le_uuid, static_cast<uint16_t>(perm), property);
    bool kept;
    {
        ApiLockHoldIfReady lock;
        LeService *service = FindLocalService(hService);
        kept = service && Holds(service->characteristics, chr);
        if (kept && handle) {
            chr->attrHandle = handle;
        } else if (kept) {
            // Refused: later descriptors must not attach to a characteristic the
            // driver never created.
            Unlink(&service->characteristics, chr);
            delete chr;
        }
    }
    *phChar = kept ? handle : 0;
    return kept ? DriverVerdict(handle) : ERROR_INVALID_HANDLE;
}

// The characteristic of the service whose descriptor list holds descr.
LeChar *OwnerOf(LeService *service, const LeDescr *descr)
{
    for (LeChar *chr = service ? service->characteristics : nullptr; chr; chr = chr->next)
        if (Holds(chr->descriptors, descr))
            return chr;
    return nullptr;
}

DWORD AddDescriptor(USHORT hService, const GUID *pGuidDescr, DWORD perm, const void *pDescrParam, USHORT *phDescr)
{
    if (!hService || !pGuidDescr || !phDescr || !pDescrParam) {
        LeTrace("***QorLeApi:QorGattAddDescriptor illegal param\n");
        return ERROR_INVALID_PARAMETER;
    }
    LeTrace("***QorLeApi:QorGattAddDescriptor\n");
    uint8_t block[kDescrBlockSize];
    LeDescr *descr = nullptr;
    LeUuid le_uuid;
    {
        ApiLockHoldIfReady lock;
        LeService *service = FindLocalService(hService);
        if (!service) {
            LeTrace("***QorLeApi:QorGattAddDescriptor service handle not found\n");
            return ERROR_INVALID_HANDLE;
        }
        LeChar *chr = LastChar(service);
        if (!chr) {
            LeTrace("***QorLeApi:QorGattAddDescriptor no chars\n");
            return kDriverRefusedService;
        }
        const GUID uuid = *pGuidDescr;
        std::memcpy(block, pDescrParam, sizeof block);
        descr = new (std::nothrow) LeDescr;
        if (!descr) {
            LeTrace("QorGattAddDescriptor no memory\n");
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        descr->uuid = uuid;
        le_uuid = GuidToLeUuid(uuid);
        AppendTail(&chr->descriptors, descr);
    }

    uint16_t handle = GATTS_AddCharDescritptor(hService, static_cast<uint16_t>(perm), &le_uuid, block);
    bool kept;
    {
        ApiLockHoldIfReady lock;
        kept = OwnerOf(FindLocalService(hService), descr) != nullptr;
        if (kept)
            descr->handle = handle;   // a refused one stays, with handle 0
    }
    *phDescr = kept ? handle : 0;
    return kept ? DriverVerdict(handle) : ERROR_INVALID_HANDLE;
}

DWORD StartService(USHORT hService)
{
    if (!pFirst || !hService) {
        LeTrace("***QorLeApi:QorGattStartService illegal param\n");
        return ERROR_INVALID_PARAMETER;
    }
    LeTrace("***QorLeApi:QorGattStartService\n");
    uint8_t gatt_if = 0;
    {
        ApiLockHoldIfReady lock;
        QOR_APP_REG *owner = nullptr;
        if (!FindLocalService(hService, &owner)) {
            LeTrace("***QorLeApi:QorGattStartService service handle not found\n");
            return ERROR_NOT_FOUND;
        }
        if (InterfaceTakenOver(owner)) {
            LeTrace("***QorLeApi:QorGattStartService invalid handle\n");
            return ERROR_INVALID_HANDLE;
        }
        gatt_if = owner->gatt_if;
    }
    return GATTS_StartService(gatt_if, hService, 0) == kStartStarted ? ERROR_SUCCESS : kDriverRefusedService;
}

DWORD DeleteService(USHORT hService)
{
    if (!pFirst || !hService) {
        LeTrace("***QorLeApi:QorGattDeleteService illegal param\n");
        return ERROR_INVALID_PARAMETER;
    }
    LeTrace("***QorLeApi:QorGattDeleteService\n");
    LeService *service = nullptr;
    uint8_t gatt_if = 0;
    {
        ApiLockHoldIfReady lock;
        QOR_APP_REG *owner = nullptr;
        service = FindLocalService(hService, &owner);
        if (!service) {
            LeTrace("***QorLeApi:QorGattDeleteService service handle not found\n");
            return ERROR_INVALID_HANDLE;
        }
        // Out of the table first: from here on no other thread can reach it.
        Unlink(&owner->pServices, service);
        // A service of an earlier opening of the channel went with it.
        gatt_if = InterfaceTakenOver(owner) ? 0 : owner->gatt_if;
    }
    const LeUuid le_uuid = GuidToLeUuid(service->uuid);
    if (gatt_if)
        GATTS_DeleteService(gatt_if, &le_uuid, static_cast<uint16_t>(service->instance));
    FreeService(service);
    return ERROR_SUCCESS;
}

// The declarations of the six exports; a fault in QorGattCreateService is not
// traced.
constexpr ExportDecl kCreateService = QOR_EXPORT_UNTRACED(QorGattCreateService);
constexpr ExportDecl kAddIncludeService = QOR_EXPORT(QorGattAddIncludeService);
constexpr ExportDecl kAddCharacteristic = QOR_EXPORT(QorGattAddCharacteristic);
constexpr ExportDecl kAddDescriptor = QOR_EXPORT(QorGattAddDescriptor);
constexpr ExportDecl kStartService = QOR_EXPORT(QorGattStartService);
constexpr ExportDecl kDeleteService = QOR_EXPORT(QorGattDeleteService);

} // namespace

LeService *FindLocalService(uint16_t handle, QOR_APP_REG **owner)
{
    for (QOR_APP_REG *app = pFirst; app; app = app->pNext) {
        for (LeService *service = app->pServices; service; service = service->next) {
            if (service->s_handle == handle) {
                if (owner)
                    *owner = app;
                return service;
            }
        }
    }
    return nullptr;
}

extern "C" DWORD WINAPI QorGattCreateService(HQORREG hReg, GUID *pGuidService, DWORD instance, DWORD numHandles,
                                             BYTE serviceFlag, USHORT *phService)
{
    HandOver hand_over;
    return RunExport(
        kCreateService,
        [&] { return CreateService(hReg, pGuidService, instance, numHandles, serviceFlag, phService, &hand_over); },
        [&] { hand_over.Undo(); });
}

extern "C" DWORD WINAPI QorGattAddIncludeService(USHORT hService, USHORT hIncludedService)
{
    return RunExport(kAddIncludeService, [&] { return AddIncludeService(hService, hIncludedService); });
}

extern "C" DWORD WINAPI QorGattAddCharacteristic(USHORT hService, GUID *pGuidChar, DWORD, DWORD perm, BYTE property,
                                                 USHORT *phChar)
{
    return RunExport(kAddCharacteristic,
                     [&] { return AddCharacteristic(hService, pGuidChar, perm, property, phChar); });
}

extern "C" DWORD WINAPI QorGattAddDescriptor(USHORT hService, GUID *pGuidDescr, DWORD perm, PVOID pDescrParam,
                                             USHORT *phDescr)
{
    return RunExport(kAddDescriptor, [&] { return AddDescriptor(hService, pGuidDescr, perm, pDescrParam, phDescr); });
}

extern "C" DWORD WINAPI QorGattStartService(USHORT hService)
{
    return RunExport(kStartService, [&] { return StartService(hService); });
}

extern "C" DWORD WINAPI QorGattDeleteService(USHORT hService)
{
    return RunExport(kDeleteService, [&] { return DeleteService(hService); });
}
