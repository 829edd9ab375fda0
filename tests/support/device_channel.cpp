#include "qortest.h"

namespace qortest {

PendingRead::PendingRead() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }

PendingRead::~PendingRead()
{
    if (!ov.hEvent)
        return;
    if (handle != INVALID_HANDLE_VALUE && WaitForSingleObject(ov.hEvent, 0) == WAIT_TIMEOUT) {
        CancelIoEx(handle, &ov);
        WaitForSingleObject(ov.hEvent, 5000);
    }
    CloseHandle(ov.hEvent);
}

DeviceChannel::DeviceChannel()
{
    handle_ = CreateFileA(ZOREROVA_DEVICE_NAME, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
        ADD_FAILURE() << "cannot open the controller, error " << GetLastError();
}

DeviceChannel::~DeviceChannel() { Close(); }

void DeviceChannel::Close()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

DWORD DeviceChannel::Call(uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len, DWORD *returned)
{
    OVERLAPPED ov{};
    DWORD bytes = 0, err = ERROR_SUCCESS;
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!DeviceIoControl(handle_, code, const_cast<void *>(in), in_len, out, out_len, &bytes, &ov)) {
        err = GetLastError();
        if (err == ERROR_IO_PENDING) {
            CancelIo(handle_);
            GetOverlappedResult(handle_, &ov, &bytes, TRUE);
        }
    }
    CloseHandle(ov.hEvent);
    if (returned)
        *returned = bytes;
    return err;
}

uint32_t DeviceChannel::Id()
{
    uint32_t id = 0;
    DWORD err = Call(VCTL_WHOAMI, nullptr, 0, &id, sizeof id);
    if (err != ERROR_SUCCESS)
        ADD_FAILURE() << "channel id unknown, error " << err;
    return id;
}

bool DeviceChannel::Register()
{
    LeUuid app = Uuid16(0x1234);
    app.len = 16;
    uint8_t gatt_if = 0;
    DWORD bytes = 0;
    return Call(ZOREROVA_GATT_REGISTER, &app, sizeof app, &gatt_if, 1, &bytes) == ERROR_SUCCESS && bytes == 1 &&
           gatt_if == 1;
}

DWORD DeviceChannel::StartRead(PendingRead &read)
{
    DWORD bytes = 0;
    read.handle = handle_;
    ResetEvent(read.ov.hEvent);
    if (DeviceIoControl(handle_, ZOREROVA_GATT_READ_EVENT, nullptr, 0, &read.event, sizeof read.event, &bytes,
                        &read.ov))
        return ERROR_SUCCESS;
    return GetLastError();
}

DWORD DeviceChannel::FinishRead(PendingRead &read, DWORD timeout_ms)
{
    if (WaitForSingleObject(read.ov.hEvent, timeout_ms) != WAIT_OBJECT_0)
        return WAIT_TIMEOUT;
    DWORD bytes = 0;
    return GetOverlappedResult(handle_, &read.ov, &bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
}

} // namespace qortest
