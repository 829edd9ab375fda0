/*
 * Inner workings of the virtual ZOREROVA controller. One spin lock guards all
 * of the state below; IRPs are completed only after it has been released.
 */
#ifndef ZOREROVA_VDRIVER_H
#define ZOREROVA_VDRIVER_H

#include <ntddk.h>
#include "vctl.h"

#define ZR_POOL_TAG 0x5A72765A /* "ZvrZ" */
#define ZR_QUEUE_CAPACITY 4096   /* events a channel holds while no read is pending */
#define ZR_MAX_FAULTS 32
#define ZR_MAX_DEVICES 16
#define ZR_MAX_ATTRS 4096

/* What a pended IRP waits for; kept in Tail.Overlay.DriverContext[0]. */
enum PendKind { PEND_READ = 1, PEND_PARKED = 2, PEND_WAIT = 3, PEND_STUCK = 4 };

/* One open of the device. */
typedef struct Channel {
    LIST_ENTRY link;
    FILE_OBJECT *file;
    ULONG id;
    BOOLEAN registered;
    LIST_ENTRY reads;          /* pending read-event IRPs, oldest first */
    LIST_ENTRY parked;         /* requests a fault left pending */
    ULONG pending_reads;
    ZrEvent *queue;            /* ring of ZR_QUEUE_CAPACITY records */
    ULONG queue_head;
    ULONG queue_count;
    ULONG overflow;
    ULONG delivered;
    ULONG reads_cancelled;
} Channel;

typedef VctlFault Fault;

typedef struct RemoteAttr {
    VctlAttr hdr;
    UCHAR value[LE_MAX_VALUE];
} RemoteAttr;

/*
 * What a simulated device saw (peer.c). The rings of `seen` are indexed by
 * their counters modulo VCTL_CENTRAL_KEEP; VCTL_GET_CENTRAL puts them in order.
 */
typedef struct PeerState {
    VctlCentral seen;
    ULONG tx_requester[VCTL_CENTRAL_KEEP]; /* loopback: channel id of the client, 0 for the test */
    USHORT ind_handle;         /* the outstanding indication of a peripheral */
    ULONG ind_sender;          /* loopback: channel id awaiting a confirmation, 0 for none */
} PeerState;

/* A simulated remote GATT server, or a central. */
typedef struct RemoteDevice {
    UCHAR bda[6];
    ULONG flags;
    BOOLEAN connected;
    BOOLEAN connect_pending;   /* without auto-connect: waits for VCTL_ADVERTISE */
    USHORT conn_id;
    PeerState peer;
    ULONG cancels;             /* cancel-connect requests for this device */
    ULONG attr_count;
    RemoteAttr attrs[1];       /* attr_count records */
} RemoteDevice;

typedef struct DriverState {
    KSPIN_LOCK lock;
    DEVICE_OBJECT *device;
    LIST_ENTRY channels;       /* open channels, ascending id */
    ULONG next_id;
    ULONG opens;
    ULONG refused_opens;
    ULONG generation;
    ULONG last_requester;      /* channel id of the latest contract request */
    LIST_ENTRY waiters;        /* pending VCTL_WAIT_CHANGE requests */
    Fault faults[ZR_MAX_FAULTS];
    ULONG fault_count;
    Fault refuse_open;
    VctlLogEntry *log;         /* ring of VCTL_LOG_CAPACITY entries */
    ULONG log_total;
    VctlChannelStats closed[VCTL_MAX_CHANNELS]; /* channels closed since reset */
    ULONG closed_count;
    RemoteDevice *devices[ZR_MAX_DEVICES];
    ULONG next_trans_id;       /* of central transactions */
    ULONG held_count;          /* events held by VCTL_FAULT_HOLD_EVENT */
    ULONG held_channel[VCTL_MAX_HELD];
    ZrEvent held[VCTL_MAX_HELD];
} DriverState;

extern DriverState g_zr;

/*
 * Work gathered under the lock: IRPs to complete once it is released, and
 * whether anything the statistics show has changed.
 */
typedef struct Work {
    KIRQL irql;
    BOOLEAN changed;
    LIST_ENTRY done;
} Work;

