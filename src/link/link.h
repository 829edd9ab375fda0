#pragma once
// The driver link: the process-wide channel to the kernel driver, the gatt_if
// registry, the connection table, the event reader, the client operation gate
// and the client requests. Everything here speaks driver-side numbers.

#include <windows.h>

#include <cstdint>

#include "zorerova.h"

constexpr int kMaxGattIf = 16;
constexpr int kMaxConnections = 200;
constexpr uint16_t kConnIdDown = 0xFFFF;
constexpr int kReadSlots = 20;

inline bool IsGattIf(uint8_t gatt_if) { return gatt_if >= 1 && gatt_if <= kMaxGattIf; }

// ---- address printing: the six bytes as "%08x%04x" ----
inline uint32_t BdaHigh(const uint8_t *bda)
{
    return static_cast<uint32_t>(bda[0]) << 24 | static_cast<uint32_t>(bda[1]) << 16 |
           static_cast<uint32_t>(bda[2]) << 8 | bda[3];
}
inline uint32_t BdaLow(const uint8_t *bda) { return static_cast<uint32_t>(bda[4]) << 8 | bda[5]; }

// driver_status values of the client requests.
constexpr uint8_t kDriverAccepted = 0;
constexpr uint8_t kDriverRefused = 1;
constexpr uint8_t kDriverNotOpen = 10;
constexpr uint8_t kDriverValueTooLong = 13;   // indication and notification

struct gatt_callbacks {
    void (*on_connected)(uint8_t gatt_if, const uint8_t *bda, uint16_t conn_id, uint8_t connected);
    void (*on_complete)(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload);
    void (*on_disc_result)(uint16_t conn_id, uint8_t disc_type, const ZrDiscResult *result);
    void (*on_disc_complete)(uint16_t conn_id, uint8_t disc_type, uint8_t status);
    void (*on_request)(uint16_t conn_id, uint32_t trans_id, uint8_t req_type, const ZrRequestPayload *payload);
};

struct gatt_if_record {
    LeUuid app;
    uint8_t gatt_if;                 // 0: free; otherwise index + 1
    gatt_callbacks callbacks;
    uint32_t generation;             // the opening of the channel the number was handed out on
};

struct conn_record {
    uint8_t bd_addr[6];
    uint16_t conn_id;                // the index while connected, 0xFFFF after a disconnection
    uint16_t op;                     // client operation in progress, 0 for none
    uint8_t op_gatt_if;              // who started the current or most recent operation
    uint8_t connected;
    HANDLE op_done;                  // manual-reset; signalled whenever op returns to 0
    CRITICAL_SECTION lock;           // guards op and op_gatt_if
};

struct gatts_service_record {
    uint16_t s_handle;
    uint16_t e_handle;
    uint8_t gatt_if;
    gatts_service_record *next;
};

// Starts a thread that holds a reference on this module while it runs and
// drops it with FreeLibraryAndExitThread as it ends. Null (last error set) when
// it could not start.
HANDLE StartModuleThread(LPTHREAD_START_ROUTINE routine, void *arg, DWORD *thread_id = nullptr);

// ---- channel and registry ----
extern gatt_if_record gatt_if_table[kMaxGattIf];
extern conn_record conn_table[kMaxConnections];
extern gatts_service_record *volatile gatts_service_list;

HANDLE LinkDeviceHandle();           // INVALID_HANDLE_VALUE while the channel is closed

// Every opening of the channel has its own generation, never 0. A holder keeps
// the generation GATT_Register gave with its gatt_if: the same number handed out
// on a later opening is somebody else's, and GATT_Deregister refuses it. 0 as
// the generation means the current one.
uint8_t GATT_Register(const LeUuid *app, const gatt_callbacks *callbacks, uint32_t *generation = nullptr);
void GATT_Deregister(uint8_t gatt_if, uint32_t generation = 0);
// The generation a gatt_if in use was handed out on; 0 when it is free.
uint32_t GATT_Generation(uint8_t gatt_if);
void GATT_DeregisterAll(bool notify_driver);
bool alloc_gatt_if(const LeUuid *app, const gatt_callbacks *callbacks, uint8_t *gatt_if);

// ---- one control request on the channel ----
enum class LinkIo { Done, NotOpen, NoEvent, Refused };
// Sends one control request and counts only an immediate success. The event is
// created and closed here; *returned receives the bytes returned. A request the
// driver leaves pending is cancelled and collected before this returns (it counts
// as Refused, GetLastError() == ERROR_IO_PENDING). On Refused the last error is
// the request's.
LinkIo LinkControl(uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len, DWORD *returned);

