// The client API against the virtual controller: QorGattRegister and
// QorGattDeregister with their duplicate rules and device records, the
// registration's callback thread, the fault guard, and the attribute tree.

#include <algorithm>
#include <atomic>
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

void WINAPI IgnoreConnect(PVOID, PLE_ADDRESS, DWORD) {}

QOR_CONN_DEV *ListDevice(ULONGLONG address, uint8_t gatt_if)
{
    ApiLockInitOnce();
    ApiLockHold hold;
    auto *dev = new QOR_CONN_DEV;
    dev->Address.ullLong = address;
    dev->gatt_if = gatt_if;
    QOR_CONN_DEV **tail = &pDevList;
    while (*tail)
        tail = &(*tail)->pNext;
    return *tail = dev;
}

std::string Listed()
{
    ApiLockHold hold;
    std::string all;
    for (QOR_CONN_DEV *dev = pDevList; dev; dev = dev->pNext)
        all += Fmt("%llx ", dev->Address.ullLong);
    return all;
}

uint8_t InterfaceOf(HQORREG reg)
{
    ApiLockHold hold;
    return static_cast<QOR_APP_REG *>(reg)->gatt_if;
}

size_t Registrations()
{
    if (!bApiLockInit)
        return 0;
    ApiLockHold hold;
    size_t n = 0;
    for (QOR_APP_REG *app = pFirst; app; app = app->pNext)
        ++n;
    return n;
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
    static void QueueConnect(HQORREG h, ULONGLONG context, ULONGLONG address = 0)
    {
        ApiLockHold hold;
        LeCallback *record = NewCallback(kCallbackConnect);
        record->Context = context;
        record->connect.Address.ullLong = address;
        record->connect.Connected = 1;
        QueueCallback(static_cast<QOR_APP_REG *>(h), record);
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
          Returns(0, [&] { return Register(0, kAppA, &h); }), Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"),
          Do([&] { QorGattDeregister(&not_a_registration); }),
          Trace(Fmt("***QorLeApi:QorGattDeregister invalid handle hReg:%p", &not_a_registration)),
          Returns(1, [&] { return InterfaceOf(h); }), NothingSent()});
}

TEST_F(Registration, FirstRegistrationTakesInterfaceOneAndDeregistrationEndsItAndItsThread)
{
    HQORREG h = nullptr;
    HANDLE thread = nullptr, events[3] = {};
    DWORD flags = 0, code = 0;
    Play({Returns(0, [&] { return Register(0, kAppA, &h); }), Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"),
          Trace("***QorLeApi:QorGattRegister"), Trace("***QorLeApi:QorGattRegister Init CS"),
          Trace("***QorLeApi:QorGattRegister First reg "), Trace("***QorLeApi:QorGattRegister succeeded"),
          Returns(1, [&] { return InterfaceOf(h); }), Do([&] {
              auto *app = static_cast<QOR_APP_REG *>(h);
              events[0] = app->hQueueEvent, events[1] = app->hShutdownEvent, events[2] = app->hStartedEvent;
              ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), app->hThread, GetCurrentProcess(), &thread, 0, FALSE,
                                          DUPLICATE_SAME_ACCESS));
          })});
    Play({Trace(Fmt("***QorLeApi:QorGattRegister pFirst %p returning pApp %p", h, h)), Do([&] { Deregister(h); }),
          Trace(Fmt("***QorLeApi:QorGattDeregister pFirst %p dereg %p", h, h)),
          Trace(Fmt("***QorLeApi:QorGattDeregister() Set shutdown event %p", events[1])),
          Trace(Fmt("***QorLeApi:QOR_APP_REG::CallbackThread() app deleting first %p", h)),
          Sent(ZOREROVA_GATT_DEREGISTER, ""), Returns(0, [] { return Registrations(); }),
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
          Returns(0, [&] { return Register(kDevY, kAppB, &onY); }), Returns(3, [&] { return InterfaceOf(onY); }),
          Returns(3, [] { return Registrations(); }),
          // Each releases its own interface: the channel closes with the last one.
          Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"), Do([&] {
              Deregister(onX);
              Deregister(any);
          }),
          NothingSent(), Do([&] { Deregister(onY); }), Sent(ZOREROVA_GATT_DEREGISTER, "")});
}

