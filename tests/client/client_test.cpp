// The client API against the virtual controller: QorGattRegister and
// QorGattDeregister with their duplicate rules and device records, the
// registration's callback thread, the fault guard, and the attribute tree.
// The export shape, the attribute tree and the load state are tested through
// their own interfaces; everything else through the exports and the controller.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "api/api_state.h"
#include "api/app_reg.h"
#include "api/export.h"
#include "client/attr_cache.h"
#include "client_fixture.h"

namespace {

using namespace qortest;

const GUID kAppA = {0x1F0A4C2B, 0x7D11, 0x4E0C, {0x9A, 0x52, 0x33, 0x10, 0xC4, 0x8E, 0x01, 0xA1}};
const GUID kAppB = {0x1F0A4C2B, 0x7D11, 0x4E0C, {0x9A, 0x52, 0x33, 0x10, 0xC4, 0x8E, 0x01, 0xB2}};
const GUID kAppC = {0x2, 0x3, 0x4, {5, 6, 7, 8, 9, 10, 11, 12}};
const char *const kAppAHex = "1000 2b4c0a1f 117d 0c4e 9a523310c48e01a1";
constexpr ULONGLONG kDevX = 0xA1B2C3D4E5F6ull, kDevY = 0x112233445566ull, kDevZ = 0xCAFEF00D0001ull;
constexpr ULONGLONG kBlock = 0xB10C;   // a connect record with this context waits for the gate

// Read at run time, so the compiler cannot see the fault coming.
volatile uintptr_t bad_address = 0x10;
template <class T>
T *Bad()
{
    return reinterpret_cast<T *>(bad_address);
}

// What the callbacks saw goes to the journal; two callbacks at once, and the
// threads they ran on, are noted here.
std::atomic<int> g_inside{0};
std::atomic<bool> g_overlapped{false};
std::mutex g_threads_mutex;
std::vector<DWORD> g_threads;
HANDLE g_gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);      // opened by the test
HANDLE g_entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);   // set by a blocking callback

struct Span {
    Span()
    {
        g_overlapped = g_overlapped || g_inside.fetch_add(1) != 0;
        std::lock_guard<std::mutex> hold(g_threads_mutex);
        g_threads.push_back(GetCurrentThreadId());
    }
    ~Span()
    {
        SwitchToThread();
        g_inside.fetch_sub(1);
    }
};

std::string Text(const GUID &g)
{
    return Fmt("%08lx-%04x-%04x-%02x%02x-", g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1]) +
           ToHex(g.Data4 + 2, 6, false);
}

void WINAPI OnConnect(PVOID context, PLE_ADDRESS address, DWORD connected)
{
    Span span;
    if (reinterpret_cast<uintptr_t>(context) == kBlock) {
        SetEvent(g_entered);
        WaitForSingleObject(g_gate, 5000);
    }
    NoteFmt("connect %llx %llx %lu", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(context)),
            address->ullLong, connected);
}

void WINAPI OnComplete(ULONGLONG context, DWORD status, PLE_VALUE value)
{
    Span span;
    NoteFmt("complete %llx %lu %s", context, status, ToHex(value->Value, value->Length, false).c_str());
}

DWORD WINAPI OnAttribute(PLE_ADDRESS address, GUID *service, DWORD service_instance, GUID *chr, DWORD char_instance,
                         GUID *descr, DWORD extra, DWORD event_type, PLE_VALUE value)
{
    Span span;
    Note(Fmt("attribute %llx ", address->ullLong) + Text(*service) + Fmt(" %lu ", service_instance) + Text(*chr) +
         Fmt(" %lu ", char_instance) + Text(*descr) + Fmt(" %lu %lu ", extra, event_type) +
         ToHex(value->Value, value->Length, false));
    return 0;
}

// A trace sink that hands each line to the capture and faults once, after the
// first line that starts with g_fault_at.
const char *volatile g_fault_at = nullptr;
TraceCapture *g_capture = nullptr;
void Fault();

