#pragma once
// What the driver-link tests share: registrations whose callbacks record what
// reached them, a way to make CreateEventW fail on demand, and a fixture that
// leaves the channel closed behind each test.

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "link/link.h"
#include "qortest.h"

namespace linktest {

// Sixteen registrations and one more, each with its own callbacks.
constexpr int kApps = kMaxGattIf + 1;

struct Call {
    enum Kind { Connected, Complete, DiscComplete, Request } kind = Connected;
    uint8_t gatt_if = 0;             // on_connected only
    uint16_t conn_id = 0;
    uint8_t a = 0;                   // connected flag, op, disc type or request type
    uint8_t b = 0;                   // status
    uint32_t trans_id = 0;
    uint16_t handle = 0;             // from the payload
    std::vector<uint8_t> bytes;      // address, or the payload's value bytes
    bool record_up = false;          // conn_table[conn_id].connected during the call
};

// What reached one registration's callbacks, in order.
class Calls {
public:
    void Add(const Call &call);
    bool WaitCount(size_t n, DWORD timeout_ms = 5000);
    std::vector<Call> Get() const;
    size_t Size() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
};

extern Calls g_calls[kApps];

// The callbacks of registration n; every slot set unless `without` says so.
enum Without { kNone = 0, kNoRequest = 1, kNoComplete = 2, kNoConnected = 4 };
gatt_callbacks AppCallbacks(int n, int without = kNone);
LeUuid AppIdentity(int n);
// GATT_Register for registration n.
uint8_t Register(int n, int without = kNone);

// When set, the next on_connected call blocks (on the reader thread) until the
// event is signalled.
void BlockNextConnected(HANDLE release);
// Called on the reader thread by every on_connected (after it was recorded).
using ConnectedHook = void (*)(uint8_t gatt_if, uint16_t conn_id, uint8_t connected);
void SetConnectedHook(ConnectedHook hook);

// ---- CreateEventW failing on demand ----
// The next CreateEventW calls of one thread fail with ERROR_NOT_ENOUGH_MEMORY:
// after `skip` calls that succeed, `count` calls fail. thread 0 means any thread
// but the arming one.
void FailCreateEvent(DWORD thread, unsigned skip = 0, unsigned count = 1);
void StopFailingCreateEvent();
// The next CreateFileA of this thread fails with ERROR_FILE_NOT_FOUND.
void FailCreateFile();

// Counts the allocations one thread makes through the C runtime (malloc,
// calloc, realloc) or HeapAlloc, until CountedAllocations.
void CountAllocations(DWORD thread);
long CountedAllocations();

// The six address bytes of the test devices.
extern const uint8_t kAddr[6];
extern const uint8_t kAddr2[6];

// Each expected line appears, in this order, among the captured ones (other
// lines may come between). An expected line ending in '*' matches a prefix.
::testing::AssertionResult InOrder(const std::vector<std::string> &captured, const std::vector<std::string> &expected);

// The trace line of a format and its arguments, as the library prints it.
std::string Line(const char *format, ...);

class LinkTest : public qortest::ControllerTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A connection event through the library channel, and its dispatch.
    void Connect(uint16_t conn_id, const uint8_t *bda = kAddr);
    void Disconnect(uint16_t conn_id, const uint8_t *bda = kAddr);
    // Posts a record and waits until the reader has taken it.
    void Post(const ZrEvent &event);
    std::vector<uint8_t> LoggedIn(const VctlLogEntry &entry) const;
    uint32_t Channel();
};

} // namespace linktest
