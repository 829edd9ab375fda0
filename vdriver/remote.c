/*
 * Simulated remote devices: each is a GATT server with a flat attribute table.
 * Connect, discover, read and write requests for an added device are answered
 * with the events a remote server would cause; requests for anything else are
 * accepted and left for the test to answer.
 */
#include "vdriver.h"

#define UUID_PRIMARY_SERVICE 0x2800
#define UUID_INCLUDE 0x2802
#define UUID_CHARACTERISTIC 0x2803
#define ATT_INVALID_HANDLE 0x01

static USHORT GetU16(const UCHAR *p) { return (USHORT)(p[0] | p[1] << 8); }

static BOOLEAN IsType(const RemoteAttr *a, USHORT type)
{
    return a->hdr.type.len == 2 && GetU16(a->hdr.type.value) == type;
}

static LeUuid UuidFrom(const UCHAR *p, ULONG n)
{
    LeUuid u;
    RtlZeroMemory(&u, sizeof u);
    u.len = n == 16 ? 16 : 2;
    RtlCopyMemory(u.value, p, n == 16 ? 16 : (n >= 2 ? 2 : 0));
    return u;
}

static RemoteDevice **SlotByAddress(const UCHAR bda[6])
{
    ULONG i;
    for (i = 0; i < ZR_MAX_DEVICES; i++) {
        RemoteDevice *d = g_zr.devices[i];
        if (d && RtlCompareMemory(d->bda, bda, 6) == 6)
            return &g_zr.devices[i];
    }
    return NULL;
}

RemoteDevice *RemoteByAddressLocked(const UCHAR bda[6])
{
    RemoteDevice **slot = SlotByAddress(bda);
    return slot ? *slot : NULL;
}

RemoteDevice *RemoteByConnIdLocked(USHORT conn_id)
{
    ULONG i;
    for (i = 0; i < ZR_MAX_DEVICES; i++) {
        RemoteDevice *d = g_zr.devices[i];
        if (d && d->connected && d->conn_id == conn_id)
            return d;
    }
    return NULL;
}

RemoteAttr *RemoteAttrLocked(RemoteDevice *d, USHORT handle)
{
    ULONG i;
    for (i = 0; i < d->attr_count; i++) {
        if (d->attrs[i].hdr.handle == handle)
            return &d->attrs[i];
    }
    return NULL;
}

/* The lowest conn_id that no other connected device uses. */
static USHORT LowestFreeConnId(const RemoteDevice *self)
{
    USHORT id = 0;
    RemoteDevice *other;
    while ((other = RemoteByConnIdLocked(id)) != NULL && other != self)
        id++;
    return id;
}

static void AnnounceLink(Work *w, RemoteDevice *d)
{
    ZrEvent ev;
    RtlZeroMemory(&ev, sizeof ev);
    ev.connection.type = ZR_EVT_CONNECTION;
    RtlCopyMemory(ev.connection.bda, d->bda, 6);
    ev.connection.conn_id = d->conn_id;
    ev.connection.connected = d->connected;
    DeliverRegisteredLocked(w, &ev);
    if (d->connected)
        CaptureLinkUpLocked(d);
    else
        CaptureLinkDownLocked(d, HCI_REMOTE_TERMINATED);
}

/* Announced even when the link was up already: a reconnection under conn_id. */
static void LinkUpAsLocked(Work *w, RemoteDevice *d, USHORT conn_id)
{
    d->conn_id = conn_id == VCTL_CONN_ID_LOWEST ? LowestFreeConnId(d) : conn_id;
    d->connected = TRUE;
    d->connect_pending = FALSE;
    AnnounceLink(w, d);
}

static void LinkUpLocked(Work *w, RemoteDevice *d)
{
    if (!d->connected)
        LinkUpAsLocked(w, d, VCTL_CONN_ID_LOWEST);
}

void RemoteLinkDownLocked(Work *w, RemoteDevice *d)
{
    if (!d->connected)
        return;
    d->connected = FALSE;
    AnnounceLink(w, d);
}

