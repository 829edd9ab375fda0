// QorGattConnect, waiting or not, through each of its results; the watcher of
// a connect that does not wait; and the device records that connection events
// keep, told only to the registrations that the device concerns.

#include <thread>

#include "../link/link_test.h"
#include "connection_util.h"

using namespace qortest;

namespace {

const uint8_t kX[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}, kY[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x01},
              kZ[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x02}, kW[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x03};
const uint8_t *const kBadAddress = reinterpret_cast<const uint8_t *>(1);
constexpr DWORD kPending = 0x8000000A;
const char *const kThread = "***QorLeApi:QOR_APP_REG::CallbackThread()";

ULONGLONG AddressOf(const uint8_t *bda) { return std::stoull(ToHex(bda, 6, false), nullptr, 16); }
Step Api(const std::string &line) { return Trace("***QorLeApi:" + line); }
Step Asked(const std::string &hex) { return Sent(ZOREROVA_GATT_CONNECT, hex); }

void WINAPI NoteConnect(PVOID app, PLE_ADDRESS a, DWORD connected)
{
    NoteFmt("app%d %012I64x %lu", int(intptr_t(app)), a->ullLong, connected);
}
// A look of the watcher of gatt_if that did not find the device connected.
std::string Look(int i, const uint8_t *b)
{
    return Fmt("***QorLeApi:WaitConnectThread gatt_if:%d bda:%s not connected", i, ToHex(b, 6, false).c_str());
}

class Connection : public clienttest::ConnectionTest {
protected:
    // The connected devices are `want`: "address " per device.
    Step Lists(const std::string &want)
    {
        return Returns(1, [this, want] { return ConnectedDevices() == want; });
    }
    // Application n, its number as context; devices of `filter` only, when given.
    HQORREG Reg(int n, const uint8_t *filter = nullptr)
    {
        HQORREG h = nullptr;
        EXPECT_EQ(Register(filter ? AddressOf(filter) : 0, BaseGuid(0xA00 + n), &h, NoteConnect, PVOID(intptr_t(n))),
                  0u);
        return h;
    }
    // bda null: no address argument; kBadAddress: a pointer that faults.
    static DWORD Connect(HQORREG h, const uint8_t *bda, DWORD wait)
    {
        LE_ADDRESS a{bda && bda != kBadAddress ? AddressOf(bda) : 0};
        return QorGattConnect(h, bda == kBadAddress ? reinterpret_cast<PLE_ADDRESS>(0x10) : bda ? &a : nullptr, wait);
    }
    Step Connects(DWORD code, HQORREG &h, const uint8_t *bda, DWORD wait)
    {
        return Returns(code, [&h, bda, wait] { return Connect(h, bda, wait); });
    }
    // "<connected><connect pending>/<cancels> "
    std::string State(const uint8_t *bda)
    {
        VctlDeviceState s = DeviceState(ctl, bda);
        return Fmt("%d%d/%d ", s.connected, s.connect_pending, static_cast<int>(s.cancels));
    }
    void AddDevices(std::initializer_list<const uint8_t *> bdas, uint32_t flags = 0)
    {
        for (const uint8_t *bda : bdas) ctl.AddDevice(bda, GattDb(), flags);
        scenario.SkipRequests();
    }
};

TEST_F(Connection, EachResultOfAConnect)
{
    HQORREG any = nullptr, only_x = nullptr, bogus = &scenario;
    const Step refuse_next = Do([&] { ctl.ArmFault(ZOREROVA_GATT_CONNECT, VCTL_FAULT_STATUS, 0xC0000001); });
    const Step unregistered = Api("QorGattConnect not registered"), refused = Api("QorGattConnect GATT_Connect failed");
    Play({Connects(6, any, kX, 1), unregistered});
    any = Reg(0), only_x = Reg(1, kX);
    AddDevices({kX, kY}, VCTL_DEV_AUTO_CONNECT);
    Play({Connects(6, bogus, kX, 1), unregistered, Connects(6, only_x, kY, 1), unregistered,
          Connects(1359, only_x, kBadAddress, 1), Api("ERROR QorGattConnect crashed"), NothingSent(), refuse_next,
          Connects(1359, any, kY, 1), Asked("01 a1b2c3d4e501 01"), refused,
          // After a refusal the next waiting connect works.
          Connects(0, any, kY, 1), Asked("01 a1b2c3d4e501 01"),
          Api("ConnectCallback gatt_if:1 bda:a1b2c3d4e501 conn_id:0 connected:1"),
          Api("QorGattConnect GATT_Connect success"), Do([] { linktest::FailCreateEvent(GetCurrentThreadId()); }),
          Connects(8, any, kZ, 1), Api("QorGattConnect event already exists"), NothingSent(), refuse_next,
          Connects(1359, any, kZ, 0), Api("QorGattConnect starting WaitConnectThread"), Asked("01 a1b2c3d4e502 01"),
          refused,
          // No address argument: the registration's, even 0.
          Connects(kPending, only_x, nullptr, 0), Asked("02 a1b2c3d4e5f6 01"),
          Api("QorGattConnect GATT_Connect not waiting result success"),
          Api("WaitConnectThread connected after*"),   // how long: the watcher test
          Connects(kPending, any, nullptr, 0), Asked("01 000000000000 01"), Lists("a1b2c3d4e501 a1b2c3d4e5f6 "),
          Returns(1, [] { return ApiLockIsFree(); })});
}

TEST_F(Connection, WatcherSeesTheDeviceComeAndAnotherDevicesChangeEndsAWait)
{
    HQORREG any = Reg(0);
    AddDevices({kX, kY, kZ});
    ASSERT_TRUE(Play({Connects(kPending, any, kZ, 0), Returns(1, [&] { return State(kZ) == "01/0 "; }),
                      Takes(Returns(1, [&] { return trace.WaitForCount(Look(1, kZ), 3); }), 900),
                      Do([&] { Advertise(ctl, kZ); }), Api("WaitConnectThread connected after*"),
                      Callback("app0 a1b2c3d4e502 1"), Returns(1, [&] {   // a look per 500 ms
                          return trace.Contains(Fmt("***QorLeApi:WaitConnectThread connected after %d sec\n",
                                                    int(trace.Count(Look(1, kZ)) / 2)));
                      })}));
    DWORD woken = 0;
    std::thread waiter([&] { woken = Connect(any, kX, 1); });
    Play({Asked("01 a1b2c3d4e502 01"), Asked("01 a1b2c3d4e5f6 01"), Connects(1056, any, kX, 1),
          Api("QorGattConnect event already exists"), Connects(kPending, any, kY, 0), Asked("01 a1b2c3d4e501 01"),
          Do([&] { ctl.SetLink(kZ, false); }), Do([&] { waiter.join(); }), Returns(1359, [&] { return woken; }),
          Api("QorGattConnect after GATT_Connect not connected"),
          Sent(ZOREROVA_GATT_CANCEL_CONNECT, "01 a1b2c3d4e5f6 01"),
          Returns(1, [&] { return State(kX) + State(kZ) == "00/1 00/0 "; }),
          // The change that woke the wait went to no callback; Y's connection does.
          Do([&] { Advertise(ctl, kY); }), Callback("app0 a1b2c3d4e501 1")});
}

// The one test of the ten-second wait and of the twenty looks.
TEST_F(Connection, TenSecondsPass)
{
    // The first interface goes: the device records of the others stay.
    HQORREG gone = Reg(3), a = Reg(0), b = Reg(1), c = Reg(2);
    AddDevices({kX, kY, kZ});
    LinkUp(ctl, kZ);
    ASSERT_TRUE(trace.WaitForPrefix("***QorLeApi:ConnectCallback gatt_if:4 bda:a1b2c3d4e502"));
    const ULONGLONG start = GetTickCount64();
    DWORD orphaned = 0, timed_out = 0, already = 0;
    std::thread t1([&] { orphaned = Connect(gone, kW, 1); });
    ASSERT_TRUE(ctl.WaitRequests(ZOREROVA_GATT_CONNECT, 1));
    Deregister(gone);
    std::thread t2([&] { timed_out = Connect(a, kX, 1); }), t3([&] { already = Connect(b, kZ, 1); });
    EXPECT_EQ(Connect(c, kY, 0), kPending);
    t1.join(), t2.join(), t3.join();
    Play({Returns(1, [&] { return GetTickCount64() - start >= 9900; }),
          Returns(1, [&] { return orphaned == 1460 && timed_out == 1460; }), Returns(0, [&] { return already; }),
          Api("WaitConnectThread not connected"), Returns(20, [&] { return trace.Count(Look(4, kY)); }),
          Returns(1, [&] { return ctl.WaitRequests(ZOREROVA_GATT_CANCEL_CONNECT, 3); }),
          Returns(1, [&] { return State(kX) + State(kY) + State(kZ) == "00/1 00/1 10/0 "; })});
}

TEST_F(Connection, RecordsFollowTheLinkAndReachOnlyTheRegistrationsConcerned)
{
    Reg(0), Reg(1, kX), Reg(2, kY);   // interface 1: every device, 2: X only, 3: Y only
    AddDevices({kX, kY});
    auto link = [this](const uint8_t *bda, uint16_t conn_id) { return Do([=] { LinkUp(ctl, bda, conn_id); }); };
    Play({link(kX, 5), link(kX, 7),   // again, under a new id
          Api("ConnectCallback gatt_if:3 bda:a1b2c3d4e5f6 conn_id:7 connected:1"),
          Api("ConnectCallback connected already existed"), Lists("a1b2c3d4e5f6 "),
          Returns(5, [&] { return trace.Count("***QorLeApi:ConnectCallback connected already existed\n"); }),
          link(kY, VCTL_CONN_ID_LOWEST), Do([&] { ctl.SetLink(kX, false); }), link(kY, 200),
          Trace("ConnectedCallback illegal conn_id=200*"), Lists("a1b2c3d4e501 "),
          Returns(1, [&] { return trace.WaitForCount(Fmt("%s pCallback processed\n", kThread), 8 + 2); }),
          Returns(1, [] {   // what each registration's callback saw, in order
              std::string got[3];
              for (const std::string &entry : Journal())
                  got[entry.at(3) - '0'] += entry.substr(5) + ",";
              return got[0] == "a1b2c3d4e5f6 1,a1b2c3d4e5f6 1,a1b2c3d4e501 1,a1b2c3d4e5f6 0," &&
                     got[1] == "a1b2c3d4e5f6 1,a1b2c3d4e5f6 1,a1b2c3d4e5f6 0," && got[2] == "a1b2c3d4e501 1,";
          })});
}

} // namespace
