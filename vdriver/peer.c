/*
 * Peers beyond a plain GATT server: value pushes of simulated peripherals with
 * their confirmations, simulated centrals that read and write our local
 * services, loopback centrals that join two channels, and the faults that
 * hold, drop or cut off what a request produces.
 */
#include "vdriver.h"

#define ATT_INVALID_HANDLE 0x01
#define ATT_WRITE_NOT_PERMITTED 0x03
#define KEEP_INDEX(n) ((n) % VCTL_CENTRAL_KEEP)

static BOOLEAN IsCentral(const RemoteDevice *d) { return d && (d->flags & (VCTL_DEV_CENTRAL | VCTL_DEV_LOOPBACK)); }

static USHORT CutLen(ULONG len) { return (USHORT)(len < LE_MAX_VALUE ? len : LE_MAX_VALUE); }

static void MakeCompletion(ZrEvent *ev, USHORT conn_id, UCHAR op, UCHAR status, USHORT handle, UCHAR auth_req,
                           const UCHAR *value, USHORT len)
{
    RtlZeroMemory(ev, sizeof *ev);
    ev->complete.type = ZR_EVT_COMPLETE;
    ev->complete.conn_id = conn_id;
    ev->complete.op = op;
    ev->complete.status = status;
    ev->complete.payload.conn_id = conn_id;
    ev->complete.payload.handle = handle;
    ev->complete.payload.auth_req = auth_req;
    ev->complete.payload.len = len;
    if (value)
        RtlCopyMemory(ev->complete.payload.value, value, CutLen(len));
}

/* ---- event faults ---- */

void ProduceLocked(Request *r, Channel *to, const ZrEvent *ev)
{
    if (!to || r->event_fault == VCTL_FAULT_DROP_EVENT)
        return;
    if (r->event_fault == VCTL_FAULT_HOLD_EVENT && g_zr.held_count < VCTL_MAX_HELD) {
        g_zr.held_channel[g_zr.held_count] = to->id;
        RtlCopyMemory(&g_zr.held[g_zr.held_count++], ev, sizeof *ev);
        return;
    }
    DeliverLocked(r->work, to, ev);
}

void AfterRequestLocked(Request *r)
{
    if (r->event_fault == VCTL_FAULT_DROP_LINK && r->peer)
        RemoteLinkDownLocked(r->work, r->peer);
}

NTSTATUS PeerReleaseHeld(ControlIo *io)
{
    IRP *irp = io->irp;
    ULONG i, released;
    Work w;
    Lock(&w);
    for (i = 0; i < g_zr.held_count; i++) {
        Channel *ch = FindChannel(g_zr.held_channel[i]);
        if (ch)
            DeliverLocked(&w, ch, &g_zr.held[i]);
    }
    released = g_zr.held_count;
    g_zr.held_count = 0;
    w.changed = TRUE;
    *(ULONG *)irp->AssociatedIrp.SystemBuffer = released;
    FinishIrp(&w, irp, STATUS_SUCCESS, sizeof(ULONG));
    Unlock(&w);
    return STATUS_SUCCESS;
}

void PeerResetLocked(void)
{
    g_zr.held_count = 0;
    g_zr.next_trans_id = 1;
}

/* ---- centrals: transactions ---- */

/* A declaration is the controller's own, as on a real server: a read gets its
 * value, a write is not permitted; the owner of the service hears of neither. */
static NTSTATUS AnswerDeclaration(VctlCentralTx *tx, const VctlLocalAttr *attr)
{
    if (tx->kind != VCTL_CENTRAL_READ && !tx->need_rsp)
        return STATUS_SUCCESS;
    tx->answers = 1;
    if (tx->kind != VCTL_CENTRAL_READ)
        tx->status = ATT_WRITE_NOT_PERMITTED;
    else
        LocalDeclarationLocked(attr, tx->value, &tx->len);
    return STATUS_SUCCESS;
}

/* Records a transaction and posts its request to the owner of the handle; the
 * controller answers a declaration itself. */
