// The server requests to the driver: create, extend, start and delete a local
// service, push a value, answer a remote request. Each lays one fixed request
// into a buffer and sends it with one control request. Creating a service also
// records its handle range in gatts_service_list, by which the dispatch routes
// remote requests.

#include <cstring>
#include <new>

#include "link/link_private.h"
#include "trace/trace.h"

namespace {

// The lines of the service requests, from the request's name.
#define SERVICE_LINES(name) \
    { name " invalid handle", name " - event allocation failed", name " - failed - %d bytes returned %d" }

// One request whose answer must be exactly `want` bytes. Done only then; a
// call that succeeded with another byte count counts as Refused.
LinkIo Send(const RequestLines &lines, uint32_t code, const void *in, DWORD in_len, void *out, DWORD want)
{
    return LinkSend(lines, Answer::Exact, code, in, in_len, out, want);
}

// The 16-bit handle a service request answers with, 0 unless exactly two
// bytes came back.
uint16_t SendForHandle(const RequestLines &lines, uint32_t code, const void *in, DWORD in_len)
{
    uint16_t handle = 0;
    return Send(lines, code, in, in_len, &handle, sizeof handle) == LinkIo::Done ? handle : 0;
}

// The first 16-bit word of a UUID value: the 16-bit UUID itself for length 2.
unsigned FirstWord(const LeUuid *uuid) { return uuid->value[0] | uuid->value[1] << 8; }

// Appends a complete record at the tail. Records are never removed, so any
// record reached from the head leads on to the tail; the hint spares the walk.
void AppendService(gatts_service_record *record)
{
    static gatts_service_record *volatile tail_hint = nullptr;
    record->next = nullptr;
    gatts_service_record *null_record = nullptr;
    if (__atomic_compare_exchange_n(&gatts_service_list, &null_record, record, false, __ATOMIC_RELEASE,
                                    __ATOMIC_ACQUIRE)) {
        __atomic_store_n(&tail_hint, record, __ATOMIC_RELEASE);
        return;
    }
    gatts_service_record *tail = __atomic_load_n(&tail_hint, __ATOMIC_ACQUIRE);
    if (!tail)
        tail = __atomic_load_n(&gatts_service_list, __ATOMIC_ACQUIRE);
    for (;;) {
        gatts_service_record *next = __atomic_load_n(&tail->next, __ATOMIC_ACQUIRE);
        if (next) {
            tail = next;
            continue;
        }
        if (__atomic_compare_exchange_n(&tail->next, &next, record, false, __ATOMIC_RELEASE, __ATOMIC_ACQUIRE))
            break;
        tail = next;
    }
    __atomic_store_n(&tail_hint, record, __ATOMIC_RELEASE);
}

// The driver's result byte when the request went through; else 1 refused, 10
// channel not open or no event.
uint8_t ResultOf(LinkIo io, uint8_t result)
{
    if (io == LinkIo::Done)
        return result;
    return io == LinkIo::Refused ? kDriverRefused : kDriverNotOpen;
}

// The indication and the notification: the same request under two codes.
struct HandleValueKind {
    const char *name;
    uint32_t code;
    RequestLines lines;
};

const HandleValueKind kIndication = {
    "GATTS_HandleValueIndication", ZOREROVA_GATTS_INDICATION,
    {"GATTS_HandleValueIndication not registered", "GATTS_HandleValueIndication - event allocation failed",
     "GATTS_HandleValueIndication - failed - %d nBytes %d"}};
const HandleValueKind kNotification = {
    "GATTS_HandleValueNotification", ZOREROVA_GATTS_NOTIFICATION,
    {"GATTS_HandleValueNotification not registered", "GATTS_HandleValueNotification - event allocation failed",
     "GATTS_HandleValueNotification - failed - %d nBytes %d"}};

uint8_t SendHandleValue(const HandleValueKind &kind, uint16_t conn_id, uint16_t attr_handle, uint16_t val_len,
                        const uint8_t *value)
{
    if (val_len > LE_MAX_VALUE) {
        LeTrace("%s val_len=%d", kind.name, val_len);
        return kDriverValueTooLong;
    }
    LeTrace("%s attr_handle=%d val_len=%d", kind.name, attr_handle, val_len);
    ZrHandleValueReq req = {};
    req.conn_id = conn_id;
    req.attr_handle = attr_handle;
    req.val_len = val_len;
    if (val_len)
        std::memcpy(req.value, value, val_len);
    uint8_t result = 0;
    const LinkIo io = Send(kind.lines, kind.code, &req, sizeof req, &result, sizeof result);
    return ResultOf(io, result);
}

} // namespace

uint16_t GATTS_CreateService(uint8_t gatt_if, const LeUuid *uuid, uint16_t instance, uint16_t num_handles,
                             uint8_t flag)
{
    LeTrace("GATTS_CreateService service uuid:0x%x instance:%d", FirstWord(uuid), instance);
    ZrCreateServiceReq req = {};
    req.gatt_if = gatt_if;
    req.uuid = *uuid;
    req.instance = instance;
    req.flag = flag;
    req.num_handles = num_handles;
    static const RequestLines lines = SERVICE_LINES("GATTS_CreateService");
    uint16_t s_handle = SendForHandle(lines, ZOREROVA_GATTS_CREATE_SERVICE, &req, sizeof req);
    if (!s_handle)
        return 0;
    auto *record = new (std::nothrow) gatts_service_record;
    if (!record) {
        LeTrace("GATTS_CreateService failed to alloc memory");
        GATTS_DeleteService(gatt_if, uuid, instance);
        return 0;
    }
    record->s_handle = s_handle;
    record->e_handle = static_cast<uint16_t>(s_handle + num_handles);
    record->gatt_if = gatt_if;
    AppendService(record);
    return s_handle;
}

