// Local services: the requests the controller receives, the database it holds
// and every result code, played as scenario tables.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "client_util.h"
#include "link/link.h"
#include "server/local_services.h"

using namespace clienttest;
using qortest::Hex;

namespace {

const GUID kCustom = {0x5EC7A1D0, 0x3B2C, 0x4A11, {0x9E, 0x01, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
const GUID kAlias180D = {0x1234180D, 0, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
const GUID kApp = {0x2B7F0C11, 0x6A1E, 0x4C3D, {0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8}};
const GUID kApp2 = {0x2B7F0C11, 0x6A1E, 0x4C3D, {0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF9}};
constexpr uint32_t kFail = 0xC0000001;   // STATUS_UNSUCCESSFUL: ERROR_GEN_FAILURE (31)
GUID *const kBadGuid = reinterpret_cast<GUID *>(0x10);

// One step: a call, its code, the handle it hands out (-1: not looked at), the
// requests the controller logs meanwhile ("fn:hex", fn the control code's
// function number; "00x14" is 14 zero bytes; trailing zeros may be left out)
// and trace lines that must appear in this order.
struct Step {
    std::function<DWORD()> call;
    DWORD code;
    int handle;
    std::vector<std::string> sent;
    std::vector<std::string> lines;
};

std::string Chomp(std::string s)
{
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

std::string TrimZeros(std::string hex)
{
    while (hex.size() >= 2 && hex.compare(hex.size() - 2, 2, "00") == 0)
        hex.resize(hex.size() - 2);
    return hex;
}

std::string Expected(const std::string &text)
{
    std::string out = text.substr(0, text.find(':') + 1);
    std::istringstream tokens(text.substr(out.size()));
    for (std::string t; tokens >> t;) {
        size_t x = t.find('x');
        out += x == std::string::npos ? t : [&] {
            std::string rep;
            for (int i = std::stoi(t.substr(x + 1)); i > 0; --i)
                rep += t.substr(0, x);
            return rep;
        }();
    }
    return TrimZeros(out);
}

std::string Logged(const VctlLogEntry &e)
{
    char fn[8];
    std::snprintf(fn, sizeof fn, "%x:", (e.code >> 2) & 0xFFF);
    return TrimZeros(fn + Hex(e.in, e.in_len));
}

bool InOrder(const std::vector<std::string> &lines, const std::vector<std::string> &want)
{
    size_t at = 0;
    for (const std::string &w : want) {
        while (at < lines.size() && Chomp(lines[at]) != Chomp(w))
            ++at;
        if (at++ >= lines.size())
            return false;
    }
    return true;
}

class LocalServices : public ClientTest {
protected:
    void Play(const std::vector<Step> &steps)
    {
        for (size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "step " << i);
            const size_t logged = ctl.Log().size();
            trace.Clear();
            out = 0xEEEE;
            EXPECT_EQ(steps[i].call(), steps[i].code);
            if (steps[i].handle >= 0) {
                EXPECT_EQ(out, steps[i].handle);
            }
            std::vector<std::string> sent, want;
            std::vector<VctlLogEntry> log = ctl.Log();
            for (size_t j = logged; j < log.size(); ++j)
                sent.push_back(Logged(log[j]));
            for (const std::string &s : steps[i].sent)
                want.push_back(Expected(s));
            EXPECT_EQ(sent, want);
            EXPECT_TRUE(InOrder(trace.Lines(), steps[i].lines)) << trace.Dump();
        }
    }

    DWORD Create(HQORREG reg, const GUID &uuid, DWORD instance, DWORD handles, BYTE flag = 0)
    {
        GUID g = uuid;
        return QorGattCreateService(reg, &g, instance, handles, flag, &out);
    }
    DWORD Char(USHORT service, uint16_t uuid16, DWORD perm = 0x11, BYTE props = 0x12, GUID *g = nullptr)
    {
        GUID base = qortest::BaseGuid(uuid16);
        return QorGattAddCharacteristic(service, g ? g : &base, 0, perm, props, &out);
    }
    DWORD Descr(USHORT service, uint16_t uuid16, const void *block = kBlock)
    {
        GUID base = qortest::BaseGuid(uuid16);
        return QorGattAddDescriptor(service, &base, 0x11, const_cast<void *>(block), &out);
    }
    std::function<DWORD()> Failing(uint32_t code, uint32_t kind, uint32_t param, std::function<DWORD()> call)
    {
        return [=] {
            ctl.ArmFault(code, kind, param);
            return call();
        };
    }
    // The link's list of created services: "s_handle-e_handle/gatt_if".
    static std::string ServiceList()
    {
        std::string text;
        for (const gatts_service_record *r = gatts_service_list; r; r = r->next)
            text += std::to_string(r->s_handle) + "-" + std::to_string(r->e_handle) + "/" +
                    std::to_string(r->gatt_if) + " ";
        return text;
    }

    static constexpr uint8_t kBlock[22] = {1, 2};
    USHORT out = 0;
    HQORREG a = nullptr, b = nullptr;
};

TEST_F(LocalServices, RequestsAndTheControllersDatabaseFromTwoRegistrations)
{
    ASSERT_EQ(Register(0, kApp, &a), 0u);
    ASSERT_EQ(Register(0, kApp2, &b), 0u);
    Play({
        {[&] { return Create(a, qortest::BaseGuid(0x180D), 0, 6, 1); }, 0, 1,
         {"440:01 0200 0d18 00x14 0000 01 0600"},
         {"***QorLeApi:QorGattCreateService", "GATTS_CreateService service uuid:0x180d instance:0"}},
        {[&] { return Create(a, kCustom, 2, 3); }, 0, 8, {"440:01 1000 d0a1c75e2c3b114a9e01223344556677 0200 00 0300"},
         {"GATTS_CreateService service uuid:0xa1d0 instance:2"}},
        {[&] { return Create(b, kAlias180D, 0, 2); }, 0, 12, {"440:02 0200 0d18 00x14 0000 00 0200"}, {}},
        {[&] { return QorGattAddIncludeService(1, 8); }, 0, -1, {"441:0100 0800"},
         {"***QorLeApi:QorGattAddIncludeService", "GATTS_AddIncludeService service handle:1 inc service handle:8"}},
        {[&] { return Char(1, 0x2A37); }, 0, 4, {"442:0100 0200 372a 00x14 1100 12"},
         {"***QorLeApi:QorGattAddCharacteristic", "GATTS_AddCharacteristic handle:1 char:2a37 perm:0011 property:0012"}},
        {[&] { return Descr(1, 0x2902); }, 0, 5, {"443:0100 1100 0200 0229 00x14 0102"},
         {"***QorLeApi:QorGattAddDescriptor", "GATTS_AddCharDescritptor handle:1 char:2902 perm:17"}},
        {[&] { return QorGattStartService(1); }, 0, -1, {"445:01 0100 00"},
         {"***QorLeApi:QorGattStartService", "GATTS_StartService service s_handle:1 transport:0"}},
        {[&] { return QorGattStartService(12); }, 0, -1, {"445:02 0c00 00"}, {}},
    });
    EXPECT_EQ(qortest::LocalDbRows(ctl), (std::vector<std::string>{
                                             "0001 service 180d inst 0 flag 1 end 0007 if 1 started",
                                             "0002 include d0a1c75e2c3b114a9e01223344556677 of 0008",
                                             "0003 char 2a37 props 12 value 0004",
                                             "0004 value 2a37 props 12 perm 0011",
                                             "0005 descr 2902 perm 0011 block 0102",
                                             "0008 service d0a1c75e2c3b114a9e01223344556677 inst 2 flag 0 end 000b if 1",
                                             "000c service 180d inst 0 flag 0 end 000e if 2 started",
                                         }));
    EXPECT_EQ(ServiceList(), "1-7/1 8-11/1 12-14/2 ");

    // The same UUID and instance in the other registration stays; the end of a
    // registration deletes what is left of its services in the driver.
    Play({
        {[&] { return QorGattDeleteService(1); }, 0, -1, {"444:01 0200 0d18 00x14 0000"},
         {"***QorLeApi:QorGattDeleteService", "GATTS_DeleteService service uuid:0x180d instance:0"}},
        {[&] { return QorGattAddCharacteristic(1, kBadGuid, 0, 0, 0, &out); }, 6, -1, {}, {}},
        {[&] { return Deregister(a), 0u; }, 0, -1, {"444:01 1000 d0a1c75e2c3b114a9e01223344556677 0200"}, {}},
    });
    EXPECT_EQ(qortest::LocalDbRows(ctl), std::vector<std::string>{"000c service 180d inst 0 flag 0 end 000e if 2 started"});
    EXPECT_EQ(QorGattStartService(8), 1168u);
    Deregister(b);
    EXPECT_EQ(qortest::LocalDbRows(ctl), std::vector<std::string>{});
    EXPECT_EQ(ServiceList(), "1-7/1 8-11/1 12-14/2 ") << "the list never shrinks";
}

TEST_F(LocalServices, EveryFailureRow)
{
    // Nothing registered yet: no ApiLock and no table.
    Play({
        {[&] { return Create(nullptr, kCustom, 0, 1); }, 87, -1, {}, {"***QorLeApi:QorGattCreateService illegal param"}},
        {[&] { return QorGattStartService(1); }, 87, -1, {}, {"***QorLeApi:QorGattStartService illegal param"}},
        {[&] { return QorGattDeleteService(1); }, 87, -1, {}, {"***QorLeApi:QorGattDeleteService illegal param"}},
        {[&] { return Char(1, 0x2A00); }, 6, -1, {}, {}},
    });
    ASSERT_EQ(Register(0, kApp, &a), 0u);
    const std::string create_failed = "GATTS_CreateService - failed - 31 bytes returned 0";
    Play({
        {[&] { return QorGattCreateService(a, nullptr, 0, 1, 0, &out); }, 87, -1, {}, {}},
        {[&] {
             GUID g = kCustom;
             return QorGattCreateService(a, &g, 0, 1, 0, nullptr);
         },
         87, -1, {}, {}},
        {[&] { return Create(a, kCustom, 0, 0); }, 87, -1, {}, {}},
        {[&] { return Create(a, kCustom, 0, 0x10000); }, 87, -1, {}, {"***QorLeApi:QorGattCreateService illegal param"}},
        {[&] { return Create(&out, kCustom, 0, 1); }, 6, -1, {}, {"***QorLeApi:QorGattCreateService invalid handle"}},
        {[&] { return Create(a, qortest::BaseGuid(0x180D), 0, 4); }, 0, 1, {"440:01 0200 0d18 00x14 0000 00 0400"}, {}},
        {[&] { return Create(a, qortest::BaseGuid(0x180D), 0, 9); }, 1078, -1, {}, {"QorGattCreateService existing service"}},
        {[&] { return Create(a, qortest::BaseGuid(0x180D), 1, 4); }, 0, 6, {"440:01 0200 0d18 00x14 0100 00 0400"}, {}},
        {Failing(ZOREROVA_GATTS_CREATE_SERVICE, VCTL_FAULT_STATUS, kFail, [&] { return Create(a, kCustom, 0, 2); }),
         4316, 0, {"440:01 1000 d0a1c75e2c3b114a9e01223344556677 0000 00 0200"}, {create_failed}},
        {Failing(ZOREROVA_GATTS_CREATE_SERVICE, VCTL_FAULT_SHORT_OUTPUT, 1, [&] { return Create(a, kCustom, 0, 2); }),
         4316, 0, {"440:01 1000 d0a1c75e2c3b114a9e01223344556677 0000 00 0200"},
         {"GATTS_CreateService - failed - 0 bytes returned 1"}},
        {[&] { return Create(a, kCustom, 0, 2); }, 0, 14, {"440:01 1000 d0a1c75e2c3b114a9e01223344556677 0000 00 0200"}, {}},

        {[&] { return QorGattAddIncludeService(0, 1); }, 87, -1, {}, {"***QorLeApi:QorGattAddIncludeService illegal param"}},
        {[&] { return QorGattAddIncludeService(99, 1); }, 6, -1, {}, {"***QorLeApi:QorGattAddIncludeService service handle not found"}},
        {[&] { return QorGattAddIncludeService(1, 99); }, 6, -1, {},
         {"***QorLeApi:QorGattAddIncludeService include service handle not found"}},
        {Failing(ZOREROVA_GATTS_ADD_INCLUDE, VCTL_FAULT_STATUS, kFail, [&] { return QorGattAddIncludeService(1, 6); }),
         4316, -1, {"441:0100 0600"}, {"GATTS_AddIncludeService - failed - 31 bytes returned 0"}},
        {Failing(ZOREROVA_GATTS_ADD_INCLUDE, VCTL_FAULT_SHORT_OUTPUT, 1, [&] { return QorGattAddIncludeService(1, 6); }),
         4316, -1, {"441:0100 0600"}, {"GATTS_AddIncludeService - failed - 0 bytes returned 1"}},

        {[&] { return Char(0, 0x2A00); }, 87, -1, {}, {"***QorLeApi:QorGattAddCharacteristic illegal param"}},
        {[&] { return QorGattAddCharacteristic(1, nullptr, 0, 0, 0, &out); }, 87, -1, {}, {}},
        {[&] { return Char(99, 0x2A00); }, 6, -1, {}, {"***QorLeApi:QorGattAddCharacteristic service handle not found"}},
        {Failing(ZOREROVA_GATTS_ADD_CHAR, VCTL_FAULT_STATUS, kFail, [&] { return Char(6, 0x2A00); }), 4316, 0,
         {"442:0600 0200 002a 00x14 1100 12"}, {"GATTS_AddCharacteristic - failed - 31 bytes returned 0"}},
        {[&] { return Descr(6, 0x2901); }, 4316, -1, {}, {"***QorLeApi:QorGattAddDescriptor no chars"}},
        {Failing(ZOREROVA_GATTS_ADD_CHAR, VCTL_FAULT_SHORT_OUTPUT, 1, [&] { return Char(6, 0x2A00); }), 4316, 0,
         {"442:0600 0200 002a 00x14 1100 12"}, {"GATTS_AddCharacteristic - failed - 0 bytes returned 1"}},
        {[&] { return Char(1, 0x2A01, 1, 2, kBadGuid); }, 1359, -1, {}, {"***QorLeApi:ERROR QorGattAddCharacteristic crashed"}},
        {[&] { return Char(1, 0x2A01, 1, 2); }, 0, -1, {"442:0100 0200 012a 00x14 0100 02"}, {}},

        {[&] { return Descr(1, 0x2902, nullptr); }, 87, -1, {}, {"***QorLeApi:QorGattAddDescriptor illegal param"}},
        {[&] { return Descr(99, 0x2902); }, 6, -1, {}, {"***QorLeApi:QorGattAddDescriptor service handle not found"}},
        {Failing(ZOREROVA_GATTS_ADD_DESCR, VCTL_FAULT_SHORT_OUTPUT, 1, [&] { return Descr(1, 0x2902); }), 4316, 0,
         {"443:0100 1100 0200 0229 00x14 0102"}, {"GATTS_AddCharDescritptor - failed - 0 bytes returned 1"}},
        {[&] { return Descr(1, 0x2902, kBadGuid); }, 1359, -1, {}, {"***QorLeApi:ERROR QorGattAddDescriptor crashed"}},

        {[&] { return QorGattStartService(0); }, 87, -1, {}, {}},
        {[&] { return QorGattStartService(99); }, 1168, -1, {}, {"***QorLeApi:QorGattStartService service handle not found"}},
        {Failing(ZOREROVA_GATTS_START_SERVICE, VCTL_FAULT_STATUS, kFail, [&] { return QorGattStartService(1); }), 4316,
         -1, {"445:01 0100"}, {"GATTS_StartService - Client connect failed - 31 bytes returned 0"}},
        {Failing(ZOREROVA_GATTS_START_SERVICE, VCTL_FAULT_RESULT_BYTE, 5, [&] { return QorGattStartService(1); }), 0,
         -1, {"445:01 0100"}, {}},

        {[&] { return QorGattDeleteService(0); }, 87, -1, {}, {}},
        {[&] { return QorGattDeleteService(99); }, 6, -1, {}, {"***QorLeApi:QorGattDeleteService service handle not found"}},
        {Failing(ZOREROVA_GATTS_DELETE_SERVICE, VCTL_FAULT_STATUS, kFail, [&] { return QorGattDeleteService(6); }), 0,
         -1, {"444:01 0200 0d18 00x14 0100"}, {"GATTS_DeleteService - failed - 31 bytes returned 0"}},
        {[&] { return QorGattDeleteService(6); }, 6, -1, {}, {}},
        {[&] { return QorGattCreateService(a, kBadGuid, 0, 1, 0, &out); }, 1359, -1, {}, {}},
    });
    EXPECT_TRUE(ApiLockIsFree());
    // The refused and cut characteristics left no record; the refused descriptor
    // stays with handle 0, on the characteristic the driver did create.
    ApiLockHold hold;
    LeChar *chr = static_cast<QOR_APP_REG *>(a)->pServices->characteristics;
    ASSERT_NE(chr, nullptr);
    EXPECT_EQ(chr->attrHandle, 4);
    ASSERT_NE(chr->descriptors, nullptr);
    EXPECT_EQ(chr->descriptors->handle, 0);
    EXPECT_EQ(chr->next, nullptr);
    EXPECT_EQ(static_cast<QOR_APP_REG *>(a)->pServices->next->characteristics, nullptr);
}

TEST_F(LocalServices, ValuePushesResponsesAndAClosedChannel)
{
    ASSERT_EQ(Register(0, kApp, &a), 0u);
    ASSERT_EQ(Create(a, kCustom, 0, 3), 0u);
    uint8_t value[513];
    std::memset(value, 0xAA, sizeof value);
    LeAttrValue rsp{};
    rsp.conn_id = 1;
    rsp.handle = 4;
    rsp.len = 2;
    rsp.auth_req = 1;
    std::memset(rsp.value, 0xBB, 2);
    Play({
        {[&] { return GATTS_HandleValueNotification(1, 4, 3, value); }, 0, -1, {"448:0100 0400 0300 aaaaaa"},
         {"GATTS_HandleValueNotification attr_handle=4 val_len=3"}},
        {[&] { return GATTS_HandleValueIndication(2, 5, 512, value); }, 0, -1, {"447:0200 0500 0002 aax512"},
         {"GATTS_HandleValueIndication attr_handle=5 val_len=512"}},
        {[&] { return GATTS_HandleValueIndication(2, 5, 513, value); }, 13, -1, {}, {"GATTS_HandleValueIndication val_len=513"}},
        {Failing(ZOREROVA_GATTS_SEND_RSP, VCTL_FAULT_RESULT_BYTE, 7, [&] { return GATTS_SendRsp(1, 0x12345678, 5, &rsp); }),
         7, -1, {"449:0100 78563412 05 0100 0400 0000 0200 01 bbbb"}, {"GATTS_SendRsp conn_id=1 trans_id=305419896 status:5"}},
        {Failing(ZOREROVA_GATTS_NOTIFICATION, VCTL_FAULT_STATUS, kFail, [&] { return GATTS_HandleValueNotification(1, 4, 0, value); }),
         1, -1, {"448:0100 0400"}, {"GATTS_HandleValueNotification - failed - 31 nBytes 0"}},
    });
    ctl.FailRead(ctl.LibraryChannel(), kFail);   // the reader ends and closes the channel
    ASSERT_TRUE(trace.WaitFor("GATT_DeregisterAll - exit"));
    Play({
        {[&] { return QorGattStartService(1); }, 4316, -1, {}, {"GATTS_StartService invalid handle"}},
        {[&] { return GATTS_HandleValueIndication(1, 4, 3, value); }, 10, -1, {}, {"GATTS_HandleValueIndication not registered"}},
        {[&] { return GATTS_SendRsp(1, 1, 0, &rsp); }, 10, -1, {}, {"GATTS_SendRsp not registered"}},
        {[&] { return Create(a, kCustom, 1, 3); }, 4316, 0, {}, {"GATTS_CreateService invalid handle"}},
        {[&] { return QorGattAddIncludeService(1, 1); }, 4316, -1, {}, {"GATTS_AddIncludeService invalid handle"}},
        {[&] { return QorGattDeleteService(1); }, 0, -1, {}, {"GATTS_DeleteService invalid handle"}},
        {[&] { return QorGattDeleteService(1); }, 6, -1, {}, {}},
    });
}

// The second process of the test below: the same service under its own
// gatt_if 1, held until the first process lets go.
class SecondProcess : public LocalServices {
protected:
    void SetUp() override {}   // no reset: the first process's services stay
};

TEST_F(SecondProcess, HoldsAServiceUntilReleased)
{
    if (!GetEnvironmentVariableA("QORTEST_SERVER_CHILD", nullptr, 0))
        GTEST_SKIP() << "run by TwoProcessesEachDeleteOnlyTheirOwn";
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, "QorTestServerReady");
    HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, "QorTestServerRelease");
    ASSERT_EQ(Register(0, kApp, &a), 0u);
    ASSERT_EQ(Create(a, qortest::BaseGuid(0x180D), 0, 2), 0u);
    ASSERT_EQ(QorGattStartService(out), 0u);
    SetEvent(ready);
    EXPECT_EQ(WaitForSingleObject(release, 20000), WAIT_OBJECT_0);
}

TEST_F(LocalServices, TwoProcessesEachDeleteOnlyTheirOwn)
{
    ASSERT_EQ(Register(0, kApp, &a), 0u);
    const uint32_t mine = ctl.LibraryChannel();
    ASSERT_EQ(Create(a, qortest::BaseGuid(0x180D), 0, 2), 0u);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "QorTestServerReady");
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "QorTestServerRelease");
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command = std::string("\"") + exe + "\" --gtest_filter=SecondProcess.*";
    SetEnvironmentVariableA("QORTEST_SERVER_CHILD", "1");
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    const uint32_t theirs = ctl.LibraryChannel();
    EXPECT_EQ(qortest::LocalDbRows(ctl, mine), std::vector<std::string>{"0001 service 180d inst 0 flag 0 end 0003 if 1"});
    EXPECT_EQ(qortest::LocalDbRows(ctl, theirs),
              std::vector<std::string>{"0004 service 180d inst 0 flag 0 end 0006 if 1 started"});
    EXPECT_EQ(QorGattDeleteService(1), 0u);
    EXPECT_EQ(qortest::LocalDbRows(ctl), std::vector<std::string>{"0004 service 180d inst 0 flag 0 end 0006 if 1 started"});
    SetEvent(release);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exit_code = 1;
    GetExitCodeProcess(pi.hProcess, &exit_code);
    EXPECT_EQ(exit_code, 0u);
    EXPECT_EQ(qortest::LocalDbRows(ctl), std::vector<std::string>{}) << "its deregistration deleted its service";
    for (HANDLE h : {ready, release, pi.hProcess, pi.hThread})
        CloseHandle(h);
}

