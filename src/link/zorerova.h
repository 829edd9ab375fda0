/*
 * The driver contract of "\\.\ZOREROVA": control codes, request layouts and
 * event records. Shared, byte for byte, by the library and the virtual
 * controller, so it must stay valid C as well as C++.
 */
#ifndef ZOREROVA_CONTRACT_H
#define ZOREROVA_CONTRACT_H

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdint.h>
#endif

#define ZOREROVA_DEVICE_NAME "\\\\.\\ZOREROVA"
#define ZOREROVA_DEVICE_TYPE 0x17A

/* METHOD_BUFFERED (0) and FILE_ANY_ACCESS (0). */
#define ZOREROVA_CODE(function) ((uint32_t)((ZOREROVA_DEVICE_TYPE << 16) | ((function) << 2)))

#define ZOREROVA_GATT_READ_EVENT       ZOREROVA_CODE(0x432) /* 0x017A10C8 */
#define ZOREROVA_GATT_REGISTER         ZOREROVA_CODE(0x433) /* 0x017A10CC */
#define ZOREROVA_GATT_DEREGISTER       ZOREROVA_CODE(0x434) /* 0x017A10D0 */
#define ZOREROVA_GATT_CONNECT          ZOREROVA_CODE(0x435) /* 0x017A10D4 */
#define ZOREROVA_GATT_CANCEL_CONNECT   ZOREROVA_CODE(0x436) /* 0x017A10D8 */
#define ZOREROVA_GATTC_DISCOVER        ZOREROVA_CODE(0x43B) /* 0x017A10EC */
#define ZOREROVA_GATTC_READ            ZOREROVA_CODE(0x43C) /* 0x017A10F0 */
#define ZOREROVA_GATTC_WRITE           ZOREROVA_CODE(0x43D) /* 0x017A10F4 */
#define ZOREROVA_GATTC_CONFIRM         ZOREROVA_CODE(0x43E) /* 0x017A10F8 */
#define ZOREROVA_GATTS_CREATE_SERVICE  ZOREROVA_CODE(0x440) /* 0x017A1100 */
#define ZOREROVA_GATTS_ADD_INCLUDE     ZOREROVA_CODE(0x441) /* 0x017A1104 */
#define ZOREROVA_GATTS_ADD_CHAR        ZOREROVA_CODE(0x442) /* 0x017A1108 */
#define ZOREROVA_GATTS_ADD_DESCR       ZOREROVA_CODE(0x443) /* 0x017A110C */
#define ZOREROVA_GATTS_DELETE_SERVICE  ZOREROVA_CODE(0x444) /* 0x017A1110 */
#define ZOREROVA_GATTS_START_SERVICE   ZOREROVA_CODE(0x445) /* 0x017A1114 */
#define ZOREROVA_GATTS_INDICATION      ZOREROVA_CODE(0x447) /* 0x017A111C */
#define ZOREROVA_GATTS_NOTIFICATION    ZOREROVA_CODE(0x448) /* 0x017A1120 */
#define ZOREROVA_GATTS_SEND_RSP        ZOREROVA_CODE(0x449) /* 0x017A1124 */

#define LE_MAX_VALUE 512
#define ZOREROVA_EVENT_SIZE 528

/* Event record type bytes. */
#define ZR_EVT_COMPLETE       0xF8
#define ZR_EVT_REQUEST        0xF9
#define ZR_EVT_DISC_COMPLETE  0xFC
#define ZR_EVT_DISC_RESULT    0xFD
#define ZR_EVT_CONNECTION     0xFF

/* Discovery types. */
#define ZR_DISC_ALL_SERVICES  1
#define ZR_DISC_SERVICE_TYPE  2
#define ZR_DISC_INCLUDED      3
#define ZR_DISC_CHARS         4
#define ZR_DISC_DESCRS        5

/* Operation types of completion records. */
#define ZR_OP_DISCOVERY        1
#define ZR_OP_READ             2
#define ZR_OP_WRITE            3
#define ZR_OP_CONFIRM          5
#define ZR_OP_NOTIFICATION     5
#define ZR_OP_INDICATION       6
#define ZR_OP_INDICATION_DONE  7

