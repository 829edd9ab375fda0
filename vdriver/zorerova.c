/*
 * The virtual ZOREROVA controller: a WDM driver serving "\\.\ZOREROVA" with
 * the driver contract of zorerova.h and the test-control requests of vctl.h.
 */
#include "vdriver.h"

static const WCHAR kDeviceName[] = L"\\Device\\ZOREROVA";
static const WCHAR kLinkName[] = L"\\DosDevices\\ZOREROVA";

static NTSTATUS NTAPI DispatchCreate(DEVICE_OBJECT *device, IRP *irp) { return OpenChannel(irp); }

static NTSTATUS NTAPI DispatchClose(DEVICE_OBJECT *device, IRP *irp) { return CloseChannel(irp); }

static NTSTATUS NTAPI DispatchCleanup(DEVICE_OBJECT *device, IRP *irp)
{
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchControl(DEVICE_OBJECT *device, IRP *irp)
{
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    Channel *ch = ChannelOf(irp);
    if (!ch)
        return CompleteNow(irp, STATUS_INVALID_HANDLE, 0);
    if (code == ZOREROVA_GATT_READ_EVENT)
        return ReadEvent(irp, ch);
    if (IsContractCode(code))
        return ContractRequest(irp, ch);
    return ControlRequest(irp, ch);
}

static VOID NTAPI Unload(DRIVER_OBJECT *driver)
{
    UNICODE_STRING link;
    RemoteDevice *freed[ZR_MAX_DEVICES];
    ULONG count = 0, i;
    RemoteClearLocked(freed, &count);
    for (i = 0; i < count; i++)
        ZrFree(freed[i]);
    RtlInitUnicodeString(&link, kLinkName);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_zr.device);
    LocalDbFree();
    CaptureFree();
    ZrFree(g_zr.log);
    g_zr.log = NULL;
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *path)
{
    UNICODE_STRING name, link;
    NTSTATUS status;
    RtlZeroMemory(&g_zr, sizeof g_zr);
    KeInitializeSpinLock(&g_zr.lock);
    InitializeListHead(&g_zr.channels);
    InitializeListHead(&g_zr.waiters);
    g_zr.log = ZrAlloc(sizeof(VctlLogEntry) * VCTL_LOG_CAPACITY);
    if (!g_zr.log || !NT_SUCCESS(LocalDbInit()) || !NT_SUCCESS(CaptureInit())) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto fail;
    }
    RtlInitUnicodeString(&name, kDeviceName);
    RtlInitUnicodeString(&link, kLinkName);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_zr.device);
    if (!NT_SUCCESS(status))
        goto fail;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_zr.device);
        goto fail;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
fail:
    LocalDbFree();
    CaptureFree();
    ZrFree(g_zr.log);
    g_zr.log = NULL;
    return status;
}
