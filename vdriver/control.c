/* The test-control requests of vctl.h. */
#include "vdriver.h"

typedef NTSTATUS (*ControlHandler)(ControlIo *io);

/* One row per control code: its input size (exact, or the least when the input
 * is of variable length), the least output room, and its handler. */
typedef struct ControlEntry {
    ULONG code;
    ULONG in_len;
    BOOLEAN in_variable;
    ULONG out_len;
    ControlHandler handle;
} ControlEntry;

static NTSTATUS Reset(ControlIo *io)
{
    RemoteDevice *freed[ZR_MAX_DEVICES];
    ULONG count = 0, i;
    Work w;
    Lock(&w);
    ResetChannelsLocked(&w);
    g_zr.fault_count = 0;
    RtlZeroMemory(&g_zr.refuse_open, sizeof g_zr.refuse_open);
    g_zr.log_total = 0;
    LocalDbResetLocked();
    RemoteClearLocked(freed, &count);
    PeerResetLocked();
    FinishIrp(&w, io->irp, STATUS_SUCCESS, 0);
    Unlock(&w);
    for (i = 0; i < count; i++)
        ZrFree(freed[i]);
    return STATUS_SUCCESS;
}

static NTSTATUS PostEvent(ControlIo *io)
{
    const VctlPostEvent *post = io->buffer;
    ZrEvent ev;
    Channel *target;
    NTSTATUS status = STATUS_SUCCESS;
    Work w;
    RtlCopyMemory(&ev, post->record, sizeof ev);
    Lock(&w);
    if (post->channel == VCTL_CHANNEL_ROUTE) {
        RouteLocked(&w, &ev);
    } else if (post->channel == VCTL_CHANNEL_ALL) {
        DeliverRegisteredLocked(&w, &ev);
    } else if ((target = FindChannel(post->channel)) != NULL) {
        DeliverLocked(&w, target, &ev);
    } else {
        status = STATUS_NOT_FOUND;
    }
    FinishIrp(&w, io->irp, status, 0);
    Unlock(&w);
    return status;
}

/* Faults that have applied as often as they were asked to give their room to
 * new ones, the others keeping their order, so a test may arm one fault after
 * another for ever. Returns how many are left. */
static ULONG DropSpentFaultsLocked(void)
{
    ULONG i, kept = 0;
    for (i = 0; i < g_zr.fault_count; i++) {
        if (g_zr.faults[i].count != 0)
            g_zr.faults[kept++] = g_zr.faults[i];
    }
    g_zr.fault_count = kept;
    return kept;
}

static NTSTATUS ArmFault(ControlIo *io)
{
    const VctlFault *f = io->buffer;
    NTSTATUS status = STATUS_SUCCESS;
    Work w;
    if (f->kind < VCTL_FAULT_STATUS || f->kind > VCTL_FAULT_PEND_STUCK)
        return CompleteNow(io->irp, STATUS_INVALID_PARAMETER, 0);
    Lock(&w);
    if (f->kind == VCTL_FAULT_REFUSE_OPEN)
        g_zr.refuse_open = *f;
    else if (DropSpentFaultsLocked() < ZR_MAX_FAULTS)
        g_zr.faults[g_zr.fault_count++] = *f;
    else
        status = STATUS_INSUFFICIENT_RESOURCES;
    FinishIrp(&w, io->irp, status, 0);
    Unlock(&w);
    return status;
}

static NTSTATUS GetLog(ControlIo *io)
{
    VctlLogQuery query;
    VctlLogHeader header;
    VctlLogEntry *out;
    ULONG oldest, seq, room;
    Work w;
    RtlCopyMemory(&query, io->buffer, sizeof query);
    room = (io->out_room - sizeof header) / sizeof(VctlLogEntry);
    out = (VctlLogEntry *)((UCHAR *)io->buffer + sizeof header);
    Lock(&w);
    header.total = g_zr.log_total;
    header.count = 0;
    oldest = g_zr.log_total > VCTL_LOG_CAPACITY ? g_zr.log_total - VCTL_LOG_CAPACITY : 0;
    for (seq = query.first > oldest ? query.first : oldest; seq < g_zr.log_total && header.count < room; seq++)
        RtlCopyMemory(&out[header.count++], &g_zr.log[seq % VCTL_LOG_CAPACITY], sizeof *out);
    RtlCopyMemory(io->buffer, &header, sizeof header);
    FinishIrp(&w, io->irp, STATUS_SUCCESS, sizeof header + header.count * sizeof(VctlLogEntry));
    Unlock(&w);
    return STATUS_SUCCESS;
}

static NTSTATUS GetStats(ControlIo *io)
{
    VctlStats stats;
    Work w;
    Lock(&w);
    FillStatsLocked(&stats);
    Unlock(&w);
    RtlCopyMemory(io->buffer, &stats, sizeof stats);
    return CompleteNow(io->irp, STATUS_SUCCESS, sizeof stats);
}

