#pragma once
// Application registrations: the QOR_APP_REG object with its callback thread,
// the records queued for that thread, and the lookups the exports share.

#include <windows.h>

#include <cstdint>

#include "QorLeLib.h"
#include "api/api_state.h"
#include "api/records.h"
#include "link/link.h"

// ---- records for a registration's callback thread ----
enum : uint32_t {
    kCallbackConnect = 0,
    kCallbackComplete = 1,
    kCallbackAttribute = 2,
};

struct LeConnectRecord {
    LE_ADDRESS Address;
    DWORD Connected;                 // 1 connected, 0 disconnected
};

struct LeCompleteRecord {
    DWORD Status;                    // Windows error code
    LE_VALUE Value;
};

struct LeAttributeRecord {
    GUID ServiceGuid;
    DWORD ServiceInstance;
    GUID CharGuid;
    DWORD CharInstance;
    GUID DescrGuid;                  // all zero: the event concerns the characteristic itself
    DWORD Extra;                     // auth_req of a notification or indication, 0 for requests
    DWORD EventType;                 // QOR_EVENT_*
    LE_VALUE Value;
    DWORD NeedResponse;              // write requests: the request's need-response flag
    // What the answer names: the connection the event came on, the attribute
    // handle it concerns and, for requests, the transaction id.
    uint16_t ConnId;
    uint16_t Handle;
    uint32_t TransId;
};

struct LeCallback {
    LeCallback *pNext;
    uint32_t type;                   // kCallback*
    union {
        ULONGLONG Context;           // connect: the registration's Context; complete: the operation's
        LE_ADDRESS Device;           // attribute event: the device
    };
    union {
        LeConnectRecord connect;
        LeCompleteRecord complete;
        LeAttributeRecord attribute;
    };
};

// A zeroed record of that type, or null when memory is short. Records are
// recycled, so producing one on the reader thread does not touch the heap once
// the pool has grown.
LeCallback *NewCallback(uint32_t type);
void FreeCallback(LeCallback *record);
// Frees the spare records (unload).
void ReleaseCallbackPool();

// ---- the registration ----
class QOR_APP_REG {
public:
    // Creates the events and starts the callback thread, waiting up to 10 s for
    // it. Without its events or thread the registration is inert: Running() is
    // false.
    QOR_APP_REG();
    // Closes the events and frees records nobody will deliver, and whatever is
    // left of its local service table.
    virtual ~QOR_APP_REG();
    QOR_APP_REG(const QOR_APP_REG &) = delete;
    QOR_APP_REG &operator=(const QOR_APP_REG &) = delete;

    bool Running() const { return hThread != nullptr; }
    // The thread exists but did not signal its start in time: it still owns the
    // registration and destroys it once told to stop.
    bool StartMissed() const { return start_missed; }

    QOR_APP_REG *pNext = nullptr;
    LE_ADDRESS Address{};            // device filter; 0 accepts every device
    GUID AppGuid{};
    PFN_LE_CONNECT_CALLBACK pfnConnect = nullptr;
    PFN_LE_COMPLETE_CALLBACK pfnComplete = nullptr;
    PFN_LE_ATTRIBUTE_CALLBACK pfnAttribute = nullptr;
    PVOID Context = nullptr;         // handed back to pfnConnect
    uint8_t gatt_if = 0;             // 0: none
    HANDLE hConnectEvent = nullptr;  // set while a waiting connect runs
    LeService *pServices = nullptr;     // local service table
    HANDLE hQueueEvent = nullptr;    // auto-reset, once per wake of the thread
    HANDLE hThread = nullptr;
    HANDLE hShutdownEvent = nullptr; // manual-reset: stop once the queue is empty
    HANDLE hStartedEvent = nullptr;  // manual-reset, set by the thread first thing
    LeCallback *pCallbackHead = nullptr;
    LeCallback *pCallbackTail = nullptr;   // last queued record, valid while pCallbackHead is set
    uint32_t link_generation = 0;    // the channel opening gatt_if was handed out on
    bool retiring = false;           // deregistered: it stays listed only until its thread ends
    bool wake_due = false;           // a record waits for a wake deferred on the reader thread
    bool start_missed = false;
};

// True when the registration's device filter takes the address: it has none
// (Address 0) or names that device.
inline bool AcceptsDevice(const QOR_APP_REG *app, ULONGLONG address)
{
    return app->Address.ullLong == 0 || app->Address.ullLong == address;
}

// True when hReg is a registration in the list. Takes ApiLock (recursively).
bool IsAppRegistered(HQORREG hReg);
// True when the registration's gatt_if belongs to the channel as it is open
// now. One handed out on an earlier opening is no interface any more: the same
// number may be another registration's. ApiLock held.
bool InterfaceCurrent(const QOR_APP_REG *app);
// True when the registration's number from an earlier opening is in use again,
// by somebody else. ApiLock held.
inline bool InterfaceTakenOver(const QOR_APP_REG *app)
{
    return !InterfaceCurrent(app) && GATT_Generation(app->gatt_if) != 0;
}
// A listed registration with a current interface. Takes ApiLock.
bool IsAppRegisteredWithInterface(HQORREG hReg);
// Appends the record to the registration's queue and wakes its thread, if it
// may be waiting. On the reader thread the wake is deferred to the reader's
// wake hook, so a run of records wakes the thread once. The caller holds
// ApiLock.
void QueueCallback(QOR_APP_REG *app, LeCallback *record);
// Delivers the registration's records in order; at shutdown unlinks and
// destroys the registration. Exit code 1.
DWORD WINAPI CallbackThread(LPVOID param);

// The table handed to the driver link for every registration.
extern const gatt_callbacks ApiCallbacks;
