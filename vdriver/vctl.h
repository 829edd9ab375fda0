/*
 * Test-control interface of the virtual ZOREROVA controller. It is served on
 * the same device as the driver contract, with function numbers the contract
 * never uses (0x900 and up). Only tests, benchmarks and the demo use it; the
 * library never does. Valid C and C++.
 *
 * How the controller behaves:
 * - Every open is a channel with an id that is never reused. Requests of the
 *   contract are checked for their exact input size (STATUS_INVALID_PARAMETER)
 *   and output room (STATUS_BUFFER_TOO_SMALL) and answered at once, except the
 *   read event, which pends until an event arrives for its channel. Closing a
 *   channel completes its pending requests as cancelled.
 * - Routing of posted events (VCTL_CHANNEL_ROUTE) and of the events the
 *   controller makes itself: connections to every registered channel;
 *   completions and discovery events to the channel of the latest contract
 *   request (else the newest registered one); remote requests (0xF9) to the
 *   channel whose local service holds the handle (else the newest registered).
 *   A post to a channel id that is not open fails with STATUS_NOT_FOUND.
 * - Faults armed for the read-event code apply to each read when it arrives:
 *   STATUS completes it at once with that status; PEND and PEND_STUCK keep it
 *   away from events; SHORT_OUTPUT lets it take its event as usual but return
 *   only `param` bytes of it; the other kinds change nothing. VCTL_FAIL_READ
 *   fails a read that is already pending.
 * - Reset clears the log, faults, devices, local services, queued events and
 *   per-channel counters, completes requests left pending by faults, and drops
 *   closed channels from the statistics; open channels, their pending reads and
 *   their registration stay.
 * - Under Wine the handle exists before the driver sees the open, so an open
 *   refused by VCTL_FAULT_REFUSE_OPEN still yields a handle: every request on it
 *   fails with STATUS_INVALID_HANDLE (ERROR_INVALID_HANDLE).
 * - Simulated devices answer only for their own address or connection:
 *   connect (auto-connect: a connection event with the lowest free conn_id;
 *   refuse: STATUS_DEVICE_NOT_CONNECTED; already connected: nothing), discover
 *   (result records, then one complete), read (completion op 2 with the read
 *   status and, when 0, the value; unknown handle 0x01) and write (the value is
 *   stored when the write status is 0; completion op 3 with that status, 0 for
 *   a write without response; nothing when a fault makes the result byte
 *   non-zero). VCTL_FAULT_EVENT_STATUS replaces the status of the produced
 *   completion or discovery complete (a failed discovery sends no results).
 *   Requests for other addresses or connections are accepted and left for the
 *   test to answer. When the last registered channel goes (deregister or
 *   close), every simulated link is dropped without events.
 * - Value pushes of a simulated peripheral (VCTL_REMOTE_NOTIFY): completions of
 *   op 5 (notification) or 6 (indication) on its connection, routed like other
 *   completions. An indication stays outstanding until a confirmation request
 *   for that connection arrives; confirmations are counted as good (for the
 *   outstanding indication's handle), wrong-handle, or unexpected (none
 *   outstanding).
 * - A simulated central (VCTL_DEV_CENTRAL, no attributes) only connects to us
 *   (VCTL_SET_LINK). VCTL_CENTRAL_REQUEST posts its read or write of a local
 *   handle to the channel that owns the handle and records the transaction;
 *   handles of services that are not started, or deleted, are refused
 *   (STATUS_DEVICE_NOT_READY, STATUS_NOT_FOUND). A response on its connection
 *   is accepted (result byte 0) only for an outstanding transaction, else it
 *   gets result byte 1; status, value and duplicate answers are recorded.
 *   Notifications and indications sent on its connection are recorded; an
 *   indication is confirmed at once (op 7 to the sender) with the central's
 *   confirm status, or never (VCTL_DEV_NEVER_CONFIRM). Responses, values and
 *   confirmations for any other connection are accepted as before.
 * - A loopback central (VCTL_DEV_LOOPBACK) joins two channels, for two
 *   processes: the client connects to it like a peripheral; its reads and
 *   writes become transactions posted to the owner of the local handle, whose
 *   response completes the read (op 2) or write (op 3) of the client. Values
 *   pushed on its connection go as op 5/6 to every other registered channel,
 *   and a confirmation request from one of them ends the indication with op 7
 *   to the sender.
 * - Event faults (kinds 7 to 9) act on what a matched request produces: hold
 *   the events until VCTL_RELEASE_HELD, drop them, or drop the link of the
 *   request's device right after the request (a disconnection event to every
 *   registered channel, after the request's own events).
 * - A device without auto-connect keeps a connect request pending (it is
 *   "connecting"); a cancel-connect request for its address clears that and is
 *   counted. VCTL_ADVERTISE brings its link up only while a connect is pending,
 *   as a device coming into range would; otherwise it does nothing. The
 *   controller has no timers: when a device comes, the test decides.
 */
