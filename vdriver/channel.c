/*
 * Channels: one per open of the device. Each keeps its pending event reads and
 * a bounded queue of events that arrived while no read was pending; events go
 * to reads oldest first, in the order they were posted.
 */
#include "vdriver.h"

DriverState g_zr;

void *ZrAlloc(SIZE_T size)
{
    void *p = ExAllocatePoolWithTag(NonPagedPool, size, ZR_POOL_TAG);
    if (p)
        RtlZeroMemory(p, size);
    return p;
}

void ZrFree(void *p)
{
    if (p)
        ExFreePoolWithTag(p, ZR_POOL_TAG);
}

NTSTATUS CompleteNow(IRP *irp, NTSTATUS status, ULONG_PTR info)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void Lock(Work *w)
{
    w->changed = FALSE;
    InitializeListHead(&w->done);
    KeAcquireSpinLock(&g_zr.lock, &w->irql);
}

void FinishIrp(Work *w, IRP *irp, NTSTATUS status, ULONG_PTR info)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    InsertTailList(&w->done, &irp->Tail.Overlay.ListEntry);
}

/* A change wakes every VCTL_WAIT_CHANGE waiter with the new generation. */
static void WakeWaitersLocked(Work *w)
{
    IRP *irp;
    g_zr.generation++;
    while ((irp = TakeIrpLocked(&g_zr.waiters)) != NULL) {
        *(ULONG *)irp->AssociatedIrp.SystemBuffer = g_zr.generation;
        FinishIrp(w, irp, STATUS_SUCCESS, sizeof(ULONG));
    }
}

void Unlock(Work *w)
{
    if (w->changed)
        WakeWaitersLocked(w);
    KeReleaseSpinLock(&g_zr.lock, w->irql);
    while (!IsListEmpty(&w->done)) {
        LIST_ENTRY *e = RemoveHeadList(&w->done);
        IoCompleteRequest(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry), IO_NO_INCREMENT);
    }
}

Channel *ChannelOf(IRP *irp)
{
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return file ? (Channel *)file->FsContext : NULL;
}

Channel *FindChannel(ULONG id)
{
    LIST_ENTRY *e;
    for (e = g_zr.channels.Flink; e != &g_zr.channels; e = e->Flink) {
        Channel *ch = CONTAINING_RECORD(e, Channel, link);
        if (ch->id == id)
            return ch;
    }
    return NULL;
}

Channel *NewestRegistered(void)
{
    LIST_ENTRY *e;
    for (e = g_zr.channels.Blink; e != &g_zr.channels; e = e->Blink) {
        Channel *ch = CONTAINING_RECORD(e, Channel, link);
        if (ch->registered)
            return ch;
    }
    return NULL;
}

BOOLEAN AnyRegistered(void) { return NewestRegistered() != NULL; }

/* The bookkeeping of an IRP leaving its list, by whatever path. */
static void AccountRemoved(IRP *irp, BOOLEAN cancelled)
{
    Channel *ch = (Channel *)irp->Tail.Overlay.DriverContext[1];
    if ((ULONG_PTR)irp->Tail.Overlay.DriverContext[0] != PEND_READ || !ch)
        return;
    ch->pending_reads--;
    if (cancelled)
        ch->reads_cancelled++;
}

static VOID NTAPI CancelPended(DEVICE_OBJECT *device, IRP *irp)
{
    LIST_ENTRY *entry = &irp->Tail.Overlay.ListEntry;
    Work w;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Lock(&w);
    /* An entry that links to itself was taken off its list and accounted already. */
    if (entry->Flink != entry) {
        RemoveEntryList(entry);
        InitializeListHead(entry);
        AccountRemoved(irp, TRUE);
        w.changed = TRUE;
    }
    FinishIrp(&w, irp, STATUS_CANCELLED, 0);
    Unlock(&w);
}

BOOLEAN PendLocked(IRP *irp, LIST_ENTRY *list, ULONG kind, Channel *ch)
{
    irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)kind;
    irp->Tail.Overlay.DriverContext[1] = ch;
    IoSetCancelRoutine(irp, CancelPended);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL)
        return FALSE;
    IoMarkIrpPending(irp);
    InsertTailList(list, &irp->Tail.Overlay.ListEntry);
    if (kind == PEND_READ)
        ch->pending_reads++;
    return TRUE;
}

IRP *TakeIrpLocked(LIST_ENTRY *list)
{
    while (!IsListEmpty(list)) {
        LIST_ENTRY *entry = RemoveHeadList(list);
        IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        InitializeListHead(entry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            AccountRemoved(irp, FALSE);
            return irp;
        }
        /* Its cancel routine is on the way and completes it. */
        AccountRemoved(irp, TRUE);
    }
    return NULL;
}