/* The driver loses the disconnection; the air and the controller saw the link time out. */
static void LoseLinkLocked(RemoteDevice *d)
{
    if (d->connected)
        CaptureLinkDownLocked(d, HCI_LINK_TIMEOUT);
    d->connected = FALSE;
}

void RemoteDisconnectAllLocked(void)
{
    ULONG i;
    for (i = 0; i < ZR_MAX_DEVICES; i++) {
        if (g_zr.devices[i]) {
            if (g_zr.devices[i]->connected)
                CaptureLinkDownLocked(g_zr.devices[i], HCI_LOCAL_TERMINATED);
            g_zr.devices[i]->connected = FALSE;
            g_zr.devices[i]->connect_pending = FALSE;
        }
    }
}

void RemoteClearLocked(RemoteDevice **freed, ULONG *count)
{
    ULONG i;
    for (i = 0; i < ZR_MAX_DEVICES; i++) {
        if (g_zr.devices[i])
            freed[(*count)++] = g_zr.devices[i];
        g_zr.devices[i] = NULL;
    }
}

/* ---- contract requests ---- */

NTSTATUS RemoteConnect(Request *r)
{
    const ZrConnectReq *req = (const ZrConnectReq *)r->in;
    RemoteDevice *d = RemoteByAddressLocked(req->bda);
    if (!d)
        return STATUS_SUCCESS;
    if (d->flags & VCTL_DEV_REFUSE_CONNECT)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (d->flags & VCTL_DEV_AUTO_CONNECT)
        LinkUpLocked(r->work, d);
    else if (!d->connected)
        d->connect_pending = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS RemoteCancelConnect(Request *r)
{
    RemoteDevice *d = RemoteByAddressLocked(((const ZrConnectReq *)r->in)->bda);
    if (d) {
        d->connect_pending = FALSE;
        d->cancels++;
    }
    return STATUS_SUCCESS;
}

static void SendDiscResult(Request *r, USHORT conn_id, UCHAR type, const ZrDiscResult *result)
{
    ZrEvent ev;
    RtlZeroMemory(&ev, sizeof ev);
    ev.disc_result.type = ZR_EVT_DISC_RESULT;
    ev.disc_result.conn_id = conn_id;
    ev.disc_result.disc_type = type;
    ev.disc_result.result = *result;
    ProduceLocked(r, r->ch, &ev);
}

/* The UUID of an included service: in the declaration when 16-bit, else from the service itself. */
static LeUuid IncludedUuid(RemoteDevice *d, const RemoteAttr *a)
{
    RemoteAttr *svc;
    if (a->hdr.value_len >= 6)
        return UuidFrom(a->value + 4, 2);
    svc = RemoteAttrLocked(d, GetU16(a->value));
    return svc ? UuidFrom(svc->value, svc->hdr.value_len) : UuidFrom(NULL, 0);
}

/* Fills the result record for one attribute; FALSE when the attribute is not one this discovery finds. */
static BOOLEAN DiscoveredAs(RemoteDevice *d, const RemoteAttr *a, UCHAR type, ZrDiscResult *res)
{
    RtlZeroMemory(res, sizeof *res);
    res->attr_type = a->hdr.type;
    res->handle = a->hdr.handle;
    switch (type) {
    case ZR_DISC_ALL_SERVICES:
        if (!IsType(a, UUID_PRIMARY_SERVICE))
            return FALSE;
        res->u.service.e_handle = a->hdr.end_handle;
        res->u.service.uuid = UuidFrom(a->value, a->hdr.value_len);
        return TRUE;
    case ZR_DISC_INCLUDED:
        if (!IsType(a, UUID_INCLUDE) || a->hdr.value_len < 4)
            return FALSE;
        res->u.include.uuid = IncludedUuid(d, a);
        res->u.include.s_handle = GetU16(a->value);
        res->u.include.e_handle = GetU16(a->value + 2);
        return TRUE;
    case ZR_DISC_CHARS:
        if (!IsType(a, UUID_CHARACTERISTIC) || a->hdr.value_len < 5)
            return FALSE;
        res->u.chr.properties = a->value[0];
        res->u.chr.val_handle = GetU16(a->value + 1);
        res->u.chr.uuid = UuidFrom(a->value + 3, a->hdr.value_len - 3u);
        return TRUE;
    case ZR_DISC_DESCRS:
        return TRUE;
    default:
        return FALSE;
    }
}

NTSTATUS RemoteDiscover(Request *r)
{
    const ZrDiscoverReq *req = (const ZrDiscoverReq *)r->in;
    RemoteDevice *d = RemoteByConnIdLocked(req->conn_id);
    ZrDiscResult res;
    ZrEvent done;
    UCHAR status = r->has_event_status ? r->event_status : 0;
    ULONG i;
    if (!d)
        return STATUS_SUCCESS;
    r->peer = d;
    for (i = 0; i < d->attr_count && status == 0; i++) {
        const RemoteAttr *a = &d->attrs[i];
        if (a->hdr.handle >= req->s_handle && a->hdr.handle <= req->e_handle && DiscoveredAs(d, a, req->type, &res))
            SendDiscResult(r, req->conn_id, req->type, &res);
    }
    RtlZeroMemory(&done, sizeof done);
    done.disc_complete.type = ZR_EVT_DISC_COMPLETE;
    done.disc_complete.conn_id = req->conn_id;
    done.disc_complete.disc_type = req->type;
    done.disc_complete.status = status;
    ProduceLocked(r, r->ch, &done);
    CaptureDiscoveryLocked(d, req, status);
    return STATUS_SUCCESS;
}

static void SendCompletion(Request *r, USHORT conn_id, UCHAR op, UCHAR status, USHORT handle, UCHAR auth_req,
                           const UCHAR *value, USHORT len)
{
    ZrEvent ev;
    RtlZeroMemory(&ev, sizeof ev);
    ev.complete.type = ZR_EVT_COMPLETE;
    ev.complete.conn_id = conn_id;
    ev.complete.op = op;
    ev.complete.status = r->has_event_status ? r->event_status : status;
    ev.complete.payload.conn_id = conn_id;
    ev.complete.payload.handle = handle;
    ev.complete.payload.auth_req = auth_req;
    if (ev.complete.status == 0 && value) {
        ev.complete.payload.len = len;
        RtlCopyMemory(ev.complete.payload.value, value, len);
    }
    ProduceLocked(r, r->ch, &ev);
}

NTSTATUS RemoteRead(Request *r)
{
    const ZrReadReq *req = (const ZrReadReq *)r->in;
    RemoteDevice *d = RemoteByConnIdLocked(req->conn_id);
    RemoteAttr *a;
    if (!d)
        return STATUS_SUCCESS;
    r->peer = d;
    if (LoopbackRequest(r, d, VCTL_CENTRAL_READ, req->param.handle, NULL, 1))
        return STATUS_SUCCESS;
    a = RemoteAttrLocked(d, req->param.handle);
    CaptureHandleValueLocked(d->conn_id, VCTL_CAPTURE_SENT, ATT_OP_READ_REQ, req->param.handle, NULL, 0);
    CaptureOutcomeLocked(d->conn_id, VCTL_CAPTURE_RECEIVED, ATT_OP_READ_REQ, req->param.handle,
                         r->has_event_status ? r->event_status : a ? a->hdr.read_status : ATT_INVALID_HANDLE,
                         a ? a->value : NULL, a ? a->hdr.value_len : 0);
    if (!a)
        SendCompletion(r, req->conn_id, ZR_OP_READ, ATT_INVALID_HANDLE, req->param.handle, req->param.auth_req, NULL, 0);
    else
        SendCompletion(r, req->conn_id, ZR_OP_READ, a->hdr.read_status, a->hdr.handle, req->param.auth_req,
                       a->hdr.read_status ? NULL : a->value, a->hdr.value_len);
    return STATUS_SUCCESS;
}

/*
 * A write with response answers with the attribute's write status; one without
 * response always completes with 0, as nothing comes back from the server.
 * A rejected write leaves the value as it was.
 */
NTSTATUS RemoteWrite(Request *r)
{
    const ZrWriteReq *req = (const ZrWriteReq *)r->in;
    RemoteDevice *d = RemoteByConnIdLocked(req->conn_id);
    RemoteAttr *a;
    UCHAR status;
    USHORT len = req->value.len < LE_MAX_VALUE ? req->value.len : LE_MAX_VALUE;
    r->out[0] = 0;
    if (!d || r->refused)
        return STATUS_SUCCESS;
    r->peer = d;
    if (LoopbackRequest(r, d, VCTL_CENTRAL_WRITE, req->value.handle, &req->value, req->type == 2))
        return STATUS_SUCCESS;
    a = RemoteAttrLocked(d, req->value.handle);
    status = a ? a->hdr.write_status : ATT_INVALID_HANDLE;
    if (a && status == 0 && !(r->has_event_status && r->event_status)) {
        RtlCopyMemory(a->value, req->value.value, len);
        a->hdr.value_len = len;
    }
    CaptureHandleValueLocked(d->conn_id, VCTL_CAPTURE_SENT, req->type == 1 ? ATT_OP_WRITE_CMD : ATT_OP_WRITE_REQ,
                             req->value.handle, req->value.value, len);
    if (req->type != 1)
        CaptureOutcomeLocked(d->conn_id, VCTL_CAPTURE_RECEIVED, ATT_OP_WRITE_REQ, req->value.handle,
                             r->has_event_status ? r->event_status : status, NULL, 0);
    if (req->type == 1)
        status = 0;
    SendCompletion(r, req->conn_id, ZR_OP_WRITE, status, req->value.handle, req->value.auth_req, NULL, 0);
    return STATUS_SUCCESS;
}

/* ---- test control ---- */

/* Parses VctlDevice + attr_count VctlAttr records (the control table has checked
 * the header is there) into a new device; NULL when malformed. */
static RemoteDevice *ParseDevice(const UCHAR *in, ULONG in_len, NTSTATUS *status)
{
    const VctlDevice *hdr = (const VctlDevice *)in;
    RemoteDevice *d;
    ULONG offset = sizeof *hdr, i;
    *status = STATUS_INVALID_PARAMETER;
    if (hdr->attr_count > ZR_MAX_ATTRS)
        return NULL;
    d = ZrAlloc(FIELD_OFFSET(RemoteDevice, attrs) + sizeof(RemoteAttr) * (hdr->attr_count ? hdr->attr_count : 1));
    if (!d) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return NULL;
    }
    RtlCopyMemory(d->bda, hdr->bda, 6);
    d->flags = hdr->flags;
    d->attr_count = hdr->attr_count;
    for (i = 0; i < d->attr_count; i++) {
        RemoteAttr *a = &d->attrs[i];
        if (in_len - offset < sizeof a->hdr)
            break;
        RtlCopyMemory(&a->hdr, in + offset, sizeof a->hdr);
        offset += sizeof a->hdr;
        if (a->hdr.value_len > LE_MAX_VALUE || in_len - offset < a->hdr.value_len)
            break;
        RtlCopyMemory(a->value, in + offset, a->hdr.value_len);
        offset += a->hdr.value_len;
    }
    if (i < d->attr_count || offset != in_len) {
        ZrFree(d);
        return NULL;
    }
    *status = STATUS_SUCCESS;
    return d;
}