TEST_F(Registration, RefusedInterfaceStillDeliversQueuedConnectionsThenGoes)
{
    HQORREG h = reinterpret_cast<HQORREG>(0x5A5A), again = nullptr;
    ListDevice(kDevX, 3);
    ListDevice(kDevY, 4);
    ListDevice(kDevZ, 5);
    ctl.ArmFault(0, VCTL_FAULT_REFUSE_OPEN, 0xC0000022);
    Play({Returns(6, [&] { return Register(0, kAppA, &h, OnConnect, reinterpret_cast<PVOID>(0x1234)); }),
          Returns(0, [&] { return uintptr_t(h); }), Trace("***QorLeApi:ERROR GATT_Register failed"),
          Callback("connect 1234 a1b2c3d4e5f6 1"), Callback("connect 1234 112233445566 1"),
          Callback("connect 1234 cafef00d0001 1"), Trace("~QOR_APP_REG() *"),
          Returns(0, [] { return Registrations(); }),
          Returns(1, [] { return Listed() == "a1b2c3d4e5f6 112233445566 cafef00d0001 "; }),
          // The channel was left closed: the next registration opens it.
          Returns(0, [&] { return Register(0, kAppA, &again); }), Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01")});
}

TEST_F(Registration, NewRegistrationHearsOfConnectedDevicesItsFilterAccepts)
{
    HQORREG onY = nullptr, all = nullptr, silent = nullptr;
    ListDevice(kDevX, 1);
    ListDevice(kDevY, 1);
    ListDevice(kDevZ, 2);
    Play({Returns(0, [&] { return Register(kDevY, kAppA, &onY, OnConnect, reinterpret_cast<PVOID>(7)); }),
          Callback("connect 7 112233445566 1"),
          Returns(0, [&] { return Register(0, kAppB, &all, OnConnect, reinterpret_cast<PVOID>(8)); }),
          Callback("connect 8 a1b2c3d4e5f6 1"), Callback("connect 8 112233445566 1"),
          Callback("connect 8 cafef00d0001 1"),
          // Without a connection callback nothing is queued.
          Returns(0, [&] { return Register(0, kAppC, &silent, nullptr); }), NoCallback(),
          Returns(4, [this] { return trace.CountPrefix("***QorLeApi:QorGattRegister pDev->Address.ullLong"); })});
}

TEST_F(Registration, DeregistrationDropsOnlyTheDevicesOfItsInterface)
{
    HQORREG a = nullptr, b = nullptr;
    Play({Returns(0, [&] { return Register(0, kAppA, &a); }), Returns(0, [&] { return Register(0, kAppB, &b); }),
          Do([&] {
              // b's devices at the head and the tail of the list.
              ListDevice(kDevX, InterfaceOf(b));
              ListDevice(kDevY, InterfaceOf(a));
              ListDevice(kDevZ, InterfaceOf(b));
              Deregister(b);
          })});
    Play({Returns(1, [] { return Listed() == "112233445566 "; }),
          Trace(Fmt("***QorLeApi:QOR_APP_REG::CallbackThread() app deleting pApp:%p", b)),
          Returns(1, [&] { return pFirst == a; }), Do([&] { Deregister(a); }),
          Returns(1, [] { return Listed().empty(); }), Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"),
          Sent(ZOREROVA_GATT_DEREGISTER, "")});
}

using CallbackThread = Client;

TEST_F(CallbackThread, DeliversOneAtATimeInQueueOrderOnItsOwnThread)
{
    HQORREG h = Register(kAppA);
    std::atomic<ULONGLONG> next{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < 50; ++i) {
                ApiLockHold hold;
                LeCallback *record = NewCallback(i % 2 ? kCallbackComplete : kCallbackConnect);
                record->Context = next++;   // the order in which records enter the queue
                if (record->type == kCallbackConnect)
                    record->connect.Address.ullLong = p;
                QueueCallback(static_cast<QOR_APP_REG *>(h), record);
            }
        });
    for (std::thread &t : producers)
        t.join();
    ASSERT_TRUE(trace.WaitForCount("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed", 200));
    const std::vector<std::string> seen = Journal();
    ASSERT_EQ(seen.size(), 200u);
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i].substr(seen[i].find(' ') + 1, Fmt("%zx ", i).size()), Fmt("%zx ", i));
    const std::set<DWORD> threads(g_threads.begin(), g_threads.end());
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(GetCurrentThreadId()), 0u);
    EXPECT_FALSE(g_overlapped);
}

TEST_F(CallbackThread, HandsEachRecordsFieldsToItsCallback)
{
    HQORREG h = Register(kAppA);
    {
        ApiLockHold hold;
        auto *app = static_cast<QOR_APP_REG *>(h);
        LeCallback *connect = NewCallback(kCallbackConnect);
        connect->Context = 0x77;
        connect->connect.Address.ullLong = 0xAABBCCDDEEFFull;
        QueueCallback(app, connect);
        LeCallback *complete = NewCallback(kCallbackComplete);
        complete->Context = 0x1122334455667788ull;
        complete->complete.Status = 87;
        complete->complete.Value = {3, {1, 2, 3}};
        QueueCallback(app, complete);
        QueueCallback(app, NewCallback(9));
        LeCallback *attribute = NewCallback(kCallbackAttribute);
        attribute->Device.ullLong = 0x010203040506ull;
        LeAttributeRecord &a = attribute->attribute;
        a.ServiceGuid = BaseGuid(0x180F), a.ServiceInstance = 1, a.CharGuid = BaseGuid(0x2A19), a.CharInstance = 2;
        a.DescrGuid = BaseGuid(0x2902), a.Extra = 5, a.EventType = QOR_EVENT_NOTIFICATION, a.Value = {2, {0x64, 0x65}};
        QueueCallback(app, attribute);
    }
    Play({Callback("connect 77 aabbccddeeff 0"), Callback("complete 1122334455667788 87 010203"),
          Callback("attribute 10203040506 0000180f-0000-1000-8000-00805f9b34fb 1 00002a19-0000-1000-8000-00805f9b34fb "
                   "2 00002902-0000-1000-8000-00805f9b34fb 5 3 6465"),
          Trace("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback->type:9"), NoCallback()});
}

