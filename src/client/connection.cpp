// QorGattConnect, its watcher and the API's ConnectCallback: who is connected
// (pDevList, one record per address with its attribute tree) and who hears of
// it (a waiting connect of the registration, else its callback thread).

#include "client/connection.h"

#include <new>

#include "api/handlers.h"
#include "api/app_reg.h"
#include "api/export.h"
#include "trace/trace.h"

namespace {

constexpr DWORD kConnectWaitMs = 10000;
constexpr DWORD kLookIntervalMs = 500;
constexpr int kLooks = 20;
constexpr uint8_t kDirect = 1;

// Unlinks the first record with the address (its successor takes its place)
// and destroys it. ApiLock held.
bool DropDevice(ULONGLONG address)
{
    for (QOR_CONN_DEV **link = &pDevList; *link; link = &(*link)->pNext) {
        QOR_CONN_DEV *dev = *link;
        if (dev->Address.ullLong == address) {
            *link = dev->pNext;
            delete dev;
            return true;
        }
    }
    return false;
}

void AppendDevice(QOR_CONN_DEV *dev)
{
    QOR_CONN_DEV **tail = &pDevList;
    while (*tail)
        tail = &(*tail)->pNext;
    *tail = dev;
}

// A fresh record of a device that has just connected, its tree loaded from
// the store. ApiLock held.
bool ListConnectedDevice(uint8_t gatt_if, LE_ADDRESS address, uint16_t conn_id)
{
    if (DropDevice(address.ullLong))
        LeTrace("***QorLeApi:ConnectCallback connected already existed\n");
    QOR_CONN_DEV *dev = new (std::nothrow) QOR_CONN_DEV;
    if (!dev) {
        LeTrace("***QorLeApi:ConnectCallback no mem\n");
        return false;
    }
    dev->Address = address;
    dev->gatt_if = gatt_if;
    dev->conn_id = conn_id;
    dev->link_generation = GATT_Generation(gatt_if);
    LoadAttributeCache(dev);
    AppendDevice(dev);
    return true;
}

// Wakes the waiting connect of each registration of the interface (0: of any
// interface) that accepts the device, or queues a connection record for its
// callback thread. A registration whose interface is from an earlier opening of
// the channel hears nothing. ApiLock held.
void TellRegistrations(uint8_t gatt_if, LE_ADDRESS address, DWORD connected)
{
    for (QOR_APP_REG *app = pFirst; app; app = app->pNext) {
        if ((gatt_if != 0 && app->gatt_if != gatt_if) || !InterfaceCurrent(app) ||
            !AcceptsDevice(app, address.ullLong))
            continue;
        if (app->hConnectEvent) {
            SetEvent(app->hConnectEvent);
            continue;
        }
        if (!app->pfnConnect)
            continue;
        LeCallback *record = NewCallback(kCallbackConnect);
        if (!record)
            continue;
        record->Context = reinterpret_cast<uintptr_t>(app->Context);
        record->connect.Address = address;
        record->connect.Connected = connected;
        QueueCallback(app, record);
    }
}

// A record of another device that still holds the conn_id of a new connection
// lost its disconnection: it goes now, as that disconnection would have taken
// it, so that the connection's events reach the new record. ApiLock held.
void RetireHolderOf(uint16_t conn_id, ULONGLONG address)
{
    QOR_CONN_DEV **link = &pDevList;
    while (*link) {
        QOR_CONN_DEV *dev = *link;
        if (dev->conn_id != conn_id || dev->Address.ullLong == address) {
            link = &dev->pNext;
            continue;
        }
        LeTrace("***QorLeApi:ConnectCallback conn_id:%d still held by %012I64x: retired\n", conn_id,
                dev->Address.ullLong);
        const LE_ADDRESS gone = dev->Address;
        *link = dev->pNext;
        delete dev;
        TellRegistrations(0, gone, 0);
    }
}

} // namespace

void api::ConnectCallback(uint8_t gatt_if, const uint8_t *bda, uint16_t conn_id, uint8_t connected)
{
    LE_ADDRESS address;
    address.ullLong = AddressFromBda(bda);
    LeTrace("***QorLeApi:ConnectCallback gatt_if:%d bda:%012I64x conn_id:%d connected:%d\n", gatt_if,
            address.ullLong, conn_id, connected);
    ApiLockHold hold;
    if (connected) {
        RetireHolderOf(conn_id, address.ullLong);
        if (!ListConnectedDevice(gatt_if, address, conn_id))
            return;
    } else {
        DropDevice(address.ullLong);
    }
    TellRegistrations(gatt_if, address, connected ? 1 : 0);
}

// ---- the watcher of a connect that does not wait ----

