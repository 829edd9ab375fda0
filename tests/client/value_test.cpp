// Values: reads and writes of a connected device, completions, notifications
// and indications, remote requests answered, value changes pushed; played as
// scenario tables against a simulated peripheral (conn 5) and central (conn 6).
#include <algorithm>
#include <thread>

#include "client/connection.h"
#include "client/op_slot.h"
#include "peers.h"
#include "scenario.h"

namespace {

using namespace qortest;

const uint8_t kDev[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
const uint8_t kDev2[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x14};
const uint8_t kCentral[6] = {0x00, 0xC0, 0xFF, 0xEE, 0x00, 0x07};
GUID kSvc = BaseGuid(0x180F), kLevel = BaseGuid(0x2A19), kCmd = BaseGuid(0x2A00), kNotifyOnly = BaseGuid(0x2A01),
     kCccd = BaseGuid(0x2902), kUnknown = BaseGuid(0x2A7F);
const std::string kRead3 = "0500 02 00 00 0300 00*20";   // read of the level value on conn 5

DWORD g_result = 0;        // what the attribute callbacks answer
HANDLE g_hold = nullptr;   // set: the attribute callbacks wait for it
HANDLE g_heard = nullptr;  // set: a semaphore the attribute callbacks release

void WINAPI OnComplete(ULONGLONG context, DWORD status, PLE_VALUE v)
{
    NoteFmt("complete %llu %lu %s", context, status, ToHex(v->Value, v->Length).c_str());
}

template <int N>
DWORD WINAPI OnAttribute(PLE_ADDRESS, GUID *s, DWORD si, GUID *c, DWORD ci, GUID *d, DWORD extra, DWORD ev, PLE_VALUE v)
{
    NoteFmt("%d ev%lu %lx/%lu %lx/%lu %lx x%lu %s", N, ev, s->Data1, si, c->Data1, ci, d->Data1, extra,
            ToHex(v->Value, v->Length).c_str());
    if (ev == QOR_EVENT_READ_REQUEST)
        *v = LE_VALUE{2, {0xCA, 0xFE}};
    if (g_hold)
        WaitForSingleObject(g_hold, 5000);
    if (g_heard)
        ReleaseSemaphore(g_heard, 1, nullptr);
    return g_result;
}

GattDb Db()
{
    GattDb db;
    db.Service(Uuid16(0x180F));                              // 1
    db.Characteristic(Uuid16(0x2A19), 0x3A, {0x64});        // 2, value 3
    db.Descriptor(Uuid16(0x2902), {0, 0});                  // 4
    db.Characteristic(Uuid16(0x2A00), 0x04);                // 5, value 6
    db.Characteristic(Uuid16(0x2A01), 0x10);                // 7, value 8
    return db;
}

class Values : public ScenarioTest {
protected:
    LE_ADDRESS dev{0x001A7DDA7113}, dev2{0x001A7DDA7114}, central{0x00C0FFEE0007};
    HQORREG reg = nullptr;
    LE_VALUE v{};
    USHORT hChar = 0;

    void SetUp() override
    {
        ScenarioTest::SetUp();
        g_result = 0;
        ASSERT_TRUE(StoreByPairing(ctl, trace, kDev, Db(), dev.ullLong)) << trace.Dump();
        reg = Register<1>(0);
        ctl.AddDevice(kDev, Db(), 0);
        Link(kDev, 5);
        scenario.SkipRequests();
    }
    template <int N>
    HQORREG Register(ULONGLONG filter)
    {
        LE_ADDRESS a{filter};
        GUID app = {0xA11CE000 + N, 0, 0, {0}};
        HQORREG h = nullptr;
        EXPECT_EQ(QorGattRegister(&a, &app, nullptr, OnComplete, OnAttribute<N>, nullptr, &h), 0u);
        return h;
    }
    void Link(const uint8_t bda[6], uint16_t conn_id)
    {
        LinkUp(ctl, bda, conn_id);
        ASSERT_TRUE(trace.WaitFor(Fmt("***QorLeApi:ConnectCallback gatt_if:1 bda:%012llx conn_id:%d connected:1",
                                      AddressFromBda(bda), conn_id)))
            << trace.Dump();
    }
    // A started local service with one characteristic, and the central connected.
    void Serve(uint32_t central_flags = 0)
    {
        USHORT s = 0;
        ASSERT_EQ(QorGattCreateService(reg, &kSvc, 0, 4, 0, &s), 0u);
        ASSERT_EQ(QorGattAddCharacteristic(s, &kLevel, 0, 0x11, 0x3A, &hChar), 0u);
        uint8_t block[22] = {};
        USHORT hDescr = 0;
        ASSERT_EQ(QorGattAddDescriptor(s, &kCccd, 0x11, block, &hDescr), 0u);
        ASSERT_EQ(QorGattStartService(s), 0u);
        AddCentral(ctl, kCentral, central_flags);
        Link(kCentral, 6);
        scenario.SkipRequests();
    }
    DWORD Read(const GUID &chr, DWORD wait = 1, ULONGLONG context = 0, HQORREG r = nullptr)
    {
        return QorGattReadCharacteristic(r ? r : reg, &dev, &kSvc, 0, const_cast<GUID *>(&chr), 0, 0, &v, wait, context);
    }
    DWORD Write(const GUID &chr, size_t n, uint8_t byte = 0xAB)
    {
        v.Length = static_cast<USHORT>(n);
        std::fill(v.Value, v.Value + std::min<size_t>(n, QOR_MAX_VALUE), byte);
        return QorGattWriteCharacteristic(reg, &dev, &kSvc, 0, const_cast<GUID *>(&chr), 0, 0, &v, 1, 0);
    }
    DWORD Change(bool indicate, size_t n, USHORT h = 0, PLE_ADDRESS to = nullptr)
    {
        LE_VALUE value{static_cast<USHORT>(n), {0x01, 0x02}};
        return QorGattCharValueChanged(to ? to : &central, h ? h : hChar, indicate, &value);
    }
    Step Fault(uint32_t code, uint32_t kind, uint32_t param = 0, uint32_t count = 1)
    {
        return Do([=] { ctl.ArmFault(code, kind, param, count); });
    }
    Step CentralDid(uint64_t want, uint32_t VctlCentral::*field, const uint8_t *bda = kCentral)
    {
        return Returns(want, [=] { return Central(ctl, bda).*field; });
    }
};

TEST(StatusMap, EachEdgeOfTheTable)
{
    const std::vector<std::pair<std::string, DWORD>> rows = {
        {"00", 0}, {"01", 6}, {"02 03 05 08 0c 0f", 13}, {"04 06 07 09 0a 87", 87},
        {"0b 0d 0e 10 11 80", 8}, {"81 86 88 8c", 5}, {"12 7f 8d ff", 1359}};
    for (const auto &[statuses, code] : rows)
        for (uint8_t status : Hex(statuses))
            EXPECT_EQ(MapGattStatus(status), code) << "status " << int(status);
}

TEST_F(Values, ReadsAndWritesSendTheirRequestAndReturnTheirCode)
{
    Play({Returns(0, [&] { return Read(kLevel); }), Sent(ZOREROVA_GATTC_READ, kRead3),
          Returns(0x164, [&] { return v.Length << 8 | v.Value[0]; }),
          Returns(0, [&] { return QorGattReadDescriptor(reg, &dev, &kSvc, 0, &kLevel, 0, &kCccd, 1, &v, 1, 0); }),
          Sent(ZOREROVA_GATTC_READ, "0500 02 01 00 0400 00*20"),
          Returns(0, [&] { return Write(kLevel, 512); }), Sent(ZOREROVA_GATTC_WRITE, "0500 02 0000 0300 0000 0002 00 ab*512 00"),
          Returns(0, [&] { return Write(kCmd, 1, 9); }), Sent(ZOREROVA_GATTC_WRITE, "0500 01 0000 0600 0000 0100 00 09 00*512"),
          Returns(87, [&] { return Write(kLevel, 513); }), Returns(5, [&] { return Read(kNotifyOnly); }),
          Trace("***QorLeApi:ERROR QorGattReadCharacteristic read not allowed"),
          Returns(5, [&] { return Write(kNotifyOnly, 1); }), Returns(1168, [&] { return Read(kUnknown); }),
          Trace("***QorLeApi:ERROR QorGattReadCharacteristic char 2a7f not found"), NothingSent(),
          Fault(ZOREROVA_GATTC_READ, VCTL_FAULT_EVENT_STATUS, 2), Returns(1, [&] { return Read(kLevel); }),
          Fault(ZOREROVA_GATTC_READ, VCTL_FAULT_EVENT_STATUS, 1), Returns(1359, [&] { return Read(kLevel); }),
          Fault(ZOREROVA_GATTC_WRITE, VCTL_FAULT_EVENT_STATUS, 3), Returns(1, [&] { return Write(kLevel, 1); }),
          Fault(ZOREROVA_GATTC_READ, VCTL_FAULT_STATUS, 0xC0000001), Returns(1359, [&] { return Read(kLevel); }),
          Trace("***QorLeApi:ERROR QorGattReadCharacteristic failed rc:1"), Returns(0, [&] { return Read(kLevel); }),
          Returns(6, [&] { return Read(kLevel, 1, 0, &v); }), Returns(87, [&] { return QorGattReadCharacteristic(reg, &dev, &kSvc, 0, &kLevel, 0, 0, nullptr, 0, 0); }),
          Returns(2250, [&] { return QorGattReadCharacteristic(reg, &dev2, &kSvc, 0, &kLevel, 0, 0, &v, 1, 0); }),
          Returns(5, [&] { return QorGattWriteDescriptor(reg, &dev, &kSvc, 0, &kLevel, 0, &kCccd, 0, (PLE_VALUE)16, 1, 0); }),
          Trace("***QorLeApi:ERROR QorGattWriteDescriptor crashed")});
}

// A call that does not wait ends in the completion callback; a completion of
// another kind, or one whose starter has gone, does not keep or end it wrongly.
TEST_F(Values, CompletionsReachTheirStarterAndLateOrStrayOnesAreDropped)
{
    v.Length = 0;
    HQORREG other = Register<2>(0);
    Play({Fault(ZOREROVA_GATTC_READ, VCTL_FAULT_HOLD_EVENT), Returns(997, [&] { return Read(kLevel, 0, 7); }),
          Returns(1056, [&] { return Read(kLevel); }),
          Post("f8 0500 07 00"), Trace("***QorLeApi:CompleteCallback nobody waits for read/write complete"),
          Returns(1056, [&] { return Read(kLevel); }), Returns(1, [&] { return ReleaseHeld(ctl); }),
          Callback("complete 7 0 64"), Fault(ZOREROVA_GATTC_READ, VCTL_FAULT_EVENT_STATUS, 0x0A),
          Returns(997, [&] { return Read(kLevel, 0, 8); }), Callback("complete 8 87 "),
          Fault(ZOREROVA_GATTC_READ, VCTL_FAULT_HOLD_EVENT), Returns(997, [&] { return Read(kLevel, 0, 9, other); }),
          Do([&] { QorGattDeregister(other); }), Trace("~QOR_APP_REG()*"), Returns(1, [&] { return ReleaseHeld(ctl); }),
          Trace("***QorLeApi:CompleteCallback could not find app that started op"),
          Returns(0, [&] { return Read(kLevel); })});
}

// The one 10 s wait and the one 15 s gate: a read that never completes times
// out while another device's read loses its device; the next read of the
// first waits at the gate; the late completion then finds nobody waiting.
TEST_F(Values, TimeoutDisconnectDuringTheWaitAndTheGate)
{
    trace.Clear();   // the first pairing's lines would end the wait for the second's
    ASSERT_TRUE(StoreByPairing(ctl, trace, kDev2, Db(), dev2.ullLong));
    ctl.AddDevice(kDev2, Db(), 0);
    Link(kDev2, 6);
    scenario.SkipRequests();
    ctl.ArmFault(ZOREROVA_GATTC_READ, VCTL_FAULT_HOLD_EVENT, 0, 2);
    DWORD lost = 0;
    std::thread other([&] {
        LE_VALUE v2{};
        lost = QorGattReadCharacteristic(reg, &dev2, &kSvc, 0, &kLevel, 0, 0, &v2, 1, 0);
    });
    Play({Sent(ZOREROVA_GATTC_READ, "0600 02 00 00 0300 00*20"), Do([&] { ctl.SetLink(kDev2, false); }),
          Returns(1460, [&] { return Read(kLevel); }), Do([&] { other.join(); }), Returns(2250, [&] { return lost; }),
          Trace("***QorLeApi:ERROR QorGattReadCharacteristic abandoned while waiting for write to complete"),
          Returns(1359, [&] { return Read(kLevel); }), Trace("ClientEnterOp conn_id=5 opertation type=2 has not completed"),
          Returns(2, [&] { return ReleaseHeld(ctl); }),
          Trace("***QorLeApi:CompleteCallback nobody waits for read/write complete")});
}

// Several registrations and no operation yet on the connection: each matching
// registration hears each push once; each confirms an indication with its handle.
TEST_F(Values, NotificationsReachEachMatchingRegistrationOnce)
{
    Register<2>(dev.ullLong);
    Register<3>(dev2.ullLong);
    Play({Returns(0, [&] { return Notify(ctl, kDev, 4, VCTL_KIND_NOTIFICATION, {7}, 1, 0x21); }),
          Returns(0, [&] { return Notify(ctl, kDev, 3, VCTL_KIND_INDICATION, {8, 9}); }),
          Sent(ZOREROVA_GATTC_CONFIRM, "0500 0300"), Sent(ZOREROVA_GATTC_CONFIRM, "0500 0300"), NothingSent(),
          Returns(1, [&] {
              std::vector<std::string> heard = Journal();
              std::sort(heard.begin(), heard.end());
              return heard == std::vector<std::string>{"1 ev3 180f/0 2a19/0 2902 x33 07", "1 ev4 180f/0 2a19/0 0 x0 0809",
                                                       "2 ev3 180f/0 2a19/0 2902 x33 07", "2 ev4 180f/0 2a19/0 0 x0 0809"};
          }),
          Returns(0, [&] { return Notify(ctl, kDev, 0x99, VCTL_KIND_NOTIFICATION, {}); }),
          Trace("***QorLeApi:ERROR CompleteCallback app not found or abandoned"),
          Trace("***QorLeApi:ERROR CompleteCallback app not found or abandoned"),
          CentralDid(1, &VctlCentral::confirms_good, kDev), CentralDid(1, &VctlCentral::confirms_unexpected, kDev),
          CentralDid(0, &VctlCentral::confirms_wrong_handle, kDev)});
}

// Two requests before the first is answered: each answer carries its own
// 32-bit transaction id and handle; E_PENDING and write commands send nothing.
TEST_F(Values, RemoteRequestsAreAnsweredWithTheirOwnIds)
{
    Serve();
    g_hold = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const std::string h = Fmt("%02x00", hChar);
    Play({Returns(0, [&] { return CentralRequest(ctl, kCentral, VCTL_CENTRAL_READ, hChar, true, {}, 0x10001); }),
          Callback("1 ev1 180f/0 2a19/0 0 x0 "),
          Returns(0, [&] { return CentralRequest(ctl, kCentral, VCTL_CENTRAL_WRITE, hChar, true, {0x55}); }),
          Trace("***QorLeApi:RequestCallback conn_id:6, type:2 *"), Do([&] { SetEvent(g_hold); }),
          Sent(ZOREROVA_GATTS_SEND_RSP, "0600 01000100 00 0600" + h + "0000 0200 00 cafe 00*511"),
          Callback("1 ev2 180f/0 2a19/0 0 x0 55"),
          Sent(ZOREROVA_GATTS_SEND_RSP, "0600 02000100 00 0600" + h + "0000 0000 00 55 00*512"),
          CentralDid(2, &VctlCentral::responses), CentralDid(0, &VctlCentral::refused),
          Do([&] { g_result = 0x8000000A; }), Returns(0, [&] { return CentralRequest(ctl, kCentral, 1, hChar, true); }),
          Trace("QOR_APP_REG::CallbackThread: pending request 1 for 00c0ffee0007"),
          Returns(0, [&] { return CentralRequest(ctl, kCentral, VCTL_CENTRAL_WRITE, hChar, false, {1}); }),
          Trace("QOR_APP_REG::CallbackThread: not sending response for write command : 00c0ffee0007"), NothingSent(),
          Do([&] { g_result = 0x1FF; }), Returns(0, [&] { return CentralRequest(ctl, kCentral, 1, hChar, true); }),
          Sent(ZOREROVA_GATTS_SEND_RSP, "0600 05000100 ff 0600" + h + "0000 0200 00 cafe 00*511")});
    CloseHandle(g_hold);
    g_hold = nullptr;
}

TEST_F(Values, ValueChangesReachTheCentral)
{
    Serve(VCTL_DEV_CONFIRM_STATUS(0x0E));
    const std::string h = Fmt("%02x00", hChar);
    Play({Returns(0, [&] { return Change(false, 2); }), Sent(ZOREROVA_GATTS_NOTIFICATION, "0600" + h + "0200 0102 00*510"),
          Returns(1359, [&] { return Change(true, 2); }), Sent(ZOREROVA_GATTS_INDICATION, "0600" + h + "0200 0102 00*510"),
          Do([&] { AddCentral(ctl, kCentral); }), Returns(0, [&] { return Change(true, 1); }),
          CentralDid(1, &VctlCentral::received), CentralDid(1, &VctlCentral::confirmed),
          Fault(ZOREROVA_GATTC_READ, VCTL_FAULT_HOLD_EVENT), Returns(997, [&] { return Read(kLevel, 0); }),
          Returns(1056, [&] { return Change(false, 1, 0, &dev); }), Returns(1, [&] { return ReleaseHeld(ctl); }),
          Returns(1359, [&] { return Change(false, 513); }), Trace("GATTS_HandleValueNotification val_len=513"),
          Trace("***QorLeApi:ERROR GATTS_HandleValue failed rc:13"), Returns(87, [&] { return Change(false, 1, 0x7777); }),
          Trace("***QorLeApi:QorGattCharValueChanged char handle not found"),
          Returns(2250, [&] { return Change(false, 1, 0, &dev2); }),
          Returns(1359, [&] { return Change(false, 1, 0, (PLE_ADDRESS)16); }),
          Trace("***QorLeApi:ERROR QorGattCharValueChanged crashed")});
}

// The client half of the test below, in its own process: connects to the
// server through the controller, reads, writes, subscribes, then hears a
// notification and an indication (which it confirms).
TEST(ValueClient, ReadsWritesSubscribesAndHears)
{
    if (!GetEnvironmentVariableA("QORTEST_VALUE_CHILD", nullptr, 0))
        GTEST_SKIP() << "run by TwoProcessesServeAndUseOneService";
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, "QorTestValueReady");
    g_heard = CreateSemaphoreW(nullptr, 0, 2, nullptr);
    LE_ADDRESS any{0}, loop{0x001A7DDA7115};
    GUID app = {0xA11CE009, 0, 0, {0}};
    HQORREG r = nullptr;
    ASSERT_EQ(QorGattRegister(&any, &app, nullptr, OnComplete, OnAttribute<9>, nullptr, &r), 0u);
    ASSERT_EQ(QorGattConnect(r, &loop, 1), 0u);
    LE_VALUE v{};
    EXPECT_EQ(QorGattReadCharacteristic(r, &loop, &kSvc, 0, &kLevel, 0, 0, &v, 1, 0), 0u);
    EXPECT_EQ(ToHex(v.Value, v.Length), "cafe");
    v = LE_VALUE{1, {0x42}};
    EXPECT_EQ(QorGattWriteCharacteristic(r, &loop, &kSvc, 0, &kLevel, 0, 0, &v, 1, 0), 0u);
    v = LE_VALUE{2, {0x01, 0x00}};
    EXPECT_EQ(QorGattWriteDescriptor(r, &loop, &kSvc, 0, &kLevel, 0, &kCccd, 0, &v, 1, 0), 0u);
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
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "QorTestValueReady");
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, "QorTestValueDone");
    PROCESS_INFORMATION pi = StartSelf("ValueClient.*", "QORTEST_VALUE_CHILD");
    DWORD exit_code = 1;
    Play({Callback("1 ev1 180f/0 2a19/0 0 x0 "), Callback("1 ev2 180f/0 2a19/0 0 x0 42"),
          Callback("1 ev2 180f/0 2a19/0 2902 x0 0100"),
          Returns(WAIT_OBJECT_0, [&] { return WaitForSingleObject(ready, 30000); }),
          Returns(0, [&] { return Change(false, 2, 0, &client); }), Returns(0, [&] { return Change(true, 2, 0, &client); }),
          Do([&] { SetEvent(done); }), Returns(WAIT_OBJECT_0, [&] { return WaitForSingleObject(pi.hProcess, 30000); }),
          Returns(0, [&] { return GetExitCodeProcess(pi.hProcess, &exit_code) ? exit_code : 99; })});
    for (HANDLE h : {ready, done, pi.hProcess, pi.hThread})
        CloseHandle(h);
}

} // namespace