uint8_t GATTS_DeleteService(uint8_t gatt_if, const LeUuid *uuid, uint16_t instance)
{
    LeTrace("GATTS_DeleteService service uuid:0x%x instance:%d", FirstWord(uuid), instance);
    ZrDeleteServiceReq req = {};
    req.gatt_if = gatt_if;
    req.uuid = *uuid;
    req.instance = instance;
    static const RequestLines lines = SERVICE_LINES("GATTS_DeleteService");
    return Send(lines, ZOREROVA_GATTS_DELETE_SERVICE, &req, sizeof req, nullptr, 0) == LinkIo::Done ? 1 : 0;
}

uint16_t GATTS_AddIncludeService(uint16_t service, uint16_t included)
{
    LeTrace("GATTS_AddIncludeService service handle:%d inc service handle:%d", service, included);
    ZrAddIncludeReq req = {};
    req.service = service;
    req.included = included;
    static const RequestLines lines = SERVICE_LINES("GATTS_AddIncludeService");
    return SendForHandle(lines, ZOREROVA_GATTS_ADD_INCLUDE, &req, sizeof req);
}

uint16_t GATTS_AddCharacteristic(uint16_t service, const LeUuid *uuid, uint16_t perm, uint8_t property)
{
    LeTrace("GATTS_AddCharacteristic handle:%d char:%04x perm:%04x property:%04x", service, FirstWord(uuid), perm,
            property);
    ZrAddCharReq req = {};
    req.service = service;
    req.uuid = *uuid;
    req.perm = perm;
    req.property = property;
    static const RequestLines lines = SERVICE_LINES("GATTS_AddCharacteristic");
    return SendForHandle(lines, ZOREROVA_GATTS_ADD_CHAR, &req, sizeof req);
}

uint16_t GATTS_AddCharDescritptor(uint16_t service, uint16_t perm, const LeUuid *uuid, const uint8_t *block)
{
    LeTrace("GATTS_AddCharDescritptor handle:%d char:%04x perm:%d", service, FirstWord(uuid), perm);
    ZrAddDescrReq req = {};
    req.service = service;
    req.perm = perm;
    req.uuid = *uuid;
    std::memcpy(req.param, block, sizeof req.param);
    static const RequestLines lines = SERVICE_LINES("GATTS_AddCharDescritptor");
    return SendForHandle(lines, ZOREROVA_GATTS_ADD_DESCR, &req, sizeof req);
}

uint8_t GATTS_StartService(uint8_t gatt_if, uint16_t s_handle, uint8_t)
{
    LeTrace("GATTS_StartService service s_handle:%d transport:%d", s_handle, 0);
    ZrStartServiceReq req = {};
    req.gatt_if = gatt_if;
    req.s_handle = s_handle;
    req.transport = 0;
    static const RequestLines lines = {"GATTS_StartService invalid handle",
                                      "GATTS_StartService - event allocation failed",
                                      "GATTS_StartService - Client connect failed - %d bytes returned %d"};
    uint8_t ignored = 0;
    switch (Send(lines, ZOREROVA_GATTS_START_SERVICE, &req, sizeof req, &ignored, sizeof ignored)) {
    case LinkIo::Done:
        return kStartStarted;
    case LinkIo::NotOpen:
        return kStartNotOpen;
    case LinkIo::NoEvent:
        return kStartNoEvent;
    default:
        return kStartRefused;
    }
}

uint8_t GATTS_HandleValueIndication(uint16_t conn_id, uint16_t attr_handle, uint16_t val_len, const uint8_t *value)
{
    return SendHandleValue(kIndication, conn_id, attr_handle, val_len, value);
}

uint8_t GATTS_HandleValueNotification(uint16_t conn_id, uint16_t attr_handle, uint16_t val_len, const uint8_t *value)
{
    return SendHandleValue(kNotification, conn_id, attr_handle, val_len, value);
}

uint8_t GATTS_SendRsp(uint16_t conn_id, uint32_t trans_id, uint8_t status, const LeAttrValue *response)
{
    LeTrace("GATTS_SendRsp conn_id=%d trans_id=%d status:%d", conn_id, static_cast<int>(trans_id), status);
    ZrSendRspReq req = {};
    req.conn_id = conn_id;
    req.trans_id = trans_id;
    req.status = status;
    if (response)
        req.rsp = *response;
    static const RequestLines lines = {"GATTS_SendRsp not registered", "GATTS_SendRsp - event allocation failed",
                                      "GATTS_SendRsp - failed - %d nBytes %d"};
    uint8_t result = 0;
    const LinkIo io = Send(lines, ZOREROVA_GATTS_SEND_RSP, &req, sizeof req, &result, sizeof result);
    return ResultOf(io, result);
}