TEST_F(CallbackThread, DeregisteredRegistrationDeliversItsQueueBeforeItGoes)
{
    HQORREG h = Register(kAppA);
    QueueConnect(h, kBlock);
    ASSERT_EQ(WaitForSingleObject(g_entered, 5000), WAIT_OBJECT_0);
    for (ULONGLONG i = 1; i <= 3; ++i)
        QueueConnect(h, i);
    // Returns at once; the registration stays listed while it drains.
    Play({Do([&] {
              QorGattDeregister(h);
              Forget(h);
          }),
          Returns(1, [&] { return IsAppRegistered(h); }), Returns(0, [&] { return InterfaceOf(h); }),
          NoTrace(Destroyed(h)), Do([] { SetEvent(g_gate); }), Callback("connect b10c 0 1"),
          Callback("connect 1 0 1"), Callback("connect 2 0 1"), Callback("connect 3 0 1"),
          Trace("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed"),
          Trace("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed"),
          Trace("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed"),
          Trace("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed"), Trace(Destroyed(h)),
          Returns(0, [&] { return IsAppRegistered(h); })});
}

TEST_F(CallbackThread, RepeatedDeregistrationOfAStoppingRegistrationLeavesOthersAlone)
{
    HQORREG a = Register(kAppA);
    QueueConnect(a, kBlock);
    ASSERT_EQ(WaitForSingleObject(g_entered, 5000), WAIT_OBJECT_0);
    QorGattDeregister(a);
    Forget(a);
    // The interface number is free again and a newer registration gets it; the
    // stopping one, deregistered again, must not take it away.
    HQORREG b = Register(kAppB);
    Play({Returns(1, [&] { return InterfaceOf(b); }), Do([&] { QorGattDeregister(a); }),
          Returns(1, [&] { return InterfaceOf(b); }), Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"),
          Sent(ZOREROVA_GATT_DEREGISTER, ""),
          Sent(ZOREROVA_GATT_REGISTER, "1000 2b4c0a1f 117d 0c4e 9a523310c48e01b2", "01"), NothingSent(),
          Do([] { SetEvent(g_gate); }), Trace(Destroyed(a)), Returns(1, [&] { return IsAppRegistered(b); })});
}

TEST_F(CallbackThread, RegistrationsDeliverInParallel)
{
    HQORREG a = Register(kAppA), b = Register(kAppB);
    QueueConnect(a, kBlock);
    ASSERT_EQ(WaitForSingleObject(g_entered, 5000), WAIT_OBJECT_0);
    // a's thread is inside a callback; b's still delivers.
    QueueConnect(b, 0x42);
    Play({Callback("connect 42 0 1"), Do([] { SetEvent(g_gate); }), Callback("connect b10c 0 1")});
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
          Returns(0, [] { return Registrations(); }), NothingSent(),
          // The process goes on working.
          Returns(0, [&] { return Register(0, kAppA, &h); }), Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01")});
}

// A corrupted device list makes the announcement of connected devices, or the
// dropping of the devices, fault after the registration existed.
TEST_F(GuardedExports, FaultAfterTheRegistrationExistedEndsIt)
{
    QOR_CONN_DEV *dev = ListDevice(0x665544332211ull, 1);
    dev->pNext = Bad<QOR_CONN_DEV>();
    struct Mend {   // before the fixture drops the list, whatever happened
        QOR_CONN_DEV *dev;
        ~Mend() { dev->pNext = nullptr; }
    } mend{dev};
    HQORREG h = reinterpret_cast<HQORREG>(0x5A5A);
    Play({Returns(ERROR_INTERNAL_ERROR, [&] { return Register(0, kAppA, &h, IgnoreConnect); }),
          Returns(0, [&] { return uintptr_t(h); }), Trace("***QorLeApi:ERROR QorGattRegister crashed"),
          Trace("~QOR_APP_REG() *"), Returns(0, [] { return Registrations(); }), NothingSent(),
          Do([&] { dev->gatt_if = 9; }), Returns(0, [&] { return Register(0, kAppA, &h, nullptr); }),
          Sent(ZOREROVA_GATT_REGISTER, kAppAHex, "01"), Do([&] {
              Forget(h);
              QorGattDeregister(h);
          }),
          Trace("***QorLeApi:ERROR QorGattDeregister crashed"), Sent(ZOREROVA_GATT_DEREGISTER, "")});
    Play({Returns(1, [&] { return trace.WaitFor(Destroyed(h)); }), Do([&] {
              ApiLockHold hold;
              dev->pNext = nullptr;
          }),
          Returns(1, [] { return ApiLockIsFree(); })});
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
