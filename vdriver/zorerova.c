/* Placeholder controller: opens and completes every request. */
#include <ntddk.h>
#include "zorerova.h"

static DEVICE_OBJECT *g_device;

static NTSTATUS Complete(IRP *irp, NTSTATUS status, ULONG_PTR info)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS DispatchCreateClose(DEVICE_OBJECT *device, IRP *irp)
{
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchControl(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == ZOREROVA_GATT_REGISTER && stack->Parameters.DeviceIoControl.OutputBufferLength >= 1) {
        *(UCHAR *)irp->AssociatedIrp.SystemBuffer = 1;
        return Complete(irp, STATUS_SUCCESS, 1);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *path)
{
    UNICODE_STRING name, link;
    NTSTATUS status;
    RtlInitUnicodeString(&name, L"\\Device\\ZOREROVA");
    RtlInitUnicodeString(&link, L"\\DosDevices\\ZOREROVA");
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    return STATUS_SUCCESS;
}
