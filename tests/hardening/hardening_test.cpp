// The link, the registrations and pairing discovery under driver faults, stray
// events and concurrent callers. Each case is a table of steps played by one
// runner: exports called with the codes they must return, records posted to the
// library's channel (hex), faults armed in the controller, trace lines waited
// for or counted, and what the pairing completion function saw.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qortest.h"

namespace {

enum Op {
    PairReg, PairUnreg, PairDiscover,  // a: the code returned
    Reg, Dereg,                        // client registration b (Reg, a: the code returned)
    RegGuardPage,                      // QorGattRegister with phReg on a guard page; a: the code
    Post,                              // text: the record; a: how many times (0: once)
    Arm,                               // a: control code, b: fault kind, c: param
    Wait,                              // text: a trace line prefix to wait for
    Count,                             // text: trace line prefix; a: how many lines have it
    Clear,                             // forget the lines traced so far
    Done,                              // the completion function is called; a: its success flag
    OnDone,                            // text: what the completion function calls: U unregister, R register
    DoneCodes,                         // text: the codes those calls returned
    Hold,                              // the thread tracing prefix `text` stops until a line holding `until`
    Release,                           // lets the held thread go on
    Request,                           // a: control code; b: requests logged (0: any); text: the latest one's bytes
    PairRegAside, Join,                // QorGattPairingRegister on another thread; Join, a: the code it returned
};

struct Step {
    Op op;
    const char *text = "";
    uint32_t a = 0, b = 0, c = 0;
    const char *until = nullptr;
};

constexpr ULONGLONG kAddress = 0xA0B0C0D0E0F0;
const char kStoreKey[] = "SYSTEM\\CurrentControlSet\\services\\BTHPORT\\Parameters\\Devices\\a0b0c0d0e0f0";
constexpr uint32_t kIoDeviceError = 0xC0000185;
// Records on connection 7 and on connection ids no table holds.
const char kUp7[] = "FF 001A7D000007 0700 01";
const char kBad250[] = "F8 FA00 01 00";
const char kServicesDone[] = "FC 0700 01 00";
const char kDiscoverAll[] = "000000000000000000000000000000000000 0700 0100 FFFF 01";

qortest::TraceCapture *g_trace;
std::atomic<const char *> g_hold{nullptr}, g_until{nullptr};
HANDLE g_release, g_done;
std::string g_on_done, g_done_codes;
DWORD g_success;

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
        g_done_codes += std::to_string(c == 'U' ? QorGattPairingUnregister() : QorGattPairingRegister()) + " ";
    g_success = success;
    SetEvent(g_done);
}

std::vector<uint8_t> Bytes(const char *hex)
{
    std::vector<uint8_t> out;
    for (const char *p = hex; *p; p += *p == ' ' ? 1 : 2)
        if (*p != ' ')
            out.push_back(static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16)));
    return out;
}