static NTSTATUS FailRead(ControlIo *io)
{
    const VctlFailRead *fail = io->buffer;
    NTSTATUS status = STATUS_NOT_FOUND;
    Channel *ch;
    IRP *read;
    Work w;
    Lock(&w);
    ch = FindChannel(fail->channel);
    if (ch && (read = TakeIrpLocked(&ch->reads)) != NULL) {
        FinishIrp(&w, read, (NTSTATUS)fail->status, 0);
        w.changed = TRUE;
        status = STATUS_SUCCESS;
    }
    FinishIrp(&w, io->irp, status, 0);
    Unlock(&w);
    return status;
}

static NTSTATUS WaitChange(ControlIo *io)
{
    ULONG seen;
    NTSTATUS status = STATUS_PENDING;
    Work w;
    RtlCopyMemory(&seen, io->buffer, sizeof seen);
    Lock(&w);
    if (seen != g_zr.generation) {
        *(ULONG *)io->buffer = g_zr.generation;
        FinishIrp(&w, io->irp, STATUS_SUCCESS, sizeof seen);
        status = STATUS_SUCCESS;
    } else if (!PendLocked(io->irp, &g_zr.waiters, PEND_WAIT, io->ch)) {
        FinishIrp(&w, io->irp, STATUS_CANCELLED, 0);
        status = STATUS_CANCELLED;
    }
    Unlock(&w);
    return status;
}

static NTSTATUS WhoAmI(ControlIo *io)
{
    *(ULONG *)io->buffer = io->ch->id;
    return CompleteNow(io->irp, STATUS_SUCCESS, sizeof(ULONG));
}

static const ControlEntry kControl[] = {
    {VCTL_RESET, 0, FALSE, 0, Reset},
    {VCTL_POST_EVENT, sizeof(VctlPostEvent), FALSE, 0, PostEvent},
    {VCTL_ARM_FAULT, sizeof(VctlFault), FALSE, 0, ArmFault},
    {VCTL_GET_LOG, sizeof(VctlLogQuery), FALSE, sizeof(VctlLogHeader), GetLog},
    {VCTL_GET_STATS, 0, FALSE, sizeof(VctlStats), GetStats},
    {VCTL_FAIL_READ, sizeof(VctlFailRead), FALSE, 0, FailRead},
    {VCTL_WAIT_CHANGE, sizeof(ULONG), FALSE, sizeof(ULONG), WaitChange},
    {VCTL_WHOAMI, 0, FALSE, sizeof(ULONG), WhoAmI},
    {VCTL_ADD_DEVICE, sizeof(VctlDevice), TRUE, 0, RemoteAddDevice},
    {VCTL_REMOVE_DEVICE, sizeof(VctlAddress), FALSE, 0, RemoteRemoveDevice},
    {VCTL_SET_LINK, sizeof(VctlLink), FALSE, 0, RemoteChangeLink},
    {VCTL_GET_ATTR, sizeof(VctlAttrQuery), FALSE, sizeof(VctlAttr), RemoteGetAttr},
    {VCTL_LINK_UP, sizeof(VctlLinkUp), FALSE, 0, RemoteChangeLink},
    {VCTL_ADVERTISE, sizeof(VctlAddress), FALSE, 0, RemoteChangeLink},
    {VCTL_LOSE_LINK, sizeof(VctlAddress), FALSE, 0, RemoteChangeLink},
    {VCTL_GET_DEVICE, sizeof(VctlAddress), FALSE, sizeof(VctlDeviceState), RemoteGetDevice},
    {VCTL_REMOTE_NOTIFY, sizeof(VctlNotify), FALSE, 0, PeerRemoteNotify},
    {VCTL_CENTRAL_REQUEST, sizeof(VctlCentralRequest), FALSE, sizeof(ULONG), PeerCentralRequest},
    {VCTL_GET_CENTRAL, sizeof(VctlAddress), FALSE, sizeof(VctlCentral), PeerGetCentral},
    {VCTL_RELEASE_HELD, 0, TRUE, sizeof(ULONG), PeerReleaseHeld},
    {VCTL_GET_LOCAL_DB, sizeof(ULONG), FALSE, sizeof(VctlLocalDbHeader), LocalDbQuery},
    {VCTL_CAPTURE_READ, sizeof(VctlCaptureQuery), FALSE, sizeof(VctlCaptureHeader), CaptureRead},
    {VCTL_CAPTURE_SET, sizeof(VctlCaptureSet), FALSE, 0, CaptureSet},
};

static const ControlEntry *FindControl(ULONG code)
{
    return FindCodeRow(kControl, sizeof kControl / sizeof kControl[0], sizeof kControl[0], code);
}

NTSTATUS ControlRequest(IRP *irp, Channel *ch)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ControlIo io;
    const ControlEntry *entry;
    io.irp = irp;
    io.ch = ch;
    io.code = stack->Parameters.DeviceIoControl.IoControlCode;
    io.buffer = irp->AssociatedIrp.SystemBuffer;
    io.in_len = stack->Parameters.DeviceIoControl.InputBufferLength;
    io.out_room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    entry = FindControl(io.code);
    if (!entry)
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (entry->in_variable ? io.in_len < entry->in_len : io.in_len != entry->in_len)
        return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
    if (io.out_room < entry->out_len)
        return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL, 0);
    return entry->handle(&io);
}