void WINAPI FaultingSink(const char *line)
{
    g_capture->Add(line);
    const char *at = g_fault_at;
    if (at && std::strncmp(line, at, std::strlen(at)) == 0) {
        g_fault_at = nullptr;
        Fault();
    }
}

class Client : public ClientTest {
protected:
    void TearDown() override
    {
        SetEvent(g_gate);
        ClientTest::TearDown();
    }
    DWORD Register(ULONGLONG address, const GUID &app, HQORREG *h, PFN_LE_CONNECT_CALLBACK connect = OnConnect,
                   PVOID context = nullptr)
    {
        return ClientTest::Register(address, app, h, connect, context, OnComplete, OnAttribute);
    }
    HQORREG Register(const GUID &app)
    {
        HQORREG h = nullptr;
        EXPECT_EQ(Register(0, app, &h), 0u) << trace.Dump();
        return h;
    }
    // The simulated device of that address links up; the interface gatt_if, the
    // last one registered, has heard of it.
    void Connect(ULONGLONG address, int gatt_if = 1)
    {
        uint8_t bda[6];
        for (int i = 0; i < 6; ++i)
            bda[i] = static_cast<uint8_t>(address >> (40 - 8 * i));
        ctl.AddDevice(bda, GattDb(), 0);
        LinkUp(ctl, bda);
        ASSERT_TRUE(trace.WaitForPrefix(Fmt("***QorLeApi:ConnectCallback gatt_if:%d bda:%012llx", gatt_if, address)));
    }
};

using Registration = Client;

TEST_F(Registration, MissingArgumentsAreRefusedBeforeAnythingElseAndUnknownHandlesOnlyTrace)
{
    LE_ADDRESS a{};
    GUID g = kAppA;
    HQORREG h = reinterpret_cast<HQORREG>(0x5A5A);
    int not_a_registration = 0;
    Play({Returns(87, [&] { return QorGattRegister(nullptr, &g, nullptr, nullptr, nullptr, nullptr, &h); }),
          Returns(87, [&] { return QorGattRegister(&a, nullptr, nullptr, nullptr, nullptr, nullptr, &h); }),
          Returns(87, [&] { return QorGattRegister(&a, &g, nullptr, nullptr, nullptr, nullptr, nullptr); }),
          Returns(0x5A5A, [&] { return reinterpret_cast<uintptr_t>(h); }),
          Returns(3, [this] { return trace.Count("***QorLeApi:QorGattRegister invalid arguments "); }),
          NoTrace("***QorLeApi:QorGattRegister\n"), NothingSent(), Do([] { QorGattDeregister(nullptr); }),
          Trace(Fmt("***QorLeApi:QorGattDeregister invalid handle hReg:%p", nullptr)),
          Returns(0, [&] { return Register(0, kAppA, &h); }), Trace("GATT_Register - exits. gatt_if=1"),
          Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"), Do([&] { QorGattDeregister(&not_a_registration); }),
          Trace(Fmt("***QorLeApi:QorGattDeregister invalid handle hReg:%p", &not_a_registration)), NothingSent()});
}

