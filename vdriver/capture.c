/*
 * The air capture (see vctl.h): a ring of records allocated once, which the
 * simulated devices fill with the PDUs and HCI events their links would carry
 * as they act. Everything here runs under the driver's lock.
 */
#include "vdriver.h"

#define ATT_ERROR_RSP 0x01
#define ATT_MTU_REQ 0x02
#define ATT_FIND_INFO_REQ 0x04
#define ATT_READ_BY_TYPE_REQ 0x08
#define ATT_READ_BY_GROUP_REQ 0x10
#define ATT_INVALID_HANDLE 0x01
#define ATT_NOT_FOUND 0x0A
#define HCI_DISCONNECTION_COMPLETE 0x05
#define HCI_LE_META 0x3E
#define HCI_LE_CONNECTION_COMPLETE 0x01
#define UUID_PRIMARY_SERVICE 0x2800
#define UUID_INCLUDE 0x2802
#define UUID_CHARACTERISTIC 0x2803
#define ENTRY_MAX 22               /* handle, end handle or properties and value handle, 128-bit UUID */

typedef struct Slot {
    VctlCaptureRecord rec;
    UCHAR data[VCTL_CAPTURE_MAX_DATA];
} Slot;

static Slot *g_ring;               /* VCTL_CAPTURE_CAPACITY slots, record n in slot n % capacity */
static ULONG g_total;              /* records made: the number of the next */
static ULONG g_cleared;            /* the number of the first record after the last clear */
static BOOLEAN g_enabled;
static LARGE_INTEGER g_frequency;