#pragma pack(push, 1)

typedef struct LeUuid {
    uint16_t len;          /* 2 or 16 */
    uint8_t value[16];     /* 16-bit UUID little-endian in the first two bytes */
} LeUuid;

typedef struct LeAttrValue {
    uint16_t conn_id;
    uint16_t handle;
    uint16_t offset;
    uint16_t len;
    uint8_t auth_req;
    uint8_t value[LE_MAX_VALUE];
    uint8_t reserved;
} LeAttrValue;

/* ---- requests of the client side ---- */

typedef struct ZrRegisterReq { LeUuid app; } ZrRegisterReq;

typedef struct ZrConnectReq {
    uint8_t gatt_if;
    uint8_t bda[6];        /* most significant byte first */
    uint8_t direct;        /* always 1 */
} ZrConnectReq;

typedef struct disc_param {
    LeUuid uuid;           /* never carried by a request */
    uint16_t s_handle;
    uint16_t e_handle;
} disc_param;

typedef struct ZrDiscoverReq {
    uint8_t zero[18];
    uint16_t conn_id;
    uint16_t s_handle;
    uint16_t e_handle;
    uint8_t type;
} ZrDiscoverReq;

typedef struct read_param {
    uint8_t auth_req;
    uint8_t unused;
    uint16_t handle;
    uint8_t rest[20];
} read_param;

typedef struct ZrReadReq {
    uint16_t conn_id;
    uint8_t type;          /* always 2 */
    read_param param;
} ZrReadReq;

typedef struct ZrWriteReq {
    uint16_t conn_id;
    uint8_t type;          /* 1 without response, 2 with response */
    LeAttrValue value;
} ZrWriteReq;

typedef struct ZrConfirmReq {
    uint16_t conn_id;
    uint16_t handle;
} ZrConfirmReq;

/* ---- requests of the server side ---- */

typedef struct ZrCreateServiceReq {
    uint8_t gatt_if;
    LeUuid uuid;
    uint16_t instance;
    uint8_t flag;
    uint16_t num_handles;
} ZrCreateServiceReq;

typedef struct ZrAddIncludeReq {
    uint16_t service;
    uint16_t included;
} ZrAddIncludeReq;

typedef struct ZrAddCharReq {
    uint16_t service;
    LeUuid uuid;
    uint16_t perm;
    uint8_t property;
} ZrAddCharReq;

typedef struct ZrAddDescrReq {
    uint16_t service;
    uint16_t perm;
    LeUuid uuid;
    uint8_t param[22];
} ZrAddDescrReq;

typedef struct ZrDeleteServiceReq {
    uint8_t gatt_if;
    LeUuid uuid;
    uint16_t instance;
} ZrDeleteServiceReq;

typedef struct ZrStartServiceReq {
    uint8_t gatt_if;
    uint16_t s_handle;
    uint8_t transport;     /* always 0 */
} ZrStartServiceReq;

typedef struct ZrHandleValueReq {
    uint16_t conn_id;
    uint16_t attr_handle;
    uint16_t val_len;
    uint8_t value[LE_MAX_VALUE];
} ZrHandleValueReq;

typedef struct ZrSendRspReq {
    uint16_t conn_id;
    uint32_t trans_id;
    uint8_t status;
    LeAttrValue rsp;
} ZrSendRspReq;

/* ---- event records (the front of a 528-byte read-event buffer) ---- */

typedef struct ZrRequestPayload {
    uint16_t handle;
    uint16_t offset;
    uint16_t len;
    uint8_t value[LE_MAX_VALUE];
    uint8_t need_rsp;
} ZrRequestPayload;

/* Discovery result record: attribute type, handle, then a value by type. */
typedef struct ZrDiscResult {
    LeUuid attr_type;
    uint16_t handle;
    union {
        struct { uint16_t e_handle; LeUuid uuid; } service;              /* type 1 */
        struct { LeUuid uuid; uint16_t s_handle; uint16_t e_handle; } include; /* type 3 */
        struct { uint8_t properties; uint8_t unused; uint16_t val_handle; LeUuid uuid; } chr; /* type 4 */
    } u;
} ZrDiscResult;

