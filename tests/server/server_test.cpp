// Local services: the requests the controller receives, the database it holds
// and every result code, played as scenario tables.
#include <process.h>

#include <atomic>
#include <set>
#include <thread>

#include "client_fixture.h"
#include "link/link.h"
#include "peers.h"

using namespace qortest;

namespace {

const GUID kCustom = {0x5EC7A1D0, 0x3B2C, 0x4A11, {0x9E, 0x01, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
const GUID kAlias180D = {0x1234180D, 0, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
const GUID k180D = BaseGuid(0x180D);
const uint8_t kCentral[6] = {0x00, 0xC0, 0xFF, 0xEE, 0x00, 0x07};
const GUID kApp = {0x2B7F0C11, 0x6A1E, 0x4C3D, {0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8}};
const GUID kApp2 = {0x2B7F0C11, 0x6A1E, 0x4C3D, {0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF9}};
constexpr uint32_t kFail = 0xC0000001;   // STATUS_UNSUCCESSFUL: ERROR_GEN_FAILURE (31)
GUID *const kBadGuid = reinterpret_cast<GUID *>(0x10);
constexpr uint32_t kCreate = ZOREROVA_GATTS_CREATE_SERVICE, kInclude = ZOREROVA_GATTS_ADD_INCLUDE,
                   kChar = ZOREROVA_GATTS_ADD_CHAR, kDescr = ZOREROVA_GATTS_ADD_DESCR,
                   kDelete = ZOREROVA_GATTS_DELETE_SERVICE, kStart = ZOREROVA_GATTS_START_SERVICE;
// A trace line of the API.
Step Api(const std::string &rest) { return Trace("***QorLeApi:" + rest); }
// Calls of a Returns step.
std::function<uint64_t()> Start(USHORT s) { return [s] { return QorGattStartService(s); }; }
std::function<uint64_t()> Delete(USHORT s) { return [s] { return QorGattDeleteService(s); }; }
std::function<uint64_t()> Include(USHORT s, USHORT i) { return [=] { return QorGattAddIncludeService(s, i); }; }
const char *const kCustomHex = "d0a1c75e 2c3b 114a 9e01223344556677";

class LocalServices : public ClientTest {
protected:
    // A call that hands out a handle: its code, then the handle.
    Script Made(DWORD code, int handle, std::function<uint64_t()> call)
    {
        return {Returns(code, call), Returns(static_cast<uint64_t>(handle), [this] { return out; })};
    }
    Step Failing(uint32_t code, uint32_t kind, uint32_t param) { return Do([=] { ctl.ArmFault(code, kind, param); }); }
    // A request the controller fails (status kFail, or 1 byte of output): the
    // `call` returns what it should, the request went out, the failure is traced.
    Script Fails(uint32_t code, bool short_output, Step call, const std::string &hex, const std::string &what,
                 const char *failed = "failed")
    {
        return {Failing(code, short_output ? VCTL_FAULT_SHORT_OUTPUT : VCTL_FAULT_STATUS, short_output ? 1 : kFail),
                call, Sent(code, hex),
                Trace(Fmt("%s - %s - %s returned %d", what.c_str(), failed, short_output ? "0 bytes" : "31 bytes",
                          short_output ? 1 : 0))};
    }
    DWORD Create(HQORREG reg, GUID g, DWORD instance, DWORD handles, BYTE flag = 0)
    {
        return QorGattCreateService(reg, &g, instance, handles, flag, &out);
    }
    DWORD Char(USHORT service, uint16_t uuid16, DWORD perm = 0x11, BYTE props = 0x12, GUID *g = nullptr)
    {
        return QorGattAddCharacteristic(service, g ? g : &(uuid = BaseGuid(uuid16)), 0, perm, props, &out);
    }
    DWORD Descr(USHORT service, uint16_t uuid16, const void *block = kBlock)
    {
        return QorGattAddDescriptor(service, &(uuid = BaseGuid(uuid16)), 0x11, const_cast<void *>(block), &out);
    }
    // What a central's read of a local handle reaches: "service/instance char/instance descriptor".
    static DWORD WINAPI OnRequest(PLE_ADDRESS, GUID *s, DWORD si, GUID *c, DWORD ci, GUID *d, DWORD, DWORD, PLE_VALUE)
    {
        NoteFmt("%04lx/%lu %04lx/%lu %04lx", s->Data1, si, c->Data1, ci, d->Data1);
        return 0;
    }
    Step Reads(uint16_t handle)
    {
        return Returns(0, [=] { return CentralRequest(ctl, kCentral, VCTL_CENTRAL_READ, handle, true); });
    }

    static constexpr uint8_t kBlock[22] = {1, 2};
    USHORT out = 0;
    GUID uuid{};   // the UUID Char and Descr pass
    HQORREG a = nullptr, b = nullptr;
};

TEST_F(LocalServices, RequestsAndTheControllersDatabaseFromTwoRegistrations)
{
    ASSERT_EQ(Register(0, kApp, &a, nullptr, nullptr, nullptr, OnRequest), 0u);
    ASSERT_EQ(Register(0, kApp2, &b), 0u);
    scenario.SkipRequests();
    Play({
        Made(0, 1, [&] { return Create(a, k180D, 0, 6, 1); }), Sent(kCreate, "01 0200 0d18 00*14 0000 01 0600"),
        Api("QorGattCreateService"), Trace("GATTS_CreateService service uuid:0x180d instance:0"),
        Made(0, 8, [&] { return Create(a, kCustom, 2, 3); }),
        Sent(kCreate, std::string("01 1000") + kCustomHex + "0200 00 0300"),
        Trace("GATTS_CreateService service uuid:0xa1d0 instance:2"),
        Made(0, 12, [&] { return Create(b, kAlias180D, 0, 2); }), Sent(kCreate, "02 0200 0d18 00*14 0000 00 0200"),
        Returns(0, Include(1, 8)), Sent(kInclude, "0100 0800"),
        Api("QorGattAddIncludeService"), Trace("GATTS_AddIncludeService service handle:1 inc service handle:8"),
        Made(0, 4, [&] { return Char(1, 0x2A37); }), Sent(kChar, "0100 0200 372a 00*14 1100 12"),
        Api("QorGattAddCharacteristic"), Trace("GATTS_AddCharacteristic handle:1 char:2a37 perm:0011 property:0012"),
        Made(0, 5, [&] { return Descr(1, 0x2902); }), Sent(kDescr, "0100 1100 0200 0229 00*14 0102 00*20"),
        Api("QorGattAddDescriptor"), Trace("GATTS_AddCharDescritptor handle:1 char:2902 perm:17"),
        Made(0, 7, [&] { return Char(1, 0x2A37, 1, 2); }), Sent(kChar, "0100 0200 372a 00*14 0100 02"),
        Returns(0, Start(1)), Sent(kStart, "01 0100 00"),
        Api("QorGattStartService"), Trace("GATTS_StartService service s_handle:1 transport:0"),
        Returns(0, Start(12)), Sent(kStart, "02 0c00 00"),
    });
    EXPECT_EQ(LocalDbRows(ctl), (std::vector<std::string>{
                                    "0001 service 180d inst 0 flag 1 end 0007 if 1 started",
                                    "0002 include d0a1c75e 2c3b114a 9e012233 44556677 of 0008",
                                    "0003 char 2a37 props 12 value 0004",
                                    "0004 value 2a37 props 12 perm 0011",
                                    "0005 descr 2902 perm 0011 block 0102",
                                    "0006 char 2a37 props 02 value 0007",
                                    "0007 value 2a37 props 02 perm 0001",
                                    "0008 service d0a1c75e 2c3b114a 9e012233 44556677 inst 2 flag 0 end 000b if 1",
                                    "000c service 180d inst 0 flag 0 end 000e if 2 started",
                                }));
    AddCentral(ctl, kCentral);
    ctl.SetLink(kCentral, true);
    Play({Reads(5), Callback("180d/0 2a37/0 2902"), Reads(4), Callback("180d/0 2a37/0 0000"), Reads(7),
          Callback("180d/0 2a37/1 0000")});
    // Each answer goes out once its callback has returned: the third must be logged before the skip.
    ASSERT_TRUE(ctl.WaitRequests(ZOREROVA_GATTS_SEND_RSP, 3));
    scenario.SkipRequests();

    // The same UUID and instance in the other registration stays; the end of a
    // registration deletes what is left of its services in the driver.
    Play({
        Returns(0, Delete(1)), Sent(kDelete, "01 0200 0d18 00*14 0000"),
        Api("QorGattDeleteService"), Trace("GATTS_DeleteService service uuid:0x180d instance:0"),
        Returns(6, [&] { return QorGattAddCharacteristic(1, kBadGuid, 0, 0, 0, &out); }), NothingSent(),
        Do([&] { Deregister(a); }), Sent(kDelete, std::string("01 1000") + kCustomHex + "0200"), NothingSent(),
        Returns(1168, Start(8)),
    });
    EXPECT_EQ(LocalDbRows(ctl), std::vector<std::string>{"000c service 180d inst 0 flag 0 end 000e if 2 started"});
    Deregister(b);
    EXPECT_EQ(LocalDbRows(ctl), std::vector<std::string>{});
}

TEST_F(LocalServices, EveryFailureRow)
{
    // Nothing registered yet: no ApiLock and no table.
    Play({
        Returns(87, [&] { return Create(nullptr, kCustom, 0, 1); }), Api("QorGattCreateService illegal param"),
        Returns(87, Start(1)), Api("QorGattStartService illegal param"),
        Returns(87, Delete(1)), Api("QorGattDeleteService illegal param"),
        Returns(6, [&] { return Char(1, 0x2A00); }), NothingSent(),
    });
    ASSERT_EQ(Register(0, kApp, &a), 0u);
    scenario.SkipRequests();
    const std::string custom = std::string("01 1000") + kCustomHex + "0000 00 0200",
                      char6 = "0600 0200 002a 00*14 1100 12";
    const Step include = Returns(4316, Include(1, 6)),
               add_char = Made(4316, 0, [&] { return Char(6, 0x2A00); }),
               add_descr = Returns(4316, [&] { return Descr(6, 0x2901); });
    auto create_custom = [&](DWORD code, int handle) {
        return Made(code, handle, [&] { return Create(a, kCustom, 0, 2); });
    };
    Play({
        Returns(87, [&] { return QorGattCreateService(a, nullptr, 0, 1, 0, &out); }),
        Returns(87, [&] { GUID g = kCustom; return QorGattCreateService(a, &g, 0, 1, 0, nullptr); }),
        Returns(87, [&] { return Create(a, kCustom, 0, 0); }),
        Returns(87, [&] { return Create(a, kCustom, 0, 0x10000); }), Api("QorGattCreateService illegal param"),
        Returns(6, [&] { return Create(&out, kCustom, 0, 1); }), Api("QorGattCreateService invalid handle"),
        NothingSent(),
        Made(0, 1, [&] { return Create(a, k180D, 0, 4); }), Sent(kCreate, "01 0200 0d18 00*14 0000 00 0400"),
        Returns(1078, [&] { return Create(a, k180D, 0, 9); }), Trace("QorGattCreateService existing service"),
        Made(0, 6, [&] { return Create(a, k180D, 1, 4); }), Sent(kCreate, "01 0200 0d18 00*14 0100 00 0400"),
        Fails(kCreate, false, create_custom(4316, 0), custom, "GATTS_CreateService"),
        Fails(kCreate, true, create_custom(4316, 0), custom, "GATTS_CreateService"),
        create_custom(0, 14), Sent(kCreate, custom),

        Returns(87, Include(0, 1)), Api("QorGattAddIncludeService illegal param"), Returns(6, Include(99, 1)),
        Api("QorGattAddIncludeService service handle not found"), Returns(6, Include(1, 99)),
        Api("QorGattAddIncludeService include service handle not found"), NothingSent(),
        Fails(kInclude, false, include, "0100 0600", "GATTS_AddIncludeService"),
        Fails(kInclude, true, include, "0100 0600", "GATTS_AddIncludeService"),

        Returns(87, [&] { return Char(0, 0x2A00); }), Api("QorGattAddCharacteristic illegal param"),
        Returns(87, [&] { return QorGattAddCharacteristic(1, nullptr, 0, 0, 0, &out); }),
        Returns(6, [&] { return Char(99, 0x2A00); }), Api("QorGattAddCharacteristic service handle not found"),
        Fails(kChar, false, add_char, char6, "GATTS_AddCharacteristic"), add_descr,
        Api("QorGattAddDescriptor no chars"), Fails(kChar, true, add_char, char6, "GATTS_AddCharacteristic"), add_descr,
        NothingSent(),
        Returns(1359, [&] { return Char(1, 0x2A01, 1, 2, kBadGuid); }), Api("ERROR QorGattAddCharacteristic crashed"),
        Made(0, 4, [&] { return Char(1, 0x2A01, 1, 2); }), Sent(kChar, "0100 0200 012a 00*14 0100 02"),

        Returns(87, [&] { return Descr(1, 0x2902, nullptr); }), Api("QorGattAddDescriptor illegal param"),
        Returns(6, [&] { return Descr(99, 0x2902); }), Api("QorGattAddDescriptor service handle not found"),
        Fails(kDescr, true, Made(4316, 0, [&] { return Descr(1, 0x2902); }), "0100 1100 0200 0229 00*14 0102 00*20",
              "GATTS_AddCharDescritptor"),
        Returns(1359, [&] { return Descr(1, 0x2902, kBadGuid); }), Api("ERROR QorGattAddDescriptor crashed"),

        Returns(87, Start(0)), Returns(1168, Start(99)), Api("QorGattStartService service handle not found"),
        Fails(kStart, false, Returns(4316, Start(1)), "01 0100 00", "GATTS_StartService", "Client connect failed"),
        Failing(kStart, VCTL_FAULT_RESULT_BYTE, 5), Returns(0, Start(1)), Sent(kStart, "01 0100 00"),

        Returns(87, Delete(0)), Returns(6, Delete(99)), Api("QorGattDeleteService service handle not found"),
        Fails(kDelete, false, Returns(0, Delete(6)), "01 0200 0d18 00*14 0100", "GATTS_DeleteService"),
        Returns(6, Delete(6)), Returns(1359, [&] { return QorGattCreateService(a, kBadGuid, 0, 1, 0, &out); }),
        NothingSent(), Returns(1, [] { return ApiLockIsFree(); }),
    });
}

TEST_F(LocalServices, ValuePushesResponsesAndAClosedChannel)
{
    ASSERT_EQ(Register(0, kApp, &a), 0u);
    ASSERT_EQ(Create(a, kCustom, 0, 3), 0u);
    scenario.SkipRequests();
    std::vector<uint8_t> value(513, 0xAA);
    LeAttrValue rsp{1, 4, 0, 2, 1, {0xBB, 0xBB}, 0};   // conn_id, handle, offset, len, auth_req, value, reserved
    Play({
        Returns(0, [&] { return GATTS_HandleValueNotification(1, 4, 3, value.data()); }),
        Sent(ZOREROVA_GATTS_NOTIFICATION, "0100 0400 0300 aaaaaa 00*509"),
        Trace("GATTS_HandleValueNotification attr_handle=4 val_len=3"),
        Returns(0, [&] { return GATTS_HandleValueIndication(2, 5, 512, value.data()); }),
        Sent(ZOREROVA_GATTS_INDICATION, "0200 0500 0002 aa*512"),
        Returns(13, [&] { return GATTS_HandleValueIndication(2, 5, 513, value.data()); }),
        Trace("GATTS_HandleValueIndication val_len=513"), NothingSent(),
        Failing(ZOREROVA_GATTS_SEND_RSP, VCTL_FAULT_RESULT_BYTE, 7),
        Returns(7, [&] { return GATTS_SendRsp(1, 0x12345678, 5, &rsp); }),
        Sent(ZOREROVA_GATTS_SEND_RSP, "0100 78563412 05 0100 0400 0000 0200 01 bbbb 00*511"),
        Trace("GATTS_SendRsp conn_id=1 trans_id=305419896 status:5"),
        Failing(ZOREROVA_GATTS_NOTIFICATION, VCTL_FAULT_STATUS, kFail),
        Returns(1, [&] { return GATTS_HandleValueNotification(1, 4, 0, value.data()); }),
        Sent(ZOREROVA_GATTS_NOTIFICATION, "0100 0400 0000 00*512"),
        Trace("GATTS_HandleValueNotification - failed - 31 nBytes 0"),
        // The reader ends on a failed read and closes the channel.
        Do([&] { ctl.FailRead(ctl.LibraryChannel(), kFail); }), Trace("GATT_DeregisterAll - exit"),
        Sent(ZOREROVA_GATT_DEREGISTER, ""), Returns(4316, Start(1)), Trace("GATTS_StartService invalid handle"),
        Returns(10, [&] { return GATTS_HandleValueIndication(1, 4, 3, value.data()); }),
        Trace("GATTS_HandleValueIndication not registered"),
        Returns(10, [&] { return GATTS_SendRsp(1, 1, 0, &rsp); }), Trace("GATTS_SendRsp not registered"),
        Made(4316, 0, [&] { return Create(a, kCustom, 1, 3); }), Trace("GATTS_CreateService invalid handle"),
        Returns(4316, Include(1, 1)), Trace("GATTS_AddIncludeService invalid handle"),
        Returns(0, Delete(1)), Trace("GATTS_DeleteService invalid handle"), Returns(6, Delete(1)), NothingSent(),
    });
}

// The second process of the test below: the same service under its own
// gatt_if 1, held until the first process lets go.
struct SecondProcess : LocalServices {
    void SetUp() override {}   // no reset: the first process's services stay
};

CHILD_PROCESS_PART(SecondProcess, HoldsAServiceUntilReleased)
{
    if (!GetEnvironmentVariableA("QORTEST_SERVER_CHILD", nullptr, 0))
        GTEST_SKIP() << "run by TwoProcessesEachDeleteOnlyTheirOwn";
    ASSERT_EQ(Register(0, kApp, &a), 0u);
    ASSERT_EQ(Create(a, k180D, 0, 2), 0u);
    ASSERT_EQ(QorGattStartService(out), 0u);
    SetEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, "QorTestServerReady"));
    EXPECT_EQ(WaitForSingleObject(OpenEventA(SYNCHRONIZE, FALSE, "QorTestServerRelease"), 20000), WAIT_OBJECT_0);
}

TEST_F(LocalServices, TwoProcessesEachDeleteOnlyTheirOwn)
{
    ASSERT_EQ(Register(0, kApp, &a), 0u);
    const uint32_t mine = ctl.LibraryChannel();
    ASSERT_EQ(Create(a, k180D, 0, 2), 0u);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "QorTestServerReady");
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "QorTestServerRelease");
    SetEnvironmentVariableA("QORTEST_SERVER_CHILD", "1");
    const intptr_t child = _spawnl(_P_NOWAIT, _pgmptr, _pgmptr, "--gtest_filter=SecondProcess.*", nullptr);
    ASSERT_NE(child, -1);
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    const uint32_t theirs = ctl.LibraryChannel();
    const std::vector<std::string> their_service = {"0004 service 180d inst 0 flag 0 end 0006 if 1 started"};
    EXPECT_EQ(LocalDbRows(ctl, mine), std::vector<std::string>{"0001 service 180d inst 0 flag 0 end 0003 if 1"});
    EXPECT_EQ(LocalDbRows(ctl, theirs), their_service);
    EXPECT_EQ(QorGattDeleteService(1), 0u);
    EXPECT_EQ(LocalDbRows(ctl), their_service);
    SetEvent(release);
    int exit_code = 1;
    EXPECT_EQ(_cwait(&exit_code, child, 0), child);
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(LocalDbRows(ctl), std::vector<std::string>{}) << "its deregistration deleted its service";
    for (HANDLE h : {ready, release})
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
            GUID g = BaseGuid(static_cast<uint16_t>(0x1800 + t));
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
    std::thread threads[] = {std::thread(work, 0), std::thread(work, 1), std::thread(work, 2), std::thread(work, 3)};
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(odd, 0);
    EXPECT_TRUE(ApiLockIsFree());
    std::set<USHORT> held;
    for (const VctlLocalAttr &r : LocalDb(ctl))
        if (r.kind == VCTL_LOCAL_SERVICE)
            held.insert(r.handle);
    // Every service the controller holds is in the table, and nothing else is:
    // each UUID and instance used above can be made again.
    for (USHORT s : held)
        EXPECT_EQ(QorGattDeleteService(s), 0u);
    for (uint16_t t = 0; t < 4; ++t)
        for (DWORD i = 0; i < 20; ++i)
            EXPECT_EQ(Create(a, BaseGuid(static_cast<uint16_t>(0x1800 + t)), i, 1), 0u);
    for (DWORD i = 0; i < 100; ++i)   // far past the 64 services the controller once held
        EXPECT_EQ(Create(a, kCustom, i, 1), 0u);
    EXPECT_EQ(LocalDb(ctl).size(), 180u) << "every service above was deleted, all 180 new ones held";
}

} // namespace