// Four threads create, extend, start and delete services while each deletes
// its neighbour's latest one: afterwards the table and the controller agree,
// and ApiLock is free.
TEST_F(LocalServices, FourThreadsCreateAndDeleteAtOnce)
{
    ASSERT_EQ(Register(0, kApp, &a), 0u);
    std::atomic<USHORT> latest[4] = {};
    std::atomic<int> odd{0};
    auto work = [&](int t) {
        for (DWORD i = 0; i < 20; ++i) {
            GUID g = qortest::BaseGuid(static_cast<uint16_t>(0x1800 + t));
            USHORT s = 0, c = 0;
            odd += QorGattCreateService(a, &g, i, 4, 0, &s) != 0;
            latest[t] = s;
            DWORD added = QorGattAddCharacteristic(s, &g, 0, 1, 2, &c);
            DWORD started = QorGattStartService(s);
            odd += (added != 0 && added != 6) + (started != 0 && started != 1168 && started != 4316);
            USHORT victim = latest[(t + 1) % 4];
            DWORD deleted = victim ? QorGattDeleteService(victim) : 0;
            odd += deleted != 0 && deleted != 6;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(work, t);
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(odd, 0);
    EXPECT_TRUE(ApiLockIsFree());
    std::set<USHORT> table, held;
    {
        ApiLockHold hold;
        for (LeService *s = static_cast<QOR_APP_REG *>(a)->pServices; s; s = s->next)
            table.insert(s->s_handle);
    }
    for (const VctlLocalAttr &r : qortest::LocalDb(ctl))
        if (r.kind == VCTL_LOCAL_SERVICE)
            held.insert(r.handle);
    EXPECT_EQ(table, held);
    for (USHORT s : table)
        EXPECT_EQ(QorGattDeleteService(s), 0u);
    EXPECT_TRUE(qortest::LocalDb(ctl).empty());
}

} // namespace