NTSTATUS CaptureInit(void)
{
    g_ring = ZrAlloc(sizeof(Slot) * VCTL_CAPTURE_CAPACITY);
    g_total = g_cleared = 0;
    g_enabled = TRUE;
    KeQueryPerformanceCounter(&g_frequency);
    return g_ring ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void CaptureFree(void)
{
    ZrFree(g_ring);
    g_ring = NULL;
}

static BOOLEAN Recording(void) { return g_enabled && g_ring; }

static ULONG OldestKept(void)
{
    ULONG ring_start = g_total > VCTL_CAPTURE_CAPACITY ? g_total - VCTL_CAPTURE_CAPACITY : 0;
    return ring_start > g_cleared ? ring_start : g_cleared;
}

/* The next record, overwriting the oldest when the ring is full; NULL while recording is off. */
static Slot *Begin(USHORT conn_id, UCHAR kind, UCHAR direction)
{
    Slot *s;
    if (!Recording())
        return NULL;
    s = &g_ring[g_total % VCTL_CAPTURE_CAPACITY];
    s->rec.seq = g_total++;
    s->rec.time = KeQueryPerformanceCounter(NULL).QuadPart;
    s->rec.conn_handle = conn_id & 0x0FFF;
    s->rec.kind = kind;
    s->rec.direction = direction;
    s->rec.len = 0;
    return s;
}

static void PutBytes(Slot *s, const UCHAR *bytes, ULONG n)
{
    if (!s)
        return;
    if (n > VCTL_CAPTURE_MAX_DATA - (ULONG)s->rec.len)
        n = VCTL_CAPTURE_MAX_DATA - (ULONG)s->rec.len;
    RtlCopyMemory(s->data + s->rec.len, bytes, n);
    s->rec.len = (USHORT)(s->rec.len + n);
}

static void Put8(Slot *s, UCHAR byte) { PutBytes(s, &byte, 1); }

static void Put16(Slot *s, USHORT word)
{
    UCHAR b[2] = {(UCHAR)word, (UCHAR)(word >> 8)};
    PutBytes(s, b, 2);
}

static Slot *BeginAtt(USHORT conn_id, UCHAR direction, UCHAR opcode)
{
    Slot *s = Begin(conn_id, VCTL_CAPTURE_ATT, direction);
    Put8(s, opcode);
    return s;
}

static UCHAR Opposite(UCHAR direction)
{
    return direction == VCTL_CAPTURE_SENT ? VCTL_CAPTURE_RECEIVED : VCTL_CAPTURE_SENT;
}

void CaptureHandleValueLocked(USHORT conn_id, UCHAR direction, UCHAR opcode, USHORT handle, const UCHAR *value,
                              ULONG len)
{
    Slot *s = BeginAtt(conn_id, direction, opcode);
    Put16(s, handle);
    PutBytes(s, value, len);
}

void CaptureConfirmLocked(USHORT conn_id, UCHAR direction) { BeginAtt(conn_id, direction, ATT_OP_CONFIRM); }

void CaptureErrorLocked(USHORT conn_id, UCHAR direction, UCHAR request, USHORT handle, UCHAR code)
{
    Slot *s = BeginAtt(conn_id, direction, ATT_ERROR_RSP);
    Put8(s, request);
    Put16(s, handle);
    Put8(s, code);
}

void CaptureOutcomeLocked(USHORT conn_id, UCHAR direction, UCHAR request, USHORT handle, UCHAR status,
                          const UCHAR *value, ULONG len)
{
    Slot *s;
    if (status) {
        CaptureErrorLocked(conn_id, direction, request, handle, status);
        return;
    }
    s = BeginAtt(conn_id, direction, (UCHAR)(request + 1));
    if (request == ATT_OP_READ_REQ)
        PutBytes(s, value, len);
}

/* ---- links ---- */

/* The peer's role is central for a simulated central; the local host is central on every other link. */
void CaptureLinkUpLocked(const RemoteDevice *d)
{
    UCHAR client = (d->flags & VCTL_DEV_CENTRAL) ? VCTL_CAPTURE_RECEIVED : VCTL_CAPTURE_SENT;
    Slot *s = Begin(d->conn_id, VCTL_CAPTURE_EVENT, VCTL_CAPTURE_RECEIVED);
    ULONG i;
    Put8(s, HCI_LE_META);
    Put8(s, 19);
    Put8(s, HCI_LE_CONNECTION_COMPLETE);
    Put8(s, 0);                     /* status */
    Put16(s, d->conn_id & 0x0FFF);
    Put8(s, client == VCTL_CAPTURE_SENT ? 0 : 1);
    Put8(s, 0);                     /* a public address, least significant byte first */
    for (i = 0; i < 6; i++)
        Put8(s, d->bda[5 - i]);
    Put16(s, 0x0018);               /* interval 30 ms */
    Put16(s, 0);                    /* latency */
    Put16(s, 0x01F4);               /* supervision timeout 5 s */
    Put8(s, 0);                     /* clock accuracy */
    Put16(BeginAtt(d->conn_id, client, ATT_MTU_REQ), VCTL_CAPTURE_MTU);
    Put16(BeginAtt(d->conn_id, Opposite(client), ATT_MTU_REQ + 1), VCTL_CAPTURE_MTU);
}

void CaptureLinkDownLocked(const RemoteDevice *d, UCHAR reason)
{
    Slot *s = Begin(d->conn_id, VCTL_CAPTURE_EVENT, VCTL_CAPTURE_RECEIVED);
    Put8(s, HCI_DISCONNECTION_COMPLETE);
    Put8(s, 4);
    Put8(s, 0);
    Put16(s, d->conn_id & 0x0FFF);
    Put8(s, reason);
}

/* ---- discovery: the procedure a client runs, request by request ---- */

static USHORT U16(const UCHAR *p) { return (USHORT)(p[0] | p[1] << 8); }

static BOOLEAN IsType(const RemoteAttr *a, USHORT type)
{
    return a->hdr.type.len == 2 && U16(a->hdr.type.value) == type;
}

/* A UUID of the database (a GUID's memory when 128-bit) as the air carries it. */
static ULONG AirUuid(const UCHAR *bytes, ULONG n, UCHAR *out)
{
    LeUuid u;
    RtlZeroMemory(&u, sizeof u);
    u.len = n == 16 ? 16 : 2;
    RtlCopyMemory(u.value, bytes, n >= u.len ? u.len : n);
    return PutAirUuid(&u, out);
}

/* The request opcode of a discovery type, and the attribute type it asks for (0: none). */
static BOOLEAN Procedure(UCHAR type, UCHAR *opcode, USHORT *asked)
{
    *asked = 0;
    switch (type) {
    case ZR_DISC_ALL_SERVICES: *opcode = ATT_READ_BY_GROUP_REQ; *asked = UUID_PRIMARY_SERVICE; return TRUE;
    case ZR_DISC_INCLUDED: *opcode = ATT_READ_BY_TYPE_REQ; *asked = UUID_INCLUDE; return TRUE;
    case ZR_DISC_CHARS: *opcode = ATT_READ_BY_TYPE_REQ; *asked = UUID_CHARACTERISTIC; return TRUE;
    case ZR_DISC_DESCRS: *opcode = ATT_FIND_INFO_REQ; return TRUE;
    default: return FALSE;
    }
}

/* The entry an attribute adds to a response of the discovery type, at out: its length, 0 when the type does not
 * find it. */
static ULONG Entry(const RemoteAttr *a, UCHAR type, UCHAR *out)
{
    const UCHAR *v = a->value;
    ULONG n = a->hdr.value_len;
    out[0] = (UCHAR)a->hdr.handle;
    out[1] = (UCHAR)(a->hdr.handle >> 8);
    switch (type) {
    case ZR_DISC_ALL_SERVICES:
        if (!IsType(a, UUID_PRIMARY_SERVICE))
            return 0;
        out[2] = (UCHAR)a->hdr.end_handle;
        out[3] = (UCHAR)(a->hdr.end_handle >> 8);
        return 4 + AirUuid(v, n, out + 4);
    case ZR_DISC_INCLUDED:
        if (!IsType(a, UUID_INCLUDE) || n < 4)
            return 0;
        RtlCopyMemory(out + 2, v, n >= 6 ? 6 : 4);
        return n >= 6 ? 8 : 6;
    case ZR_DISC_CHARS:
        if (!IsType(a, UUID_CHARACTERISTIC) || n < 5)
            return 0;
        RtlCopyMemory(out + 2, v, 3);
        return 5 + AirUuid(v + 3, n - 3, out + 5);
    default:
        return 2 + AirUuid(a->hdr.type.value, a->hdr.type.len, out + 2);
    }
}

/* A 128-bit included service's UUID is not in its declaration: the client reads it from the service. */
static void ReadIncludedUuid(const RemoteDevice *d, const RemoteAttr *include)
{
    USHORT service = U16(include->value);
    RemoteAttr *svc = RemoteAttrLocked((RemoteDevice *)d, service);
    UCHAR uuid[16];
    ULONG n = svc ? AirUuid(svc->value, svc->hdr.value_len, uuid) : 0;
    CaptureHandleValueLocked(d->conn_id, VCTL_CAPTURE_SENT, ATT_OP_READ_REQ, service, NULL, 0);
    CaptureOutcomeLocked(d->conn_id, VCTL_CAPTURE_RECEIVED, ATT_OP_READ_REQ, service, svc ? 0 : ATT_INVALID_HANDLE,
                         uuid, n);
}

/* One response from `start`: the entries of the first one's length, in handle order, while they fit. Returns the
 * next request's start, or 0 when the procedure is over. */
static ULONG Respond(const RemoteDevice *d, UCHAR type, UCHAR opcode, ULONG start, ULONG end)
{
    UCHAR entry[ENTRY_MAX];
    Slot *s = NULL;
    ULONG i, n, size = 0, used = 2, next = 0, first = 0;
    for (i = 0; i < d->attr_count; i++) {
        const RemoteAttr *a = &d->attrs[i];
        if (a->hdr.handle < start || a->hdr.handle > end || (n = Entry(a, type, entry)) == 0)
            continue;
        if (size && (n != size || used + n > VCTL_CAPTURE_MTU))
            break;
        if (!size) {
            s = BeginAtt(d->conn_id, VCTL_CAPTURE_RECEIVED, (UCHAR)(opcode + 1));
            Put8(s, (UCHAR)(type == ZR_DISC_DESCRS ? (n == 4 ? 1 : 2) : n));
            size = n;
            first = i;
        }
        PutBytes(s, entry, n);
        used += n;
        next = (type == ZR_DISC_ALL_SERVICES ? a->hdr.end_handle : a->hdr.handle) + 1u;
    }
    if (!size) {
        CaptureErrorLocked(d->conn_id, VCTL_CAPTURE_RECEIVED, opcode, (USHORT)start, ATT_NOT_FOUND);
        return 0;
    }
    for (i = first; type == ZR_DISC_INCLUDED && size == 6 && i < d->attr_count; i++) {
        if (d->attrs[i].hdr.handle >= start && d->attrs[i].hdr.handle < next && Entry(&d->attrs[i], type, entry))
            ReadIncludedUuid(d, &d->attrs[i]);
    }
    return next > 0xFFFF ? 0 : next;
}

void CaptureDiscoveryLocked(const RemoteDevice *d, const ZrDiscoverReq *req, UCHAR status)
{
    UCHAR opcode;
    USHORT asked;
    ULONG start = req->s_handle;
    Slot *s;
    if (!Recording() || !Procedure(req->type, &opcode, &asked))
        return;
    do {
        s = BeginAtt(d->conn_id, VCTL_CAPTURE_SENT, opcode);
        Put16(s, (USHORT)start);
        Put16(s, req->e_handle);
        if (asked)
            Put16(s, asked);
        if (status || start == 0 || start > req->e_handle) {
            CaptureErrorLocked(d->conn_id, VCTL_CAPTURE_RECEIVED, opcode, (USHORT)start,
                               status ? status : ATT_INVALID_HANDLE);
            return;
        }
        start = Respond(d, req->type, opcode, start, req->e_handle);
    } while (start && start <= req->e_handle);
}

/* ---- test control ---- */

NTSTATUS CaptureRead(ControlIo *io)
{
    UCHAR *buffer = io->buffer;
    VctlCaptureHeader header;
    ULONG seq = ((const VctlCaptureQuery *)buffer)->first, used = sizeof header;
    Work w;
    Lock(&w);
    RtlZeroMemory(&header, sizeof header);
    header.total = g_total;
    header.oldest = OldestKept();
    header.lost = header.oldest > g_cleared ? header.oldest - g_cleared : 0;
    header.capacity = VCTL_CAPTURE_CAPACITY;
    header.enabled = g_enabled;
    header.frequency = g_frequency.QuadPart;
    for (seq = seq > header.oldest ? seq : header.oldest; g_ring && seq < g_total; seq++) {
        const Slot *s = &g_ring[seq % VCTL_CAPTURE_CAPACITY];
        ULONG n = sizeof s->rec + s->rec.len;
        if (io->out_room - used < n)
            break;
        RtlCopyMemory(buffer + used, s, n);
        used += n;
        header.count++;
    }
    RtlCopyMemory(buffer, &header, sizeof header);
    FinishIrp(&w, io->irp, STATUS_SUCCESS, used);
    Unlock(&w);
    return STATUS_SUCCESS;
}

NTSTATUS CaptureSet(ControlIo *io)
{
    const VctlCaptureSet *set = io->buffer;
    Work w;
    Lock(&w);
    g_enabled = set->enabled != 0;
    if (set->clear)
        g_cleared = g_total;
    w.changed = TRUE;
    FinishIrp(&w, io->irp, STATUS_SUCCESS, 0);
    Unlock(&w);
    return STATUS_SUCCESS;
}