// ---- reader and dispatch ----
DWORD WINAPI ReadWorker(LPVOID startup_event);
// Records often come in runs. A consumer that hands them to threads of its own
// may defer their wakes while the reader still has completed reads to take: the
// reader calls this hook before it waits for the driver, after every
// kWakeBatch records and at its end, so a record is never held back while the
// reader has nothing else to do. One hook for the process; any thread sets it.
constexpr int kWakeBatch = 20;
void SetReaderWakeHook(void (*hook)());
// True on the reader thread until its end (where nothing defers any more).
bool OnReaderThread();
void DispatchEvent(const ZrEvent *event);
void ConnectedCallback(const uint8_t *bda, uint16_t conn_id, uint8_t connected);
void CompleteCallback(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload);
void RequestCallback(uint16_t conn_id, uint32_t trans_id, uint8_t req_type, const ZrRequestPayload *payload);

// ---- discovery engine ----
const char *DiscTypeName(uint8_t type);   // the trace name of a discovery type
void DiscoveryResult(uint16_t conn_id, uint8_t disc_type, const ZrDiscResult *result);
void DiscoveryComplete(uint16_t conn_id, uint8_t disc_type, uint8_t status);
void DiscoverClientCompleteCallback(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload);
void ClientDiscoverComplete(uint16_t conn_id, uint8_t status);
// The walk runs on one connection: only that connection's discovery events and
// read completions belong to it.
// The owner is the gatt_if that starts the walk; it always hears the end.
void DiscoveryBegin(uint16_t conn_id, uint8_t owner);
// True from DiscoveryBegin until the walk's list is no longer in use: the end
// of the walk has been stored (DiscoveryListDone) or told to the owner.
bool DiscoveryRunning();
void DiscoveryListDone();
// True while the walk reads descriptor values on that connection.
bool DiscoveryTakesRead(uint16_t conn_id);
// Forgets a walk whose start failed.
void DiscoveryAbandon();
// Ends a walk whose channel closes under it: the owner hears of a failure.
void DiscoveryCutOff();

// ---- client operation gate ----
bool ClientEnterOp(uint8_t gatt_if, uint16_t conn_id, uint8_t op);   // true: not entered
void ClientExitOp(uint16_t conn_id);
// Opens the gate of a record whose lock the caller holds: op back to 0 and the
// waiters woken. A record's lock is initialised at load time and its op_done,
// once created, is never closed: a link going down signals it, so a waiter
// wakes, finds the link gone and fails.
void ClientGateOpenLocked(conn_record &rec);

// ---- client requests ----
uint8_t GATT_Connect(uint8_t gatt_if, const uint8_t *bda, uint8_t direct);
uint8_t GATT_CancelConnect(uint8_t gatt_if, const uint8_t *bda, uint8_t direct);
uint8_t GATTC_Discover(uint16_t conn_id, uint8_t type, const disc_param *param);
uint8_t GATTC_Read(uint16_t conn_id, uint8_t type, const read_param *param);
uint8_t GATTCIf_Discover(uint8_t gatt_if, uint16_t conn_id, const disc_param *param);
uint8_t GATTCIf_Read(uint8_t gatt_if, uint16_t conn_id, uint8_t type, const read_param *param);
uint8_t GATTCIf_Write(uint8_t gatt_if, uint16_t conn_id, uint8_t type, const LeAttrValue *value);
uint8_t GATTCIf_SendHandleValueConfirm(uint8_t gatt_if, uint16_t conn_id, uint16_t handle);

// ---- server requests ----
// Results of GATTS_StartService.
constexpr uint8_t kStartStarted = 0;
constexpr uint8_t kStartNotOpen = 1;
constexpr uint8_t kStartNoEvent = 17;
constexpr uint8_t kStartRefused = 135;

// The handle requests give the driver's 16-bit handle, 0 unless the driver
// answered at once with exactly two bytes. A created service is appended to
// gatts_service_list (never removed).
uint16_t GATTS_CreateService(uint8_t gatt_if, const LeUuid *uuid, uint16_t instance, uint16_t num_handles,
                             uint8_t flag);
uint16_t GATTS_AddIncludeService(uint16_t service, uint16_t included);
uint16_t GATTS_AddCharacteristic(uint16_t service, const LeUuid *uuid, uint16_t perm, uint8_t property);
uint16_t GATTS_AddCharDescritptor(uint16_t service, uint16_t perm, const LeUuid *uuid, const uint8_t *block);
uint8_t GATTS_DeleteService(uint8_t gatt_if, const LeUuid *uuid, uint16_t instance);   // 1 deleted
uint8_t GATTS_StartService(uint8_t gatt_if, uint16_t s_handle, uint8_t transport);
uint8_t GATTS_HandleValueIndication(uint16_t conn_id, uint16_t attr_handle, uint16_t val_len, const uint8_t *value);
uint8_t GATTS_HandleValueNotification(uint16_t conn_id, uint16_t attr_handle, uint16_t val_len,
                                      const uint8_t *value);
uint8_t GATTS_SendRsp(uint16_t conn_id, uint32_t trans_id, uint8_t status, const LeAttrValue *response);
