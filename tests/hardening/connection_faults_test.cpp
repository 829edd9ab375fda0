// Connections and registrations after events the library never got: a
// disconnection that was lost, a channel that closed under a registration; and
// a registration whose events or callback thread cannot be had.

#include <windows.h>

#include "import_patch.h"
#include "scenario.h"

namespace {

using namespace qortest;

const uint8_t kLost[6] = {0x00, 0x00, 0x00, 0x00, 0x00, 0xF0}, kStored[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
LE_ADDRESS g_stored{0x001A7DDA7113};
GUID g_svc = BaseGuid(0x180F), g_level = BaseGuid(0x2A19);
HQORREG g_reg[2];
LE_VALUE g_value;
const char kStoredUp[] = "***QorLeApi:ConnectCallback gatt_if:1 bda:001a7dda7113 conn_id:5 connected:1";
// The next read fails: the reader ends and closes the channel.
const Script kChannelCloses = {Post("F8 FA00 01 00"),
                               Trace("LE - ReadWorker: DeviceIoControl(ZOREROVA_GATT_READ_EVENT) failed, error 1117"),
                               Trace("LE - ReadWorker: exits")};

void WINAPI OnConnect(PVOID who, PLE_ADDRESS a, DWORD up)
{
    NoteFmt("%c %012llx %lu", *static_cast<char *>(who), a->ullLong, up);
}

// Service 180f with 2a19 (value `level`) at 2, its value at 3.
GattDb Db(uint8_t level)
{
    GattDb db;
    db.Service(Uuid16(0x180F)), db.Characteristic(Uuid16(0x2A19), 0x02, {level});
    return db;
}

DWORD Register(int n)
{
    static char names[] = "AB";
    LE_ADDRESS any{};
    GUID app = {0x5A1E0000u + n, 0, 0, {0}};
    return QorGattRegister(&any, &app, OnConnect, nullptr, nullptr, &names[n], &g_reg[n]);
}
Step Reg(int n)
{
    return Returns(0, [=] { return Register(n); });
}
// A waiting read of 2a19 by registration n returns `code`.
Step Reads(int n, DWORD code)
{
    return Returns(code, [=] {
        return QorGattReadCharacteristic(g_reg[n], &g_stored, &g_svc, 0, &g_level, 0, 0, &g_value, 1, 0);
    });
}

class ConnectionFaults : public ScenarioTest {
protected:
    void SetUp() override
    {
        ScenarioTest::SetUp();
        ASSERT_TRUE(StoreByPairing(ctl, trace, kStored, Db(0x64), g_stored.ullLong)) << trace.Dump();
        ctl.AddDevice(kLost, Db(0x11), 0);
        ctl.AddDevice(kStored, Db(0x64), 0);
    }
    void TearDown() override
    {
        for (HQORREG h : g_reg)
            QorGattDeregister(h);
    }
    Step Link(const uint8_t *bda) { return Do([=] { LinkUp(ctl, bda, 5); }); }
};

TEST_F(ConnectionFaults, RecordWhoseDisconnectionWasLostGivesWayToTheNextDeviceOnItsConnId)
{
    Play({Reg(0), Link(kLost), Callback("A 0000000000f0 1"),
          Do([this] { ctl.Raw(VCTL_LOSE_LINK, kLost, sizeof(VctlAddress), nullptr, 0); }), Link(kStored),
          Trace(kStoredUp), Trace("***QorLeApi:ConnectCallback conn_id:5 still held by 0000000000f0: retired"),
          Callback("A 0000000000f0 0"), Callback("A 001a7dda7113 1"), Reads(0, 0),
          Returns(0x64, [] { return g_value.Value[0]; })});
}

// A keeps gatt_if 1 of the first opening; B takes 1 of the second.
TEST_F(ConnectionFaults, HandleFromAnEarlierOpeningOfTheChannelHasNoInterface)
{
    static USHORT service;
    Play({Reg(0), Link(kStored), Callback("A 001a7dda7113 1"),
          Do([this] { ctl.ArmFault(ZOREROVA_GATT_READ_EVENT, VCTL_FAULT_STATUS, 0xC0000185); }), kChannelCloses,
          Reg(1), Callback("B 001a7dda7113 1"), Link(kStored), Trace(kStoredUp), Callback("B 001a7dda7113 1"),
          Returns(ERROR_INVALID_HANDLE, [] { return QorGattConnect(g_reg[0], &g_stored, 0); }),
          Returns(ERROR_INVALID_HANDLE, [] { return QorGattCreateService(g_reg[0], &g_svc, 0, 4, 0, &service); }),
          Reads(0, ERROR_INVALID_HANDLE), Do([] { QorGattDeregister(g_reg[0]), g_reg[0] = nullptr; }),
          Trace("~QOR_APP_REG()*"), NoCallback(), Reads(1, 0)});
}

// Only the thread that sets these sees a failure: the Nth next event it
// creates fails (-1: none), its next 10 s wait times out.
thread_local int t_events_before_failure = -1;
thread_local bool t_long_wait_times_out = false;
decltype(&CreateEventW) g_create_event;
decltype(&WaitForSingleObject) g_wait;

HANDLE WINAPI CreateEventFailing(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name)
{
    if (t_events_before_failure-- == 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_create_event(sa, manual, initial, name);
}

DWORD WINAPI WaitTimingOut(HANDLE handle, DWORD ms)
{
    if (ms == 10000 && t_long_wait_times_out) {
        t_long_wait_times_out = false;
        return WAIT_TIMEOUT;
    }
    return g_wait(handle, ms);
}

// A second registration whose events cannot all be made, or whose callback
// thread does not say it started within 10 s, is refused and leaves nothing
// listed: the same registration succeeds at once afterwards.
TEST_F(ConnectionFaults, RegistrationWithoutItsEventsOrThreadIsRefused)
{
    ImportPatch events("CreateEventW", reinterpret_cast<void *>(CreateEventFailing));
    ImportPatch waits("WaitForSingleObject", reinterpret_cast<void *>(WaitTimingOut));
    ASSERT_TRUE(events.Patched() && waits.Patched());
    g_create_event = events.Original<decltype(g_create_event)>();
    g_wait = waits.Original<decltype(g_wait)>();
    struct Row {
        int events_before_failure;
        bool wait_times_out;
        DWORD code;
        const char *trace;
    };
    const Row rows[] = {
        {0, false, ERROR_NOT_ENOUGH_MEMORY, "***QorLeApi:ERROR CreateEvent failed"},
        {1, false, ERROR_NOT_ENOUGH_MEMORY, "***QorLeApi:ERROR CreateEvent failed"},
        {2, false, ERROR_NOT_ENOUGH_MEMORY, "***QorLeApi:ERROR CreateEvent failed"},
        {-1, true, ERROR_INTERNAL_ERROR, "***QorLeApi:ERROR callback thread did not start"},
    };
    ASSERT_TRUE(Play({Reg(0)}));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.trace);
        t_events_before_failure = row.events_before_failure;
        t_long_wait_times_out = row.wait_times_out;
        EXPECT_TRUE(Play({Returns(row.code, [] { return Register(1); }), Trace(row.trace), Reg(1),
                          Do([] { QorGattDeregister(g_reg[1]); }), Trace("~QOR_APP_REG()*")}));
        g_reg[1] = nullptr;
        t_events_before_failure = -1;
    }
}

} // namespace