#ifndef ZOREROVA_VCTL_H
#define ZOREROVA_VCTL_H

#include "../src/link/zorerova.h"

#define VCTL_RESET          ZOREROVA_CODE(0x900) /* in: none */
#define VCTL_POST_EVENT     ZOREROVA_CODE(0x901) /* in: VctlPostEvent */
#define VCTL_ARM_FAULT      ZOREROVA_CODE(0x902) /* in: VctlFault */
#define VCTL_GET_LOG        ZOREROVA_CODE(0x903) /* in: VctlLogQuery; out: VctlLogHeader + entries */
#define VCTL_GET_STATS      ZOREROVA_CODE(0x904) /* out: VctlStats */
#define VCTL_FAIL_READ      ZOREROVA_CODE(0x905) /* in: VctlFailRead */
#define VCTL_WAIT_CHANGE    ZOREROVA_CODE(0x906) /* in: uint32 generation; out: uint32 generation.
                                                    Pends until the statistics generation differs. */
#define VCTL_WHOAMI         ZOREROVA_CODE(0x907) /* out: uint32 id of the calling channel */
#define VCTL_ADD_DEVICE     ZOREROVA_CODE(0x910) /* in: VctlDevice + VctlAttr records */
#define VCTL_REMOVE_DEVICE  ZOREROVA_CODE(0x911) /* in: VctlAddress */
#define VCTL_SET_LINK       ZOREROVA_CODE(0x912) /* in: VctlLink */
#define VCTL_GET_ATTR       ZOREROVA_CODE(0x913) /* in: VctlAttrQuery; out: VctlAttr (+ value) */
/* Link up under a given conn_id (VCTL_CONN_ID_LOWEST: the lowest no other
   connected device uses), announced even when the device was connected
   already: a reconnection whose drop nobody saw. */
#define VCTL_LINK_UP        ZOREROVA_CODE(0x920) /* in: VctlLinkUp */
/* The device advertises: link up (lowest free conn_id) if a connect is pending. */
#define VCTL_ADVERTISE      ZOREROVA_CODE(0x921) /* in: VctlAddress */
#define VCTL_GET_DEVICE     ZOREROVA_CODE(0x922) /* in: VctlAddress; out: VctlDeviceState */
/* The device's link goes down without a disconnection event (a lost
 * disconnection): its conn_id is free for the next link to come up. */
#define VCTL_LOSE_LINK      ZOREROVA_CODE(0x958) /* in: VctlAddress */
/* Peers: value pushes, centrals, held events (see the notes at the top). */
#define VCTL_REMOTE_NOTIFY  ZOREROVA_CODE(0x940) /* in: VctlNotify */
#define VCTL_CENTRAL_REQUEST ZOREROVA_CODE(0x941) /* in: VctlCentralRequest; out: uint32 trans_id */
#define VCTL_GET_CENTRAL    ZOREROVA_CODE(0x942) /* in: VctlAddress; out: VctlCentral */
#define VCTL_RELEASE_HELD   ZOREROVA_CODE(0x943) /* out: uint32 events released to their channels */

