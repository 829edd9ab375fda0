/*
 * The driver contract: every control code with its exact input size and its
 * answer, armed faults, and the request log.
 */
#include "vdriver.h"

typedef NTSTATUS (*Handler)(Request *r);

typedef struct ContractEntry {
    ULONG code;
    ULONG in_len;
    ULONG out_len;
    BOOLEAN result_byte;       /* the answer is a result byte, 0 for accepted */
    Handler handle;
} ContractEntry;

static NTSTATUS Register(Request *r)
{
    r->ch->registered = TRUE;
    r->out[0] = 1;
    return STATUS_SUCCESS;
}

static NTSTATUS Deregister(Request *r)
{
    if (r->ch->registered) {
        r->ch->registered = FALSE;
        if (!AnyRegistered())
            RemoteDisconnectAllLocked();
    }
    return STATUS_SUCCESS;
}

static const ContractEntry kContract[] = {
    {ZOREROVA_GATT_REGISTER, sizeof(ZrRegisterReq), 1, FALSE, Register},
    {ZOREROVA_GATT_DEREGISTER, 0, 0, FALSE, Deregister},
    {ZOREROVA_GATT_CONNECT, sizeof(ZrConnectReq), 0, FALSE, RemoteConnect},
    {ZOREROVA_GATT_CANCEL_CONNECT, sizeof(ZrConnectReq), 0, FALSE, RemoteCancelConnect},
    {ZOREROVA_GATTC_DISCOVER, sizeof(ZrDiscoverReq), 0, FALSE, RemoteDiscover},
    {ZOREROVA_GATTC_READ, sizeof(ZrReadReq), 0, FALSE, RemoteRead},
    {ZOREROVA_GATTC_WRITE, sizeof(ZrWriteReq), 1, TRUE, RemoteWrite},
    {ZOREROVA_GATTC_CONFIRM, sizeof(ZrConfirmReq), 0, FALSE, PeerConfirm},
    {ZOREROVA_GATTS_CREATE_SERVICE, sizeof(ZrCreateServiceReq), 2, FALSE, LocalCreateService},
    {ZOREROVA_GATTS_ADD_INCLUDE, sizeof(ZrAddIncludeReq), 2, FALSE, LocalAddInclude},
    {ZOREROVA_GATTS_ADD_CHAR, sizeof(ZrAddCharReq), 2, FALSE, LocalAddChar},
    {ZOREROVA_GATTS_ADD_DESCR, sizeof(ZrAddDescrReq), 2, FALSE, LocalAddDescr},
    {ZOREROVA_GATTS_DELETE_SERVICE, sizeof(ZrDeleteServiceReq), 0, FALSE, LocalDeleteService},
    {ZOREROVA_GATTS_START_SERVICE, sizeof(ZrStartServiceReq), 1, TRUE, LocalStartService},
    {ZOREROVA_GATTS_INDICATION, sizeof(ZrHandleValueReq), 1, TRUE, PeerIndication},
    {ZOREROVA_GATTS_NOTIFICATION, sizeof(ZrHandleValueReq), 1, TRUE, PeerNotification},
    {ZOREROVA_GATTS_SEND_RSP, sizeof(ZrSendRspReq), 1, TRUE, PeerSendRsp},
};

const void *FindCodeRow(const void *rows, ULONG count, ULONG row_size, ULONG code)
{
    const UCHAR *row = rows;
    ULONG i;
    for (i = 0; i < count; i++, row += row_size) {
        if (*(const ULONG *)row == code)
            return row;
    }
    return NULL;
}

static const ContractEntry *FindEntry(ULONG code)
{
    return FindCodeRow(kContract, sizeof kContract / sizeof kContract[0], sizeof kContract[0], code);
}

BOOLEAN IsContractCode(ULONG code) { return FindEntry(code) != NULL; }

const Fault *TakeFaultLocked(ULONG code, Fault *taken)
{
    ULONG i;
    for (i = 0; i < g_zr.fault_count; i++) {
        Fault *f = &g_zr.faults[i];
        if (f->code != code || f->count == 0)
            continue;
        if (f->skip) {
            f->skip--;
            return NULL;
        }
        f->count--;
        *taken = *f;
        return taken;
    }
    return NULL;
}