class Hardening : public qortest::ControllerTest {
protected:
    void SetUp() override
    {
        qortest::ControllerTest::SetUp();
        g_trace = &trace;
        QorGattSetTraceFunction(HoldingSink);
        g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kStoreKey);
    }
    void TearDown() override
    {
        g_on_done.clear();
        SetEvent(g_release);
        if (aside.joinable())
            aside.join();
        QorGattPairingUnregister();
        for (HQORREG h : handles)
            QorGattDeregister(h);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kStoreKey);
        if (HasFailure())
            std::printf("%s", trace.Dump().c_str());
    }

    DWORD Register(HQORREG *phReg)
    {
        LE_ADDRESS any{};
        GUID app = {0x6d1e0b5c, 0x2f3a, 0x4c1e, {0x9a, 0x31, 0x52, 0x7e, 0x0c, 0x44, 0x18, 0xb2}};
        return QorGattRegister(&any, &app, nullptr, nullptr, nullptr, nullptr, phReg);
    }

    void Play(const std::vector<Step> &steps)
    {
        for (size_t i = 0; i < steps.size() && !HasFatalFailure(); ++i) {
            const Step &s = steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            DoStep(s);
        }
    }

    void DoStep(const Step &s)
    {
        switch (s.op) {
        case PairReg: EXPECT_EQ(QorGattPairingRegister(), s.a); break;
        case PairUnreg: EXPECT_EQ(QorGattPairingUnregister(), s.a); break;
        case PairDiscover: EXPECT_EQ(QorGattPairingDiscover(kAddress, OnPairingDone), s.a); break;
        case Reg: EXPECT_EQ(Register(&handles[s.b]), s.a); break;
        case Dereg: QorGattDeregister(handles[s.b]), handles[s.b] = nullptr; break;
        case RegGuardPage: {
            void *page = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD);
            EXPECT_EQ(Register(static_cast<HQORREG *>(page)), s.a);
            VirtualFree(page, 0, MEM_RELEASE);
            break;
        }
        case Post: {
            ZrEvent record{};
            std::vector<uint8_t> bytes = Bytes(s.text);
            std::memcpy(record.raw, bytes.data(), bytes.size());
            for (uint32_t n = 0; n < (s.a ? s.a : 1); ++n)
                ctl.PostEvent(record, ctl.LibraryChannel());
            break;
        }
        case Arm: ctl.ArmFault(s.a, s.b, s.c); break;
        case Wait: EXPECT_TRUE(trace.WaitForPrefix(s.text)) << s.text; break;
        case Count: EXPECT_EQ(trace.CountPrefix(s.text), s.a) << s.text; break;
        case Clear: trace.Clear(); break;
        case Done:
            EXPECT_EQ(WaitForSingleObject(g_done, 5000), WAIT_OBJECT_0);
            EXPECT_EQ(g_success, s.a);
            break;
        case OnDone: g_on_done = s.text; break;
        case DoneCodes: EXPECT_EQ(g_done_codes, s.text); break;
        case Hold: ResetEvent(g_release), g_until = s.until, g_hold = s.text; break;
        case Release: SetEvent(g_release); break;
        case Request: {
            std::vector<VctlLogEntry> logged = ctl.Requests(s.a);
            ASSERT_TRUE(!logged.empty() && (!s.b || logged.size() == s.b)) << logged.size();
            if (*s.text) {
                const VctlLogEntry &last = logged.back();
                EXPECT_EQ(std::vector<uint8_t>(last.in, last.in + last.in_len), Bytes(s.text));
            }
            break;
        }
        case PairRegAside: aside = std::thread([this] { aside_code = QorGattPairingRegister(); }); break;
        case Join:
            aside.join();
            EXPECT_EQ(aside_code, s.a);
            break;
        }
    }

    HQORREG handles[2] = {};
    std::thread aside;
    DWORD aside_code = 0;
};

// Pairing registered, connection 7 reported, a walk started on it.
std::vector<Step> Walking(std::vector<Step> then)
{
    std::vector<Step> steps = {{Clear}, {PairReg}, {Post, kUp7}, {Wait, "LeDeviceConnectCallback"}, {PairDiscover},
                               {Request, kDiscoverAll, ZOREROVA_GATTC_DISCOVER}};
    steps.insert(steps.end(), then.begin(), then.end());
    return steps;
}

// A read that fails ends the reader, which closes the channel.
const std::vector<Step> kReadFails = {{Clear}, {Arm, "", ZOREROVA_GATT_READ_EVENT, VCTL_FAULT_STATUS, kIoDeviceError},
                                      {Post, kBad250}, {Wait, "LE - ReadWorker: exits"}};

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(Hardening, NumberFromAnEarlierOpeningOfTheChannelIsRefused)
{
    Play(std::vector<Step>{{PairReg}} + kReadFails +
         std::vector<Step>{{Reg}, {Clear}, {PairUnreg}, {Count, "free_gatt_if not allocated 1", 1},
                           {Count, "GATT_DeregisterAll", 0}, {PairReg},
                           {Count, "GATT_Register - already registered allocated gatt_if:2", 1}});
    Play(std::vector<Step>{{PairUnreg}, {Dereg}, {Reg}} + kReadFails +
         std::vector<Step>{{PairReg}, {Clear}, {Dereg}, {Count, "free_gatt_if not allocated 1", 1},
                           {Count, "GATT_DeregisterAll", 0}, {PairUnreg}, {Count, "GATT_DeregisterAll - closing", 1}});
}

