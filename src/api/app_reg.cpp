#include "api/app_reg.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

#include "api/handlers.h"
#include "api/export.h"
#include "store/uuid.h"
#include "trace/trace.h"

const gatt_callbacks ApiCallbacks = {
    api::ConnectCallback, api::CompleteCallback, nullptr, nullptr, api::RequestCallback,
};

// ---- record pool ----

namespace {

constexpr int kSpareRecords = 64;
LeCallback *spare_records = nullptr;   // ApiLock
int spare_count = 0;

} // namespace

LeCallback *NewCallback(uint32_t type)
{
    LeCallback *record;
    {
        ApiLockHold hold;
        record = spare_records;
        if (record) {
            spare_records = record->pNext;
            --spare_count;
        }
    }
    if (!record)
        record = static_cast<LeCallback *>(std::malloc(sizeof(LeCallback)));
    if (!record)
        return nullptr;
    std::memset(record, 0, sizeof *record);
    record->type = type;
    return record;
}

void FreeCallback(LeCallback *record)
{
    {
        ApiLockHold hold;
        if (spare_count < kSpareRecords) {
            record->pNext = spare_records;
            spare_records = record;
            ++spare_count;
            return;
        }
    }
    std::free(record);
}

void ReleaseCallbackPool()
{
    while (spare_records) {
        LeCallback *record = spare_records;
        spare_records = record->pNext;
        std::free(record);
    }
    spare_count = 0;
}

// ---- wakes deferred on the reader thread ----

namespace {

std::atomic<int> wakes_due{0};   // registrations with wake_due set; changed under ApiLock

void ClearWakeDue(QOR_APP_REG *app)
{
    if (!app->wake_due)
        return;
    app->wake_due = false;
    wakes_due.fetch_sub(1, std::memory_order_relaxed);
}

// The reader's wake hook: every listed registration with a deferred wake is
// woken. Only the reader defers, so it sees its own count without the lock.
void WakeDeferred()
{
    if (wakes_due.load(std::memory_order_relaxed) == 0)
        return;
    ApiLockHold hold;
    for (QOR_APP_REG *app = pFirst; app; app = app->pNext) {
        if (!app->wake_due)
            continue;
        ClearWakeDue(app);
        SetEvent(app->hQueueEvent);
    }
}

} // namespace

// ---- the registration and its thread ----

QOR_APP_REG::QOR_APP_REG()
{
    SetReaderWakeHook(WakeDeferred);
    hStartedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hShutdownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!hStartedEvent || !hShutdownEvent) {
        LeTrace("***QorLeApi:ERROR CreateEvent failed\n");
        return;
    }
    hQueueEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!hQueueEvent) {
        LeTrace("***QorLeApi:ERROR CreateEvent failed\n");
        return;
    }
    hThread = StartModuleThread(CallbackThread, this);
    if (!hThread) {
        LeTrace("***QorLeApi:ERROR CreateThread failed\n");
        return;
    }
    if (WaitForSingleObject(hStartedEvent, 10000) != WAIT_OBJECT_0) {
        LeTrace("***QorLeApi:ERROR callback thread did not start\n");
        start_missed = true;
    }
}

QOR_APP_REG::~QOR_APP_REG()
{
    LeTrace("~QOR_APP_REG() %p callback thread:%x \n", static_cast<void *>(this),
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(hThread)));
    while (pCallbackHead) {
        LeCallback *record = pCallbackHead;
        pCallbackHead = record->pNext;
        FreeCallback(record);
    }
    FreeServiceList(pServices);
    for (HANDLE handle : {hQueueEvent, hShutdownEvent, hStartedEvent, hThread})
        if (handle)
            CloseHandle(handle);
}

bool IsAppRegistered(HQORREG hReg)
{
    if (!bApiLockInit)
        return false;
    ApiLockHold hold;
    for (QOR_APP_REG *app = pFirst; app; app = app->pNext)
        if (app == hReg)
            return true;
    return false;
}

bool InterfaceCurrent(const QOR_APP_REG *app)
{
    return app->gatt_if != 0 && GATT_Generation(app->gatt_if) == app->link_generation;
}

bool IsAppRegisteredWithInterface(HQORREG hReg)
{
    if (!bApiLockInit)
        return false;
    ApiLockHold hold;
    return IsAppRegistered(hReg) && InterfaceCurrent(static_cast<const QOR_APP_REG *>(hReg));
}

