// Values: reads and writes of a connected device, completions, notifications
// and indications, remote requests answered, value changes pushed; played as
// scenario tables against a simulated peripheral (conn 5) and central (conn 6).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "peers.h"
#include "scenario.h"

namespace {

using namespace qortest;

const uint8_t kDev[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13}, kDev2[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x14},
              kCentral[6] = {0x00, 0xC0, 0xFF, 0xEE, 0x00, 0x07};
GUID kSvc = BaseGuid(0x180F), kLevel = BaseGuid(0x2A19), kCmd = BaseGuid(0x2A00), kNotifyOnly = BaseGuid(0x2A01),
     kCccd = BaseGuid(0x2902), kUnknown = BaseGuid(0x2A7F);

// What the attribute callbacks answer; when set, an event they wait for and a
// semaphore they release.
DWORD g_result = 0;
HANDLE g_hold = nullptr, g_heard = nullptr;

void WINAPI OnComplete(ULONGLONG ctx, DWORD rc, PLE_VALUE v)
{
    NoteFmt("complete %llu %lu %s", ctx, rc, ToHex(v->Value, v->Length).c_str());
}

template <int N>
DWORD WINAPI OnAttribute(PLE_ADDRESS, GUID *s, DWORD si, GUID *c, DWORD ci, GUID *d, DWORD extra, DWORD ev, PLE_VALUE v)
{
    NoteFmt("%d ev%lu %lx/%lu %lx/%lu %lx x%lu %s", N, ev, s->Data1, si, c->Data1, ci, d->Data1, extra,
            ToHex(v->Value, v->Length).c_str());
    if (ev == QOR_EVENT_READ_REQUEST) *v = LE_VALUE{2, {0xCA, 0xFE}};
    if (g_hold) WaitForSingleObject(g_hold, 5000);
    if (g_heard) ReleaseSemaphore(g_heard, 1, nullptr);
    return g_result;
}

// Registration N (application A11CE00N), of the devices of `filter` only when not 0.
template <int N>
HQORREG Register(ULONGLONG filter)
{
    LE_ADDRESS a{filter};
    GUID app = {0xA11CE000 + N, 0, 0, {0}};
    HQORREG r = nullptr;
    EXPECT_EQ(QorGattRegister(&a, &app, nullptr, OnComplete, OnAttribute<N>, nullptr, &r), 0u);
    return r;
}

// Handles: service 1; 2a19 at 2, value 3, its 2902 at 4; 2a00 at 5, value 6; 2a01 at 7, value 8.
GattDb Db()
{
    GattDb db;
    db.Service(Uuid16(0x180F)), db.Characteristic(Uuid16(0x2A19), 0x3A, {0x64}), db.Descriptor(Uuid16(0x2902), {0, 0});
    db.Characteristic(Uuid16(0x2A00), 0x04), db.Characteristic(Uuid16(0x2A01), 0x10);
    return db;
}

Step Api(const std::string &line) { return Trace("***QorLeApi:" + line); }

class Values : public ScenarioTest {
protected:
    LE_ADDRESS dev{0x001A7DDA7113}, dev2{0x001A7DDA7114}, central{0x00C0FFEE0007};
    HQORREG reg = nullptr;
    LE_VALUE v{};
    USHORT hChar = 0;
    std::string h;   // hChar as request bytes