static NTSTATUS PostTransactionLocked(Work *w, RemoteDevice *d, UCHAR kind, USHORT handle, const UCHAR *value,
                                      USHORT len, UCHAR need_rsp, ULONG trans_id, ULONG requester)
{
    const VctlLocalAttr *attr = LocalAttrLocked(handle);
    const VctlLocalAttr *svc = attr ? LocalAttrLocked(attr->kind == VCTL_LOCAL_SERVICE ? handle : attr->service) : NULL;
    Channel *owner = svc ? FindChannel(svc->owner) : NULL;
    VctlCentral *seen = &d->peer.seen;
    VctlCentralTx *tx;
    ZrEvent ev;
    if (!owner)
        return STATUS_NOT_FOUND;
    if (!svc->started)
        return STATUS_DEVICE_NOT_READY;
    tx = &seen->tx[KEEP_INDEX(seen->tx_count)];
    d->peer.tx_requester[KEEP_INDEX(seen->tx_count)] = requester;
    seen->tx_count++;
    RtlZeroMemory(tx, sizeof *tx);
    tx->trans_id = trans_id;
    tx->handle = handle;
    tx->kind = kind;
    tx->need_rsp = need_rsp;
    if (attr->kind != VCTL_LOCAL_CHAR_VALUE && attr->kind != VCTL_LOCAL_DESCRIPTOR)
        return AnswerDeclaration(tx, attr);
    RtlZeroMemory(&ev, sizeof ev);
    ev.request.type = ZR_EVT_REQUEST;
    ev.request.conn_id = d->conn_id;
    ev.request.trans_id = trans_id;
    ev.request.req_type = kind;
    ev.request.payload.handle = handle;
    ev.request.payload.len = len;
    ev.request.payload.need_rsp = need_rsp;
    if (value)
        RtlCopyMemory(ev.request.payload.value, value, CutLen(len));
    DeliverLocked(w, owner, &ev);
    return STATUS_SUCCESS;
}

/* The ATT request a central's read or write travels as, and the request opcode its answer names. */
static UCHAR RequestOpcode(UCHAR kind, UCHAR need_rsp)
{
    return kind == VCTL_CENTRAL_READ ? ATT_OP_READ_REQ : need_rsp ? ATT_OP_WRITE_REQ : ATT_OP_WRITE_CMD;
}

static void CaptureAnswer(const RemoteDevice *d, UCHAR direction, const VctlCentralTx *tx)
{
    CaptureOutcomeLocked(d->conn_id, direction, RequestOpcode(tx->kind, 1), tx->handle, tx->status, tx->value,
                         tx->len);
}

static ULONG NextTransId(void) { return g_zr.next_trans_id ? g_zr.next_trans_id : 1; }

/* The id a transaction gets; the count goes on after it. */
static ULONG TakeTransId(ULONG wanted)
{
    ULONG id = wanted ? wanted : NextTransId();
    g_zr.next_trans_id = id + 1;
    return id;
}

/* The loopback client learns the answer as the completion of its read or write. */
static void AnswerRequester(Request *r, RemoteDevice *d, const VctlCentralTx *tx, ULONG requester)
{
    ZrEvent ev;
    UCHAR op = tx->kind == VCTL_CENTRAL_READ ? ZR_OP_READ : ZR_OP_WRITE;
    MakeCompletion(&ev, d->conn_id, op, tx->status, tx->handle, 0, op == ZR_OP_READ ? tx->value : NULL,
                   op == ZR_OP_READ ? tx->len : 0);
    ProduceLocked(r, FindChannel(requester), &ev);
    CaptureAnswer(d, VCTL_CAPTURE_RECEIVED, tx);
}

