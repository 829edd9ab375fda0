// The link, the registrations and pairing discovery under driver faults, stray
// events and concurrent callers, one scenario per fault. A thread can be held
// at a trace line of its own, so that a race is played in a fixed order.

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "scenario.h"

namespace {

using namespace qortest;

constexpr ULONGLONG kAddress = 0xA0B0C0D0E0F0;
const char kStoreKey[] = "SYSTEM\\CurrentControlSet\\services\\BTHPORT\\Parameters\\Devices\\a0b0c0d0e0f0";
const char kUp7[] = "FF 001A7D000007 0700 01";
const char kBad250[] = "F8 FA00 01 00";   // a completion for a connection id no table holds
const char kServicesDone[] = "FC 0700 01 00";
const char kDiscoverAll[] = "00*18 0700 0100 FFFF 01";

TraceCapture *g_trace;
Controller *g_ctl;
Scenario *g_scenario;
std::atomic<const char *> g_hold{nullptr}, g_until{nullptr};
HANDLE g_release;
std::string g_on_done;   // what the completion function calls: U unregister, R register
HQORREG g_reg[2];
std::thread g_aside;

void WINAPI HoldingSink(const char *line)
{
    g_trace->Add(line);
    const char *until = g_until, *hold = g_hold;
    if (until && std::strstr(line, until))
        SetEvent(g_release);
    if (hold && std::strncmp(line, hold, std::strlen(hold)) == 0 && g_hold.compare_exchange_strong(hold, nullptr))
        WaitForSingleObject(g_release, 3000);
}

void WINAPI OnPairingDone(ULONGLONG, DWORD success)
{
    for (char c : g_on_done)
        NoteFmt(c == 'U' ? "unregister %lu" : "register %lu",
                c == 'U' ? QorGattPairingUnregister() : QorGattPairingRegister());
    NoteFmt("done %lu", success);
}

GUID g_app = {0x6d1e0b5c, 0x2f3a, 0x4c1e, {0x9a, 0x31, 0x52, 0x7e, 0x0c, 0x44, 0x18, 0xb2}};
LE_ADDRESS g_any{};
DWORD Register(HQORREG *h) { return QorGattRegister(&g_any, &g_app, nullptr, nullptr, nullptr, nullptr, h); }

Step PairReg(DWORD want = 0) { return Returns(want, [] { return QorGattPairingRegister(); }); }
Step PairUnreg(DWORD want = 0) { return Returns(want, [] { return QorGattPairingUnregister(); }); }
Step Reg(int n) { return Returns(0, [=] { return Register(&g_reg[n]); }); }
Step Dereg(int n) { return Do([=] { QorGattDeregister(g_reg[n]), g_reg[n] = nullptr; }); }
Step Arm(uint32_t code, uint32_t kind, uint32_t param = 0) { return Do([=] { g_ctl->ArmFault(code, kind, param); }); }
Step OnDone(const char *calls) { return Do([=] { g_on_done = calls; }); }
// The next thread that traces a line starting with `at` stops there until a
// line holding `until` is traced, Release, or 3 s.
Step Hold(const char *at, const char *until = nullptr)
{
    return Do([=] { ResetEvent(g_release), g_until = until, g_hold = at; });
}
Step Release() { return Do([] { SetEvent(g_release); }); }
Step Discover(DWORD want = 0) { return Returns(want, [] { return QorGattPairingDiscover(kAddress, OnPairingDone); }); }
Step ChannelOpen(bool open) { return Returns(open, [] { return g_ctl->LibraryChannel() != 0; }); }

// A discovery started on connection 7, whatever was sent before.
const Script kDiscover = {Do([] { g_scenario->SkipRequests(); }), Discover(),
                          Sent(ZOREROVA_GATTC_DISCOVER, kDiscoverAll)};
const Script kWalking = {PairReg(), Post(kUp7),
                         Trace("LeDeviceConnectCallback 001a7d000007 gatt_if 1 conn_id 7 connected 1"), kDiscover};
// The next read fails: the reader ends and closes the channel.
const Script kReadFails = {Arm(ZOREROVA_GATT_READ_EVENT, VCTL_FAULT_STATUS, 0xC0000185), Post(kBad250),
                           Trace("LE - ReadWorker: DeviceIoControl(ZOREROVA_GATT_READ_EVENT) failed, error 1117"),
                           Trace("LE - ReadWorker: exits")};

class Hardening : public ScenarioTest {
protected:
    void SetUp() override
    {
        ScenarioTest::SetUp();
        g_trace = &trace, g_ctl = &ctl, g_scenario = &scenario;
        QorGattSetTraceFunction(HoldingSink);
        g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kStoreKey);
    }
    void TearDown() override
    {
        g_on_done.clear();
        SetEvent(g_release);
        if (g_aside.joinable())
            g_aside.join();
        QorGattPairingUnregister();
        for (HQORREG h : g_reg)
            QorGattDeregister(h);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kStoreKey);
    }
};