void Lock(Work *w);
void Unlock(Work *w);          /* releases the lock, then completes w->done */
void FinishIrp(Work *w, IRP *irp, NTSTATUS status, ULONG_PTR info);
NTSTATUS CompleteNow(IRP *irp, NTSTATUS status, ULONG_PTR info);

/* ---- channels (channel.c) ---- */
Channel *ChannelOf(IRP *irp);
Channel *FindChannel(ULONG id);
Channel *NewestRegistered(void);
BOOLEAN AnyRegistered(void);
/* Pends irp on list; FALSE when it was cancelled already (caller completes it). */
BOOLEAN PendLocked(IRP *irp, LIST_ENTRY *list, ULONG kind, Channel *ch);
/* Leaves a request pending for a PEND or PEND_STUCK fault; FALSE as PendLocked. */
BOOLEAN ParkLocked(IRP *irp, Channel *ch, ULONG fault_kind);
/* Removes the oldest pended IRP that can still be completed, or NULL. */
IRP *TakeIrpLocked(LIST_ENTRY *list);
void CancelAllLocked(Work *w, LIST_ENTRY *list);
void DeliverLocked(Work *w, Channel *ch, const ZrEvent *ev);
void DeliverRegisteredLocked(Work *w, const ZrEvent *ev);
void RouteLocked(Work *w, const ZrEvent *ev);
Channel *RequesterLocked(void);
NTSTATUS ReadEvent(IRP *irp, Channel *ch);
NTSTATUS OpenChannel(IRP *irp);
NTSTATUS CloseChannel(IRP *irp);
void FillStatsLocked(VctlStats *stats);
void ResetChannelsLocked(Work *w);

/* ---- contract requests (contract.c) ---- */
/* The row of a table whose rows begin with their ULONG control code; NULL when none has it. */
const void *FindCodeRow(const void *rows, ULONG count, ULONG row_size, ULONG code);
BOOLEAN IsContractCode(ULONG code);
/* The first armed fault for this code, once its skips are used up; NULL lets the request through. */
const Fault *TakeFaultLocked(ULONG code, Fault *taken);
NTSTATUS ContractRequest(IRP *irp, Channel *ch);

/* ---- test control (control.c) ---- */
/* One test-control request, its sizes checked against the control table
 * before its handler runs. */
typedef struct ControlIo {
    IRP *irp;
    Channel *ch;
    ULONG code;
    void *buffer;
    ULONG in_len;
    ULONG out_room;
} ControlIo;

NTSTATUS ControlRequest(IRP *irp, Channel *ch);

/* ---- simulated remote devices (remote.c) ---- */
typedef struct Request {
    Channel *ch;
    ULONG code;
    const UCHAR *in;
    ULONG in_len;
    UCHAR out[VCTL_LOG_MAX_OUT];
    ULONG out_len;
    BOOLEAN refused;           /* the answer carries a non-zero result byte: no effect */
    BOOLEAN has_event_status;
    UCHAR event_status;
    ULONG event_fault;         /* VCTL_FAULT_HOLD_EVENT, _DROP_EVENT, _DROP_LINK or 0 */
    struct RemoteDevice *peer; /* the simulated device the request reached, if any */
    Work *work;
} Request;

NTSTATUS RemoteConnect(Request *r);
NTSTATUS RemoteCancelConnect(Request *r);
NTSTATUS RemoteDiscover(Request *r);
NTSTATUS RemoteRead(Request *r);
NTSTATUS RemoteWrite(Request *r);
void RemoteDisconnectAllLocked(void);
RemoteDevice *RemoteByAddressLocked(const UCHAR bda[6]);
RemoteDevice *RemoteByConnIdLocked(USHORT conn_id);
RemoteAttr *RemoteAttrLocked(RemoteDevice *d, USHORT handle);
void RemoteLinkDownLocked(Work *w, RemoteDevice *d);

/* ---- peers: value pushes, centrals, confirmations, event faults (peer.c) ---- */
/* Delivers an event the request produced to `to`, unless a fault holds or drops it. */
void ProduceLocked(Request *r, Channel *to, const ZrEvent *ev);
void AfterRequestLocked(Request *r);  /* the link-dropping fault */
BOOLEAN LoopbackRequest(Request *r, RemoteDevice *d, UCHAR kind, USHORT handle, const LeAttrValue *value,
                        UCHAR need_rsp);
