#pragma once
// Test support: a control handle on the virtual controller, builders for the
// event records it delivers and for the attribute databases of simulated remote
// devices, and a trace sink that tests can wait on.

#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "QorLeLib.h"
#include "link/zorerova.h"

// The part of a two-process case that runs in the second process, which the
// first starts with --gtest_filter=fixture.*: a case of the program but not
// one of the suite's own.
#define CHILD_PROCESS_PART(fixture, name) TEST_F(fixture, name)
#include "vdriver/vctl.h"

namespace qortest {

// ---- record builders ----
ZrEvent ConnectionEvent(const uint8_t bda[6], uint16_t conn_id, uint8_t connected);
ZrEvent CompleteEvent(uint16_t conn_id, uint8_t op, uint8_t status, uint16_t handle = 0,
                      const std::vector<uint8_t> &value = {}, uint8_t auth_req = 0);

LeUuid Uuid16(uint16_t v);
LeUuid Uuid128(const GUID &g);
// 0000xxxx-0000-1000-8000-00805F9B34FB
GUID BaseGuid(uint16_t v);
std::vector<uint8_t> Bytes(const void *p, size_t n);

// ---- the attribute database of a simulated remote device ----
// Handles are given in order as a server lays its database out: a service
// declaration, its include declarations, then for each characteristic the
// declaration and the value, then the characteristic's descriptors. Each call
// returns the handle it assigned (Characteristic: the declaration; the value
// handle is the next one).
class GattDb {
public:
    struct Attr {
        uint16_t handle = 0;
        uint16_t end_handle = 0;      // service declarations only
        uint8_t read_status = 0;
        uint8_t write_status = 0;
        LeUuid type{};
        std::vector<uint8_t> value;
        bool end_fixed = false;
    };

    explicit GattDb(uint16_t first_handle = 1) : next_(first_handle) {}

    // Primary (0x2800) or secondary (0x2801) service. end_override fixes the end
    // handle; otherwise it is the handle before the next service, or the last
    // handle of the database.
    uint16_t Service(const LeUuid &uuid, uint16_t end_override = 0, bool secondary = false);
    uint16_t Include(uint16_t s_handle, uint16_t e_handle, uint16_t uuid16);
    // A 128-bit included service: the declaration carries only the range.
    uint16_t Include(uint16_t s_handle, uint16_t e_handle);
    uint16_t Characteristic(const LeUuid &uuid, uint8_t props, const std::vector<uint8_t> &value = {},
                            uint8_t read_status = 0, uint8_t write_status = 0);
    uint16_t Descriptor(const LeUuid &uuid, const std::vector<uint8_t> &value = {}, uint8_t read_status = 0,
                        uint8_t write_status = 0);
    // Any attribute, raw.
    uint16_t Raw(const LeUuid &type, const std::vector<uint8_t> &value, uint8_t read_status = 0,
                 uint8_t write_status = 0);

    const std::vector<Attr> &Attrs() const { return attrs_; }
    // VctlAttr records, end handles resolved.
    std::vector<uint8_t> Serialize() const;

private:
    uint16_t Add(Attr attr);
    std::vector<Attr> attrs_;
    uint16_t next_;
};

// ---- the control handle ----
// Not a library channel: its own open of "\\.\ZOREROVA", used for the
// controller's test-control requests (and, through Raw, for anything else).
class Controller {
public:
    Controller();
    ~Controller();
    Controller(const Controller &) = delete;
    Controller &operator=(const Controller &) = delete;

    HANDLE Handle() const { return handle_; }
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

    void Reset();
    void PostEvent(const ZrEvent &ev, uint32_t channel = VCTL_CHANNEL_ROUTE);
    void ArmFault(uint32_t code, uint32_t kind, uint32_t param = 0, uint32_t count = 1, uint32_t skip = 0);
    void FailRead(uint32_t channel, uint32_t ntstatus);
    std::vector<VctlLogEntry> Log(uint32_t first = 0);  // logged requests since reset, from sequence `first`
    std::vector<VctlLogEntry> Requests(uint32_t code);  // only that control code
    VctlStats Stats();
    uint32_t LibraryChannel();                          // newest registered channel id, 0 if none
    static const VctlChannelStats *Channel(const VctlStats &stats, uint32_t id);

    // Waits, without polling, until pred(Stats()) holds; false on timeout.
    bool WaitUntil(const std::function<bool(const VctlStats &)> &pred, DWORD timeout_ms = 5000);
    bool WaitPendingReads(uint32_t channel, uint32_t n, DWORD timeout_ms = 5000);
    // Until a registered channel keeps `reads` event reads pending; its id, 0 on timeout.
    uint32_t WaitLibraryReady(uint32_t reads = 20, DWORD timeout_ms = 5000);
    // Until n requests with that control code have been logged since reset.
    bool WaitRequests(uint32_t code, size_t n, DWORD timeout_ms = 5000);