TEST_F(Hardening, NumberFromAnEarlierOpeningOfTheChannelIsRefused)
{
    Play({PairReg(), kReadFails, Reg(0), PairUnreg(), Trace("free_gatt_if not allocated 1"), ChannelOpen(true),
          PairReg(), Trace("GATT_Register - already registered allocated gatt_if:2")});
    Play({PairUnreg(), Dereg(0), Reg(0), kReadFails, PairReg(), Dereg(0), Trace("free_gatt_if not allocated 1"),
          ChannelOpen(true), PairUnreg(), Trace("GATT_DeregisterAll - closing device handle*")});
}

TEST_F(Hardening, WalkThatCannotEndNormallyStillReportsFailure)
{
    for (const char *stray : {"F8 0700 01 00", kUp7})   // a completion of op 1; the link reported up again
        Play({kWalking, Post(stray), Post(kServicesDone), Callback("done 0"), kDiscover, PairUnreg()});
    Play({kWalking, kReadFails, Callback("done 0"), Discover(ERROR_INTERNAL_ERROR)});
}

TEST_F(Hardening, ListIsKeptUntilTheEndOfTheOldWalkIsStored)
{
    Play({kWalking, Reg(0), PairUnreg(), PairReg(), Hold("LeDeviceDiscoveryComplete: conn_id", "PairingDiscover"),
          Post(kServicesDone), Trace("LeDeviceDiscoveryComplete: conn_id*"), Discover(ERROR_BUSY), Release()});
}

TEST_F(Hardening, StrayAllServicesCompleteLeavesARunningWalkAlone)
{
    Play({kWalking, Post("FD 0700 01 0200 0028 00*14 0100 0500 0200 0F18 00*14"), Post(kServicesDone),
          Sent(ZOREROVA_GATTC_DISCOVER, "00*18 0700 0100 0500 03"), Post("FC 0700 03 00"),
          Sent(ZOREROVA_GATTC_DISCOVER, "00*18 0700 0100 0500 04"), Post(kServicesDone), Post("FC 0700 04 00"),
          Callback("done 1"), NothingSent()});
}

TEST_F(Hardening, RegistrationBeingRetiredIsNoDuplicate)
{
    Play({Reg(0), Hold("CallbackThread() after wait retcode 1"), Dereg(0),
          Trace("CallbackThread() after wait retcode 1*"), Reg(1), Release()});
}

TEST_F(Hardening, FirstRegistrationWaitsForTheReaderClosingTheChannel)
{
    Play({kWalking, OnDone("U"), Hold("QorGattPairingUnregister: deregistered", "previous reader"), Post(kServicesDone),
          Trace("QorGattPairingUnregister: deregistered"), Reg(0), Callback("unregister 0"), Callback("done 1")});
    Play({Dereg(0), OnDone("UR"), kWalking, Post(kServicesDone), Callback("unregister 0"), Callback("register 0"),
          Callback("done 1"), kDiscover});
}

TEST_F(Hardening, PairingRegistrationMeetingAnotherOneLosesNoNumber)
{
    static DWORD aside;
    Play({Hold("GATT_Register - exits"), Do([] { g_aside = std::thread([] { aside = QorGattPairingRegister(); }); }),
          Trace("GATT_Register - exits*"), PairReg(ERROR_BUSY), Release(),
          Returns(0, [] { return g_aside.join(), aside; }), PairUnreg(),
          Trace("GATT_DeregisterAll - closing device handle*")});
}

TEST_F(Hardening, ShortReadIsNotDispatched)
{
    Play({PairReg(), Arm(ZOREROVA_GATT_READ_EVENT, VCTL_FAULT_SHORT_OUTPUT), Script(21, Post(kBad250)),
          Post("F8 FB00 01 00"), Trace("CompleteCallback bad conn_id:251"),
          Returns(20, [] { return g_trace->CountPrefix("CompleteCallback bad conn_id:250"); }),
          Returns(1, [] { return g_trace->CountPrefix("LE - ReadWorker: short read of 0 bytes dropped"); })});
}

TEST_F(Hardening, RequestTheDriverKeepsPastItsCancelCountsAsRefused)
{
    Play({Arm(ZOREROVA_GATT_REGISTER, VCTL_FAULT_PEND_STUCK), PairReg(ERROR_INTERNAL_ERROR),
          Trace("GATT_Register - DeviceIoControl failed - 997"), PairReg()});
}

TEST_F(Hardening, GuardPageFaultIsCaught)
{
    void *page = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD);
    Play({Returns(ERROR_INTERNAL_ERROR, [=] { return Register(static_cast<HQORREG *>(page)); }),
          Trace("***QorLeApi:ERROR QorGattRegister crashed")});
    VirtualFree(page, 0, MEM_RELEASE);
}

} // namespace