void QueueCallback(QOR_APP_REG *app, LeCallback *record)
{
    record->pNext = nullptr;
    const bool was_empty = !app->pCallbackHead;
    if (was_empty)
        app->pCallbackHead = record;
    else
        app->pCallbackTail->pNext = record;
    app->pCallbackTail = record;
    // A thread with records queued and no wake due is not waiting: it finds
    // this record before it waits again.
    if (!was_empty && !app->wake_due)
        return;
    if (!OnReaderThread()) {
        ClearWakeDue(app);
        SetEvent(app->hQueueEvent);
    } else if (!app->wake_due) {
        app->wake_due = true;
        wakes_due.fetch_add(1, std::memory_order_relaxed);
    }
}

namespace {

void Deliver(const QOR_APP_REG *app, LeCallback *record)
{
    switch (record->type) {
    case kCallbackConnect:
        if (app->pfnConnect)
            app->pfnConnect(reinterpret_cast<PVOID>(static_cast<uintptr_t>(record->Context)),
                            &record->connect.Address, record->connect.Connected);
        break;
    case kCallbackComplete:
        if (app->pfnComplete)
            app->pfnComplete(record->Context, record->complete.Status, &record->complete.Value);
        break;
    case kCallbackAttribute:
        if (app->pfnAttribute) {
            LeAttributeRecord &a = record->attribute;
            DWORD result = app->pfnAttribute(&record->Device, &a.ServiceGuid, a.ServiceInstance, &a.CharGuid,
                                             a.CharInstance, &a.DescrGuid, a.Extra, a.EventType, &a.Value);
            api::AnswerRemote(record, result);
        }
        break;
    default:
        break;
    }
}

// The end of a registration's life, on its own thread: out of the list, then
// gone.
void UnlinkAndDestroy(QOR_APP_REG *app)
{
    ApiLockHold hold;
    ClearWakeDue(app);
    CloseHandle(app->hThread);
    app->hThread = nullptr;
    if (pFirst == app) {
        LeTrace("***QorLeApi:QOR_APP_REG::CallbackThread() app deleting first %p\n", static_cast<void *>(app));
        pFirst = app->pNext;
    } else {
        for (QOR_APP_REG *prev = pFirst; prev; prev = prev->pNext) {
            if (prev->pNext == app) {
                LeTrace("***QorLeApi:QOR_APP_REG::CallbackThread() app deleting pApp:%p\n", static_cast<void *>(app));
                prev->pNext = app->pNext;
                break;
            }
        }
    }
    hold.Leave();
    delete app;
}

} // namespace

DWORD WINAPI CallbackThread(LPVOID param)
{
    auto *app = static_cast<QOR_APP_REG *>(param);
    HANDLE waits[2] = {app->hQueueEvent, app->hShutdownEvent};
    // The constructor waits for this while its caller holds ApiLock.
    SetEvent(app->hStartedEvent);
    ApiLockHold hold;
    for (;;) {
        // The thread looks at its queue now: a deferred wake would find nothing
        // this look does not.
        ClearWakeDue(app);
        LeCallback *record = app->pCallbackHead;
        if (!record) {
            hold.Leave();
            LeTrace("CallbackThread() waiting for shutdown or callback\n");
            // With both signalled the queue event wins: what was queued before
            // the shutdown is delivered first.
            DWORD ret = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            LeTrace("CallbackThread() after wait retcode %d first app %p \n", static_cast<int>(ret),
                    static_cast<void *>(pFirst));
            hold.Enter();
            // A record whose wake the reader had not yet given when the
            // shutdown came was queued before it: it is delivered too.
            if (ret == WAIT_OBJECT_0 + 1 && !app->pCallbackHead)
                break;
            continue;
        }
        app->pCallbackHead = record->pNext;
        LeTrace("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback->type:%d\n", static_cast<int>(record->type));
        hold.Leave();

        Deliver(app, record);

        hold.Enter();
        FreeCallback(record);
        LeTrace("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed\n");
    }
    hold.Leave();
    UnlinkAndDestroy(app);
    return 1;
}

// ---- registering and deregistering ----