    void SetUp() override
    {
        ScenarioTest::SetUp();
        g_result = 0;
        ASSERT_TRUE(StoreByPairing(ctl, trace, kDev, Db(), dev.ullLong)) << trace.Dump();
        reg = Register<1>(0);
        Link(kDev, 5);
    }
    // A peripheral with Db() (or a central with `flags`) linked up, registration 1
    // told of it; the requests so far skipped.
    void Link(const uint8_t bda[6], uint16_t conn_id, bool central = false, uint32_t flags = 0)
    {
        central ? AddCentral(ctl, bda, flags) : ctl.AddDevice(bda, Db(), 0);
        LinkUp(ctl, bda, conn_id);
        ASSERT_TRUE(trace.WaitFor(Fmt("***QorLeApi:ConnectCallback gatt_if:1 bda:%s conn_id:%d connected:1",
                                      ToHex(bda, 6, false).c_str(), conn_id))) << trace.Dump();
        scenario.SkipRequests();
    }
    // A started local service with one characteristic, and the central connected.
    void Serve(uint32_t central_flags = 0)
    {
        USHORT s = 0, hDescr = 0;
        uint8_t block[22] = {};
        ASSERT_EQ((std::vector<DWORD>{QorGattCreateService(reg, &kSvc, 0, 4, 0, &s),
                                      QorGattAddCharacteristic(s, &kLevel, 0, 0x11, 0x3A, &hChar),
                                      QorGattAddDescriptor(s, &kCccd, 0x11, block, &hDescr), QorGattStartService(s)}),
                  std::vector<DWORD>(4, 0));
        h = Fmt("%02x00", hChar);
        Link(kCentral, 6, true, central_flags);
    }
    // A read of dev into v (by registration r, when given) returns `code`.
    Step Reads(DWORD code, const GUID &chr, DWORD wait = 1, ULONGLONG context = 0, HQORREG r = nullptr)
    {
        GUID *c = const_cast<GUID *>(&chr);   // a global
        return Returns(
            code, [=] { return QorGattReadCharacteristic(r ? r : reg, &dev, &kSvc, 0, c, 0, 0, &v, wait, context); });
    }
    // A write of n bytes `byte` to dev returns `code`.
    Step Writes(DWORD code, const GUID &chr, size_t n, uint8_t byte = 0xAB)
    {
        return Returns(code, [=] {
            v.Length = static_cast<USHORT>(n), std::fill(v.Value, v.Value + std::min<size_t>(n, QOR_MAX_VALUE), byte);
            return QorGattWriteCharacteristic(reg, &dev, &kSvc, 0, const_cast<GUID *>(&chr), 0, 0, &v, 1, 0);
        });
    }
    // A value change of n bytes (0102...) pushed to the central (or `to`) returns `code`.
    Step Changes(DWORD code, bool indicate, size_t n, USHORT handle = 0, PLE_ADDRESS to = nullptr)
    {
        return Returns(code, [=] {
            LE_VALUE value{static_cast<USHORT>(n), {0x01, 0x02}};
            return QorGattCharValueChanged(to ? to : &central, handle ? handle : hChar, indicate, &value);
        });
    }
    Step Fault(uint32_t kind, uint32_t param = 0, uint32_t code = ZOREROVA_GATTC_READ)
    {
        return Do([=] { ctl.ArmFault(code, kind, param); });
    }
    Step Releases(uint64_t held) { return Returns(held, [this] { return ReleaseHeld(ctl); }); }
    Step CentralDid(uint64_t n, uint32_t VctlCentral::*f, const uint8_t *bda = kCentral)
    {
        return Returns(n, [=] { return Central(ctl, bda).*f; });
    }
};

// ---- the reader held in the trace sink, wakes deferred ----
// A burst of 45 notifications fills the twenty pending reads and leaves 25 in
// the controller: from the 21st record on the reader's reads are answered at
// once, so it defers the callback threads' wakes (to every 20th record, or to
// its next wait). The sink holds the reader at the line of a chosen record,
// every line still reaching the capture.
TraceCapture *g_capture = nullptr;
std::atomic<long> g_records{0};
long g_hold_at = 0;
HANDLE g_reader_held = nullptr, g_reader_go = nullptr;

void WINAPI HoldingSink(const char *line)
{
    g_capture->Add(line);
    if (std::strncmp(line, "LE - ReadWorker: completed", 26) == 0 && ++g_records == g_hold_at) {
        SetEvent(g_reader_held);
        WaitForSingleObject(g_reader_go, 10000);
    }
}

class DeferredWakes : public Values {
protected:
    void SetUp() override
    {
        Values::SetUp();
        g_capture = &trace;
        g_reader_held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_reader_go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override { SetEvent(g_reader_go); }
    // The burst posted and the reader held before the dispatch of its n-th record.
    void BurstHeldAt(long n)
    {
        trace.Clear();
        g_records = 0;
        g_hold_at = n;
        QorGattSetTraceFunction(HoldingSink);
        ASSERT_EQ(Notify(ctl, kDev, 3, VCTL_KIND_NOTIFICATION, {7}, 45), 0u);
        ASSERT_EQ(WaitForSingleObject(g_reader_held, 5000), WAIT_OBJECT_0) << trace.Dump();
    }
    size_t Heard(char registration)
    {
        std::vector<std::string> all = Journal();
        return std::count_if(all.begin(), all.end(), [&](const std::string &e) { return e[0] == registration; });
    }
    bool Delivered(size_t n)
    {
        return trace.WaitForCount("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed", n);
    }
    std::string Destroyed(HQORREG r) { return Fmt("~QOR_APP_REG() %p callback thread:%x ", r, 0); }
};

// Deregistered with two records queued and their wake deferred: it hears
// them before it goes; the registration that holds the device hears the burst.
TEST_F(DeferredWakes, DeregistrationDeliversWhatWasQueued)
{
    HQORREG other = Register<2>(0);
    BurstHeldAt(23);
    QorGattDeregister(other);
    ASSERT_TRUE(trace.WaitFor(Destroyed(other))) << trace.Dump();
    EXPECT_EQ(Heard('2'), 22u);
    SetEvent(g_reader_go);
    EXPECT_TRUE(Delivered(22 + 45)) << trace.Dump();
    EXPECT_EQ(Heard('1'), 45u);
}

// The last registration goes while the reader is held: the reader stops at its
// next turn and the registration still hears the 22 records queued to it.
TEST_F(DeferredWakes, ShutdownDeliversWhatWasQueued)
{
    BurstHeldAt(23);
    std::thread last([&] { QorGattDeregister(reg); });
    EXPECT_TRUE(trace.WaitFor("GATT_DeregisterAll - exiting thread exit..."));
    SetEvent(g_reader_go);
    last.join();
    ASSERT_TRUE(trace.WaitFor(Destroyed(reg))) << trace.Dump();
    EXPECT_EQ(Heard('1'), 22u);
    EXPECT_EQ(trace.Count("LE - ReadWorker: ReadWorker: received exit command 2"), 1u);
}

// A read error behind records whose wakes are deferred: every record before
// it is delivered, then the channel closes.
TEST_F(DeferredWakes, ReadErrorDeliversWhatCameBefore)
{
    BurstHeldAt(43);
    ctl.FailRead(ctl.LibraryChannel(), 0xC0000185);
    SetEvent(g_reader_go);
    EXPECT_TRUE(trace.WaitFor("GATT_DeregisterAll - exit")) << trace.Dump();
    EXPECT_TRUE(Delivered(45)) << trace.Dump();
    EXPECT_EQ(Heard('1'), 45u);
    EXPECT_EQ(trace.CountPrefix("LE - ReadWorker: Read failed, status "), 1u);
}

// Reads and writes send their request and return their code. A call that
// does not wait ends in the completion callback; a completion of another kind,
// or one whose starter has gone, does not keep or end it wrongly.
TEST_F(Values, ReadsWritesAndTheirCompletions)
{
    HQORREG other = Register<2>(0);
    scenario.SkipRequests();
    Play({Reads(0, kLevel), Sent(ZOREROVA_GATTC_READ, "0500 02 00 00 0300 00*20"),
          Returns(0x164, [&] { return v.Length << 8 | v.Value[0]; }),
          Returns(0, [&] { return QorGattReadDescriptor(reg, &dev, &kSvc, 0, &kLevel, 0, &kCccd, 1, &v, 1, 0); }),
          Sent(ZOREROVA_GATTC_READ, "0500 02 01 00 0400 00*20"), Writes(0, kLevel, 512),
          Sent(ZOREROVA_GATTC_WRITE, "0500 02 0000 0300 0000 0002 00 ab*512 00"), Writes(0, kCmd, 1, 9),
          Sent(ZOREROVA_GATTC_WRITE, "0500 01 0000 0600 0000 0100 00 09 00*512"), Writes(87, kLevel, 513),
          Reads(5, kNotifyOnly), Api("ERROR QorGattReadCharacteristic read not allowed"), Writes(5, kNotifyOnly, 1),
          Reads(1168, kUnknown), Api("ERROR QorGattReadCharacteristic char 2a7f not found"), NothingSent(),
          Fault(VCTL_FAULT_EVENT_STATUS, 2), Reads(1, kLevel), Fault(VCTL_FAULT_EVENT_STATUS, 1), Reads(1359, kLevel),
          Fault(VCTL_FAULT_EVENT_STATUS, 3, ZOREROVA_GATTC_WRITE), Writes(1, kLevel, 1),
          Fault(VCTL_FAULT_STATUS, 0xC0000001), Reads(1359, kLevel), Api("ERROR QorGattReadCharacteristic failed rc:1"),
          Reads(0, kLevel), Reads(6, kLevel, 1, 0, &v),
          Returns(87, [&] { return QorGattReadCharacteristic(reg, &dev, &kSvc, 0, &kLevel, 0, 0, nullptr, 0, 0); }),
          Returns(2250, [&] { return QorGattReadCharacteristic(reg, &dev2, &kSvc, 0, &kLevel, 0, 0, &v, 1, 0); }),
          Returns(
              5,
              [&] { return QorGattWriteDescriptor(reg, &dev, &kSvc, 0, &kLevel, 0, &kCccd, 0, (PLE_VALUE)16, 1, 0); }),
          // Then the completions, the level value back at 64.
          Api("ERROR QorGattWriteDescriptor crashed"), Writes(0, kLevel, 1, 0x64), Do([&] { v.Length = 0; }),
          Fault(VCTL_FAULT_HOLD_EVENT), Reads(997, kLevel, 0, 7), Reads(1056, kLevel), Post("f8 0500 07 00"),
          Api("CompleteCallback nobody waits for read/write complete"), Reads(1056, kLevel), Releases(1),
          Callback("complete 7 0 64"), Fault(VCTL_FAULT_EVENT_STATUS, 0x0A), Reads(997, kLevel, 0, 8),
          Callback("complete 8 87 "), Fault(VCTL_FAULT_HOLD_EVENT), Reads(997, kLevel, 0, 9, other),
          Do([&] { QorGattDeregister(other); }), Trace("~QOR_APP_REG()*"), Releases(1),
          Api("CompleteCallback could not find app that started op"), Reads(0, kLevel)});
}

// A read not waited for hears its completion's status as a code in the
// completion callback: each edge of the status table.
TEST_F(Values, CompletionStatusReachesTheCallbackAsItsCode)
{
    const std::vector<std::pair<std::string, DWORD>> rows = {{"00", 0},
                                                             {"01", 6},
                                                             {"02 03 05 08 0c 0f", 13},
                                                             {"04 06 07 09 0a 87", 87},
                                                             {"0b 0d 0e 10 11 80", 8},
                                                             {"81 86 88 8c", 5},
                                                             {"12 7f 8d ff", 1359}};
    ULONGLONG context = 100;
    for (const auto &[statuses, code] : rows) {
        for (uint8_t status : Hex(statuses)) {
            SCOPED_TRACE(Fmt("status %02x", status));
            ++context;
            const char *value = status == 0 ? "64" : "";
            const std::string heard = Fmt("complete %llu %lu %s", context, code, value);
            const Step arm = status ? Fault(VCTL_FAULT_EVENT_STATUS, status) : Do([] {});
            EXPECT_TRUE(Play({arm, Reads(997, kLevel, 0, context), Callback(heard)}));
        }
    }
}

// The one 10 s wait and the one 15 s gate: a read that never completes times
// out while another device's read loses its device; the next read of the
// first waits at the gate; the late completion then finds nobody waiting.
TEST_F(Values, TimeoutDisconnectDuringTheWaitAndTheGate)
{
    trace.Clear();   // the first pairing's lines would end the wait for the second's
    ASSERT_TRUE(StoreByPairing(ctl, trace, kDev2, Db(), dev2.ullLong));
    Link(kDev2, 6);
    ctl.ArmFault(ZOREROVA_GATTC_READ, VCTL_FAULT_HOLD_EVENT, 0, 2);
    DWORD lost = 0;   // the other device's read
    std::thread other([&] {
        LE_VALUE v2{};
        lost = QorGattReadCharacteristic(reg, &dev2, &kSvc, 0, &kLevel, 0, 0, &v2, 1, 0);
    });
    Play({Sent(ZOREROVA_GATTC_READ, "0600 02 00 00 0300 00*20"), Do([&] { ctl.SetLink(kDev2, false); }),
          Takes(Reads(1460, kLevel), 9900), Do([&] { other.join(); }), Returns(2250, [&] { return lost; }),
          Takes(Reads(1359, kLevel), 14900),
          Api("ERROR QorGattReadCharacteristic abandoned while waiting for write to complete"), Releases(2),
          Trace("ClientEnterOp conn_id=5 opertation type=2 has not completed"),
          Api("CompleteCallback nobody waits for read/write complete")});
}

// Several registrations and no operation yet on the connection: each matching
// registration hears each push once; each confirms an indication with its handle.
TEST_F(Values, NotificationsReachEachMatchingRegistrationOnce)
{
    Register<2>(dev.ullLong), Register<3>(dev2.ullLong);
    const Step stray = Api("ERROR CompleteCallback app not found or abandoned");
    Play({Returns(0, [&] { return Notify(ctl, kDev, 4, VCTL_KIND_NOTIFICATION, {7}, 1, 0x21); }),
          Returns(0,
                  [&] {
                      return Notify(ctl, kDev, 3, VCTL_KIND_INDICATION, {8, 9});
                  }),
          Sent(ZOREROVA_GATTC_CONFIRM, "0500 0300"), Sent(ZOREROVA_GATTC_CONFIRM, "0500 0300"), NothingSent(),
          Returns(1,
                  [&] {   // in any order
                      std::vector<std::string> heard = Journal(), want = {"1 ev3 180f/0 2a19/0 2902 x33 07",
                                                                          "1 ev4 180f/0 2a19/0 0 x0 0809",
                                                                          "2 ev3 180f/0 2a19/0 2902 x33 07",
                                                                          "2 ev4 180f/0 2a19/0 0 x0 0809"};
                      return std::is_permutation(heard.begin(), heard.end(), want.begin(), want.end());
                  }),
          Returns(0, [&] { return Notify(ctl, kDev, 0x99, VCTL_KIND_NOTIFICATION, {}); }), stray, stray,
          CentralDid(1, &VctlCentral::confirms_good, kDev), CentralDid(1, &VctlCentral::confirms_unexpected, kDev),
          CentralDid(0, &VctlCentral::confirms_wrong_handle, kDev)});
}

// Two requests before the first is answered: each answer carries its own
// 32-bit transaction id and handle; E_PENDING and write commands send nothing.
// Then value changes pushed to the central, which first refuses indications.
TEST_F(Values, RemoteRequestsAreAnsweredWithTheirOwnIdsAndValueChangesReachTheCentral)
{
    Serve(VCTL_DEV_CONFIRM_STATUS(0x0E));
    g_hold = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto asks = [&](uint8_t kind, bool need_rsp, std::vector<uint8_t> value, uint32_t id = 0) {
        return Returns(0, [=] { return CentralRequest(ctl, kCentral, kind, hChar, need_rsp, value, id); });
    };
    Play({asks(VCTL_CENTRAL_READ, true, {}, 0x10001), Callback("1 ev1 180f/0 2a19/0 0 x0 "),
          asks(VCTL_CENTRAL_WRITE, true, {0x55}), Api("RequestCallback conn_id:6, type:2 *"),
          Do([&] { SetEvent(g_hold); }),
          Sent(ZOREROVA_GATTS_SEND_RSP, "0600 01000100 00 0600" + h + "0000 0200 00 cafe 00*511"),
          Callback("1 ev2 180f/0 2a19/0 0 x0 55"),
          Sent(ZOREROVA_GATTS_SEND_RSP, "0600 02000100 00 0600" + h + "0000 0000 00 55 00*512"),
          CentralDid(2, &VctlCentral::responses), CentralDid(0, &VctlCentral::refused),
          Do([&] { g_result = 0x8000000A; }), asks(1, true, {}), asks(VCTL_CENTRAL_WRITE, false, {1}),
          Trace("QOR_APP_REG::CallbackThread: pending request 1 for 00c0ffee0007"),
          Trace("QOR_APP_REG::CallbackThread: not sending response for write command : 00c0ffee0007"), NothingSent(),
          Do([&] { g_result = 0x1FF; }), asks(1, true, {}),
          Sent(ZOREROVA_GATTS_SEND_RSP, "0600 05000100 ff 0600" + h + "0000 0200 00 cafe 00*511"),
          // The value changes.
          Changes(0, false, 2), Sent(ZOREROVA_GATTS_NOTIFICATION, "0600" + h + "0200 0102 00*510"),
          Changes(1359, true, 2), Sent(ZOREROVA_GATTS_INDICATION, "0600" + h + "0200 0102 00*510"),
          Do([&] { AddCentral(ctl, kCentral); }), Changes(0, true, 1), CentralDid(1, &VctlCentral::received),
          CentralDid(1, &VctlCentral::confirmed), Fault(VCTL_FAULT_HOLD_EVENT), Reads(997, kLevel, 0),
          Changes(1056, false, 1, 0, &dev), Releases(1), Changes(1359, false, 513),
          Trace("GATTS_HandleValueNotification val_len=513"), Api("ERROR GATTS_HandleValue failed rc:13"),
          Changes(87, false, 1, 0x7777), Api("QorGattCharValueChanged char handle not found"),
          Changes(2250, false, 1, 0, &dev2), Changes(1359, false, 1, 0, (PLE_ADDRESS)16),
          Api("ERROR QorGattCharValueChanged crashed")});
    CloseHandle(g_hold);
    g_hold = nullptr;
}

// The client half of the test below, in its own process: connects to the
// server through the controller, reads, writes, subscribes, then hears a
// notification and an indication (which it confirms).
struct ValueClient : ::testing::Test {
};

CHILD_PROCESS_PART(ValueClient, ReadsWritesSubscribesAndHears)
{
    if (!GetEnvironmentVariableA("QORTEST_VALUE_CHILD", nullptr, 0))
        GTEST_SKIP() << "run by TwoProcessesServeAndUseOneService";
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, "QorTestValueReady");
    g_heard = CreateSemaphoreW(nullptr, 0, 2, nullptr);
    LE_ADDRESS loop{0x001A7DDA7115};
    HQORREG r = Register<9>(0);
    ASSERT_EQ(QorGattConnect(r, &loop, 1), 0u);
    LE_VALUE v{}, one{1, {0x42}}, subscribe{2, {0x01, 0x00}};
    EXPECT_EQ(QorGattReadCharacteristic(r, &loop, &kSvc, 0, &kLevel, 0, 0, &v, 1, 0), 0u);
    EXPECT_EQ(ToHex(v.Value, v.Length), "cafe");
    EXPECT_EQ(QorGattWriteCharacteristic(r, &loop, &kSvc, 0, &kLevel, 0, 0, &one, 1, 0), 0u);
    EXPECT_EQ(QorGattWriteDescriptor(r, &loop, &kSvc, 0, &kLevel, 0, &kCccd, 0, &subscribe, 1, 0), 0u);
    SetEvent(ready);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(WaitForSingleObject(g_heard, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(Journal(), (std::vector<std::string>{"9 ev3 180f/0 2a19/0 0 x0 0102", "9 ev4 180f/0 2a19/0 0 x0 0102"}));
    HANDLE done = OpenEventA(SYNCHRONIZE, FALSE, "QorTestValueDone");   // the confirmation has arrived
    EXPECT_EQ(WaitForSingleObject(done, 15000), WAIT_OBJECT_0);
}

TEST_F(Values, TwoProcessesServeAndUseOneService)
{
    const uint8_t loop[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x15};
    LE_ADDRESS client{0x001A7DDA7115};
    trace.Clear();
    ASSERT_TRUE(StoreByPairing(ctl, trace, kDev2, Db(), client.ullLong));   // the client's view of our service
    Serve();
    // The walk's conn_id keeps the walk's gone interface as its last starter,
    // to which the link would send the confirmation: keep it taken.
    ctl.AddDevice(kDev2, Db(), 0);
    LinkUp(ctl, kDev2, 0);
    ctl.AddDevice(loop, GattDb(), VCTL_DEV_LOOPBACK | VCTL_DEV_AUTO_CONNECT);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "QorTestValueReady"),
           done = CreateEventA(nullptr, TRUE, FALSE, "QorTestValueDone");
    PROCESS_INFORMATION pi = StartSelf("ValueClient.*", "QORTEST_VALUE_CHILD");
    Play({Callback("1 ev1 180f/0 2a19/0 0 x0 "), Callback("1 ev2 180f/0 2a19/0 0 x0 42"),
          Callback("1 ev2 180f/0 2a19/0 2902 x0 0100"),
          Returns(WAIT_OBJECT_0, [&] { return WaitForSingleObject(ready, 30000); }), Changes(0, false, 2, 0, &client),
          Changes(0, true, 2, 0, &client), Do([&] { SetEvent(done); }),
          Returns(WAIT_OBJECT_0, [&] { return WaitForSingleObject(pi.hProcess, 30000); }), Returns(0, [&] {
              DWORD rc = 99;
              return GetExitCodeProcess(pi.hProcess, &rc) ? rc : 99;
          })});
    for (HANDLE handle : {ready, done, pi.hProcess, pi.hThread}) CloseHandle(handle);
}

} // namespace