typedef struct ZrEvtComplete {
    uint8_t type;          /* 0xF8 */
    uint16_t conn_id;
    uint8_t op;
    uint8_t status;
    LeAttrValue payload;
} ZrEvtComplete;

typedef struct ZrEvtRequest {
    uint8_t type;          /* 0xF9 */
    uint16_t conn_id;
    uint32_t trans_id;
    uint8_t req_type;
    ZrRequestPayload payload;
} ZrEvtRequest;

typedef struct ZrEvtDiscComplete {
    uint8_t type;          /* 0xFC */
    uint16_t conn_id;
    uint8_t disc_type;
    uint8_t status;
} ZrEvtDiscComplete;

typedef struct ZrEvtDiscResult {
    uint8_t type;          /* 0xFD */
    uint16_t conn_id;
    uint8_t disc_type;
    ZrDiscResult result;
} ZrEvtDiscResult;

typedef struct ZrEvtConnection {
    uint8_t type;          /* 0xFF */
    uint8_t bda[6];
    uint16_t conn_id;
    uint8_t connected;
} ZrEvtConnection;

typedef union ZrEvent {
    uint8_t type;
    uint8_t raw[ZOREROVA_EVENT_SIZE];
    ZrEvtComplete complete;
    ZrEvtRequest request;
    ZrEvtDiscComplete disc_complete;
    ZrEvtDiscResult disc_result;
    ZrEvtConnection connection;
} ZrEvent;

#pragma pack(pop)

#ifdef __cplusplus
#define ZR_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define ZR_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

ZR_STATIC_ASSERT(sizeof(LeUuid) == 18, "LeUuid");
ZR_STATIC_ASSERT(sizeof(LeAttrValue) == 522, "LeAttrValue");
ZR_STATIC_ASSERT(sizeof(ZrConnectReq) == 8, "connect");
ZR_STATIC_ASSERT(sizeof(disc_param) == 22, "disc_param");
ZR_STATIC_ASSERT(sizeof(ZrDiscoverReq) == 25, "discover");
ZR_STATIC_ASSERT(sizeof(read_param) == 24, "read_param");
ZR_STATIC_ASSERT(sizeof(ZrReadReq) == 27, "read");
ZR_STATIC_ASSERT(sizeof(ZrWriteReq) == 525, "write");
ZR_STATIC_ASSERT(sizeof(ZrConfirmReq) == 4, "confirm");
ZR_STATIC_ASSERT(sizeof(ZrCreateServiceReq) == 24, "create service");
ZR_STATIC_ASSERT(sizeof(ZrAddIncludeReq) == 4, "add include");
ZR_STATIC_ASSERT(sizeof(ZrAddCharReq) == 23, "add char");
ZR_STATIC_ASSERT(sizeof(ZrAddDescrReq) == 44, "add descr");
ZR_STATIC_ASSERT(sizeof(ZrDeleteServiceReq) == 21, "delete service");
ZR_STATIC_ASSERT(sizeof(ZrStartServiceReq) == 4, "start service");
ZR_STATIC_ASSERT(sizeof(ZrHandleValueReq) == 518, "handle value");
ZR_STATIC_ASSERT(sizeof(ZrSendRspReq) == 529, "send rsp");
ZR_STATIC_ASSERT(sizeof(ZrDiscResult) == 42, "disc result");
ZR_STATIC_ASSERT(sizeof(ZrEvtComplete) == 527, "complete event");
ZR_STATIC_ASSERT(sizeof(ZrEvtRequest) == 527, "request event");
ZR_STATIC_ASSERT(sizeof(ZrEvtConnection) == 10, "connection event");
ZR_STATIC_ASSERT(sizeof(ZrEvent) == ZOREROVA_EVENT_SIZE, "event record");

#endif