namespace {

struct RegisterArgs {
    PLE_ADDRESS pAddress;
    GUID *pGuidApp;
    PFN_LE_CONNECT_CALLBACK pfnConnect;
    PFN_LE_COMPLETE_CALLBACK pfnComplete;
    PFN_LE_ATTRIBUTE_CALLBACK pfnAttribute;
    PVOID Context;
    HQORREG *phReg;
};

// A registration of this application that already covers the address (ApiLock).
bool AlreadyCovered(const GUID &app_guid, ULONGLONG address)
{
    for (QOR_APP_REG *app = pFirst; app; app = app->pNext) {
        if (app->retiring || !IsEqualGUID(app->AppGuid, app_guid))
            continue;
        if (address == 0 || app->Address.ullLong == 0 || app->Address.ullLong == address)
            return true;
    }
    return false;
}

void AppendRegistration(QOR_APP_REG *app)
{
    if (!pFirst) {
        pFirst = app;
        return;
    }
    QOR_APP_REG *last = pFirst;
    while (last->pNext)
        last = last->pNext;
    last->pNext = app;
}

// A new registration hears first of the devices already connected (ApiLock).
void AnnounceConnectedDevices(QOR_APP_REG *app)
{
    if (!app->pfnConnect)
        return;
    for (QOR_CONN_DEV *dev = pDevList; dev; dev = dev->pNext) {
        if (!AcceptsDevice(app, dev->Address.ullLong))
            continue;
        LeTrace("***QorLeApi:QorGattRegister pDev->Address.ullLong 0x%I64x pAddress->ullLong 0x%I64x\n",
                dev->Address.ullLong, app->Address.ullLong);
        LeCallback *record = NewCallback(kCallbackConnect);
        if (!record)
            continue;
        record->Context = reinterpret_cast<uintptr_t>(app->Context);
        record->connect.Address = dev->Address;
        record->connect.Connected = 1;
        QueueCallback(app, record);
    }
}

uint8_t RegisterInterface(const GUID &app_guid, uint32_t *generation)
{
    LeUuid identity{};
    identity.len = 16;
    std::memcpy(identity.value, &app_guid, sizeof app_guid);
    return GATT_Register(&identity, &ApiCallbacks, generation);
}

// Takes the interface number out of a listed registration, so that it is
// released once only and a number the link hands out again later is never
// mistaken for this registration's. From here on the registration is retiring.
uint8_t TakeInterface(QOR_APP_REG *app, uint32_t *generation, bool *current)
{
    ApiLockHold hold;
    if (!IsAppRegistered(app))
        return 0;
    *current = InterfaceCurrent(app);
    app->retiring = true;
    uint8_t gatt_if = app->gatt_if;
    *generation = app->link_generation;
    app->gatt_if = 0;
    return gatt_if;
}

// Destroys the device records of an interface as handed out on one opening of
// the channel (a record of generation 0 counts as of any); the others keep
// their order (ApiLock).
void DropDevicesOf(uint8_t gatt_if, uint32_t generation)
{
    QOR_CONN_DEV **link = &pDevList;
    while (*link) {
        QOR_CONN_DEV *dev = *link;
        if (dev->gatt_if == gatt_if && (dev->link_generation == 0 || dev->link_generation == generation)) {
            *link = dev->pNext;
            delete dev;
        } else {
            link = &dev->pNext;
        }
    }
}

// The end of a registration's local service table, before its interface is
// released: the table out of the registration, each created service deleted in
// the driver under gatt_if (nothing is sent when it is 0), the records freed.
// Without ApiLock; nothing happens for a registration no longer listed.
void ReleaseLocalServices(QOR_APP_REG *app, uint8_t gatt_if)
{
    LeService *services;
    {
        ApiLockHoldIfReady lock;
        if (!IsAppRegistered(app))
            return;
        services = app->pServices;
        app->pServices = nullptr;
    }
    while (services) {
        LeService *service = services;
        services = service->next;
        // A service still without a handle is being created: its creator finds
        // it gone and deletes it in the driver itself.
        if (gatt_if && service->s_handle) {
            const LeUuid le_uuid = GuidToLeUuid(service->uuid);
            GATTS_DeleteService(gatt_if, &le_uuid, static_cast<uint16_t>(service->instance));
        }
        FreeService(service);
    }
}

// Releases the registration's interface, drops that interface's device records
// and tells the callback thread to stop once its queue is empty.
void Retire(QOR_APP_REG *app, bool from_deregister)
{
    uint32_t generation = 0;
    bool current = false;
    uint8_t gatt_if = TakeInterface(app, &generation, &current);
    // Its services go while the driver still knows the interface that made
    // them; those of an earlier opening of the channel went with it.
    ReleaseLocalServices(app, current ? gatt_if : 0);
    if (gatt_if)
        GATT_Deregister(gatt_if, generation);

    ApiLockHold hold;
    if (IsAppRegistered(app)) {
        if (from_deregister)
            LeTrace("***QorLeApi:QorGattDeregister() Set shutdown event %p\n", app->hShutdownEvent);
        SetEvent(app->hShutdownEvent);
    }
    if (gatt_if)
        DropDevicesOf(gatt_if, generation);
}

DWORD Register(const RegisterArgs &args, QOR_APP_REG *volatile *created)
{
    if (!args.pAddress || !args.pGuidApp || !args.phReg) {
        LeTrace("***QorLeApi:QorGattRegister invalid arguments \n");
        return ERROR_INVALID_PARAMETER;
    }
    LeTrace("***QorLeApi:QorGattRegister\n");
    *args.phReg = nullptr;
    ApiLockInitOnce();

    ApiLockHold hold;
    const LE_ADDRESS address = *args.pAddress;
    const GUID app_guid = *args.pGuidApp;
    if (!pFirst) {
        LeTrace("***QorLeApi:QorGattRegister First reg \n");
    } else if (AlreadyCovered(app_guid, address.ullLong)) {
        LeTrace("***QorLeApi:QorGattRegister already registered\n");
        return ERROR_DUPLICATE_SERVICE_NAME;
    }

    QOR_APP_REG *app = new (std::nothrow) QOR_APP_REG;
    if (!app) {
        LeTrace("***QorLeApi:QorGattRegister no memory\n");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!app->Running()) {
        // No events or no thread: nothing would ever deliver to it or end it.
        delete app;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (app->StartMissed()) {
        // Its thread, whenever it runs, finds the shutdown and destroys it.
        SetEvent(app->hShutdownEvent);
        return ERROR_INTERNAL_ERROR;
    }
    AppendRegistration(app);
    *created = app;

    app->Address = address;
    app->AppGuid = app_guid;
    app->pfnConnect = args.pfnConnect;
    app->pfnComplete = args.pfnComplete;
    app->pfnAttribute = args.pfnAttribute;
    app->Context = args.Context;
    LeTrace("***QorLeApi:QorGattRegister succeeded\n");
    AnnounceConnectedDevices(app);
    hold.Leave();

    // The driver request runs without ApiLock.
    uint32_t generation = 0;
    uint8_t gatt_if = RegisterInterface(app_guid, &generation);
    hold.Enter();
    app->gatt_if = gatt_if;
    app->link_generation = generation;
    app->retiring = gatt_if == 0;
    hold.Leave();
    if (gatt_if == 0) {
        LeTrace("***QorLeApi:ERROR GATT_Register failed\n");
        *created = nullptr;
        // The thread delivers what is queued, then unlinks and destroys it.
        SetEvent(app->hShutdownEvent);
        return ERROR_INVALID_HANDLE;
    }

    *args.phReg = app;
    *created = nullptr;
    LeTrace("***QorLeApi:QorGattRegister pFirst %p returning pApp %p\n", static_cast<void *>(pFirst),
            static_cast<void *>(app));
    return ERROR_SUCCESS;
}

void Deregister(HQORREG hReg)
{
    if (!pFirst || !hReg || !IsAppRegistered(hReg)) {
        LeTrace("***QorLeApi:QorGattDeregister invalid handle hReg:%p\n", hReg);
        return;
    }
    LeTrace("***QorLeApi:QorGattDeregister pFirst %p dereg %p\n", static_cast<void *>(pFirst), hReg);
    Retire(static_cast<QOR_APP_REG *>(hReg), true);
}

} // namespace

extern "C" DWORD WINAPI QorGattRegister(PLE_ADDRESS pAddress, GUID *pGuidApp, PFN_LE_CONNECT_CALLBACK pfnConnect,
                                        PFN_LE_COMPLETE_CALLBACK pfnComplete, PFN_LE_ATTRIBUTE_CALLBACK pfnAttribute,
                                        PVOID Context, HQORREG *phReg)
{
    const RegisterArgs args{pAddress, pGuidApp, pfnConnect, pfnComplete, pfnAttribute, Context, phReg};
    constexpr ExportDecl kRegister = QOR_EXPORT(QorGattRegister);
    QOR_APP_REG *volatile created = nullptr;
    return RunExport(kRegister, [&] { return Register(args, &created); }, [&] {
        if (created)
            Retire(created, false);
    });
}

extern "C" void WINAPI QorGattDeregister(HQORREG hReg)
{
    constexpr ExportDecl kDeregister = QOR_EXPORT(QorGattDeregister);
    RunExport(kDeregister, [&] {
        Deregister(hReg);
        return ERROR_SUCCESS;
    });
}
