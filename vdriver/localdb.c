/*
 * The local attribute database: the services that channels define through the
 * server requests of the contract, one record per attribute in handle order
 * (see vctl.h). Everything here runs under the driver's lock.
 */
#include "vdriver.h"

#define LOCAL_FIRST_HANDLE 1u

static VctlLocalAttr *g_db;    /* VCTL_LOCAL_CAPACITY records, ascending handle */
static ULONG g_count;
static ULONG g_next_handle;    /* the first handle not handed out since reset */

NTSTATUS LocalDbInit(void)
{
    g_db = ZrAlloc(sizeof(VctlLocalAttr) * VCTL_LOCAL_CAPACITY);
    g_count = 0;
    g_next_handle = LOCAL_FIRST_HANDLE;
    return g_db ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void LocalDbFree(void)
{
    ZrFree(g_db);
    g_db = NULL;
}

void LocalDbResetLocked(void)
{
    g_count = 0;
    g_next_handle = LOCAL_FIRST_HANDLE;
}

/* Index of the first record whose handle is not below `handle`. */
static ULONG LowerBound(ULONG handle)
{
    ULONG lo = 0, hi = g_count;
    while (lo < hi) {
        ULONG mid = (lo + hi) / 2;
        if (g_db[mid].handle < handle)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

const VctlLocalAttr *LocalAttrLocked(USHORT handle)
{
    ULONG i = LowerBound(handle);
    return i < g_count && g_db[i].handle == handle ? &g_db[i] : NULL;
}

/* Index of the service whose range holds `handle`, or g_count. Attributes lie
 * inside their service's range, so it is the nearest service at or below. */
static ULONG ServiceIndexOf(USHORT handle)
{
    ULONG i = LowerBound((ULONG)handle + 1);
    while (i-- > 0) {
        if (g_db[i].kind == VCTL_LOCAL_SERVICE)
            return handle <= g_db[i].end_handle ? i : g_count;
    }
    return g_count;
}

ULONG LocalOwnerLocked(USHORT handle)
{
    ULONG i = ServiceIndexOf(handle);
    return i < g_count ? g_db[i].owner : 0;
}

static ULONG ServiceIndexByStart(USHORT s_handle)
{
    ULONG i = ServiceIndexOf(s_handle);
    return i < g_count && g_db[i].handle == s_handle ? i : g_count;
}

/* Number of records of the service at index i, itself included. */
static ULONG ServiceSpan(ULONG i)
{
    ULONG j = i + 1;
    while (j < g_count && g_db[j].handle <= g_db[i].end_handle)
        j++;
    return j - i;
}

static VctlLocalAttr *InsertLocked(Request *r, USHORT handle, UCHAR kind, USHORT service, const LeUuid *uuid)
{
    ULONG i = LowerBound(handle);
    VctlLocalAttr *a = &g_db[i];
    if (i < g_count)
        RtlMoveMemory(a + 1, a, sizeof *a * (g_count - i));
    g_count++;
    RtlZeroMemory(a, sizeof *a);
    a->handle = handle;
    a->kind = kind;
    a->service = service;
    a->owner = r->ch->id;
    a->uuid = *uuid;
    return a;
}

static void RemoveLocked(ULONG i, ULONG n)
{
    RtlMoveMemory(&g_db[i], &g_db[i + n], sizeof g_db[0] * (g_count - i - n));
    g_count -= n;
}

static void PutWord(UCHAR *out, USHORT word)
{
    out[0] = (UCHAR)word;
    out[1] = (UCHAR)(word >> 8);
}

static void PutHandle(Request *r, USHORT handle) { PutWord(r->out, handle); }

NTSTATUS LocalCreateService(Request *r)
{
    const ZrCreateServiceReq *req = (const ZrCreateServiceReq *)r->in;
    VctlLocalAttr *svc;
    USHORT handle = (USHORT)g_next_handle;
    if (g_count == VCTL_LOCAL_CAPACITY || g_next_handle + req->num_handles > 0xFFFF)
        return STATUS_INSUFFICIENT_RESOURCES;
    svc = InsertLocked(r, handle, VCTL_LOCAL_SERVICE, handle, &req->uuid);
    svc->end_handle = (USHORT)(handle + req->num_handles);
    svc->instance = req->instance;
    svc->flag = req->flag;
    svc->gatt_if = req->gatt_if;
    g_next_handle += req->num_handles + 1u;
    PutHandle(r, handle);
    return STATUS_SUCCESS;
}

/* Takes `n` free handles of the service named by the request's first two
 * bytes and inserts the first of them as `kind`; NULL (with *status) when the
 * service is unknown or full. */
static VctlLocalAttr *AddFirstLocked(Request *r, ULONG n, UCHAR kind, const LeUuid *uuid, NTSTATUS *status)
{
    ULONG i = ServiceIndexByStart(*(const USHORT *)r->in);
    ULONG next;
    *status = STATUS_NOT_FOUND;
    if (i == g_count)
        return NULL;
    next = g_db[i + ServiceSpan(i) - 1].handle + 1u;
    *status = STATUS_INSUFFICIENT_RESOURCES;
    if (g_count + n > VCTL_LOCAL_CAPACITY || next + n - 1 > g_db[i].end_handle)
        return NULL;
    *status = STATUS_SUCCESS;
    return InsertLocked(r, (USHORT)next, kind, g_db[i].handle, uuid);
}

NTSTATUS LocalAddInclude(Request *r)
{
    const ZrAddIncludeReq *req = (const ZrAddIncludeReq *)r->in;
    const VctlLocalAttr *included = LocalAttrLocked(req->included);
    VctlLocalAttr *a;
    LeUuid uuid;
    NTSTATUS status;
    if (!included || included->kind != VCTL_LOCAL_SERVICE)
        return STATUS_NOT_FOUND;
    uuid = included->uuid;   /* the insertion below may move the record */
    a = AddFirstLocked(r, 1, VCTL_LOCAL_INCLUDE, &uuid, &status);
    if (a) {
        a->ref = req->included;
        PutHandle(r, a->handle);
    }
    return status;
}

/* The declaration, then the value: the answer is the value handle. */
NTSTATUS LocalAddChar(Request *r)
{
    const ZrAddCharReq *req = (const ZrAddCharReq *)r->in;
    NTSTATUS status;
    VctlLocalAttr *a = AddFirstLocked(r, 2, VCTL_LOCAL_CHAR_DECL, &req->uuid, &status);
    USHORT value;
    if (!a)
        return status;
    value = (USHORT)(a->handle + 1);
    a->properties = req->property;
    a->ref = value;
    a = InsertLocked(r, value, VCTL_LOCAL_CHAR_VALUE, a->service, &req->uuid);
    a->properties = req->property;
    a->perm = req->perm;
    PutHandle(r, value);
    return STATUS_SUCCESS;
}

NTSTATUS LocalAddDescr(Request *r)
{
    const ZrAddDescrReq *req = (const ZrAddDescrReq *)r->in;
    NTSTATUS status;
    VctlLocalAttr *a = AddFirstLocked(r, 1, VCTL_LOCAL_DESCRIPTOR, &req->uuid, &status);
    if (a) {
        a->perm = req->perm;
        RtlCopyMemory(a->descr, req->param, sizeof a->descr);
        PutHandle(r, a->handle);
    }
    return status;
}

static BOOLEAN SameUuid(const LeUuid *a, const LeUuid *b)
{
    ULONG n = a->len == 16 ? 16 : 2;
    return a->len == b->len && RtlCompareMemory(a->value, b->value, n) == n;
}

NTSTATUS LocalDeleteService(Request *r)
{
    const ZrDeleteServiceReq *req = (const ZrDeleteServiceReq *)r->in;
    ULONG i;
    for (i = 0; i < g_count; i++) {
        const VctlLocalAttr *a = &g_db[i];
        if (a->kind == VCTL_LOCAL_SERVICE && a->owner == r->ch->id && a->gatt_if == req->gatt_if &&
            a->instance == req->instance && SameUuid(&a->uuid, &req->uuid)) {
            RemoveLocked(i, ServiceSpan(i));
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS LocalStartService(Request *r)
{
    const ZrStartServiceReq *req = (const ZrStartServiceReq *)r->in;
    ULONG i = ServiceIndexByStart(req->s_handle);
    if (i == g_count)
        return STATUS_NOT_FOUND;
    g_db[i].started = 1;
    return STATUS_SUCCESS;
}

void DropServicesOfLocked(ULONG channel_id)
{
    ULONG i, kept = 0;
    for (i = 0; i < g_count; i++) {
        if (g_db[i].owner != channel_id)
            g_db[kept++] = g_db[i];
    }
    g_count = kept;
}

/* A 128-bit UUID in the byte order of the air, least significant byte first:
 * the record holds the GUID's memory, whose first three fields are
 * little-endian already and whose last eight bytes run the other way. */
USHORT PutAirUuid(const LeUuid *uuid, UCHAR *out)
{
    ULONG i;
    if (uuid->len != 16) {
        RtlCopyMemory(out, uuid->value, 2);
        return 2;
    }
    for (i = 0; i < 8; i++)
        out[i] = uuid->value[15 - i];
    RtlCopyMemory(out + 8, uuid->value + 6, 2);
    RtlCopyMemory(out + 10, uuid->value + 4, 2);
    RtlCopyMemory(out + 12, uuid->value, 4);
    return 16;
}

BOOLEAN LocalDeclarationLocked(const VctlLocalAttr *a, UCHAR *value, USHORT *len)
{
    const VctlLocalAttr *included;
    switch (a->kind) {
    case VCTL_LOCAL_SERVICE:
        *len = PutAirUuid(&a->uuid, value);
        return TRUE;
    case VCTL_LOCAL_INCLUDE:
        included = LocalAttrLocked(a->ref);
        PutWord(value, a->ref);
        PutWord(value + 2, included ? included->end_handle : a->ref);
        *len = (USHORT)(4 + (a->uuid.len == 2 ? PutAirUuid(&a->uuid, value + 4) : 0));
        return TRUE;
    case VCTL_LOCAL_CHAR_DECL:
        value[0] = a->properties;
        PutWord(value + 1, a->ref);
        *len = (USHORT)(3 + PutAirUuid(&a->uuid, value + 3));
        return TRUE;
    default:
        return FALSE;
    }
}

NTSTATUS LocalDbQuery(ControlIo *io)
{
    IRP *irp = io->irp;
    void *buffer = io->buffer;
    VctlLocalDbHeader header = {0, 0};
    VctlLocalAttr *out = (VctlLocalAttr *)((UCHAR *)buffer + sizeof header);
    ULONG channel, room, i;
    Work w;
    RtlCopyMemory(&channel, buffer, sizeof channel);
    room = (io->out_room - sizeof header) / sizeof(VctlLocalAttr);
    Lock(&w);
    for (i = 0; i < g_count; i++) {
        if (channel && g_db[i].owner != channel)
            continue;
        if (header.count < room)
            out[header.count++] = g_db[i];
        header.total++;
    }
    RtlCopyMemory(buffer, &header, sizeof header);
    FinishIrp(&w, irp, STATUS_SUCCESS, sizeof header + header.count * sizeof(VctlLocalAttr));
    Unlock(&w);
    return STATUS_SUCCESS;
}