TEST_F(Registration, FirstRegistrationTakesInterfaceOneAndDeregistrationEndsItAndItsThread)
{
    HQORREG h = nullptr;
    HANDLE thread = nullptr, events[3] = {};
    DWORD flags = 0, code = 0;
    Play({Returns(0, [&] { return Register(0, kAppA, &h); }), Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"),
          Trace("***QorLeApi:QorGattRegister"), Trace("***QorLeApi:QorGattRegister Init CS"),
          Trace("***QorLeApi:QorGattRegister First reg "), Trace("***QorLeApi:QorGattRegister succeeded"),
          Trace("GATT_Register - exits. gatt_if=1"), Do([&] {
              auto *app = static_cast<QOR_APP_REG *>(h);
              events[0] = app->hQueueEvent, events[1] = app->hShutdownEvent, events[2] = app->hStartedEvent;
              ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), app->hThread, GetCurrentProcess(), &thread, 0, FALSE,
                                          DUPLICATE_SAME_ACCESS));
          })});
    Play({Trace(Fmt("***QorLeApi:QorGattRegister pFirst %p returning pApp %p", h, h)), Do([&] { Deregister(h); }),
          Trace(Fmt("***QorLeApi:QorGattDeregister pFirst %p dereg %p", h, h)),
          Trace(Fmt("***QorLeApi:QorGattDeregister() Set shutdown event %p", events[1])),
          Trace(Fmt("***QorLeApi:QOR_APP_REG::CallbackThread() app deleting first %p", h)),
          Sent(ZOREROVA_GATT_DEREGISTER, ""),
          // The thread ended after it had destroyed the registration, and closed its events.
          Returns(WAIT_OBJECT_0, [&] { return WaitForSingleObject(thread, 5000); }),
          Returns(1, [&] { return GetExitCodeThread(thread, &code) && code == 1; }), Do([&] {
              CloseHandle(thread);
              for (HANDLE e : events)
                  EXPECT_FALSE(GetHandleInformation(e, &flags)) << e;
          })});
}

// One registration of an application covers every device; one for a device
// covers that device.
TEST_F(Registration, AnApplicationIsRegisteredOncePerDeviceOrOnceForAll)
{
    HQORREG any = nullptr, onX = nullptr, onY = nullptr, h = nullptr;
    Play({Returns(0, [&] { return Register(0, kAppA, &any); }), Returns(1078, [&] { return Register(0, kAppA, &h); }),
          Returns(1078, [&] { return Register(kDevX, kAppA, &h); }), Returns(0, [&] { return uintptr_t(h); }),
          Trace("***QorLeApi:QorGattRegister already registered"),
          Returns(0, [&] { return Register(kDevX, kAppB, &onX); }),
          Returns(1078, [&] { return Register(kDevX, kAppB, &h); }),
          Returns(1078, [&] { return Register(0, kAppB, &h); }),
          Returns(0, [&] { return Register(kDevY, kAppB, &onY); }),
          Trace("GATT_Register - already registered allocated gatt_if:3"),
          // Each releases its own interface: the channel closes with the last one.
          Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"), Do([&] {
              Deregister(onX);
              Deregister(any);
          }),
          NothingSent(), Do([&] { Deregister(onY); }), Sent(ZOREROVA_GATT_DEREGISTER, "")});
}

TEST_F(Registration, RefusedInterfaceStillDeliversQueuedConnectionsThenGoes)
{
    HQORREG h = reinterpret_cast<HQORREG>(0x5A5A), last = nullptr;
    for (uint16_t n = 0; n < 16; ++n)   // every interface taken
        ASSERT_EQ(Register(0, BaseGuid(0xB00 + n), &last, nullptr), 0u);
    for (ULONGLONG address : {kDevX, kDevY, kDevZ})
        Connect(address, 16);
    Play({Returns(6, [&] { return Register(0, kAppA, &h, OnConnect, reinterpret_cast<PVOID>(0x1234)); }),
          Returns(0, [&] { return uintptr_t(h); }), Trace("***QorLeApi:ERROR GATT_Register failed"),
          Callback("connect 1234 a1b2c3d4e5f6 1"), Callback("connect 1234 112233445566 1"),
          Callback("connect 1234 cafef00d0001 1"), Trace("~QOR_APP_REG() *"),
          // An interface once free, the next registration takes it.
          Do([&] { Deregister(last); }), Returns(0, [&] { return Register(0, kAppA, &h); }),
          Trace("GATT_Register - already registered allocated gatt_if:16")});
}