NTSTATUS PeerConfirm(Request *r);
NTSTATUS PeerIndication(Request *r);
NTSTATUS PeerNotification(Request *r);
NTSTATUS PeerSendRsp(Request *r);
NTSTATUS PeerRemoteNotify(ControlIo *io);
NTSTATUS PeerCentralRequest(ControlIo *io);
NTSTATUS PeerGetCentral(ControlIo *io);
NTSTATUS PeerReleaseHeld(ControlIo *io);
void PeerResetLocked(void);
void RemoteClearLocked(RemoteDevice **freed, ULONG *count);
NTSTATUS RemoteAddDevice(ControlIo *io);
NTSTATUS RemoteRemoveDevice(ControlIo *io);
NTSTATUS RemoteGetAttr(ControlIo *io);
NTSTATUS RemoteChangeLink(ControlIo *io);
NTSTATUS RemoteGetDevice(ControlIo *io);

/* ---- the local attribute database (localdb.c) ---- */
NTSTATUS LocalDbInit(void);
void LocalDbFree(void);
void LocalDbResetLocked(void);
NTSTATUS LocalCreateService(Request *r);
NTSTATUS LocalAddInclude(Request *r);
NTSTATUS LocalAddChar(Request *r);
NTSTATUS LocalAddDescr(Request *r);
NTSTATUS LocalDeleteService(Request *r);
NTSTATUS LocalStartService(Request *r);
const VctlLocalAttr *LocalAttrLocked(USHORT handle);
ULONG LocalOwnerLocked(USHORT handle);
/* The value of a declaration (service, include, characteristic), which the
 * controller holds and answers itself: FALSE for the attributes whose value
 * their owner keeps. `value` has room for LE_MAX_VALUE bytes. */
BOOLEAN LocalDeclarationLocked(const VctlLocalAttr *a, UCHAR *value, USHORT *len);   /* channel id of the service holding the handle, 0 if none */
void DropServicesOfLocked(ULONG channel_id);
NTSTATUS LocalDbQuery(ControlIo *io);

/* ---- the air capture (capture.c) ---- */
#define ATT_OP_READ_REQ 0x0A
#define ATT_OP_WRITE_REQ 0x12
#define ATT_OP_NOTIFY 0x1B
#define ATT_OP_INDICATE 0x1D
#define ATT_OP_CONFIRM 0x1E
#define ATT_OP_WRITE_CMD 0x52
#define HCI_REMOTE_TERMINATED 0x13
#define HCI_LINK_TIMEOUT 0x08
#define HCI_LOCAL_TERMINATED 0x16
NTSTATUS CaptureInit(void);
void CaptureFree(void);
/* direction: VCTL_CAPTURE_SENT or _RECEIVED, as the local host sees the PDU. */
void CaptureHandleValueLocked(USHORT conn_id, UCHAR direction, UCHAR opcode, USHORT handle, const UCHAR *value,
                              ULONG len);
void CaptureConfirmLocked(USHORT conn_id, UCHAR direction);
void CaptureErrorLocked(USHORT conn_id, UCHAR direction, UCHAR request, USHORT handle, UCHAR code);
/* The answer to a read or write request: its response, or an Error Response with a non-zero status. */
void CaptureOutcomeLocked(USHORT conn_id, UCHAR direction, UCHAR request, USHORT handle, UCHAR status,
                          const UCHAR *value, ULONG len);
void CaptureLinkUpLocked(const RemoteDevice *d);
void CaptureLinkDownLocked(const RemoteDevice *d, UCHAR reason);
/* The procedure of a discover request answered from the device's database; a non-zero status ends it at once. */
void CaptureDiscoveryLocked(const RemoteDevice *d, const ZrDiscoverReq *req, UCHAR status);
NTSTATUS CaptureRead(ControlIo *io);
NTSTATUS CaptureSet(ControlIo *io);
/* A UUID in the byte order of the air; its length. */
USHORT PutAirUuid(const LeUuid *uuid, UCHAR *out);

void *ZrAlloc(SIZE_T size);
void ZrFree(void *p);

#endif
