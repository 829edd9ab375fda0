// Bad caller memory and links that drop with a read outstanding, through the
// value, connection and server exports: the process lives, the call ends
// through its guard and leaves the device free, and no read ever returns
// another attribute's value.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "peers.h"
#include "scenario.h"

namespace {

using namespace qortest;

const uint8_t kDev[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x01}, kCentral[6] = {0x00, 0xC0, 0xFF, 0xEE, 0x00, 0x09};
GUID kSvc = BaseGuid(0x180F), kLevel = BaseGuid(0x2A19), kState = BaseGuid(0x2A1A), kCccd = BaseGuid(0x2902),
     kLocal = BaseGuid(0x1815);

// Handles: service 1; 2a19 at 2, value 3 (64), its 2902 at 4; 2a1a at 5, value 6 (2122).
GattDb Db()
{
    GattDb db;
    db.Service(Uuid16(0x180F));
    db.Characteristic(Uuid16(0x2A19), 0x0A, {0x64});
    db.Descriptor(Uuid16(0x2902), {0x01, 0x00});
    db.Characteristic(Uuid16(0x2A1A), 0x0A, {0x21, 0x22});
    return db;
}

// What each readable attribute holds, as the completion callback prints it.
const char *const kValueOf[] = {"64", "2122"};
GUID *const kCharOf[] = {&kLevel, &kState};

void Tally(ULONGLONG which, DWORD rc, const LE_VALUE &v);
bool g_stressing = false;

void WINAPI OnComplete(ULONGLONG ctx, DWORD rc, PLE_VALUE v)
{
    if (g_stressing)
        return Tally(ctx, rc, *v);
    NoteFmt("complete %llu %lu %s", ctx, rc, ToHex(v->Value, v->Length).c_str());
}

// Memory as careless callers pass it: the good content at the pointer, where it
// can be read at all. Runs-out keeps all but the last byte, at most 2 bytes,
// before a no-access page.
struct BadKind {
    const char *name;
    DWORD protect;                   // 0: decommitted
    bool runs_out;
};
const BadKind kBadKinds[] = {{"read-only", PAGE_READONLY, false},
                             {"no-access", PAGE_NOACCESS, false},
                             {"guard page", PAGE_READWRITE | PAGE_GUARD, false},
                             {"decommitted", 0, false},
                             {"runs into no-access", PAGE_NOACCESS, true}};

class BadMemory {
public:
    BadMemory(const BadKind &kind, const std::vector<uint8_t> &content)
    {
        base_ = static_cast<uint8_t *>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        const size_t kept = kind.runs_out ? std::min<size_t>(2, content.size() - 1) : content.size();
        at_ = kind.runs_out ? base_ + kPage - kept : base_;
        std::memcpy(at_, content.data(), kept);
        DWORD was;
        if (kind.protect == 0)
            VirtualFree(base_, kPage, MEM_DECOMMIT);
        else
            VirtualProtect(kind.runs_out ? base_ + kPage : base_, kPage, kind.protect, &was);
    }
    ~BadMemory() { VirtualFree(base_, 0, MEM_RELEASE); }
    BadMemory(const BadMemory &) = delete;
    BadMemory &operator=(const BadMemory &) = delete;
    void *At() const { return at_; }

private:
    static constexpr size_t kPage = 4096;
    uint8_t *base_;
    uint8_t *at_;
};

class ValueFaults : public ScenarioTest {
protected:
    LE_ADDRESS dev{0x001A7DDA7201}, central{0x00C0FFEE0009};
    HQORREG reg = nullptr;
    USHORT hChar = 0;
    std::thread aside;               // a waiting read, in the link cases

