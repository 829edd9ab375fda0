// QorGattConnect, waiting or not, through each of its results; the watcher of
// a connect that does not wait; and the device records that connection events
// keep, told only to the registrations that the device concerns.

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "connection_util.h"

using namespace clienttest;

namespace {

const uint8_t kX[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}, kY[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x01},
              kZ[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x02}, kW[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x03};
const uint8_t *const kBadAddress = reinterpret_cast<const uint8_t *>(1);
constexpr DWORD kPending = 0x8000000A;

Recorder *recorder = nullptr;

void WINAPI RecordConnect(PVOID context, PLE_ADDRESS address, DWORD connected)
{
    recorder->Add(ConnectDelivery(context, address, connected));
}

class Connection : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        recorder = &rec;
    }
    // Application n, its number as context; devices of `filter` only, when given.
    HQORREG Reg(int n, const uint8_t *filter = nullptr)
    {
        HQORREG h = nullptr;
        PVOID context = reinterpret_cast<PVOID>(static_cast<uintptr_t>(n));
        EXPECT_EQ(Register(filter ? AddressOf(filter) : 0, qortest::BaseGuid(0xA00 + n), &h, RecordConnect, context), 0u);
        return h;
    }
    // bda null: no address argument; kBadAddress: a pointer that faults.
    static DWORD Connect(HQORREG h, const uint8_t *bda, DWORD wait)
    {
        LE_ADDRESS a{bda && bda != kBadAddress ? AddressOf(bda) : 0};
        return QorGattConnect(h, bda == kBadAddress ? reinterpret_cast<PLE_ADDRESS>(0x10) : bda ? &a : nullptr, wait);
    }
    static std::string Look(int gatt_if, const uint8_t *bda)
    {
        return Fmt("***QorLeApi:WaitConnectThread gatt_if:%d bda:%012I64x not connected\n", gatt_if, AddressOf(bda));
    }
    void AddDevices(std::initializer_list<const uint8_t *> bdas, uint32_t flags = 0)
    {
        for (const uint8_t *bda : bdas)
            ctl.AddDevice(bda, qortest::GattDb(), flags);
    }
    Recorder rec;
};

TEST_F(Connection, EachResultOfAConnect)
{
    EXPECT_EQ(Connect(nullptr, kX, 1), 6u);
    EXPECT_TRUE(trace.Contains("***QorLeApi:QorGattConnect not registered\n"));
    HQORREG any = Reg(0), only_x = Reg(1, kX), bogus = &rec;
    AddDevices({kX, kY}, VCTL_DEV_AUTO_CONNECT);
    struct Row {
        HQORREG reg;
        const uint8_t *bda;
        DWORD wait;
        bool refused;   // the driver refuses the connect request
        DWORD code;
        std::string sent;   // the connect request
        std::vector<std::string> traced;
    } const rows[] = {
        {bogus, kX, 1, false, 6, "", {"***QorLeApi:QorGattConnect not registered\n"}},
        {only_x, kY, 1, false, 6, "", {"***QorLeApi:QorGattConnect not registered\n"}},
        {only_x, kBadAddress, 1, false, 1359, "", {"***QorLeApi:ERROR QorGattConnect crashed\n"}},
        {any, kY, 1, true, 1359, "01a1b2c3d4e50101", {"***QorLeApi:QorGattConnect GATT_Connect failed\n"}},
        {any, kY, 1, false, 0, "01a1b2c3d4e50101",
         {"***QorLeApi:ConnectCallback gatt_if:1 bda:a1b2c3d4e501 conn_id:0 connected:1\n",
          "***QorLeApi:QorGattConnect GATT_Connect success\n"}},
        {any, kZ, 0, true, 1359, "01a1b2c3d4e50201",
         {"***QorLeApi:QorGattConnect starting WaitConnectThread\n", "***QorLeApi:QorGattConnect GATT_Connect failed\n"}},
        {only_x, nullptr, 0, false, kPending, "02a1b2c3d4e5f601",
         {"***QorLeApi:QorGattConnect GATT_Connect not waiting result success\n",
          "***QorLeApi:WaitConnectThread connected after 0 sec\n"}},
        {any, nullptr, 0, false, kPending, "01000000000000" "01", {}},
    };
    for (const Row &row : rows) {
        trace.Clear();
        size_t before = ctl.Requests(ZOREROVA_GATT_CONNECT).size();
        if (row.refused)
            ctl.ArmFault(ZOREROVA_GATT_CONNECT, VCTL_FAULT_STATUS, 0xC0000001);
        EXPECT_EQ(Connect(row.reg, row.bda, row.wait), row.code) << trace.Dump();
        EXPECT_EQ(Sent(ctl, ZOREROVA_GATT_CONNECT, before + 1), row.sent);
        for (const std::string &line : row.traced)
            EXPECT_TRUE(trace.WaitFor(line)) << line << trace.Dump();
    }
    EXPECT_EQ(Listed(), (std::vector<std::string>{"a1b2c3d4e501/2/0", "a1b2c3d4e5f6/2/1"}));
    EXPECT_TRUE(ApiLockIsFree());
}