/*
 * The air capture: what the simulated links would carry, recorded as the
 * controller's devices act, for a packet capture (qorgatt sim capture).
 * - Per link (its connection handle: the conn_id, 12 bits) the ATT PDUs of
 *   every exchange a simulated peripheral, central or loopback device takes
 *   part in, and the link's LE Connection Complete and Disconnection Complete
 *   HCI events. Each link starts with an MTU exchange to VCTL_CAPTURE_MTU, so
 *   every PDU fits. Discovery is recorded as the procedure a client would
 *   run: requests from the start of the range, each answered with as many
 *   entries as fit, until the Error Response "attribute not found" (or the
 *   range's end). A refusal is an Error Response with the device's status as
 *   the ATT error code. Events posted by the test (VCTL_POST_EVENT) are none;
 *   what an event fault holds back or drops was on the air all the same.
 * - Direction: SENT is from the local host (the library's side) to the air,
 *   RECEIVED from the air to the local host. A loopback device's link is
 *   recorded as its client process sees it.
 * - Disconnection reasons: 0x13 when the device or the test ends the link,
 *   0x08 (timeout) for a lost link, 0x16 when the last registration goes.
 * - A ring of VCTL_CAPTURE_CAPACITY records: when it is full the newest
 *   overwrite the oldest, and `lost` counts them. Records are numbered from
 *   the driver's start; VCTL_RESET leaves the capture alone, so one capture
 *   may span a whole test run. VCTL_CAPTURE_SET turns recording on or off
 *   (on when the driver starts) and may drop what is kept.
 * - Times are performance counter ticks (`frequency` per second) of the
 *   machine's monotonic clock, the one QueryPerformanceCounter reads.
 */
#define VCTL_CAPTURE_READ   ZOREROVA_CODE(0x970) /* in: VctlCaptureQuery; out: VctlCaptureHeader + records */
#define VCTL_CAPTURE_SET    ZOREROVA_CODE(0x971) /* in: VctlCaptureSet */
#define VCTL_CAPTURE_CAPACITY 16384
#define VCTL_CAPTURE_MTU 517
#define VCTL_CAPTURE_MAX_DATA VCTL_CAPTURE_MTU
/* Kinds of records: the H4 packet type they travel as. */
#define VCTL_CAPTURE_ATT   0x02  /* data: an ATT PDU, carried in ACL on L2CAP channel 4 */
#define VCTL_CAPTURE_EVENT 0x04  /* data: an HCI event, code, length and parameters */
#define VCTL_CAPTURE_SENT     0
#define VCTL_CAPTURE_RECEIVED 1

/*
 * The local attribute database: what the service requests of the channels have
 * built, held as a GATT server holds it, one VctlLocalAttr per attribute in
 * handle order.
 * - Handles come from one counter for all channels and are not reused until
 *   reset. Create service reserves s_handle .. s_handle + num_handles (the
 *   declaration and num_handles more). Include, characteristic and descriptor
 *   take the next free handles of the service their request names by its first
 *   handle (else STATUS_NOT_FOUND), and are refused past the service's end
 *   (STATUS_INSUFFICIENT_RESOURCES). An include must name a service.
 * - A characteristic takes two handles, its declaration and then its value,
 *   and the add-characteristic answer is the VALUE handle: that is the handle
 *   remote requests and value pushes carry. The declaration record's `ref`
 *   holds it too.
 * - Start marks the service started. Delete removes the service (with all its
 *   attributes) that the requesting channel created with that gatt_if, uuid
 *   and instance, else STATUS_NOT_FOUND; so two registrations of one process
 *   never delete each other's services. A closing channel's services go with it.
 * - Remote requests (0xF9) are routed to the channel owning the handle.
 * - Declarations are the controller's own, as on a real GATT server: a
 *   central's read of a service, include or characteristic declaration is
 *   answered at once from the database (the transaction gets status 0 and the
 *   value: the service UUID; the included service's first and last handle and
 *   its UUID when 16-bit; the properties, the value handle and the UUID), UUIDs
 *   as on the air, least significant byte first. A write of a declaration gets
 *   status 0x03 (write not permitted). The owner hears of neither.
 * - At most VCTL_LOCAL_CAPACITY attributes in all.
 */
#define VCTL_GET_LOCAL_DB   ZOREROVA_CODE(0x930) /* in: uint32 channel id, 0 for every channel;
                                                    out: VctlLocalDbHeader + VctlLocalAttr records */
#define VCTL_LOCAL_CAPACITY 16384