static void LogLocked(const Request *r, NTSTATUS status)
{
    VctlLogEntry *e = &g_zr.log[g_zr.log_total % VCTL_LOG_CAPACITY];
    RtlZeroMemory(e, sizeof *e);
    e->seq = g_zr.log_total++;
    e->code = r->code;
    e->channel = r->ch->id;
    e->status = (uint32_t)status;
    e->in_len = r->in_len;
    e->out_len = status == STATUS_PENDING ? 0 : r->out_len;
    RtlCopyMemory(e->in, r->in, r->in_len < VCTL_LOG_MAX_IN ? r->in_len : VCTL_LOG_MAX_IN);
    RtlCopyMemory(e->out, r->out, e->out_len < VCTL_LOG_MAX_OUT ? e->out_len : VCTL_LOG_MAX_OUT);
}

/* Size checks, faults, then the request's own handler. */
static NTSTATUS PerformLocked(Request *r, const ContractEntry *entry, IRP *irp, ULONG out_room)
{
    Fault taken;
    const Fault *fault;
    NTSTATUS status;
    if (r->in_len != entry->in_len)
        return STATUS_INVALID_PARAMETER;
    if (out_room < entry->out_len)
        return STATUS_BUFFER_TOO_SMALL;
    fault = TakeFaultLocked(r->code, &taken);
    if (fault && fault->kind == VCTL_FAULT_STATUS)
        return (NTSTATUS)fault->param;
    if (fault && (fault->kind == VCTL_FAULT_PEND || fault->kind == VCTL_FAULT_PEND_STUCK))
        return ParkLocked(irp, r->ch, fault->kind) ? STATUS_PENDING : STATUS_CANCELLED;
    if (fault && fault->kind == VCTL_FAULT_RESULT_BYTE && entry->result_byte && (UCHAR)fault->param)
        r->refused = TRUE;
    if (fault && fault->kind == VCTL_FAULT_EVENT_STATUS) {
        r->has_event_status = TRUE;
        r->event_status = (UCHAR)fault->param;
    }
    if (fault && fault->kind >= VCTL_FAULT_HOLD_EVENT)
        r->event_fault = fault->kind;
    r->out_len = entry->out_len;
    status = entry->handle(r);
    AfterRequestLocked(r);
    if (!NT_SUCCESS(status)) {
        r->out_len = 0;
        return status;
    }
    if (fault && fault->kind == VCTL_FAULT_SHORT_OUTPUT && fault->param < r->out_len)
        r->out_len = fault->param;
    if (fault && fault->kind == VCTL_FAULT_RESULT_BYTE && r->out_len)
        r->out[0] = (UCHAR)fault->param;
    return status;
}

NTSTATUS ContractRequest(IRP *irp, Channel *ch)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    const ContractEntry *entry = FindEntry(stack->Parameters.DeviceIoControl.IoControlCode);
    ULONG out_room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR in[VCTL_LOG_MAX_IN];
    Request r;
    NTSTATUS status;
    Work w;
    RtlZeroMemory(&r, sizeof r);
    r.ch = ch;
    r.code = entry->code;
    r.in = in;
    r.in_len = stack->Parameters.DeviceIoControl.InputBufferLength;
    r.work = &w;
    RtlZeroMemory(in, sizeof in);
    if (irp->AssociatedIrp.SystemBuffer)
        RtlCopyMemory(in, irp->AssociatedIrp.SystemBuffer, r.in_len < sizeof in ? r.in_len : sizeof in);
    Lock(&w);
    g_zr.last_requester = ch->id;
    status = PerformLocked(&r, entry, irp, out_room);
    LogLocked(&r, status);
    w.changed = TRUE;
    if (status != STATUS_PENDING) {
        if (r.out_len)
            RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, r.out, r.out_len);
        FinishIrp(&w, irp, status, r.out_len);
    }
    Unlock(&w);
    return status;
}