TEST_F(Registration, NewRegistrationHearsOfConnectedDevicesItsFilterAccepts)
{
    HQORREG first = nullptr, onY = nullptr, all = nullptr, silent = nullptr;
    ASSERT_EQ(Register(0, BaseGuid(0xB00), &first, nullptr), 0u);
    for (ULONGLONG address : {kDevX, kDevY, kDevZ})
        Connect(address);
    Play({Returns(0, [&] { return Register(kDevY, kAppA, &onY, OnConnect, reinterpret_cast<PVOID>(7)); }),
          Callback("connect 7 112233445566 1"),
          Returns(0, [&] { return Register(0, kAppB, &all, OnConnect, reinterpret_cast<PVOID>(8)); }),
          Callback("connect 8 a1b2c3d4e5f6 1"), Callback("connect 8 112233445566 1"),
          Callback("connect 8 cafef00d0001 1"),
          // Without a connection callback nothing is queued.
          Returns(0, [&] { return Register(0, kAppC, &silent, nullptr); }), NoCallback(),
          Returns(4, [this] { return trace.CountPrefix("***QorLeApi:QorGattRegister pDev->Address.ullLong"); })});
}

// A device record belongs to the interface that heard of it last: the last one registered.
TEST_F(Registration, DeregistrationDropsOnlyTheDevicesOfItsInterface)
{
    HQORREG a = Register(kAppA);
    Connect(kDevX);
    HQORREG b = Register(kAppB);
    Connect(kDevY, 2);
    Connect(kDevZ, 2);
    Play({Do([&] { Deregister(b); }), Returns(1, [&] { return ConnectedDevices() == "a1b2c3d4e5f6 "; }),
          Trace(Fmt("***QorLeApi:QOR_APP_REG::CallbackThread() app deleting pApp:%p", b)), Do([&] { Deregister(a); }),
          Trace(Fmt("***QorLeApi:QOR_APP_REG::CallbackThread() app deleting first %p", a)),
          Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"), Sent(ZOREROVA_GATT_DEREGISTER, ""),
          Returns(1, [&] { return ConnectedDevices().empty(); })});
}

using CallbackThread = Client;

TEST_F(CallbackThread, DeliversOneAtATimeInQueueOrderOnItsOwnThread)
{
    Register(kAppA);
    for (uint8_t device = 0; device < 100; ++device) {   // each up and down on connection 5
        const uint8_t bda[6] = {0, 0, 0, 0, 0, device};
        ctl.PostEvent(ConnectionEvent(bda, 5, 1));
        ctl.PostEvent(ConnectionEvent(bda, 5, 0));
    }
    ASSERT_TRUE(trace.WaitForCount("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed", 200));
    const std::vector<std::string> seen = Journal();
    ASSERT_EQ(seen.size(), 200u);
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], Fmt("connect 0 %zx %zu", i / 2, 1 - i % 2));
    const std::set<DWORD> threads(g_threads.begin(), g_threads.end());
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(GetCurrentThreadId()), 0u);
    EXPECT_FALSE(g_overlapped);
}

// The announcements of the connected devices queue at once behind the first, which blocks.
TEST_F(CallbackThread, DeregisteredRegistrationDeliversItsQueueBeforeItGoes)
{
    HQORREG first = nullptr, h = nullptr;
    ASSERT_EQ(Register(0, kAppB, &first, nullptr), 0u);
    for (ULONGLONG address : {kDevX, kDevY, kDevZ})
        Connect(address);
    ASSERT_EQ(Register(0, kAppA, &h, OnConnect, reinterpret_cast<PVOID>(kBlock)), 0u);
    ASSERT_EQ(WaitForSingleObject(g_entered, 5000), WAIT_OBJECT_0);
    // Returns at once, its interface released; the registration stays while it drains.
    Play({Do([&] {
              QorGattDeregister(h);
              Forget(h);
          }),
          Trace("GATT_Deregister not last gatt_if:2"), NoTrace(Destroyed(h)), Do([] { SetEvent(g_gate); }),
          Callback("connect b10c a1b2c3d4e5f6 1"), Callback("connect b10c 112233445566 1"),
          Callback("connect b10c cafef00d0001 1"),
          Trace("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed"),
          Trace("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed"),
          Trace("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed"), Trace(Destroyed(h)),
          Do([&] { QorGattDeregister(h); }), Trace(Fmt("***QorLeApi:QorGattDeregister invalid handle hReg:%p", h))});
    Deregister(first);
}

