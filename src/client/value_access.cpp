// Characteristic and descriptor access: the four exports that read or write
// one value of a connected device, waiting up to 10 s or handing the result to
// the registration's completion callback later.

#include <cstring>

#include "QorLeLib.h"
#include "client/connection.h"
#include "api/export.h"
#include "api/op_slot.h"
#include "trace/trace.h"

namespace {

constexpr DWORD kOpWaitMs = 10000;
constexpr uint8_t kPropRead = 0x02;
constexpr uint8_t kPropWriteNoRsp = 0x04;
constexpr uint8_t kPropWrite = 0x08;
constexpr uint8_t kWriteNoRsp = 1;
constexpr uint8_t kWriteWithRsp = 2;
constexpr uint8_t kReadType = 2;

// One member of the family.
struct Access {
    ExportDecl decl;
    bool write;
    bool descriptor;
    uint8_t refused;                 // the completion status that gives 1
};

constexpr Access kReadChar = {QOR_EXPORT(QorGattReadCharacteristic), false, false, 2};
constexpr Access kReadDescr = {QOR_EXPORT(QorGattReadDescriptor), false, true, 2};
constexpr Access kWriteChar = {QOR_EXPORT(QorGattWriteCharacteristic), true, false, 3};
// Its guard gives 5.
constexpr Access kWriteDescr = {
    {"QorGattWriteDescriptor", "***QorLeApi:ERROR QorGattWriteDescriptor crashed\n", ERROR_ACCESS_DENIED}, true, true, 3};

struct AccessArgs {
    HQORREG hReg;
    PLE_ADDRESS pAddress;
    GUID *pGuidService;
    DWORD serviceInstance;
    GUID *pGuidChar;
    DWORD charInstance;
    GUID *pGuidDescr;
    BYTE authReq;
    PLE_VALUE pValue;
    DWORD wait;
    ULONGLONG context;
};

// What the request needs once ApiLock is left.
struct Target {
    uint8_t gatt_if = 0;
    uint16_t conn_id = 0;
    uint16_t handle = 0;
    uint8_t write_type = kWriteWithRsp;
};

void TraceInvalid(const Access &k, const AccessArgs &a)
{
    if (k.descriptor)
        LeTrace("***QorLeApi:ERROR %s invalid arguments hReg:%p pAddress:%p pGuidService:%p pGuidChar:%p "
                "pGuidDescr:%p pValue:%p\n",
                k.decl.name, a.hReg, static_cast<void *>(a.pAddress), static_cast<void *>(a.pGuidService),
                static_cast<void *>(a.pGuidChar), static_cast<void *>(a.pGuidDescr), static_cast<void *>(a.pValue));
    else
        LeTrace("***QorLeApi:ERROR %s invalid arguments hReg:%p pAddress:%p pGuidService:%p pGuidChar:%p "
                "pValue:%p\n",
                k.decl.name, a.hReg, static_cast<void *>(a.pAddress), static_cast<void *>(a.pGuidService),
                static_cast<void *>(a.pGuidChar), static_cast<void *>(a.pValue));
}

bool ArgumentsMissing(const Access &k, const AccessArgs &a)
{
    return !pFirst || !a.hReg || !a.pAddress || !a.pGuidService || !a.pGuidChar || (k.descriptor && !a.pGuidDescr) ||
           (!a.pValue && (k.write || a.wait == 0));
}

// Resolves the attribute and checks the properties (ApiLock held); 0 or the code.
DWORD Resolve(const Access &k, const AccessArgs &a, QOR_CONN_DEV *dev, Target *t)
{
    if (k.descriptor) {
        LeDescr *d = FindDescr(dev->services, a.pGuidService, a.serviceInstance, a.pGuidChar, a.charInstance,
                               a.pGuidDescr);
        if (!d) {
            LeTrace("***QorLeApi:ERROR %s descriptor %x not found\n", k.decl.name, static_cast<unsigned>(a.pGuidDescr->Data1));
            return ERROR_NOT_FOUND;
        }
        t->handle = d->handle;
        return ERROR_SUCCESS;
    }
    LeChar *c = FindChar(dev->services, a.pGuidService, a.serviceInstance, a.pGuidChar, a.charInstance);
    if (!c) {
        LeTrace("***QorLeApi:ERROR %s char %x not found\n", k.decl.name, static_cast<unsigned>(a.pGuidChar->Data1));
        return ERROR_NOT_FOUND;
    }
    t->handle = c->valueHandle;
    if (!k.write && !(c->properties & kPropRead)) {
        LeTrace("***QorLeApi:ERROR %s read not allowed\n", k.decl.name);
        return ERROR_ACCESS_DENIED;
    }
    if (k.write && !(c->properties & (kPropWrite | kPropWriteNoRsp))) {
        LeTrace("***QorLeApi:ERROR %s write not allowed\n", k.decl.name);
        return ERROR_ACCESS_DENIED;
    }
    t->write_type = (c->properties & kPropWrite) ? kWriteWithRsp : kWriteNoRsp;
    return ERROR_SUCCESS;
}

// Steps under ApiLock: the device, its free slot, the attribute, the event.
DWORD Start(const Access &k, const AccessArgs &a, ULONGLONG address, Target *t, HANDLE *event)
{
    ApiLockHold hold;
    QOR_CONN_DEV *dev = FindDevice(address);
    if (!dev) {
        LeTrace("***QorLeApi:ERROR %s not connected\n", k.decl.name);
        return ERROR_NOT_CONNECTED;
    }
    if (dev->hOpEvent) {
        LeTrace("***QorLeApi:ERROR %s event already exists\n", k.decl.name);
        return ERROR_SERVICE_ALREADY_RUNNING;
    }
    if (DWORD rc = Resolve(k, a, dev, t))
        return rc;
    *event = OccupySlot(dev, static_cast<QOR_APP_REG *>(a.hReg), a.pValue, a.wait, a.context,
                        k.write ? ZR_OP_WRITE : ZR_OP_READ, k.write ? 0 : t->handle);
    if (!*event) {
        LeTrace("***QorLeApi:ERROR %s failed to create event\n", k.decl.name);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    t->gatt_if = dev->gatt_if;
    t->conn_id = dev->conn_id;
    return ERROR_SUCCESS;
}

// `value` holds the caller's bytes already (writes), copied before the slot was taken.
uint8_t Send(const Access &k, const AccessArgs &a, const Target &t, LeAttrValue *value)
{
    if (!k.write) {
        read_param param{};
        param.auth_req = a.authReq;
        param.handle = t.handle;
        return GATTCIf_Read(t.gatt_if, t.conn_id, kReadType, &param);
    }
    value->handle = t.handle;
    value->auth_req = a.authReq;
    return GATTCIf_Write(t.gatt_if, t.conn_id, k.descriptor ? kWriteWithRsp : t.write_type, value);
}

// The caller's memory is read before the slot is taken and written after it is
// given back, so a fault on it (caught by the guard) leaves nothing behind.
DWORD Body(const Access &k, const AccessArgs &a, SlotHold *hold)
{
    const ULONGLONG address = a.pAddress->ullLong;
    LeTrace("***QorLeApi:%s %012I64x wait %d\n", k.decl.name, address, static_cast<int>(a.wait));
    LeAttrValue value{};
    if (k.write) {
        if (a.pValue->Length > LE_MAX_VALUE) {
            TraceInvalid(k, a);
            return ERROR_INVALID_PARAMETER;
        }
        value.len = a.pValue->Length;
        std::memcpy(value.value, a.pValue->Value, value.len);
    }
    Target t;
    hold->address = address;
    if (DWORD rc = Start(k, a, address, &t, &hold->event))
        return rc;
    const HANDLE event = hold->event;
    SlotResult end;
    if (uint8_t rc = Send(k, a, t, &value)) {
        LeTrace("***QorLeApi:ERROR %s failed rc:%d\n", k.decl.name, rc);
        hold->event = nullptr;
        EndSlot(address, event, a.wait != 0, &end);
        return ERROR_INTERNAL_ERROR;
    }
    if (k.write)
        LeTrace("***QorLeApi:%s GATTCIf_Write succeeded\n", k.decl.name);
    if (a.wait == 0) {
        hold->event = nullptr;   // the completion's now
        LeTrace("***QorLeApi:%s status pending\n", k.decl.name);
        return ERROR_IO_PENDING;
    }
    const bool timed_out = WaitForSingleObject(event, kOpWaitMs) == WAIT_TIMEOUT;
    hold->event = nullptr;
    if (!EndSlot(address, event, true, &end)) {
        LeTrace("***QorLeApi:ERROR %s abandoned while waiting for write to complete\n", k.decl.name);
        return ERROR_NOT_CONNECTED;
    }
    if (end.completed && a.pValue)
        std::memcpy(a.pValue, &end.value, sizeof end.value.Length + end.value.Length);
    if (end.status == 0)
        return ERROR_SUCCESS;
    if (timed_out)
        return ERROR_TIMEOUT;
    return end.status == k.refused ? ERROR_INVALID_FUNCTION : ERROR_INTERNAL_ERROR;
}

DWORD Run(const Access &k, const AccessArgs &a)
{
    if (ArgumentsMissing(k, a)) {
        TraceInvalid(k, a);
        return ERROR_INVALID_PARAMETER;
    }
    if (!IsAppRegisteredWithInterface(a.hReg)) {
        LeTrace("***QorLeApi:%s invalid handle hReg:%p\n", k.decl.name, a.hReg);
        return ERROR_INVALID_HANDLE;
    }
    SlotHold hold;
    hold.caller_owns = a.wait != 0;
    return RunExport(k.decl, [&] { return Body(k, a, &hold); }, [&] { hold.Drop(); });
}

} // namespace

extern "C" DWORD WINAPI QorGattReadCharacteristic(HQORREG hReg, PLE_ADDRESS pAddress, GUID *pGuidService,
                                                  DWORD serviceInstance, GUID *pGuidChar, DWORD charInstance,
                                                  BYTE authReq, PLE_VALUE pValue, DWORD wait, ULONGLONG context)
{
    return Run(kReadChar, {hReg, pAddress, pGuidService, serviceInstance, pGuidChar, charInstance, nullptr, authReq,
                           pValue, wait, context});
}

extern "C" DWORD WINAPI QorGattReadDescriptor(HQORREG hReg, PLE_ADDRESS pAddress, GUID *pGuidService,
                                              DWORD serviceInstance, GUID *pGuidChar, DWORD charInstance,
                                              GUID *pGuidDescr, BYTE authReq, PLE_VALUE pValue, DWORD wait,
                                              ULONGLONG context)
{
    return Run(kReadDescr, {hReg, pAddress, pGuidService, serviceInstance, pGuidChar, charInstance, pGuidDescr,
                            authReq, pValue, wait, context});
}

extern "C" DWORD WINAPI QorGattWriteCharacteristic(HQORREG hReg, PLE_ADDRESS pAddress, GUID *pGuidService,
                                                   DWORD serviceInstance, GUID *pGuidChar, DWORD charInstance,
                                                   BYTE authReq, PLE_VALUE pValue, DWORD wait, ULONGLONG context)
{
    return Run(kWriteChar, {hReg, pAddress, pGuidService, serviceInstance, pGuidChar, charInstance, nullptr, authReq,
                            pValue, wait, context});
}

extern "C" DWORD WINAPI QorGattWriteDescriptor(HQORREG hReg, PLE_ADDRESS pAddress, GUID *pGuidService,
                                               DWORD serviceInstance, GUID *pGuidChar, DWORD charInstance,
                                               GUID *pGuidDescr, BYTE authReq, PLE_VALUE pValue, DWORD wait,
                                               ULONGLONG context)
{
    return Run(kWriteDescr, {hReg, pAddress, pGuidService, serviceInstance, pGuidChar, charInstance, pGuidDescr,
                             authReq, pValue, wait, context});
}