TEST_F(Connection, WatcherSeesTheDeviceComeAndAnotherDevicesChangeEndsAWait)
{
    HQORREG any = Reg(0);
    AddDevices({kX, kY, kZ});
    ASSERT_EQ(Connect(any, kZ, 0), kPending);
    EXPECT_EQ(qortest::DeviceState(ctl, kZ).connect_pending, 1);
    ASSERT_TRUE(trace.WaitForCount(Look(1, kZ), 3));
    qortest::Advertise(ctl, kZ);
    ASSERT_TRUE(trace.WaitForPrefix("***QorLeApi:WaitConnectThread connected after")) << trace.Dump();
    int seconds = static_cast<int>(trace.Count(Look(1, kZ))) * 500 / 1000;
    EXPECT_TRUE(trace.Contains(Fmt("***QorLeApi:WaitConnectThread connected after %d sec\n", seconds)));

    DWORD woken = 0;
    std::thread waiter([&] { woken = Connect(any, kX, 1); });
    ASSERT_TRUE(ctl.WaitRequests(ZOREROVA_GATT_CONNECT, 2));
    EXPECT_EQ(Connect(any, kX, 1), 1056u);
    EXPECT_TRUE(trace.Contains("***QorLeApi:QorGattConnect event already exists\n"));
    EXPECT_EQ(Connect(any, kY, 0), kPending);
    ctl.SetLink(kZ, false);
    waiter.join();
    EXPECT_EQ(woken, 1359u);
    EXPECT_TRUE(trace.Contains("***QorLeApi:QorGattConnect after GATT_Connect not connected\n"));
    EXPECT_EQ(Sent(ctl, ZOREROVA_GATT_CANCEL_CONNECT, 1), "01a1b2c3d4e5f601");
    VctlDeviceState x = qortest::DeviceState(ctl, kX), z = qortest::DeviceState(ctl, kZ);
    EXPECT_EQ(std::vector<int>({x.connect_pending, int(x.cancels), z.connected, int(z.cancels)}),
              std::vector<int>({0, 1, 0, 0}));

    // The change that woke the wait went to no callback; Y's connection does.
    qortest::Advertise(ctl, kY);
    ASSERT_TRUE(rec.WaitCount(2));
    std::vector<std::string> seen;
    for (const Delivery &d : rec.Seen())
        seen.push_back(Fmt("%012I64x:%lu", d.address, d.status));
    EXPECT_EQ(seen, (std::vector<std::string>{"a1b2c3d4e502:1", "a1b2c3d4e501:1"}));
}

// The one test of the ten-second wait and of the twenty looks.
TEST_F(Connection, TenSecondsPass)
{
    // The first interface goes: the device records of the others stay.
    HQORREG gone = Reg(3), a = Reg(0), b = Reg(1), c = Reg(2);
    AddDevices({kX, kY, kZ});
    qortest::LinkUp(ctl, kZ);
    ASSERT_TRUE(trace.WaitForPrefix("***QorLeApi:ConnectCallback gatt_if:4 bda:a1b2c3d4e502"));
    const ULONGLONG start = GetTickCount64();
    DWORD orphaned = 0, timed_out = 0, already = 0;
    std::thread t1([&] { orphaned = Connect(gone, kW, 1); });
    ASSERT_TRUE(ctl.WaitRequests(ZOREROVA_GATT_CONNECT, 1));
    Deregister(gone);
    std::thread t2([&] { timed_out = Connect(a, kX, 1); }), t3([&] { already = Connect(b, kZ, 1); });
    EXPECT_EQ(Connect(c, kY, 0), kPending);
    for (std::thread *t : {&t1, &t2, &t3})
        t->join();
    EXPECT_GE(GetTickCount64() - start, 9900u);
    EXPECT_EQ(std::vector<DWORD>({orphaned, timed_out, already}), std::vector<DWORD>({1460, 1460, 0}));
    ASSERT_TRUE(trace.WaitFor("***QorLeApi:WaitConnectThread not connected\n")) << trace.Dump();
    EXPECT_EQ(trace.Count(Look(4, kY)), 20u);
    ASSERT_TRUE(ctl.WaitRequests(ZOREROVA_GATT_CANCEL_CONNECT, 3));
    std::vector<int> cancels;
    for (const uint8_t *bda : {kX, kY, kZ})
        cancels.push_back(static_cast<int>(qortest::DeviceState(ctl, bda).cancels));
    EXPECT_EQ(cancels, std::vector<int>({1, 1, 0}));
}

TEST_F(Connection, RecordsFollowTheLinkAndReachOnlyTheRegistrationsConcerned)
{
    Reg(0), Reg(1, kX), Reg(2, kY);   // interface 1: every device, 2: X only, 3: Y only
    AddDevices({kX, kY});
    qortest::LinkUp(ctl, kX, 5);
    qortest::LinkUp(ctl, kX, 7);   // again, under a new id
    ASSERT_TRUE(trace.WaitForCount("***QorLeApi:ConnectCallback connected already existed\n", 5)) << trace.Dump();
    EXPECT_TRUE(trace.Contains("***QorLeApi:ConnectCallback gatt_if:3 bda:a1b2c3d4e5f6 conn_id:7 connected:1\n"));
    EXPECT_EQ(Listed(), std::vector<std::string>({"a1b2c3d4e5f6/3/7"}));
    qortest::LinkUp(ctl, kY);
    ctl.SetLink(kX, false);
    qortest::LinkUp(ctl, kY, 200);
    ASSERT_TRUE(trace.WaitForPrefix("ConnectedCallback illegal conn_id=200"));
    ASSERT_TRUE(rec.WaitCount(8)) << trace.Dump();
    std::map<uintptr_t, std::string> seen;
    for (const Delivery &d : rec.Seen())
        seen[d.context] += Fmt(" %c%lu", d.address == AddressOf(kX) ? 'X' : 'Y', d.status);
    EXPECT_EQ(seen, (std::map<uintptr_t, std::string>{{0, " X1 X1 Y1 X0"}, {1, " X1 X1 X0"}, {2, " Y1"}}));
    EXPECT_EQ(Listed(), std::vector<std::string>({"a1b2c3d4e501/3/0"}));
}

} // namespace
