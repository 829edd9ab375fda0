#include <algorithm>
#include <cstring>

#include "qortest.h"

namespace qortest {

namespace {

// An OVERLAPPED with its own manual-reset event.
struct Overlapped {
    OVERLAPPED ov{};
    Overlapped() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped()
    {
        if (ov.hEvent)
            CloseHandle(ov.hEvent);
    }
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;
};

constexpr uint32_t kLogBatch = 256;

} // namespace

Controller::Controller()
{
    handle_ = CreateFileA(ZOREROVA_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
        ADD_FAILURE() << "cannot open the controller, error " << GetLastError()
                      << " (is it running? scripts/controller.sh start)";
}

Controller::~Controller()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

DWORD Controller::Raw(uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len, DWORD *returned)
{
    DWORD bytes = 0;
    if (returned)
        *returned = 0;
    if (handle_ == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    Overlapped o;
    if (!o.ov.hEvent)
        return GetLastError();
    DWORD err = ERROR_SUCCESS;
    if (!DeviceIoControl(handle_, code, const_cast<void *>(in), in_len, out, out_len, &bytes, &o.ov)) {
        err = GetLastError();
        if (err == ERROR_IO_PENDING)
            err = GetOverlappedResult(handle_, &o.ov, &bytes, TRUE) ? ERROR_SUCCESS : GetLastError();
    }
    if (returned)
        *returned = bytes;
    return err;
}

void Controller::Expect(uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len)
{
    DWORD err = Raw(code, in, in_len, out, out_len);
    if (err != ERROR_SUCCESS)
        ADD_FAILURE() << "controller request 0x" << std::hex << code << " failed, error " << std::dec << err;
}

void Controller::Reset() { Expect(VCTL_RESET, nullptr, 0); }

void Controller::PostEvent(const ZrEvent &ev, uint32_t channel)
{
    VctlPostEvent post;
    post.channel = channel;
    std::memcpy(post.record, ev.raw, sizeof post.record);
    Expect(VCTL_POST_EVENT, &post, sizeof post);
}

void Controller::ArmFault(uint32_t code, uint32_t kind, uint32_t param, uint32_t count, uint32_t skip)
{
    VctlFault fault{code, kind, count, skip, param};
    Expect(VCTL_ARM_FAULT, &fault, sizeof fault);
}

void Controller::FailRead(uint32_t channel, uint32_t ntstatus)
{
    VctlFailRead fail{channel, ntstatus};
    Expect(VCTL_FAIL_READ, &fail, sizeof fail);
}

std::vector<VctlLogEntry> Controller::Log(uint32_t first)
{
    std::vector<VctlLogEntry> entries;
    std::vector<uint8_t> buffer(sizeof(VctlLogHeader) + kLogBatch * sizeof(VctlLogEntry));
    VctlLogQuery query{first};
    for (;;) {
        DWORD got = 0;
        DWORD err = Raw(VCTL_GET_LOG, &query, sizeof query, buffer.data(), static_cast<DWORD>(buffer.size()), &got);
        if (err != ERROR_SUCCESS || got < sizeof(VctlLogHeader)) {
            ADD_FAILURE() << "reading the request log failed, error " << err;
            break;
        }
        VctlLogHeader header;
        std::memcpy(&header, buffer.data(), sizeof header);
        const uint8_t *p = buffer.data() + sizeof header;
        for (uint32_t i = 0; i < header.count; ++i) {
            VctlLogEntry e;
            std::memcpy(&e, p + i * sizeof e, sizeof e);
            entries.push_back(e);
        }
        if (header.count == 0 || entries.back().seq + 1 >= header.total)
            break;
        query.first = entries.back().seq + 1;
    }
    return entries;
}

std::vector<VctlLogEntry> Controller::Requests(uint32_t code)
{
    std::vector<VctlLogEntry> all = Log();
    std::vector<VctlLogEntry> some;
    std::copy_if(all.begin(), all.end(), std::back_inserter(some),
                 [code](const VctlLogEntry &e) { return e.code == code; });
    return some;
}

VctlStats Controller::Stats()
{
    VctlStats stats;
    std::memset(&stats, 0, sizeof stats);
    Expect(VCTL_GET_STATS, nullptr, 0, &stats, sizeof stats);
    return stats;
}

uint32_t Controller::LibraryChannel()
{
    VctlStats stats = Stats();
    uint32_t newest = 0;
    for (uint32_t i = 0; i < stats.channel_count && i < VCTL_MAX_CHANNELS; ++i) {
        if (stats.channels[i].registered && stats.channels[i].id > newest)
            newest = stats.channels[i].id;
    }
    return newest;
}

const VctlChannelStats *Controller::Channel(const VctlStats &stats, uint32_t id)
{
    for (uint32_t i = 0; i < stats.channel_count && i < VCTL_MAX_CHANNELS; ++i) {
        if (stats.channels[i].id == id)
            return &stats.channels[i];
    }
    return nullptr;
}

bool Controller::WaitUntil(const std::function<bool(const VctlStats &)> &pred, DWORD timeout_ms)
{
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    Overlapped o;
    if (!o.ov.hEvent || handle_ == INVALID_HANDLE_VALUE)
        return false;
    for (;;) {
        VctlStats stats = Stats();
        if (pred(stats))
            return true;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        uint32_t generation = stats.generation, seen = 0;
        DWORD bytes = 0;
        ResetEvent(o.ov.hEvent);
        if (DeviceIoControl(handle_, VCTL_WAIT_CHANGE, &generation, sizeof generation, &seen, sizeof seen, &bytes,
                            &o.ov))
            continue;
        if (GetLastError() != ERROR_IO_PENDING)
            return false;
        if (WaitForSingleObject(o.ov.hEvent, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) {
            CancelIo(handle_);
            GetOverlappedResult(handle_, &o.ov, &bytes, TRUE);
            return pred(Stats());
        }
        GetOverlappedResult(handle_, &o.ov, &bytes, FALSE);
    }
}

bool Controller::WaitPendingReads(uint32_t channel, uint32_t n, DWORD timeout_ms)
{
    return WaitUntil(
        [channel, n](const VctlStats &s) {
            const VctlChannelStats *c = Channel(s, channel);
            return c && c->pending_reads >= n;
        },
        timeout_ms);
}

uint32_t Controller::WaitLibraryReady(uint32_t reads, DWORD timeout_ms)
{
    uint32_t id = 0;
    WaitUntil(
        [&id, reads](const VctlStats &s) {
            for (uint32_t i = 0; i < s.channel_count && i < VCTL_MAX_CHANNELS; ++i) {
                if (s.channels[i].registered && s.channels[i].pending_reads >= reads) {
                    id = s.channels[i].id;
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
    return id;
}

bool Controller::WaitRequests(uint32_t code, size_t n, DWORD timeout_ms)
{
    return WaitUntil([this, code, n](const VctlStats &) { return Requests(code).size() >= n; }, timeout_ms);
}

void Controller::AddDevice(const uint8_t bda[6], const GattDb &db, uint32_t flags)
{
    std::vector<uint8_t> attrs = db.Serialize();
    VctlDevice dev;
    std::memcpy(dev.bda, bda, 6);
    dev.flags = flags;
    dev.attr_count = static_cast<uint32_t>(db.Attrs().size());
    std::vector<uint8_t> in(sizeof dev + attrs.size());
    std::memcpy(in.data(), &dev, sizeof dev);
    if (!attrs.empty())
        std::memcpy(in.data() + sizeof dev, attrs.data(), attrs.size());
    Expect(VCTL_ADD_DEVICE, in.data(), static_cast<DWORD>(in.size()));
}

void Controller::RemoveDevice(const uint8_t bda[6])
{
    VctlAddress a;
    std::memcpy(a.bda, bda, 6);
    Expect(VCTL_REMOVE_DEVICE, &a, sizeof a);
}

void Controller::SetLink(const uint8_t bda[6], bool connected)
{
    VctlLink link;
    std::memcpy(link.bda, bda, 6);
    link.connected = connected ? 1 : 0;
    Expect(VCTL_SET_LINK, &link, sizeof link);
}

std::vector<uint8_t> Controller::AttrValue(const uint8_t bda[6], uint16_t handle)
{
    VctlAttrQuery q;
    std::memcpy(q.bda, bda, 6);
    q.handle = handle;
    std::vector<uint8_t> out(sizeof(VctlAttr) + LE_MAX_VALUE);
    DWORD got = 0;
    DWORD err = Raw(VCTL_GET_ATTR, &q, sizeof q, out.data(), static_cast<DWORD>(out.size()), &got);
    if (err != ERROR_SUCCESS || got < sizeof(VctlAttr)) {
        ADD_FAILURE() << "no attribute " << handle << ", error " << err;
        return {};
    }
    VctlAttr attr;
    std::memcpy(&attr, out.data(), sizeof attr);
    size_t len = std::min<size_t>(attr.value_len, got - sizeof attr);
    return std::vector<uint8_t>(out.begin() + sizeof attr, out.begin() + sizeof attr + len);
}

} // namespace qortest