    // Simulated remote devices.
    void AddDevice(const uint8_t bda[6], const GattDb &db, uint32_t flags = VCTL_DEV_AUTO_CONNECT);
    void RemoveDevice(const uint8_t bda[6]);
    void SetLink(const uint8_t bda[6], bool connected);
    // The attribute's current value; empty (and a failure) for an unknown one.
    std::vector<uint8_t> AttrValue(const uint8_t bda[6], uint16_t handle);

    // One control request on this handle; waits for it if the driver pends it.
    // Returns the Win32 error (0 on success) and the bytes returned.
    DWORD Raw(uint32_t code, const void *in, DWORD in_len, void *out, DWORD out_len, DWORD *returned = nullptr);

private:
    void Expect(uint32_t code, const void *in, DWORD in_len, void *out = nullptr, DWORD out_len = 0);
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// ---- a raw channel, as the library would hold one ----
// One pending read-event request with its buffer and event.
// Destroying one that is still pending cancels it and waits for it.
class PendingRead {
public:
    PendingRead();
    ~PendingRead();
    HANDLE handle = INVALID_HANDLE_VALUE;   // set by DeviceChannel::StartRead
    PendingRead(const PendingRead &) = delete;
    PendingRead &operator=(const PendingRead &) = delete;
    OVERLAPPED ov{};
    ZrEvent event{};
};

class DeviceChannel {
public:
    DeviceChannel();                 // opens "\\.\ZOREROVA" overlapped; failure -> ADD_FAILURE
    ~DeviceChannel();
    DeviceChannel(const DeviceChannel &) = delete;
    DeviceChannel &operator=(const DeviceChannel &) = delete;

    HANDLE Handle() const { return handle_; }
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Close();
    uint32_t Id();                   // the controller's id of this channel
    // One request answered at once: the Win32 error (0 on success). A request
    // that the controller leaves pending is cancelled and reported as
    // ERROR_IO_PENDING.
    DWORD Call(uint32_t code, const void *in, DWORD in_len, void *out = nullptr, DWORD out_len = 0,
               DWORD *returned = nullptr);
    bool Register();                 // register request answered with the byte 1
    // Sends a read-event request: 0 (completed at once), ERROR_IO_PENDING or an error.
    DWORD StartRead(PendingRead &read);
    // Waits for a read: 0 with the record in read.event, its error, or WAIT_TIMEOUT.
    DWORD FinishRead(PendingRead &read, DWORD timeout_ms = 5000);

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// ---- trace capture ----
// Installs a sink with QorGattSetTraceFunction for its lifetime. Lines are kept
// as the library emits them (with their final line feed); comparisons ignore
// one trailing "\n" on either side.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    bool WaitFor(const std::string &line, DWORD timeout_ms = 5000);
    bool WaitForCount(const std::string &line, size_t n, DWORD timeout_ms = 5000);
    bool WaitForPrefix(const std::string &prefix, DWORD timeout_ms = 5000);
    // Until done(lines) holds, evaluated under the capture's lock.
    bool WaitUntil(const std::function<bool(const std::vector<std::string> &)> &done, DWORD timeout_ms = 5000);
    size_t Count(const std::string &line) const;
    bool Contains(const std::string &line) const;
    size_t CountPrefix(const std::string &prefix) const;
    std::vector<std::string> Lines() const;
    void Clear();
    // Every captured line, one per row, for failure messages.
    std::string Dump() const;

    void Add(const char *line);  // called by the sink

private:
    bool WaitMatch(const std::function<bool()> &done, DWORD timeout_ms);
    size_t CountLocked(const std::string &line) const;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// ---- fixture ----
class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override;
    Controller ctl;
    TraceCapture trace;
};

// ---- connection control of simulated devices (connect_ctl.cpp) ----
// Link up under conn_id (VCTL_CONN_ID_LOWEST: lowest free), announced even on a
// link that is up already.
void LinkUp(Controller &ctl, const uint8_t bda[6], uint16_t conn_id = VCTL_CONN_ID_LOWEST);
// The device advertises: its link comes up only while a connect is pending.
void Advertise(Controller &ctl, const uint8_t bda[6]);
VctlDeviceState DeviceState(Controller &ctl, const uint8_t bda[6]);
// Pairs the simulated device (added for the purpose, removed after) and stores
// its database under `address`, in place of whatever was stored there before;
// false when the store was not written.
bool StoreByPairing(Controller &ctl, TraceCapture &trace, const uint8_t bda[6], const GattDb &db, ULONGLONG address);

} // namespace qortest

namespace qortest {

// ---- the controller's local attribute database ----
// Every record, or those of one channel, in handle order.
std::vector<VctlLocalAttr> LocalDb(Controller &ctl, uint32_t channel = 0);
// One text row per record, handles and UUIDs in hexadecimal:
// "0001 service 180d inst 0 flag 0 end 0005 if 1 started", "0002 include 180f of 0006",
// "0003 char 2a37 props 12 value 0004", "0004 value 2a37 props 12 perm 0011",
// "0005 descr 2902 perm 0011 block 0102" (the block without its trailing zeros).
std::vector<std::string> LocalDbRows(Controller &ctl, uint32_t channel = 0);

} // namespace qortest