/* Kinds of local attributes. */
#define VCTL_LOCAL_SERVICE    1
#define VCTL_LOCAL_INCLUDE    2
#define VCTL_LOCAL_CHAR_DECL  3
#define VCTL_LOCAL_CHAR_VALUE 4
#define VCTL_LOCAL_DESCRIPTOR 5

/* Channel selectors of VctlPostEvent and VctlFailRead. */
#define VCTL_CHANNEL_ROUTE   0u           /* route as the controller would */
#define VCTL_CHANNEL_ALL     0xFFFFFFFFu  /* every registered channel */

/* Fault kinds. */
#define VCTL_FAULT_STATUS       1 /* complete the request with NTSTATUS `param` */
#define VCTL_FAULT_PEND         2 /* leave the request pending (until close or reset) */
#define VCTL_FAULT_SHORT_OUTPUT 3 /* succeed, but return only `param` output bytes */
#define VCTL_FAULT_RESULT_BYTE  4 /* succeed with output byte 0 set to `param` */
#define VCTL_FAULT_REFUSE_OPEN  5 /* refuse the next opens with NTSTATUS `param`; `code` ignored */
#define VCTL_FAULT_EVENT_STATUS 6 /* the event the request produces carries status `param` */
#define VCTL_FAULT_HOLD_EVENT   7 /* the events the request produces wait for VCTL_RELEASE_HELD */
#define VCTL_FAULT_DROP_EVENT   8 /* the events the request produces are dropped */
#define VCTL_FAULT_DROP_LINK    9 /* the request's device disconnects right after it */
#define VCTL_FAULT_PEND_STUCK  10 /* leave the request pending and ignore its cancellation (until close or reset) */
#define VCTL_MAX_HELD 16

#define VCTL_MAX_CHANNELS 32
#define VCTL_LOG_CAPACITY 4096
#define VCTL_LOG_MAX_IN 532
#define VCTL_LOG_MAX_OUT 16

/* Device flags. */
#define VCTL_DEV_AUTO_CONNECT  0x1 /* a connect request produces a connection event at once */
#define VCTL_DEV_REFUSE_CONNECT 0x2 /* a connect request is refused (STATUS_DEVICE_NOT_CONNECTED) */
#define VCTL_DEV_CENTRAL        0x4 /* a central: requests come from VCTL_CENTRAL_REQUEST */
#define VCTL_DEV_NEVER_CONFIRM  0x8 /* a central that never confirms an indication */
#define VCTL_DEV_LOOPBACK       0x10 /* a central whose requests come from another channel */
#define VCTL_DEV_CONFIRM_STATUS(s) ((uint32_t)(s) << 8) /* a central's confirmation status */

/* Kinds of VctlNotify and VctlReceived: the completion op they arrive as. */
#define VCTL_KIND_NOTIFICATION 5
#define VCTL_KIND_INDICATION   6
/* Kinds of VctlCentralRequest: the request type of the 0xF9 record. */
#define VCTL_CENTRAL_READ  1
#define VCTL_CENTRAL_WRITE 2
#define VCTL_CENTRAL_KEEP  8   /* transactions and received values a central keeps */

#pragma pack(push, 1)

typedef struct VctlPostEvent {
    uint32_t channel;              /* channel id, VCTL_CHANNEL_ROUTE or VCTL_CHANNEL_ALL */
    uint8_t record[ZOREROVA_EVENT_SIZE];
} VctlPostEvent;

typedef struct VctlFault {
    uint32_t code;                 /* contract control code the fault applies to */
    uint32_t kind;                 /* VCTL_FAULT_* */
    uint32_t count;                /* how many matching requests it applies to */
    uint32_t skip;                 /* matching requests let through before it applies */
    uint32_t param;
} VctlFault;

typedef struct VctlFailRead {
    uint32_t channel;              /* channel id (not ROUTE/ALL) */
    uint32_t status;               /* NTSTATUS for the oldest pending read */
} VctlFailRead;

typedef struct VctlLogQuery {
    uint32_t first;                /* sequence number of the first entry wanted */
} VctlLogQuery;

typedef struct VctlLogHeader {
    uint32_t total;                /* requests logged since reset (sequence of the next) */
    uint32_t count;                /* entries that follow */
} VctlLogHeader;