TEST_F(CallbackThread, RepeatedDeregistrationOfAStoppingRegistrationLeavesOthersAlone)
{
    HQORREG a = nullptr;
    ASSERT_EQ(Register(0, kAppA, &a, OnConnect, reinterpret_cast<PVOID>(kBlock)), 0u);
    Connect(kDevX);
    ASSERT_EQ(WaitForSingleObject(g_entered, 5000), WAIT_OBJECT_0);
    QorGattDeregister(a);
    Forget(a);
    // The interface number is free again and a newer registration gets it; the
    // stopping one, deregistered again, must not take it away: the next takes another.
    Register(kAppB);
    HQORREG c = nullptr;
    Play({Trace("GATT_Register - exits. gatt_if=1"), Trace("GATT_Register - exits. gatt_if=1"),
          Do([&] { QorGattDeregister(a); }), Returns(0, [&] { return Register(0, kAppC, &c); }),
          Trace("GATT_Register - already registered allocated gatt_if:2"), Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"),
          Sent(ZOREROVA_GATT_DEREGISTER, ""),
          Sent(ZOREROVA_GATT_REGISTER, "1000 2b4c0a1f 117d 0c4e 9a523310c48e01b2", "01"), NothingSent(),
          Do([] { SetEvent(g_gate); }), Trace(Destroyed(a))});
}

TEST_F(CallbackThread, RegistrationsDeliverInParallel)
{
    HQORREG a = nullptr, b = nullptr;
    ASSERT_EQ(Register(kDevX, kAppA, &a, OnConnect, reinterpret_cast<PVOID>(kBlock)), 0u);
    ASSERT_EQ(Register(kDevY, kAppB, &b, OnConnect, reinterpret_cast<PVOID>(0x42)), 0u);
    Connect(kDevX, 2);
    ASSERT_EQ(WaitForSingleObject(g_entered, 5000), WAIT_OBJECT_0);
    // a's thread is inside a callback; b's still delivers.
    Connect(kDevY, 2);
    Play({Callback("connect 42 112233445566 1"), Do([] { SetEvent(g_gate); }),
          Callback("connect b10c a1b2c3d4e5f6 1")});
    EXPECT_NE(g_threads.front(), g_threads.back());
}

// ---- the one shape of an export: its body under the fault guard ----
void Fault() { *Bad<volatile int>() = 1; }

constexpr ExportDecl kShape = {"Shape", "***QorLeApi:ERROR Shape crashed %d\n", 1359};
constexpr ExportDecl kSilent = {"Silent", nullptr, 1359};

