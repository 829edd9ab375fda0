/* The test-control requests of vctl.h. */
#include "vdriver.h"

typedef struct ControlIo {
    IRP *irp;
    Channel *ch;
    void *buffer;
    ULONG in_len;
    ULONG out_room;
} ControlIo;

static NTSTATUS Reset(ControlIo *io)
{
    RemoteDevice *freed[ZR_MAX_DEVICES];
    ULONG count = 0, i;
    Work w;
    if (io->in_len != 0)
        return CompleteNow(io->irp, STATUS_INVALID_PARAMETER, 0);
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
    if (io->in_len != sizeof *post)
        return CompleteNow(io->irp, STATUS_INVALID_PARAMETER, 0);
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
    if (io->in_len != sizeof *f || f->kind < VCTL_FAULT_STATUS || f->kind > VCTL_FAULT_PEND_STUCK)
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
    if (io->in_len != sizeof query)
        return CompleteNow(io->irp, STATUS_INVALID_PARAMETER, 0);
    if (io->out_room < sizeof header)
        return CompleteNow(io->irp, STATUS_BUFFER_TOO_SMALL, 0);
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
    if (io->in_len != 0)
        return CompleteNow(io->irp, STATUS_INVALID_PARAMETER, 0);
    if (io->out_room < sizeof stats)
        return CompleteNow(io->irp, STATUS_BUFFER_TOO_SMALL, 0);
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
    if (io->in_len != sizeof *fail)
        return CompleteNow(io->irp, STATUS_INVALID_PARAMETER, 0);
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
    if (io->in_len != sizeof seen)
        return CompleteNow(io->irp, STATUS_INVALID_PARAMETER, 0);
    if (io->out_room < sizeof seen)
        return CompleteNow(io->irp, STATUS_BUFFER_TOO_SMALL, 0);
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
    if (io->in_len != 0)
        return CompleteNow(io->irp, STATUS_INVALID_PARAMETER, 0);
    if (io->out_room < sizeof(ULONG))
        return CompleteNow(io->irp, STATUS_BUFFER_TOO_SMALL, 0);
    *(ULONG *)io->buffer = io->ch->id;
    return CompleteNow(io->irp, STATUS_SUCCESS, sizeof(ULONG));
}

NTSTATUS ControlRequest(IRP *irp, Channel *ch)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ControlIo io;
    io.irp = irp;
    io.ch = ch;
    io.buffer = irp->AssociatedIrp.SystemBuffer;
    io.in_len = stack->Parameters.DeviceIoControl.InputBufferLength;
    io.out_room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (code) {
    case VCTL_RESET: return Reset(&io);
    case VCTL_POST_EVENT: return PostEvent(&io);
    case VCTL_ARM_FAULT: return ArmFault(&io);
    case VCTL_GET_LOG: return GetLog(&io);
    case VCTL_GET_STATS: return GetStats(&io);
    case VCTL_FAIL_READ: return FailRead(&io);
    case VCTL_WAIT_CHANGE: return WaitChange(&io);
    case VCTL_WHOAMI: return WhoAmI(&io);
    case VCTL_ADD_DEVICE:
    case VCTL_REMOVE_DEVICE:
    case VCTL_SET_LINK:
    case VCTL_GET_ATTR:
    case VCTL_LINK_UP:
    case VCTL_ADVERTISE:
    case VCTL_LOSE_LINK:
    case VCTL_GET_DEVICE: return RemoteControl(irp, code);
    case VCTL_REMOTE_NOTIFY:
    case VCTL_CENTRAL_REQUEST:
    case VCTL_GET_CENTRAL:
    case VCTL_RELEASE_HELD: return PeerControl(irp, code);
    case VCTL_GET_LOCAL_DB: return LocalDbQuery(irp, io.in_len, io.out_room);
    default: return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