/* One contract request (read-event requests are not logged: see VctlStats). */
typedef struct VctlLogEntry {
    uint32_t seq;
    uint32_t code;
    uint32_t channel;
    uint32_t status;               /* NTSTATUS the request completed with; STATUS_PENDING if left pending */
    uint32_t in_len;
    uint32_t out_len;              /* output bytes returned */
    uint8_t in[VCTL_LOG_MAX_IN];
    uint8_t out[VCTL_LOG_MAX_OUT];
} VctlLogEntry;

typedef struct VctlChannelStats {
    uint32_t id;                   /* ids grow with every open, never reused */
    uint32_t registered;           /* the register request succeeded and no deregister followed */
    uint32_t pending_reads;
    uint32_t queued_events;        /* events waiting for a read */
    uint32_t overflow;             /* events dropped because the queue was full */
    uint32_t delivered;            /* events completed into reads */
    uint32_t reads_cancelled;
    uint32_t open;                 /* 0 once closed: closed channels stay listed until reset */
} VctlChannelStats;

typedef struct VctlStats {
    uint32_t generation;           /* grows whenever any statistic or the log changes */
    uint32_t opens;                /* opens since load */
    uint32_t refused_opens;
    uint32_t channel_count;        /* open channels and those closed since reset, newest last */
    uint32_t queue_capacity;       /* events a channel can hold before overflow */
    VctlChannelStats channels[VCTL_MAX_CHANNELS];
} VctlStats;

typedef struct VctlAddress {
    uint8_t bda[6];
} VctlAddress;

/* A simulated remote device: header, then attr_count VctlAttr records. */
typedef struct VctlDevice {
    uint8_t bda[6];
    uint32_t flags;                /* VCTL_DEV_* */
    uint32_t attr_count;
} VctlDevice;

/*
 * One attribute of a simulated GATT database, variable length: value_len value
 * bytes follow. Service declarations (type 0x2800/0x2801) carry the service
 * UUID as value and their group end in end_handle; include declarations
 * (0x2802) carry start, end and a 16-bit UUID; characteristic declarations
 * (0x2803) carry properties, value handle and UUID, as over the air.
 */
typedef struct VctlAttr {
    uint16_t handle;
    uint16_t end_handle;
    uint8_t read_status;           /* GATT status a read answers with */
    uint8_t write_status;          /* GATT status a write answers with */
    LeUuid type;
    uint16_t value_len;
    /* uint8_t value[value_len]; */
} VctlAttr;

typedef struct VctlLink {
    uint8_t bda[6];
    uint8_t connected;             /* 1 connect now, 0 disconnect now */
} VctlLink;

typedef struct VctlAttrQuery {
    uint8_t bda[6];
    uint16_t handle;
} VctlAttrQuery;

/* count pushes of one value by a connected simulated peripheral. */
typedef struct VctlNotify {
    uint8_t bda[6];
    uint16_t handle;
    uint8_t kind;                  /* VCTL_KIND_* */
    uint8_t auth_req;
    uint8_t use_stored;            /* 1: the attribute's stored value instead of value */
    uint16_t value_len;            /* at most 512 */
    uint32_t count;
    uint8_t value[LE_MAX_VALUE];
} VctlNotify;

typedef struct VctlCentralRequest {
    uint8_t bda[6];                /* a connected central */
    uint8_t kind;                  /* VCTL_CENTRAL_READ or VCTL_CENTRAL_WRITE */
    uint8_t need_rsp;
    uint16_t handle;
    uint16_t value_len;            /* writes, at most 512 */
    uint32_t trans_id;             /* 0: the controller's next; else this one, and the count goes on after it */
    uint8_t value[LE_MAX_VALUE];
} VctlCentralRequest;

typedef struct VctlCentralTx {
    uint32_t trans_id;
    uint16_t handle;
    uint8_t kind;                  /* VCTL_CENTRAL_* */
    uint8_t need_rsp;
    uint16_t answers;              /* responses that named it: more than 1 are duplicates */
    uint8_t status;                /* of the first response */
    uint16_t len;                  /* of the first response's value */
    uint8_t value[LE_MAX_VALUE];
} VctlCentralTx;