TEST(ExportShape, FaultsFromSeveralThreadsAreCaughtAndLeaveApiLockFree)
{
    ApiLockInitOnce();
    EXPECT_EQ(RunExport(kShape, [] { return DWORD{7}; }), 7u);
    std::atomic<int> caught{0}, depth_wrong{0}, undone{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto body = [] {
                    ApiLockEnter();
                    ApiLockEnter();
                    Fault();
                    return DWORD{0};
                };
                caught += RunExport(kSilent, body, [&] { ++undone; }) == 1359;
                depth_wrong += ApiLockDepth() != 0;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(caught, 2000);
    EXPECT_EQ(undone, 2000);
    EXPECT_EQ(depth_wrong, 0);
    qortest::TraceCapture trace;
    auto throws = [] {
        ApiLockEnter();
        throw std::bad_alloc();
        return DWORD{0};
    };
    EXPECT_EQ(RunExport(kShape, throws, NothingHeld{}, 5), 1359u);
    EXPECT_EQ(RunExport(kShape, [] { throw std::runtime_error("x"); return DWORD{0}; }, NothingHeld{}, 6), 1359u);
    EXPECT_EQ(ApiLockDepth(), 0);
    EXPECT_EQ(trace.Count("***QorLeApi:ERROR Shape crashed 5"), 1u);
    EXPECT_EQ(trace.Count("***QorLeApi:ERROR Shape crashed 6"), 1u);
}

TEST(ExportShape, LeavesOnlyTheEntriesTheBodyMade)
{
    ApiLockInitOnce();
    ApiLockEnter();
    auto body = [] {
        ApiLockEnter();
        ApiLockEnter();
        Fault();
        return DWORD{0};
    };
    EXPECT_EQ(RunExport(kSilent, body), 1359u);
    EXPECT_EQ(ApiLockDepth(), 1);
    // Still ours: another thread takes it only once we leave.
    std::atomic<bool> taken{false};
    std::thread other([&] {
        ApiLockEnter();
        taken = true;
        ApiLockLeave();
    });
    EXPECT_EQ(ApiLockDepth(), 1);
    EXPECT_FALSE(taken);
    ApiLockLeave();
    other.join();
    EXPECT_TRUE(taken);
}

using GuardedExports = Client;

TEST_F(GuardedExports, RegisterAnswersBadPointersWithInternalError)
{
    std::atomic<int> internal_errors{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            LE_ADDRESS a{};
            GUID g = kAppA;
            HQORREG h = nullptr;
            for (int i = 0; i < 50; ++i) {
                // Before ApiLock, inside it, and inside it again.
                internal_errors += QorGattRegister(&a, &g, nullptr, nullptr, nullptr, nullptr, Bad<HQORREG>()) ==
                                   ERROR_INTERNAL_ERROR;
                internal_errors += QorGattRegister(Bad<LE_ADDRESS>(), &g, nullptr, nullptr, nullptr, nullptr, &h) ==
                                   ERROR_INTERNAL_ERROR;
                internal_errors += QorGattRegister(&a, Bad<GUID>(), nullptr, nullptr, nullptr, nullptr, &h) ==
                                   ERROR_INTERNAL_ERROR;
            }
        });
    for (std::thread &t : threads)
        t.join();
    HQORREG h = nullptr;
    Play({Returns(600, [&] { return internal_errors.load(); }),
          Returns(600, [this] { return trace.Count("***QorLeApi:ERROR QorGattRegister crashed"); }),
          NothingSent(),
          // None was left behind, and the process goes on working.
          Returns(0, [&] { return Register(0, kAppA, &h); }), Trace("***QorLeApi:QorGattRegister First reg "),
          Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01")});
}

// A fault after the registration existed ends it; one in a deregistration
// leaves the registration to a later one.
TEST_F(GuardedExports, FaultAfterTheRegistrationExistedEndsIt)
{
    g_capture = &trace;
    QorGattSetTraceFunction(FaultingSink);
    HQORREG h = reinterpret_cast<HQORREG>(0x5A5A);
    g_fault_at = "***QorLeApi:QorGattRegister succeeded";
    Play({Returns(ERROR_INTERNAL_ERROR, [&] { return Register(0, kAppA, &h); }),
          Returns(0, [&] { return uintptr_t(h); }), Trace("***QorLeApi:ERROR QorGattRegister crashed"),
          Trace("~QOR_APP_REG() *"), NothingSent(), Returns(0, [&] { return Register(0, kAppA, &h); }),
          Trace("***QorLeApi:QorGattRegister First reg "), Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"), Do([&] {
              g_fault_at = "***QorLeApi:QorGattDeregister pFirst";
              QorGattDeregister(h);
          }),
          Trace("***QorLeApi:ERROR QorGattDeregister crashed"), NothingSent(),
          Returns(1, [] { return ApiLockIsFree(); }), Do([&] { Deregister(h); }), Sent(ZOREROVA_GATT_DEREGISTER, "")});
}

// ---- the attribute tree and the device record ----
std::string g_freed;
struct TracedDescr : LeDescr {
    explicit TracedDescr(std::string n) : name(std::move(n)) {}
    ~TracedDescr() override { g_freed += name + " "; }
    std::string name;
};
struct TracedChar : LeChar {
    explicit TracedChar(std::string n) : name(std::move(n)) {}
    ~TracedChar() override { g_freed += name + " "; }
    std::string name;
};