/* A device added again under a known address replaces the old one and keeps its link. */
NTSTATUS RemoteAddDevice(ControlIo *io)
{
    NTSTATUS status;
    RemoteDevice *d = ParseDevice(io->buffer, io->in_len, &status), *old = NULL, **slot;
    ULONG i;
    Work w;
    if (!d)
        return CompleteNow(io->irp, status, 0);
    Lock(&w);
    slot = SlotByAddress(d->bda);
    for (i = 0; !slot && i < ZR_MAX_DEVICES; i++) {
        if (!g_zr.devices[i])
            slot = &g_zr.devices[i];
    }
    if (slot) {
        old = *slot;
        if (old) {
            d->connected = old->connected;
            d->connect_pending = old->connect_pending;
            d->conn_id = old->conn_id;
            d->cancels = old->cancels;
        }
        *slot = d;
        d = NULL;
        w.changed = TRUE;
        status = STATUS_SUCCESS;
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    FinishIrp(&w, io->irp, status, 0);
    Unlock(&w);
    ZrFree(old);
    ZrFree(d);
    return status;
}

NTSTATUS RemoteRemoveDevice(ControlIo *io)
{
    RemoteDevice **slot, *old = NULL;
    NTSTATUS status = STATUS_NOT_FOUND;
    Work w;
    Lock(&w);
    slot = SlotByAddress(((const VctlAddress *)io->buffer)->bda);
    if (slot) {
        old = *slot;
        RemoteLinkDownLocked(&w, old);
        *slot = NULL;
        w.changed = TRUE;
        status = STATUS_SUCCESS;
    }
    FinishIrp(&w, io->irp, status, 0);
    Unlock(&w);
    ZrFree(old);
    return status;
}

NTSTATUS RemoteGetAttr(ControlIo *io)
{
    UCHAR *buffer = io->buffer;
    ULONG out_room = io->out_room;
    VctlAttrQuery q;
    RemoteDevice *d;
    RemoteAttr *a = NULL;
    ULONG len = 0;
    NTSTATUS status = STATUS_NOT_FOUND;
    Work w;
    RtlCopyMemory(&q, buffer, sizeof q);
    Lock(&w);
    d = RemoteByAddressLocked(q.bda);
    if (d)
        a = RemoteAttrLocked(d, q.handle);
    if (a) {
        len = a->hdr.value_len < out_room - sizeof a->hdr ? a->hdr.value_len : out_room - sizeof a->hdr;
        RtlCopyMemory(buffer, &a->hdr, sizeof a->hdr);
        RtlCopyMemory(buffer + sizeof a->hdr, a->value, len);
        len += sizeof a->hdr;
        status = STATUS_SUCCESS;
    }
    FinishIrp(&w, io->irp, status, len);
    Unlock(&w);
    return status;
}

/* Link up or down (set link), up under a conn_id (link up), up only while a connect is pending (advertise), or
 * down without an event (lose link). */
NTSTATUS RemoteChangeLink(ControlIo *io)
{
    const VctlLink *set = io->buffer;
    const VctlLinkUp *up = io->buffer;
    ULONG code = io->code;
    RemoteDevice *d;
    NTSTATUS status = STATUS_NOT_FOUND;
    Work w;
    Lock(&w);
    d = RemoteByAddressLocked(io->buffer);
    if (d) {
        if (code == VCTL_LINK_UP)
            LinkUpAsLocked(&w, d, up->conn_id);
        else if (code == VCTL_LOSE_LINK)
            LoseLinkLocked(d);
        else if (code == VCTL_SET_LINK ? set->connected : d->connect_pending)
            LinkUpLocked(&w, d);
        else if (code == VCTL_SET_LINK)
            RemoteLinkDownLocked(&w, d);
        status = STATUS_SUCCESS;
    }
    FinishIrp(&w, io->irp, status, 0);
    Unlock(&w);
    return status;
}

NTSTATUS RemoteGetDevice(ControlIo *io)
{
    UCHAR *buffer = io->buffer;
    VctlDeviceState state;
    RemoteDevice *d;
    NTSTATUS status = STATUS_NOT_FOUND;
    Work w;
    RtlZeroMemory(&state, sizeof state);
    Lock(&w);
    d = RemoteByAddressLocked(((const VctlAddress *)buffer)->bda);
    if (d) {
        state.connected = d->connected;
        state.connect_pending = d->connect_pending;
        state.conn_id = d->conn_id;
        state.cancels = d->cancels;
        status = STATUS_SUCCESS;
    }
    Unlock(&w);
    if (status == STATUS_SUCCESS)
        RtlCopyMemory(buffer, &state, sizeof state);
    return CompleteNow(io->irp, status, status == STATUS_SUCCESS ? sizeof state : 0);
}