/* A read or write of a loopback central's client: a transaction for the owner of the handle. */
BOOLEAN LoopbackRequest(Request *r, RemoteDevice *d, UCHAR kind, USHORT handle, const LeAttrValue *value,
                        UCHAR need_rsp)
{
    ZrEvent ev;
    UCHAR op = kind == VCTL_CENTRAL_READ ? ZR_OP_READ : ZR_OP_WRITE;
    const VctlCentralTx *tx = &d->peer.seen.tx[KEEP_INDEX(d->peer.seen.tx_count)];
    if (!(d->flags & VCTL_DEV_LOOPBACK))
        return FALSE;
    CaptureHandleValueLocked(d->conn_id, VCTL_CAPTURE_SENT, RequestOpcode(kind, need_rsp), handle,
                             value ? value->value : NULL, value ? CutLen(value->len) : 0);
    if (!NT_SUCCESS(PostTransactionLocked(r->work, d, kind, handle, value ? value->value : NULL,
                                          value ? value->len : 0, need_rsp, TakeTransId(0), r->ch->id))) {
        CaptureErrorLocked(d->conn_id, VCTL_CAPTURE_RECEIVED, RequestOpcode(kind, 1), handle, ATT_INVALID_HANDLE);
        MakeCompletion(&ev, d->conn_id, op, ATT_INVALID_HANDLE, handle, 0, NULL, 0);
        ProduceLocked(r, r->ch, &ev);
    } else if (tx->answers) {
        AnswerRequester(r, d, tx, r->ch->id);
    } else if (!need_rsp) {
        MakeCompletion(&ev, d->conn_id, op, 0, handle, 0, NULL, 0);
        ProduceLocked(r, r->ch, &ev);
    }
    return TRUE;
}

/* What the local server answers at once: a refusal, or a declaration's value (see AnswerDeclaration). */
static void CaptureRefusalOrAnswer(const RemoteDevice *d, const VctlCentralRequest *req, NTSTATUS status)
{
    const VctlCentralTx *tx = &d->peer.seen.tx[KEEP_INDEX(d->peer.seen.tx_count - 1)];
    if (!NT_SUCCESS(status))
        CaptureErrorLocked(d->conn_id, VCTL_CAPTURE_SENT, RequestOpcode(req->kind, 1), req->handle,
                           ATT_INVALID_HANDLE);
    else if (tx->answers)
        CaptureAnswer(d, VCTL_CAPTURE_SENT, tx);
}

NTSTATUS PeerCentralRequest(ControlIo *io)
{
    IRP *irp = io->irp;
    const VctlCentralRequest *req = io->buffer;
    RemoteDevice *d;
    NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
    ULONG trans_id = 0;
    Work w;
    if (req->value_len > LE_MAX_VALUE)
        return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
    Lock(&w);
    d = RemoteByAddressLocked(req->bda);
    if (IsCentral(d) && d->connected) {
        trans_id = req->trans_id ? req->trans_id : NextTransId();
        CaptureHandleValueLocked(d->conn_id, VCTL_CAPTURE_RECEIVED, RequestOpcode(req->kind, req->need_rsp),
                                 req->handle, req->value, req->value_len);
        status = PostTransactionLocked(&w, d, req->kind, req->handle, req->value, req->value_len, req->need_rsp,
                                       trans_id, 0);
        if (NT_SUCCESS(status))
            TakeTransId(trans_id);
        CaptureRefusalOrAnswer(d, req, status);
    }
    w.changed = TRUE;
    *(ULONG *)irp->AssociatedIrp.SystemBuffer = trans_id;
    FinishIrp(&w, irp, status, NT_SUCCESS(status) ? sizeof trans_id : 0);
    Unlock(&w);
    return status;
}

static VctlCentralTx *FindTx(RemoteDevice *d, ULONG trans_id, ULONG *requester)
{
    ULONG n = d->peer.seen.tx_count < VCTL_CENTRAL_KEEP ? d->peer.seen.tx_count : VCTL_CENTRAL_KEEP, i;
    for (i = 0; i < n; i++) {
        if (d->peer.seen.tx[i].trans_id == trans_id) {
            *requester = d->peer.tx_requester[i];
            return &d->peer.seen.tx[i];
        }
    }
    return NULL;
}