template <class Node>
Node *Append(Node *&head, Node *node)
{
    Node **tail = &head;
    while (*tail)
        tail = &(*tail)->next;
    return *tail = node;
}

// A service with characteristics c1 (descriptors d1, d2) and c2 (d3).
LeService *ThreeLevelService(const std::string &tag)
{
    auto *service = new LeService;
    LeChar *c1 = Append<LeChar>(service->characteristics, new TracedChar(tag + "c1"));
    Append<LeDescr>(c1->descriptors, new TracedDescr(tag + "d1"));
    Append<LeDescr>(c1->descriptors, new TracedDescr(tag + "d2"));
    Append<LeDescr>(Append<LeChar>(service->characteristics, new TracedChar(tag + "c2"))->descriptors,
                    new TracedDescr(tag + "d3"));
    return service;
}

TEST(AttrCache, FreeingFreesEveryRecordOnceInListOrder)
{
    LeService *service = ThreeLevelService("");
    Append<LeService>(service->includes, ThreeLevelService("i."));
    FreeService(service);
    // A characteristic is noted before it frees its descriptors; then come the included services.
    EXPECT_EQ(g_freed, "c1 d1 d2 c2 d3 i.c1 i.d1 i.d2 i.c2 i.d3 ");
    g_freed.clear();
    auto *dev = new QOR_CONN_DEV;
    Append<LeService>(dev->services, ThreeLevelService("a."));
    Append<LeService>(dev->services, ThreeLevelService("b."));
    FreeAttributeCache(dev);
    EXPECT_EQ(dev->services, nullptr);
    EXPECT_EQ(g_freed, "a.c1 a.d1 a.d2 a.c2 a.d3 b.c1 b.d1 b.d2 b.c2 b.d3 ");
    Append<LeService>(dev->services, ThreeLevelService("c."));
    delete dev;
    EXPECT_EQ(g_freed.size(), 75u);
}

TEST(AttrCache, DeviceRecordClosesTheEventOfAnOperationNobodyWaitsFor)
{
    DWORD flags = 0;
    HANDLE unwaited = CreateEventW(nullptr, TRUE, FALSE, nullptr), waited = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    delete new QOR_CONN_DEV;   // none: nothing to close
    QOR_CONN_DEV *dev = new QOR_CONN_DEV;
    dev->hOpEvent = unwaited;
    delete dev;
    EXPECT_FALSE(GetHandleInformation(unwaited, &flags));
    dev = new QOR_CONN_DEV;   // a waiting caller owns the event and closes it itself
    dev->hOpEvent = waited;
    dev->OpWait = 1;
    delete dev;
    EXPECT_TRUE(GetHandleInformation(waited, &flags));
}

TEST(LoadState, ScratchDeviceAndNamedMutexExistFromLoadAndLoadWorkRunsOnce)
{
    QOR_CONN_DEV *scratch = ScratchDevice();
    ASSERT_NE(scratch, nullptr);
    EXPECT_TRUE(TryEnterCriticalSection(&scratch->DevLock));
    LeaveCriticalSection(&scratch->DevLock);
    HANDLE same = OpenMutexW(SYNCHRONIZE, FALSE, L"ZIDEDMutex");
    ASSERT_NE(same, nullptr);
    CloseHandle(same);
    // Nobody owns it while no registration is being made.
    EXPECT_EQ(WaitForSingleObject(ZIDEDMutex, 0), WAIT_OBJECT_0);
    ReleaseMutex(ZIDEDMutex);
    EXPECT_EQ(bApiLockInit, 0) << "the API lock comes with the first registration";
    HANDLE mutex = ZIDEDMutex;
    QorLeProcessAttach();
    EXPECT_EQ(ScratchDevice(), scratch);
    EXPECT_EQ(ZIDEDMutex, mutex);
}

} // namespace