    void SetUp() override
    {
        ScenarioTest::SetUp();
        ASSERT_TRUE(StoreByPairing(ctl, trace, kDev, Db(), dev.ullLong)) << trace.Dump();
        LE_ADDRESS any{};
        GUID app = {0xA11CE0F1, 0, 0, {0}};
        ASSERT_EQ(QorGattRegister(&any, &app, nullptr, OnComplete, nullptr, nullptr, &reg), 0u);
        ctl.AddDevice(kDev, Db(), 0);
        LinkUp(kDev, 5);
        scenario.SkipRequests();
    }
    void TearDown() override
    {
        if (aside.joinable()) {
            ReleaseHeld(ctl);
            aside.join();
        }
        QorGattDeregister(reg);
    }
    // Raises the link and waits until the registration hears of this raise,
    // not of an earlier one of the same link.
    void LinkUp(const uint8_t bda[6], uint16_t conn_id)
    {
        const std::string up = Fmt("***QorLeApi:ConnectCallback gatt_if:1 bda:%s conn_id:%d connected:1",
                                   ToHex(bda, 6, false).c_str(), conn_id);
        const size_t before = trace.Count(up);
        qortest::LinkUp(ctl, bda, conn_id);
        ASSERT_TRUE(trace.WaitForCount(up, before + 1)) << trace.Dump();
    }
    // A started local service with one characteristic, and the central connected.
    void Serve()
    {
        USHORT s = 0;
        ASSERT_EQ(QorGattCreateService(reg, &kLocal, 0, 4, 0, &s), 0u);
        ASSERT_EQ(QorGattAddCharacteristic(s, &kLevel, 0, 0x11, 0x12, &hChar), 0u);
        ASSERT_EQ(QorGattStartService(s), 0u);
        AddCentral(ctl, kCentral);
        LinkUp(kCentral, 6);
    }
    // A waiting read of attribute `which` (0: 2a19, 1: 2a1a) into v.
    DWORD Read(int which, LE_VALUE *v, DWORD wait = 1, ULONGLONG context = 0)
    {
        return QorGattReadCharacteristic(reg, &dev, &kSvc, 0, kCharOf[which], 0, 0, v, wait, context);
    }
    Step Reads(DWORD code, int which, const char *value = nullptr)
    {
        return Returns(1, [=] {
            LE_VALUE v{};
            return Read(which, &v) == code && (!value || ToHex(v.Value, v.Length) == value);
        });
    }
    Step Drop() { return Do([this] { ctl.SetLink(kDev, false); }); }
    Step Raise() { return Do([this] { LinkUp(kDev, 5); }); }
    Step Hold() { return Do([this] { ctl.ArmFault(ZOREROVA_GATTC_READ, VCTL_FAULT_HOLD_EVENT); }); }
    Step Releases(uint64_t held) { return Returns(held, [this] { return ReleaseHeld(ctl); }); }
};

// One bad argument of one export: the call, given the bad pointer, and what it
// returns on read-only memory (the other kinds give `crashed`).
struct BadArgument {
    const char *what;
    const char *crash_line;          // the export's crash trace, if it has one
    std::vector<uint8_t> content;
    DWORD read_only;
    DWORD crashed;
    std::function<DWORD(void *)> call;
};

// Every kind of bad memory for every pointer the exports read or fill: no
// death, the crash line where the export has one, and the device, its slot
// and the service table usable at once afterwards.
TEST_F(ValueFaults, BadMemoryEndsTheCallAndLeavesNothingBehind)
{
    Serve();
    LE_VALUE one{1, {0x5A}}, v{};
    const auto value = Bytes(&one, sizeof one.Length + 1), guid = Bytes(&kLevel, sizeof kLevel);
    const auto address = Bytes(&dev, sizeof dev), to = Bytes(&central, sizeof central);
    auto read = [&](void *a, GUID *chr, void *value) {
        return QorGattReadCharacteristic(reg, static_cast<PLE_ADDRESS>(a), &kSvc, 0, chr, 0, 0,
                                         static_cast<PLE_VALUE>(value), 1, 0);
    };
    auto write = [&](void *value) {
        return QorGattWriteCharacteristic(reg, &dev, &kSvc, 0, &kState, 0, 0, static_cast<PLE_VALUE>(value), 1, 0);
    };
    auto descr = [&](bool write, void *value) {
        auto fn = write ? QorGattWriteDescriptor : QorGattReadDescriptor;
        return fn(reg, &dev, &kSvc, 0, &kLevel, 0, &kCccd, 0, static_cast<PLE_VALUE>(value), 1, 0);
    };
    auto change = [&](void *a, void *value) {
        return QorGattCharValueChanged(static_cast<PLE_ADDRESS>(a), hChar, 0, static_cast<PLE_VALUE>(value));
    };
    // A service created, given a characteristic, and deleted again.
    auto serve = [&](void *guid, void *service, void *chr) {
        auto *s = static_cast<USHORT *>(service);
        const DWORD rc = QorGattCreateService(reg, static_cast<GUID *>(guid), 0, 4, 0, s);
        if (rc)
            return rc;
        const DWORD added = QorGattAddCharacteristic(*s, &kLevel, 0, 1, 2, static_cast<USHORT *>(chr));
        return QorGattDeleteService(*s) | added;
    };
    USHORT s = 0, h = 0;
    GUID g{};
    const std::vector<BadArgument> rows = {
        {"read pValue", "QorGattReadCharacteristic", value, 1359, 1359,
         [&](void *p) { return read(&dev, &kLevel, p); }},
        {"read pAddress", "QorGattReadCharacteristic", address, 0, 1359, [&](void *p) { return read(p, &kLevel, &v); }},
        {"read pGuidChar", "QorGattReadCharacteristic", guid, 0, 1359,
         [&](void *p) { return read(&dev, static_cast<GUID *>(p), &v); }},
        {"read descriptor pValue", "QorGattReadDescriptor", value, 1359, 1359,
         [&](void *p) { return descr(false, p); }},
        {"write pValue", "QorGattWriteCharacteristic", value, 1359, 1359, [&](void *p) { return write(p); }},
        {"write descriptor pValue", "QorGattWriteDescriptor", value, 5, 5, [&](void *p) { return descr(true, p); }},
        {"value change pValue", "QorGattCharValueChanged", value, 0, 1359,
         [&](void *p) { return change(&central, p); }},
        {"value change pAddress", "QorGattCharValueChanged", to, 0, 1359, [&](void *p) { return change(p, &one); }},
        {"connect pAddress", "QorGattConnect", address, 0x8000000A, 1359,
         [&](void *p) { return QorGattConnect(reg, static_cast<PLE_ADDRESS>(p), 0); }},
        {"create service pGuidService", nullptr, guid, 0, 1359, [&](void *p) { return serve(p, &s, &h); }},
        {"create service phService", nullptr, {0, 0}, 1359, 1359, [&](void *p) { return serve(&kSvc, p, &h); }},
        {"add characteristic phChar", "QorGattAddCharacteristic", {0, 0}, 1359, 1359,
         [&](void *p) { return serve(&kSvc, &s, p); }},
        {"enum characteristic pAddress", nullptr, address, 259, 1359,
         [&](void *p) { return QorGattEnumCharacteristic(static_cast<PLE_ADDRESS>(p), 0xFFFF, 0, &g, &h); }},
        {"enum descriptor pAddress", nullptr, address, 259, 1359,
         [&](void *p) { return QorGattEnumDescriptor(static_cast<PLE_ADDRESS>(p), 0xFFFF, 1, 0, &g, &h); }},
    };
    const Script intact = {Reads(0, 0, "64"), Returns(0, [&] { return change(&central, &one); }),
                           Returns(0, [&] { return serve(&kSvc, &s, &h); })};
    for (const BadArgument &row : rows) {
        for (const BadKind &kind : kBadKinds) {
            SCOPED_TRACE(std::string(row.what) + " in " + kind.name);
            const std::string crashed = Fmt("***QorLeApi:ERROR %s crashed", row.crash_line ? row.crash_line : "-");
            const size_t before = trace.Count(crashed);
            BadMemory bad(kind, row.content);
            const bool read_only = kind.protect == PAGE_READONLY;
            EXPECT_EQ(row.call(bad.At()), read_only ? row.read_only : row.crashed);
            const bool faulted = !read_only || row.read_only == row.crashed;
            EXPECT_EQ(trace.Count(crashed) - before, row.crash_line && faulted ? 1u : 0u);
            EXPECT_TRUE(Play(intact));
        }
    }
}

// A read outstanding when its link drops ends then: one not waited for in the
// completion callback, a waiting one by its return, both with 2250. Its
// completion, held across the drop and the raise, ends no read of the new link:
// released before the new read's own (traced) or after it (nobody waits).
TEST_F(ValueFaults, CompletionOfAnEarlierLinkEndsNoReadOfTheNext)
{
    LE_VALUE v{};
    DWORD waited = 0;
    const Step level = Sent(ZOREROVA_GATTC_READ, "0500 02 00 00 0300 00*20");
    auto waiting = [&](int which) {
        return Do([&, which] { aside = std::thread([&, which] { waited = Read(which, &v); }); });
    };
    auto joined = [&](DWORD code) { return Returns(code, [&] { return aside.join(), waited; }); };
    Play({Hold(), Returns(997, [&] { return Read(0, &v, 0, 7); }), level, Drop(), Callback("complete 7 2250 "), Raise(),
          Hold(), waiting(1), Sent(ZOREROVA_GATTC_READ, "0500 02 00 00 0600 00*20"), Releases(2),
          Trace("***QorLeApi:ERROR CompleteCallback read of handle:3 is not the outstanding read of handle:6"),
          joined(0), Returns(1, [&] { return ToHex(v.Value, v.Length) == "2122"; })});
    Play({Hold(), waiting(0), level, Drop(), joined(2250),
          Trace("***QorLeApi:ERROR QorGattReadCharacteristic abandoned while waiting for write to complete"), Raise(),
          Reads(0, 1, "2122"), Releases(1), Trace("***QorLeApi:CompleteCallback nobody waits for read/write complete"),
          Reads(0, 0, "64")});
}

// The stress run: 8 client threads read both attributes, waiting or not,
// while the link drops and comes back; in each cycle one read's completion is
// held across the drop and the raise. Every value must be its attribute's.
// QORLE_DROP_CYCLES sets the number of cycles (scripts/drop-run.sh: 1000).
std::atomic<int> g_wrong{0}, g_good{0}, g_other{0};

// A read's result: its value checked, or a code a read under link drops may
// end with (the others counted).
void Tally(ULONGLONG which, DWORD rc, const LE_VALUE &v)
{
    if (rc == 0 && ToHex(v.Value, v.Length) != kValueOf[which])
        ++g_wrong;
    else if (rc == 0)
        ++g_good;
    else if (rc == ERROR_SERVICE_ALREADY_RUNNING)
        SwitchToThread();
    else if (rc != ERROR_IO_PENDING && rc != ERROR_NOT_CONNECTED && rc != ERROR_INTERNAL_ERROR)
        ++g_other;
}

// During the run the trace only counts the reads sent; then it goes to the
// capture again.
HANDLE g_sent;
TraceCapture *g_capture;
constexpr DWORD kSendWaitMs = 1000;   // a cycle goes on without the read it waits for

void WINAPI CountReads(const char *line)
{
    if (std::strncmp(line, "GATTC_Read conn_id=5 type=2", 27) == 0)
        ReleaseSemaphore(g_sent, 1, nullptr);
}

void WINAPI ToCapture(const char *line) { g_capture->Add(line); }

TEST_F(ValueFaults, EveryReadUnderLinkDropsGetsItsOwnAttributesValue)
{
    const char *env = std::getenv("QORLE_DROP_CYCLES");
    const int cycles = env ? std::atoi(env) : 100;
    g_stressing = true;
    g_capture = &trace;
    g_sent = CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
    QorGattSetTraceFunction(CountReads);
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&, t] {
            for (ULONGLONG n = t; !done; ++n) {
                LE_VALUE v{};
                const int which = n % 2;
                const DWORD wait = t % 4 != 0;
                Tally(which, Read(which, &v, wait, which), v);
            }
        });
    }
    // Each cycle lets three reads go out, holds the completion of a read sent
    // after that, drops the link, raises it and releases what was held. A hold
    // armed in one cycle may catch a read of the next link only: the next cycle
    // begins by releasing it, since that read's slot blocks every other read.
    for (int c = 0; c < cycles; ++c) {
        ReleaseHeld(ctl);
        for (int n = 0; n < 3; ++n)
            WaitForSingleObject(g_sent, kSendWaitMs);
        while (WaitForSingleObject(g_sent, 0) == WAIT_OBJECT_0) {
        }
        ctl.ArmFault(ZOREROVA_GATTC_READ, VCTL_FAULT_HOLD_EVENT);
        WaitForSingleObject(g_sent, kSendWaitMs);
        ctl.SetLink(kDev, false);
        qortest::LinkUp(ctl, kDev, 5);
        ReleaseHeld(ctl);
    }
    done = true;
    for (std::thread &r : readers)
        r.join();
    QorGattSetTraceFunction(ToCapture);
    CloseHandle(g_sent);
    std::printf("%d cycles: %d reads with their value, %d with another's, %d other failures\n", cycles,
                g_good.load(), g_wrong.load(), g_other.load());
    EXPECT_EQ(g_wrong, 0);
    EXPECT_EQ(g_other, 0);
    EXPECT_GT(g_good, 0);
    ctl.Reset();   // holds still armed
    ctl.AddDevice(kDev, Db(), 0);
    LinkUp(kDev, 5);
    EXPECT_TRUE(Play({Reads(0, 0, "64"), Reads(0, 1, "2122")}));
    g_stressing = false;
}

} // namespace