void CancelAllLocked(Work *w, LIST_ENTRY *list)
{
    IRP *irp;
    while ((irp = TakeIrpLocked(list)) != NULL) {
        ULONG kind = (ULONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[0];
        Channel *ch = (Channel *)irp->Tail.Overlay.DriverContext[1];
        if (kind == PEND_READ && ch)
            ch->reads_cancelled++;
        FinishIrp(w, irp, STATUS_CANCELLED, 0);
        w->changed = TRUE;
    }
}

static void CompleteRead(Work *w, Channel *ch, IRP *irp, const ZrEvent *ev)
{
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, ev, sizeof *ev);
    ch->delivered++;
    FinishIrp(w, irp, STATUS_SUCCESS, sizeof *ev);
}

void DeliverLocked(Work *w, Channel *ch, const ZrEvent *ev)
{
    IRP *irp = TakeIrpLocked(&ch->reads);
    w->changed = TRUE;
    if (irp) {
        CompleteRead(w, ch, irp, ev);
        return;
    }
    if (!ch->queue || ch->queue_count == ZR_QUEUE_CAPACITY) {
        ch->overflow++;
        return;
    }
    RtlCopyMemory(&ch->queue[(ch->queue_head + ch->queue_count) % ZR_QUEUE_CAPACITY], ev, sizeof *ev);
    ch->queue_count++;
}

void DeliverRegisteredLocked(Work *w, const ZrEvent *ev)
{
    LIST_ENTRY *e;
    for (e = g_zr.channels.Flink; e != &g_zr.channels; e = e->Flink) {
        Channel *ch = CONTAINING_RECORD(e, Channel, link);
        if (ch->registered)
            DeliverLocked(w, ch, ev);
    }
}

/* The channel whose request an event answers: the latest requester, else the newest registered. */
Channel *RequesterLocked(void)
{
    Channel *ch = g_zr.last_requester ? FindChannel(g_zr.last_requester) : NULL;
    return ch ? ch : NewestRegistered();
}

/* Remote requests go to the owner of the local service that holds the handle. */
static Channel *RequestOwnerLocked(const ZrEvent *ev)
{
    ULONG owner = LocalOwnerLocked(ev->request.payload.handle);
    Channel *ch = owner ? FindChannel(owner) : NULL;
    return ch ? ch : NewestRegistered();
}

void RouteLocked(Work *w, const ZrEvent *ev)
{
    Channel *ch;
    switch (ev->type) {
    case ZR_EVT_CONNECTION:
        DeliverRegisteredLocked(w, ev);
        return;
    case ZR_EVT_COMPLETE:
    case ZR_EVT_DISC_COMPLETE:
    case ZR_EVT_DISC_RESULT:
        ch = RequesterLocked();
        break;
    case ZR_EVT_REQUEST:
        ch = RequestOwnerLocked(ev);
        break;
    default:
        ch = NewestRegistered();
        break;
    }
    if (ch)
        DeliverLocked(w, ch, ev);
}

NTSTATUS ReadEvent(IRP *irp, Channel *ch)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_PENDING;
    Work w;
    if (stack->Parameters.DeviceIoControl.InputBufferLength != 0)
        return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < ZOREROVA_EVENT_SIZE)
        return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL, 0);
    Lock(&w);
    w.changed = TRUE;
    if (ch->queue_count) {
        const ZrEvent *ev = &ch->queue[ch->queue_head];
        CompleteRead(&w, ch, irp, ev);
        ch->queue_head = (ch->queue_head + 1) % ZR_QUEUE_CAPACITY;
        ch->queue_count--;
        status = STATUS_SUCCESS;
    } else if (!PendLocked(irp, &ch->reads, PEND_READ, ch)) {
        FinishIrp(&w, irp, STATUS_CANCELLED, 0);
        status = STATUS_CANCELLED;
    }
    Unlock(&w);
    return status;
}