NTSTATUS PeerSendRsp(Request *r)
{
    const ZrSendRspReq *req = (const ZrSendRspReq *)r->in;
    RemoteDevice *d = RemoteByConnIdLocked(req->conn_id);
    VctlCentralTx *tx;
    ULONG requester = 0;
    r->out[0] = 0;
    if (!IsCentral(d))
        return STATUS_SUCCESS;
    r->peer = d;
    tx = FindTx(d, req->trans_id, &requester);
    if (!tx || !tx->need_rsp || tx->answers) {
        d->peer.seen.refused++;
        if (tx && tx->answers) {
            d->peer.seen.duplicates++;
            tx->answers++;
        }
        r->out[0] = 1;
        return STATUS_SUCCESS;
    }
    tx->answers = 1;
    tx->status = req->status;
    tx->len = CutLen(req->rsp.len);
    RtlCopyMemory(tx->value, req->rsp.value, LE_MAX_VALUE);
    d->peer.seen.responses++;
    if (requester)
        AnswerRequester(r, d, tx, requester);
    else
        CaptureAnswer(d, VCTL_CAPTURE_SENT, tx);
    return STATUS_SUCCESS;
}

/* ---- values pushed to a central ---- */

static void Receive(RemoteDevice *d, UCHAR kind, const ZrHandleValueReq *req)
{
    VctlReceived *got = &d->peer.seen.last[KEEP_INDEX(d->peer.seen.received)];
    d->peer.seen.received++;
    got->kind = kind;
    got->handle = req->attr_handle;
    got->len = CutLen(req->val_len);
    RtlZeroMemory(got->value, sizeof got->value);
    RtlCopyMemory(got->value, req->value, got->len);
}

/* A loopback central hands the value to the other side's channels. */
static void ForwardPush(Request *r, RemoteDevice *d, UCHAR op, const ZrHandleValueReq *req)
{
    LIST_ENTRY *e;
    ZrEvent ev;
    MakeCompletion(&ev, d->conn_id, op, 0, req->attr_handle, 0, req->value, CutLen(req->val_len));
    for (e = g_zr.channels.Flink; e != &g_zr.channels; e = e->Flink) {
        Channel *ch = CONTAINING_RECORD(e, Channel, link);
        if (ch->registered && ch != r->ch)
            ProduceLocked(r, ch, &ev);
    }
}

static NTSTATUS Push(Request *r, UCHAR kind)
{
    const ZrHandleValueReq *req = (const ZrHandleValueReq *)r->in;
    RemoteDevice *d = RemoteByConnIdLocked(req->conn_id);
    ZrEvent ev;
    r->out[0] = 0;
    if (!IsCentral(d) || r->refused)
        return STATUS_SUCCESS;
    r->peer = d;
    Receive(d, kind, req);
    /* A loopback link is its client's: the value comes to it. */
    CaptureHandleValueLocked(d->conn_id, (d->flags & VCTL_DEV_LOOPBACK) ? VCTL_CAPTURE_RECEIVED : VCTL_CAPTURE_SENT,
                             kind == VCTL_KIND_INDICATION ? ATT_OP_INDICATE : ATT_OP_NOTIFY, req->attr_handle,
                             req->value, CutLen(req->val_len));
    if (d->flags & VCTL_DEV_LOOPBACK) {
        ForwardPush(r, d, kind, req);
        if (kind == VCTL_KIND_INDICATION)
            d->peer.ind_sender = r->ch->id;
    } else if (kind == VCTL_KIND_INDICATION && !(d->flags & VCTL_DEV_NEVER_CONFIRM)) {
        d->peer.seen.confirmed++;
        if (!(UCHAR)(d->flags >> 8))
            CaptureConfirmLocked(d->conn_id, VCTL_CAPTURE_RECEIVED);
        MakeCompletion(&ev, d->conn_id, ZR_OP_INDICATION_DONE, (UCHAR)(d->flags >> 8), req->attr_handle, 0, NULL, 0);
        ProduceLocked(r, r->ch, &ev);
    }
    return STATUS_SUCCESS;
}

NTSTATUS PeerIndication(Request *r) { return Push(r, VCTL_KIND_INDICATION); }

NTSTATUS PeerNotification(Request *r) { return Push(r, VCTL_KIND_NOTIFICATION); }

/* ---- confirmations from the library ---- */