TEST_F(Hardening, WalkThatCannotEndNormallyStillReportsFailure)
{
    for (const char *stray : {"F8 0700 01 00", kUp7})   // a completion of op 1, the link reported up again
        Play(Walking({{Post, stray}, {Post, kServicesDone}, {Done, "", 0}, {PairDiscover}, {PairUnreg}}));
    Play(Walking(kReadFails + std::vector<Step>{{Done, "", 0}, {PairDiscover, "", ERROR_INTERNAL_ERROR}}));
}

TEST_F(Hardening, ListIsKeptUntilTheEndOfTheOldWalkIsStored)
{
    Play(Walking({{Reg}, {PairUnreg}, {PairReg}, {Hold, "LeDeviceDiscoveryComplete: conn_id", 0, 0, 0, "PairingDiscover"},
                  {Post, kServicesDone}, {Wait, "LeDeviceDiscoveryComplete: conn_id"},
                  {PairDiscover, "", ERROR_BUSY}, {Release}}));
}

TEST_F(Hardening, StrayAllServicesCompleteLeavesARunningWalkAlone)
{
    Play(Walking({{Post, "FD 0700 01 0200 0028 0000000000000000000000000000 0100 0500 0200 0F18 0000000000000000000000000000"},
                  {Post, kServicesDone}, {Post, "FC 0700 03 00"}, {Post, kServicesDone}, {Post, "FC 0700 04 00"},
                  {Done, "", 1},
                  {Request, "000000000000000000000000000000000000 0700 0100 0500 04", ZOREROVA_GATTC_DISCOVER, 3}}));
}

TEST_F(Hardening, RegistrationBeingRetiredIsNoDuplicate)
{
    Play({{Reg}, {Hold, "CallbackThread() after wait retcode 1"}, {Dereg}, {Wait, "CallbackThread() after wait retcode 1"},
          {Reg, "", 0, 1}, {Release}});
}

TEST_F(Hardening, FirstRegistrationWaitsForTheReaderClosingTheChannel)
{
    Play(Walking({{OnDone, "U"}, {Hold, "QorGattPairingUnregister: deregistered", 0, 0, 0, "previous reader"},
                  {Post, kServicesDone}, {Wait, "QorGattPairingUnregister: deregistered"}, {Reg}, {Done, "", 1}}));
}

TEST_F(Hardening, PairingReregistersFromItsCompletionFunction)
{
    Play(Walking({{OnDone, "UR"}, {Post, kServicesDone}, {Done, "", 1}, {DoneCodes, "0 0 "}, {PairDiscover},
                  {Request, kDiscoverAll, ZOREROVA_GATTC_DISCOVER, 2}}));
}

TEST_F(Hardening, PairingRegistrationMeetingAnotherOneLosesNoNumber)
{
    Play({{Hold, "GATT_Register - exits"}, {PairRegAside}, {Wait, "GATT_Register - exits"}, {PairReg, "", ERROR_BUSY},
          {Release}, {Join}, {PairUnreg}, {Count, "GATT_DeregisterAll - closing", 1}});
}

TEST_F(Hardening, ShortReadIsNotDispatched)
{
    Play({{PairReg}, {Arm, "", ZOREROVA_GATT_READ_EVENT, VCTL_FAULT_SHORT_OUTPUT, 0}, {Post, kBad250, 21},
          {Post, "F8 FB00 01 00"}, {Wait, "CompleteCallback bad conn_id:251"},
          {Count, "CompleteCallback bad conn_id:250", 20}, {Count, "LE - ReadWorker: short read", 1}});
}

TEST_F(Hardening, RequestTheDriverKeepsPastItsCancelCountsAsRefused)
{
    Play({{Arm, "", ZOREROVA_GATT_REGISTER, VCTL_FAULT_PEND_STUCK}, {PairReg, "", ERROR_INTERNAL_ERROR},
          {Count, "GATT_Register - DeviceIoControl failed - 997", 1}, {PairReg}});
}

TEST_F(Hardening, GuardPageFaultIsCaught)
{
    Play({{RegGuardPage, "", ERROR_INTERNAL_ERROR}, {Count, "***QorLeApi:ERROR QorGattRegister crashed", 1}});
}

} // namespace