NTSTATUS OpenChannel(IRP *irp)
{
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    Channel *ch = ZrAlloc(sizeof *ch);
    ZrEvent *queue = ZrAlloc(sizeof(ZrEvent) * ZR_QUEUE_CAPACITY);
    NTSTATUS refused = STATUS_SUCCESS;
    Work w;
    if (!ch || !queue || !file) {
        ZrFree(ch);
        ZrFree(queue);
        return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    Lock(&w);
    w.changed = TRUE;
    if (g_zr.refuse_open.count && g_zr.refuse_open.skip) {
        g_zr.refuse_open.skip--;
    } else if (g_zr.refuse_open.count) {
        g_zr.refuse_open.count--;
        g_zr.refused_opens++;
        refused = NT_SUCCESS(g_zr.refuse_open.param) ? STATUS_UNSUCCESSFUL : (NTSTATUS)g_zr.refuse_open.param;
    }
    if (NT_SUCCESS(refused)) {
        ch->file = file;
        ch->id = ++g_zr.next_id;
        ch->queue = queue;
        InitializeListHead(&ch->reads);
        InitializeListHead(&ch->parked);
        InsertTailList(&g_zr.channels, &ch->link);
        file->FsContext = ch;
        g_zr.opens++;
    }
    Unlock(&w);
    if (!NT_SUCCESS(refused)) {
        ZrFree(queue);
        ZrFree(ch);
    }
    return CompleteNow(irp, refused, 0);
}

static void SnapshotLocked(const Channel *ch, VctlChannelStats *s)
{
    s->id = ch->id;
    s->registered = ch->registered;
    s->pending_reads = ch->pending_reads;
    s->queued_events = ch->queue_count;
    s->overflow = ch->overflow;
    s->delivered = ch->delivered;
    s->reads_cancelled = ch->reads_cancelled;
    s->open = 1;
}

/* A closed channel stays visible in the statistics until reset. */
static void RememberClosedLocked(const Channel *ch)
{
    VctlChannelStats *s;
    if (g_zr.closed_count == VCTL_MAX_CHANNELS) {
        RtlMoveMemory(&g_zr.closed[0], &g_zr.closed[1], sizeof g_zr.closed[0] * (VCTL_MAX_CHANNELS - 1));
        g_zr.closed_count--;
    }
    s = &g_zr.closed[g_zr.closed_count++];
    SnapshotLocked(ch, s);
    s->registered = 0;
    s->open = 0;
}

NTSTATUS CloseChannel(IRP *irp)
{
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    Channel *ch = file ? (Channel *)file->FsContext : NULL;
    LIST_ENTRY *e, *next;
    Work w;
    if (!ch)
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    Lock(&w);
    w.changed = TRUE;
    /* Closing does not cancel the handle's requests: complete them here. */
    CancelAllLocked(&w, &ch->reads);
    CancelAllLocked(&w, &ch->parked);
    for (e = g_zr.waiters.Flink; e != &g_zr.waiters; e = next) {
        IRP *waiter = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        next = e->Flink;
        if (IoGetCurrentIrpStackLocation(waiter)->FileObject == file && IoSetCancelRoutine(waiter, NULL) != NULL) {
            RemoveEntryList(e);
            InitializeListHead(e);
            FinishIrp(&w, waiter, STATUS_CANCELLED, 0);
        }
    }
    RemoveEntryList(&ch->link);
    if (ch->registered) {
        ch->registered = FALSE;
        if (!AnyRegistered())
            RemoteDisconnectAllLocked();
    }
    if (g_zr.last_requester == ch->id)
        g_zr.last_requester = 0;
    DropServicesOfLocked(ch->id);
    RememberClosedLocked(ch);
    file->FsContext = NULL;
    Unlock(&w);
    ZrFree(ch->queue);
    ZrFree(ch);
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

/* Open channels and those closed since reset, by id; the newest if there are too many. */
void FillStatsLocked(VctlStats *stats)
{
    VctlChannelStats all[2 * VCTL_MAX_CHANNELS];
    ULONG n = 0, open = 0, first, i, c = 0;
    LIST_ENTRY *e;
    for (e = g_zr.channels.Flink; e != &g_zr.channels; e = e->Flink)
        open++;
    /* Merge two id-ordered sequences, keeping at most the newest of each. */
    first = open > VCTL_MAX_CHANNELS ? open - VCTL_MAX_CHANNELS : 0;
    e = g_zr.channels.Flink;
    for (i = 0; i < first; i++)
        e = e->Flink;
    while (e != &g_zr.channels || c < g_zr.closed_count) {
        const Channel *ch = e != &g_zr.channels ? CONTAINING_RECORD(e, Channel, link) : NULL;
        if (ch && (c == g_zr.closed_count || ch->id < g_zr.closed[c].id)) {
            SnapshotLocked(ch, &all[n++]);
            e = e->Flink;
        } else {
            all[n++] = g_zr.closed[c++];
        }
    }
    first = n > VCTL_MAX_CHANNELS ? n - VCTL_MAX_CHANNELS : 0;
    RtlZeroMemory(stats, sizeof *stats);
    stats->generation = g_zr.generation;
    stats->opens = g_zr.opens;
    stats->refused_opens = g_zr.refused_opens;
    stats->channel_count = n - first;
    stats->queue_capacity = ZR_QUEUE_CAPACITY;
    RtlCopyMemory(stats->channels, &all[first], sizeof all[0] * (n - first));
}

void ResetChannelsLocked(Work *w)
{
    LIST_ENTRY *e;
    for (e = g_zr.channels.Flink; e != &g_zr.channels; e = e->Flink) {
        Channel *ch = CONTAINING_RECORD(e, Channel, link);
        CancelAllLocked(w, &ch->parked);
        ch->queue_head = 0;
        ch->queue_count = 0;
        ch->overflow = 0;
        ch->delivered = 0;
        ch->reads_cancelled = 0;
    }
    g_zr.closed_count = 0;
    g_zr.last_requester = 0;
    w->changed = TRUE;
}