typedef struct VctlReceived {
    uint8_t kind;                  /* VCTL_KIND_* */
    uint16_t handle;
    uint16_t len;
    uint8_t value[LE_MAX_VALUE];
} VctlReceived;

/* What a simulated device saw: as a central, and (confirmations) as a peripheral. */
typedef struct VctlCentral {
    uint32_t received;             /* notifications and indications, in all */
    uint32_t confirmed;            /* indications it confirmed */
    uint32_t responses;            /* responses accepted */
    uint32_t refused;              /* responses for no outstanding transaction (duplicates among them) */
    uint32_t duplicates;
    uint32_t confirms_good;
    uint32_t confirms_wrong_handle;
    uint32_t confirms_unexpected;
    uint32_t indications_outstanding;
    uint32_t tx_count;             /* transactions in all; the latest VCTL_CENTRAL_KEEP follow, oldest first */
    VctlCentralTx tx[VCTL_CENTRAL_KEEP];
    VctlReceived last[VCTL_CENTRAL_KEEP]; /* the latest received, oldest first */
} VctlCentral;

#define VCTL_CONN_ID_LOWEST 0xFFFFu

typedef struct VctlLinkUp {
    uint8_t bda[6];
    uint16_t conn_id;              /* any value, even one the library rejects; or VCTL_CONN_ID_LOWEST */
} VctlLinkUp;

typedef struct VctlDeviceState {
    uint8_t connected;
    uint8_t connect_pending;       /* a connect request waits for VCTL_ADVERTISE */
    uint16_t conn_id;              /* valid while connected */
    uint32_t cancels;              /* cancel-connect requests for this device since it was added */
} VctlDeviceState;

typedef struct VctlLocalDbHeader {
    uint32_t total;                /* records held for the channel asked about */
    uint32_t count;                /* records that follow (as many as fit) */
} VctlLocalDbHeader;

typedef struct VctlLocalAttr {
    uint16_t handle;
    uint8_t kind;                  /* VCTL_LOCAL_* */
    uint8_t properties;            /* characteristic declaration and value */
    uint16_t perm;                 /* characteristic value and descriptor */
    uint16_t service;              /* first handle of the owning service */
    uint16_t end_handle;           /* service: its last handle */
    uint16_t ref;                  /* include: the included service; declaration: the value handle */
    uint16_t instance;             /* service */
    uint8_t flag;                  /* service: the flag of its create request */
    uint8_t started;               /* service */
    uint8_t gatt_if;               /* of the create request */
    uint32_t owner;                /* channel id */
    LeUuid uuid;
    uint8_t descr[22];             /* descriptor: the parameter block, as sent */
} VctlLocalAttr;

typedef struct VctlCaptureQuery {
    uint32_t first;                /* number of the first record wanted */
} VctlCaptureQuery;

typedef struct VctlCaptureSet {
    uint8_t enabled;               /* 1 record, 0 record nothing */
    uint8_t clear;                 /* 1: drop the records kept so far (numbering goes on) */
} VctlCaptureSet;

typedef struct VctlCaptureHeader {
    uint32_t total;                /* records made since the driver started (number of the next) */
    uint32_t oldest;               /* number of the oldest kept */
    uint32_t lost;                 /* overwritten by newer ones since the last clear */
    uint32_t count;                /* records that follow, as many as fit, oldest first */
    uint32_t capacity;             /* VCTL_CAPTURE_CAPACITY */
    uint32_t enabled;
    int64_t frequency;             /* performance counter ticks per second */
} VctlCaptureHeader;

/* One record, variable length: len data bytes follow the header. */
typedef struct VctlCaptureRecord {
    uint32_t seq;
    int64_t time;                  /* performance counter ticks */
    uint16_t conn_handle;
    uint8_t kind;                  /* VCTL_CAPTURE_ATT or VCTL_CAPTURE_EVENT */
    uint8_t direction;             /* VCTL_CAPTURE_SENT or VCTL_CAPTURE_RECEIVED */
    uint16_t len;
    /* uint8_t data[len]; */
} VctlCaptureRecord;

#pragma pack(pop)

#endif