NTSTATUS PeerConfirm(Request *r)
{
    const ZrConfirmReq *req = (const ZrConfirmReq *)r->in;
    RemoteDevice *d = RemoteByConnIdLocked(req->conn_id);
    VctlCentral *seen;
    ZrEvent ev;
    if (!d)
        return STATUS_SUCCESS;
    r->peer = d;
    seen = &d->peer.seen;
    CaptureConfirmLocked(d->conn_id, VCTL_CAPTURE_SENT);
    if (d->peer.ind_sender) {
        seen->confirmed++;
        MakeCompletion(&ev, d->conn_id, ZR_OP_INDICATION_DONE, 0, req->handle, 0, NULL, 0);
        ProduceLocked(r, FindChannel(d->peer.ind_sender), &ev);
        d->peer.ind_sender = 0;
    } else if (!seen->indications_outstanding) {
        seen->confirms_unexpected++;
    } else if (req->handle != d->peer.ind_handle) {
        seen->confirms_wrong_handle++;
    } else {
        seen->confirms_good++;
        seen->indications_outstanding--;
    }
    return STATUS_SUCCESS;
}

/* ---- test control ---- */

NTSTATUS PeerRemoteNotify(ControlIo *io)
{
    IRP *irp = io->irp;
    const VctlNotify *n = io->buffer;
    RemoteDevice *d;
    RemoteAttr *a = NULL;
    NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
    ZrEvent ev;
    ULONG i;
    Work w;
    if (n->value_len > LE_MAX_VALUE || (n->kind != VCTL_KIND_NOTIFICATION && n->kind != VCTL_KIND_INDICATION))
        return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
    Lock(&w);
    d = RemoteByAddressLocked(n->bda);
    if (d && n->use_stored)
        a = RemoteAttrLocked(d, n->handle);
    if (d && n->use_stored && !a) {
        status = STATUS_NOT_FOUND;
    } else if (d && d->connected) {
        MakeCompletion(&ev, d->conn_id, n->kind, 0, n->handle, n->auth_req, a ? a->value : n->value,
                       a ? a->hdr.value_len : n->value_len);
        for (i = 0; i < n->count; i++) {
            RouteLocked(&w, &ev);
            CaptureHandleValueLocked(d->conn_id, VCTL_CAPTURE_RECEIVED,
                                     n->kind == VCTL_KIND_INDICATION ? ATT_OP_INDICATE : ATT_OP_NOTIFY, n->handle,
                                     ev.complete.payload.value, ev.complete.payload.len);
        }
        if (n->kind == VCTL_KIND_INDICATION) {
            d->peer.seen.indications_outstanding += n->count;
            d->peer.ind_handle = n->handle;
        }
        status = STATUS_SUCCESS;
    }
    w.changed = TRUE;
    FinishIrp(&w, irp, status, 0);
    Unlock(&w);
    return status;
}

/* The rings in order, oldest first. */
static void Ordered(const VctlCentral *from, VctlCentral *to)
{
    ULONG i, n;
    RtlCopyMemory(to, from, FIELD_OFFSET(VctlCentral, tx));
    RtlZeroMemory(to->tx, sizeof to->tx + sizeof to->last);
    n = from->tx_count < VCTL_CENTRAL_KEEP ? from->tx_count : VCTL_CENTRAL_KEEP;
    for (i = 0; i < n; i++)
        to->tx[i] = from->tx[KEEP_INDEX(from->tx_count - n + i)];
    n = from->received < VCTL_CENTRAL_KEEP ? from->received : VCTL_CENTRAL_KEEP;
    for (i = 0; i < n; i++)
        to->last[i] = from->last[KEEP_INDEX(from->received - n + i)];
}

NTSTATUS PeerGetCentral(ControlIo *io)
{
    IRP *irp = io->irp;
    VctlAddress q;
    RemoteDevice *d;
    NTSTATUS status = STATUS_NOT_FOUND;
    Work w;
    RtlCopyMemory(&q, irp->AssociatedIrp.SystemBuffer, sizeof q);
    Lock(&w);
    d = RemoteByAddressLocked(q.bda);
    if (d) {
        Ordered(&d->peer.seen, irp->AssociatedIrp.SystemBuffer);
        status = STATUS_SUCCESS;
    }
    FinishIrp(&w, irp, status, NT_SUCCESS(status) ? sizeof(VctlCentral) : 0);
    Unlock(&w);
    return status;
}