namespace {

enum class Look { NoRegistration, Connected, NotConnected };

Look LookFor(ULONGLONG address)
{
    ApiLockHold hold;
    if (!pFirst)
        return Look::NoRegistration;
    return FindDevice(address) ? Look::Connected : Look::NotConnected;
}

void Watch(const WatchBlock &block)
{
    const ULONGLONG address = block.Address.ullLong;
    for (int look = 0; look <= kLooks; ++look) {
        switch (LookFor(address)) {
        case Look::NoRegistration:
            return;
        case Look::Connected:
            LeTrace("***QorLeApi:WaitConnectThread connected after %d sec\n",
                    static_cast<int>(look * kLookIntervalMs / 1000));
            return;
        case Look::NotConnected:
            break;
        }
        if (look == kLooks)
            break;
        LeTrace("***QorLeApi:WaitConnectThread gatt_if:%d bda:%012I64x not connected\n", block.gatt_if, address);
        Sleep(kLookIntervalMs);
    }
    LeTrace("***QorLeApi:WaitConnectThread not connected\n");
    uint8_t bda[kBdaSize];
    BdaFromAddress(address, bda);
    GATT_CancelConnect(block.gatt_if, bda, kDirect);
}

// Starts a watcher for the address and waits until it runs; without a block,
// an event or a thread the connect goes on unwatched. The caller holds
// ApiLock, which the watcher takes only after it has signalled its start: so
// the watcher cannot end (and close its start event) before this wait is over.
void StartWatcher(ULONGLONG address, uint8_t gatt_if)
{
    auto *block = new (std::nothrow) WatchBlock{};
    if (!block)
        return;
    block->Address.ullLong = address;
    block->gatt_if = gatt_if;
    block->hStartEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = block->hStartEvent ? StartModuleThread(WaitConnectThread, block) : nullptr;
    if (!thread) {
        if (block->hStartEvent)
            CloseHandle(block->hStartEvent);
        delete block;
        return;
    }
    WaitForSingleObject(block->hStartEvent, INFINITE);
    CloseHandle(thread);
}

} // namespace

DWORD WINAPI WaitConnectThread(LPVOID param)
{
    auto *block = static_cast<WatchBlock *>(param);
    SetEvent(block->hStartEvent);
    Watch(*block);
    CloseHandle(block->hStartEvent);
    delete block;
    return 0;
}

// ---- QorGattConnect ----

namespace {

// The wait event belongs to the connect that created it. The registration
// keeps it only while it is still listed with that event: one destroyed
// meanwhile is not written to. True when the address is listed.
bool EndConnectWait(QOR_APP_REG *app, HANDLE event, ULONGLONG address)
{
    ApiLockHold hold;
    if (IsAppRegistered(app) && app->hConnectEvent == event)
        app->hConnectEvent = nullptr;
    CloseHandle(event);
    return FindDevice(address) != nullptr;
}

// What a connect asks for, chosen under ApiLock.
struct ConnectRequest {
    QOR_APP_REG *app;
    ULONGLONG address;
    uint8_t gatt_if;
    HANDLE wait_event;               // null: not waiting
};

// Steps under ApiLock: the registration, the address, and the watcher or the
// wait event. 0 when the request is to be sent.
DWORD Prepare(HQORREG hReg, const LE_ADDRESS *pAddress, DWORD bWait, ConnectRequest &req)
{
    ApiLockHold hold;
    auto *app = static_cast<QOR_APP_REG *>(hReg);
    if (!IsAppRegistered(hReg) || !InterfaceCurrent(app) ||
        (app->Address.ullLong != 0 && pAddress && pAddress->ullLong != app->Address.ullLong)) {
        LeTrace("***QorLeApi:QorGattConnect not registered\n");
        return ERROR_INVALID_HANDLE;
    }
    req.app = app;
    req.address = pAddress ? pAddress->ullLong : app->Address.ullLong;
    req.gatt_if = app->gatt_if;
    if (!bWait) {
        LeTrace("***QorLeApi:QorGattConnect starting WaitConnectThread\n");
        StartWatcher(req.address, req.gatt_if);
        return ERROR_SUCCESS;
    }
    if (app->hConnectEvent) {
        LeTrace("***QorLeApi:QorGattConnect event already exists\n");
        return ERROR_SERVICE_ALREADY_RUNNING;
    }
    req.wait_event = app->hConnectEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!req.wait_event) {
        LeTrace("***QorLeApi:QorGattConnect event already exists\n");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

DWORD Connect(HQORREG hReg, const LE_ADDRESS *pAddress, DWORD bWait)
{
    LeTrace("***QorLeApi:QorGattConnect\n");
    if (!pFirst) {
        LeTrace("***QorLeApi:QorGattConnect not registered\n");
        return ERROR_INVALID_HANDLE;
    }
    ConnectRequest req{};
    DWORD status = Prepare(hReg, pAddress, bWait, req);
    if (status != ERROR_SUCCESS)
        return status;

    uint8_t bda[kBdaSize];
    BdaFromAddress(req.address, bda);
    if (!GATT_Connect(req.gatt_if, bda, kDirect)) {
        LeTrace("***QorLeApi:QorGattConnect GATT_Connect failed\n");
        if (req.wait_event)
            EndConnectWait(req.app, req.wait_event, req.address);
        return ERROR_INTERNAL_ERROR;
    }
    if (!req.wait_event) {
        LeTrace("***QorLeApi:QorGattConnect GATT_Connect not waiting result success\n");
        return static_cast<DWORD>(E_PENDING);
    }

    // Any connection change of the interface wakes the wait: the list decides.
    DWORD waited = WaitForSingleObject(req.wait_event, kConnectWaitMs);
    if (EndConnectWait(req.app, req.wait_event, req.address)) {
        LeTrace("***QorLeApi:QorGattConnect GATT_Connect success\n");
        return ERROR_SUCCESS;
    }
    LeTrace("***QorLeApi:QorGattConnect after GATT_Connect not connected\n");
    GATT_CancelConnect(req.gatt_if, bda, kDirect);
    return waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_INTERNAL_ERROR;
}

} // namespace

extern "C" DWORD WINAPI QorGattConnect(HQORREG hReg, PLE_ADDRESS pAddress, DWORD bWait)
{
    constexpr ExportDecl kConnect = QOR_EXPORT(QorGattConnect);
    return RunExport(kConnect, [&] { return Connect(hReg, pAddress, bWait); });
}
