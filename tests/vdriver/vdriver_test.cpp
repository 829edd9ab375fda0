// The virtual controller seen through raw channels: the contract's sizes and
// answers, the request log, event delivery and routing, armed faults, and the
// simulated remote devices. Requests and events are written as bytes.
#include <cstring>
#include <memory>

#include "scenario.h"

namespace {

using namespace qortest;

const uint8_t kA[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
const uint8_t kB[6] = {0xC0, 0xFF, 0xEE, 0x00, 0x00, 0x02};
const uint8_t kC[6] = {0xC0, 0xFF, 0xEE, 0x00, 0x00, 0x03};
const GUID kService128 = {0x7A1C0001, 0x3D52, 0x4E8B, {0x9C, 0x61, 0x2F, 0x0A, 0x5B, 0x8D, 0x4E, 0x17}};
// A completion of a read whose handle numbers it.
std::string Numbered(int n) { return Fmt("f8 0000 02 00 0000 %02x00", n); }

void ExpectEvent(const ZrEvent &ev, const std::string &hex)
{ EXPECT_EQ(ToHex(ev.raw, Hex(hex).size()), ToHex(Hex(hex).data(), Hex(hex).size())); }

class Vdriver : public ControllerTest {
protected:
    DeviceChannel ch;
    void SetUp() override { ControllerTest::SetUp(); ASSERT_TRUE(ch.Register()); }
    DWORD Send(const std::string &hex, uint32_t code, DeviceChannel &on, void *out = nullptr, DWORD out_len = 0,
               DWORD *got = nullptr)
    { return on.Call(code, Hex(hex).data(), static_cast<DWORD>(Hex(hex).size()), out, out_len, got); }
    DWORD Send(const std::string &hex, uint32_t code) { return Send(hex, code, ch); }
    // The next queued events of a channel start with these bytes; then none is queued.
    void Events(const std::vector<std::string> &want, DeviceChannel *on = nullptr)
    {
        for (const std::string &hex : want) {
            PendingRead read;
            ASSERT_EQ((on ? on : &ch)->StartRead(read), 0u) << "no event for " << hex;
            ExpectEvent(read.event, hex);
        }
        EXPECT_EQ(Stat(on ? on->Id() : ch.Id(), &VctlChannelStats::queued_events), 0u);
    }
    uint32_t Stat(uint32_t id, uint32_t VctlChannelStats::*field)
    { const VctlChannelStats *s = Controller::Channel(ctl.Stats(), id); return s ? s->*field : 0xFFFFFFFF; }
    // Starts a read on each of these channels; every one stays pending.
    std::vector<std::unique_ptr<PendingRead>> Pending(std::initializer_list<DeviceChannel *> on)
    {
        std::vector<std::unique_ptr<PendingRead>> reads;
        for (DeviceChannel *c : on) {
            reads.push_back(std::make_unique<PendingRead>());
            EXPECT_EQ(c->StartRead(*reads.back()), (DWORD)ERROR_IO_PENDING);
        }
        return reads;
    }
};

// Wrong sizes are refused before anything is done; the right ones are answered
// at once with the output of the code.
TEST_F(Vdriver, EveryCodeChecksItsSizesAndAnswersAtOnce)
{
    const struct { uint32_t code; DWORD in, out;
    } rows[] = {
        {ZOREROVA_GATT_REGISTER, 18, 1},        {ZOREROVA_GATT_DEREGISTER, 0, 0},
        {ZOREROVA_GATT_CONNECT, 8, 0},          {ZOREROVA_GATT_CANCEL_CONNECT, 8, 0},
        {ZOREROVA_GATTC_DISCOVER, 25, 0},       {ZOREROVA_GATTC_READ, 27, 0},
        {ZOREROVA_GATTC_WRITE, 525, 1},         {ZOREROVA_GATTC_CONFIRM, 4, 0},
        {ZOREROVA_GATTS_CREATE_SERVICE, 24, 2}, {ZOREROVA_GATTS_ADD_INCLUDE, 4, 2},
        {ZOREROVA_GATTS_ADD_CHAR, 23, 2},       {ZOREROVA_GATTS_ADD_DESCR, 44, 2},
        {ZOREROVA_GATTS_START_SERVICE, 4, 1},   {ZOREROVA_GATTS_INDICATION, 518, 1},
        {ZOREROVA_GATTS_NOTIFICATION, 518, 1},  {ZOREROVA_GATTS_SEND_RSP, 529, 1},
        {ZOREROVA_GATTS_DELETE_SERVICE, 21, 0}, {ZOREROVA_GATT_READ_EVENT, 0, ZOREROVA_EVENT_SIZE},
    };
    uint8_t in[600], out[600];
    DWORD got = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(Fmt("code 0x%08x", row.code));
        std::memset(in, 0, sizeof in);
        in[22] = row.code == ZOREROVA_GATTS_CREATE_SERVICE ? 4 : 0;   // four handles, from handle 1
        in[0] = row.code == ZOREROVA_GATTS_ADD_INCLUDE || row.code == ZOREROVA_GATTS_ADD_CHAR ||
                row.code == ZOREROVA_GATTS_ADD_DESCR;                   // that service
        in[1] = row.code == ZOREROVA_GATTS_START_SERVICE;
        in[2] = row.code == ZOREROVA_GATTS_ADD_INCLUDE;                  // which includes itself
        EXPECT_EQ(ch.Call(row.code, in, row.in + 1, out, row.out), (DWORD)ERROR_INVALID_PARAMETER);
        const DWORD short_in = row.in ? ch.Call(row.code, in, row.in - 1, out, row.out) : ERROR_INVALID_PARAMETER;
        EXPECT_EQ(short_in, (DWORD)ERROR_INVALID_PARAMETER);
        const DWORD short_out = row.out ? ch.Call(row.code, in, row.in, out, row.out - 1) : ERROR_INSUFFICIENT_BUFFER;
        EXPECT_EQ(short_out, (DWORD)ERROR_INSUFFICIENT_BUFFER);
        if (row.code == ZOREROVA_GATT_READ_EVENT)
            continue;
        out[0] = 0xEE;
        EXPECT_EQ(ch.Call(row.code, in, row.in, out, 16, &got), 0u);
        EXPECT_EQ(got, row.out);
        EXPECT_EQ(row.out == 1 ? out[0] : 0, row.code == ZOREROVA_GATT_REGISTER ? 1 : 0);   // the result byte
    }
}

TEST_F(Vdriver, ServicesHandOutHandlesInsideTheirRange)
{
    uint16_t s1 = 0, h = 0;
    ASSERT_EQ(Send("01 0200 0f18 00*14 0000 00 0300", ZOREROVA_GATTS_CREATE_SERVICE, ch, &s1, 2), 0u);
    h = s1 + 4;   // the second service, right after the first one's four handles
    const std::string first = Le16(s1);
    const std::string second = Le16(h);
    const struct { uint32_t code; std::string in; DWORD err; uint16_t handle; } rows[] = {
        {ZOREROVA_GATTS_CREATE_SERVICE, "01 0200 0a18 00*14 0000 00 0200", 0, h},
        {ZOREROVA_GATTS_ADD_CHAR, first + " 00*21", 0, uint16_t(s1 + 2)},   // the value, after the declaration
        {ZOREROVA_GATTS_ADD_DESCR, first + " 00*42", 0, uint16_t(s1 + 3)},
        {ZOREROVA_GATTS_ADD_DESCR, first + " 00*42", ERROR_NO_SYSTEM_RESOURCES, 0},   // used up
        {ZOREROVA_GATTS_ADD_CHAR, second + " 00*21", 0, uint16_t(h + 2)},
        {ZOREROVA_GATTS_ADD_CHAR, "7777 00*21", ERROR_NOT_FOUND, 0},
    };
    for (const auto &row : rows) {
        uint16_t got = 0;
        EXPECT_EQ(Send(row.in, row.code, ch, &got, 2), row.err) << row.in;
        EXPECT_EQ(got, row.handle) << row.in;
    }
}

TEST_F(Vdriver, LogHoldsEveryRequestByteForByteAndKeepsTheNewest)
{
    Scenario log(ctl, trace);
    log.SkipRequests();
    ctl.ArmFault(ZOREROVA_GATTC_WRITE, VCTL_FAULT_STATUS, 0xC0000022u /* access denied */, 2, 1);
    const std::string write = "0700 02 0000 2100 0000 0300 00 010203 00*510";
    uint8_t result = 0xEE;
    for (DWORD want : {DWORD(0), DWORD(ERROR_ACCESS_DENIED), DWORD(ERROR_ACCESS_DENIED), DWORD(0)})
        EXPECT_EQ(Send(write, ZOREROVA_GATTC_WRITE, ch, &result, 1), want);
    EXPECT_EQ(Send("0100 0200 00", ZOREROVA_GATTC_CONFIRM), (DWORD)ERROR_INVALID_PARAMETER);
    PendingRead read;
    ASSERT_EQ(ch.StartRead(read), (DWORD)ERROR_IO_PENDING);   // not logged
    EXPECT_TRUE(log.Play({Sent(ZOREROVA_GATTC_WRITE, write, "00"), Sent(ZOREROVA_GATTC_WRITE, write, ""),
                          Sent(ZOREROVA_GATTC_WRITE, write, ""), Sent(ZOREROVA_GATTC_WRITE, write, "00"),
                          Sent(ZOREROVA_GATTC_CONFIRM, "0100 0200 00"), NothingSent()}));
    std::vector<VctlLogEntry> entries = ctl.Log();
    ASSERT_EQ(entries.size(), 6u);   // the register request first
    // The armed status, the refused confirmation's status, the requesting channel.
    EXPECT_EQ(Fmt("%08x %08x %u", entries[2].status, entries[5].status, entries[1].channel),
              Fmt("c0000022 c000000d %u", ch.Id()));

    for (uint32_t i = 0; i < VCTL_LOG_CAPACITY; ++i)
        ASSERT_EQ(Send("", ZOREROVA_GATT_DEREGISTER), 0u);
    ASSERT_EQ(ctl.Log().size(), (size_t)VCTL_LOG_CAPACITY);
    EXPECT_EQ(ctl.Log().front().seq, 6u);
    ctl.Reset();
    EXPECT_TRUE(ctl.Log().empty());
}

TEST_F(Vdriver, EventsFillReadsAndQueueInPostOrderUpToTheCapacity)
{
    auto reads = Pending({&ch, &ch, &ch});
    ASSERT_EQ(ctl.WaitLibraryReady(3), ch.Id());
    const uint32_t capacity = ctl.Stats().queue_capacity;
    for (uint32_t n = 0; n < 3 + capacity + 1; ++n)
        ctl.PostEvent(Record(Numbered(n & 0xFF)));
    EXPECT_EQ(Stat(ch.Id(), &VctlChannelStats::delivered), 3u);   // counted as the post completes them
    EXPECT_EQ(Stat(ch.Id(), &VctlChannelStats::queued_events), capacity);
    EXPECT_EQ(Stat(ch.Id(), &VctlChannelStats::overflow), 1u);
    for (int n = 0; n < 6; ++n) {   // three completed reads, then three queued events
        PendingRead fresh, &read = n < 3 ? *reads[n] : fresh;
        ASSERT_EQ(n < 3 ? ch.FinishRead(read) : ch.StartRead(read), 0u);
        ExpectEvent(read.event, Numbered(n));
    }
}

TEST_F(Vdriver, CancelCloseAndFailEndPendingReads)
{
    DeviceChannel other;
    auto reads = Pending({&ch, &ch, &other, &other, &other});
    ctl.FailRead(ch.Id(), 0xC000009Du);   // the oldest read only
    EXPECT_EQ(ch.FinishRead(*reads[0]), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ch.FinishRead(*reads[1], 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(CancelIo(ch.Handle()));
    EXPECT_EQ(ch.FinishRead(*reads[1]), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Stat(ch.Id(), &VctlChannelStats::reads_cancelled), 1u);
    const uint32_t id = other.Id();
    other.Close();
    for (int i = 2; i < 5; ++i) {
        ASSERT_EQ(WaitForSingleObject(reads[i]->ov.hEvent, 5000), WAIT_OBJECT_0);
        EXPECT_EQ(reads[i]->ov.Internal, 0xC0000120u) << "cancelled";
    }
    EXPECT_EQ(Stat(id, &VctlChannelStats::reads_cancelled), 3u);
    EXPECT_EQ(Stat(id, &VctlChannelStats::open), 0u);
    ctl.Reset();
    EXPECT_EQ(Controller::Channel(ctl.Stats(), id), nullptr);
}

TEST_F(Vdriver, RoutingFollowsTheKindOfEvent)
{
    DeviceChannel other, bystander;
    ASSERT_TRUE(other.Register());
    const std::string connection = "ff 001a7dda7113 0000 01";
    ctl.PostEvent(Record(connection));                      // every registered channel
    for (DeviceChannel *on : {&ch, &other})
        Events({connection}, on);
    ASSERT_EQ(Send("0000 0000", ZOREROVA_GATTC_CONFIRM), 0u);   // ch requested last
    ctl.PostEvent(Record(Numbered(1)));
    ctl.PostEvent(Record("fc 0000 01 00"));
    Events({Numbered(1), "fc 0000 01 00"});
    uint16_t service = 0;
    ASSERT_EQ(Send("01 0200 0018 00*14 0000 00 0500", ZOREROVA_GATTS_CREATE_SERVICE, ch, &service, 2), 0u);
    ASSERT_EQ(Send("0000 0000", ZOREROVA_GATTC_CONFIRM, other), 0u);   // other requested last
    ctl.PostEvent(Record(Numbered(2)));
    for (int k : {5, 6})   // ch's service; nobody's, which goes to the newest
        ctl.PostEvent(Record(Fmt("f9 0000 09000000 01 %02x00", service + k)));
    Events({Fmt("f9 0000 09000000 01 %02x00", service + 5)});
    Events({Numbered(2), Fmt("f9 0000 09000000 01 %02x00", service + 6)}, &other);
    for (auto [n, to] : {std::pair<int, uint32_t>{3, VCTL_CHANNEL_ALL}, {4, ch.Id()}, {5, bystander.Id()}})
        ctl.PostEvent(Record(Numbered(n)), to);
    Events({Numbered(3), Numbered(4)});
    Events({Numbered(3)}, &other);
    Events({Numbered(5)}, &bystander);   // unregistered: only what is addressed to it
}

TEST_F(Vdriver, FaultsShapeTheAnswer)
{
    uint8_t out[2] = {0xEE, 0xEE};
    DWORD got = 0;
    ctl.ArmFault(ZOREROVA_GATTS_CREATE_SERVICE, VCTL_FAULT_SHORT_OUTPUT, 1);
    EXPECT_EQ(Send("01 0200 0f18 00*14 0000 00 0200", ZOREROVA_GATTS_CREATE_SERVICE, ch, out, 2, &got), 0u);
    EXPECT_EQ(got, 1u);
    ctl.ArmFault(ZOREROVA_GATTS_NOTIFICATION, VCTL_FAULT_RESULT_BYTE, 2);
    EXPECT_EQ(Send("00*518", ZOREROVA_GATTS_NOTIFICATION, ch, out, 1), 0u);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(Send("00*518", ZOREROVA_GATTS_NOTIFICATION, ch, out, 1), 0u);
    EXPECT_EQ(out[0], 0);

    ctl.ArmFault(ZOREROVA_GATT_CONNECT, VCTL_FAULT_PEND);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(DeviceIoControl(ch.Handle(), ZOREROVA_GATT_CONNECT, Hex("01 001a7dda7113 01").data(), 8, nullptr, 0,
                                 &got, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_CONNECT).at(0).status, 0x103u) << "logged as pending";
    ctl.Reset();
    EXPECT_FALSE(GetOverlappedResult(ch.Handle(), &ov, &got, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    CloseHandle(ov.hEvent);

    // Wine hands out the handle before the driver sees the open: a refused open
    // is a handle on which every request fails.
    ctl.ArmFault(0, VCTL_FAULT_REFUSE_OPEN, 0xC0000022u, 1, 1);
    const VctlStats before = ctl.Stats();
    DeviceChannel skipped, refused, later;
    EXPECT_EQ((std::vector<bool>{skipped.Register(), refused.Register(), later.Register()}),
              (std::vector<bool>{true, false, true}));
    EXPECT_EQ(ctl.Stats().refused_opens, before.refused_opens + 1);
    uint8_t big[64] = {};
    EXPECT_EQ(ctl.Raw(VCTL_POST_EVENT, big, 10, nullptr, 0), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ctl.Raw(VCTL_GET_STATS, nullptr, 0, big, 8), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(ctl.Raw(0x017A3FFC, nullptr, 0, nullptr, 0), (DWORD)ERROR_INVALID_FUNCTION);
}

// Remote devices: 1 service 1800 (to 3) with characteristic 2A00 "Qor" at 2/3;
// 4 service (128-bit, to 11) including 1-3, characteristic 2A19 at 6/7 with a
// client configuration (8) and a user description whose reads are refused (9),
// a 128-bit characteristic at 10/11 whose writes are refused.
class Remote : public Vdriver {
protected:
    void SetUp() override
    {
        Vdriver::SetUp();
        GattDb db;
        db.Service(Uuid16(0x1800));
        db.Characteristic(Uuid16(0x2A00), 0x02, {'Q', 'o', 'r'});
        db.Service(Uuid128(kService128));
        db.Include(1, 3, 0x1800);
        db.Characteristic(Uuid16(0x2A19), 0x1A, {0x64});
        db.Descriptor(Uuid16(0x2902), {0x00, 0x00});
        db.Descriptor(Uuid16(0x2901), {'b'}, 0x05);
        db.Characteristic(Uuid128(kService128), 0x08, {}, 0, 0x03);
        ctl.AddDevice(kA, db);
        ctl.AddDevice(kB, db);
        GattDb included;   // kC: a 16-bit service including a 128-bit one
        included.Service(Uuid128(kService128));
        included.Service(Uuid16(0x180F));
        included.Include(1, 1);
        ctl.AddDevice(kC, included);
    }
};

TEST_F(Remote, ConnectionsTakeTheLowestFreeConnId)
{
    DeviceChannel other;
    ASSERT_TRUE(other.Register());
    for (const char *to : {"01 001a7dda7113 01", "01 c0ffee000002 01"})
        EXPECT_EQ(Send(to, ZOREROVA_GATT_CONNECT), 0u);
    for (DeviceChannel *on : {&ch, &other})
        Events({"ff 001a7dda7113 0000 01", "ff c0ffee000002 0100 01"}, on);
    ctl.SetLink(kA, false);
    Events({"ff 001a7dda7113 0000 00"});
    for (int i = 0; i < 2; ++i)   // the second time connected: not again
        EXPECT_EQ(Send("01 001a7dda7113 01", ZOREROVA_GATT_CONNECT), 0u);
    Events({"ff 001a7dda7113 0000 01"});
    ctl.RemoveDevice(kA);
    Events({"ff 001a7dda7113 0000 00"});
    ctl.AddDevice(kA, GattDb(), VCTL_DEV_REFUSE_CONNECT);
    EXPECT_EQ(Send("01 001a7dda7113 01", ZOREROVA_GATT_CONNECT), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    ctl.AddDevice(kA, GattDb(), 0);   // waits for SetLink
    EXPECT_EQ(Send("01 001a7dda7113 01", ZOREROVA_GATT_CONNECT), 0u);
    EXPECT_EQ(Send("01 090909090909 01", ZOREROVA_GATT_CONNECT), 0u);   // unknown: left to the test
    Events({});
    ctl.SetLink(kA, true);
    Events({"ff 001a7dda7113 0000 01"});
    // The links end when the last registered channel goes.
    ASSERT_EQ(Send("", ZOREROVA_GATT_DEREGISTER) | Send("", ZOREROVA_GATT_DEREGISTER, other), 0u);
    ASSERT_TRUE(ch.Register());
    EXPECT_EQ(Send("01 c0ffee000002 01", ZOREROVA_GATT_CONNECT), 0u);
    Events({"ff c0ffee000002 0000 01"});
}

TEST_F(Remote, DiscoveryReadsAndWritesAnswerFromTheDatabase)
{
    const std::string uuid128 = "1000 01001c7a 523d 8b4e 9c612f0a5b8d4e17";
    ctl.ArmFault(ZOREROVA_GATTC_WRITE, VCTL_FAULT_RESULT_BYTE, 2, 1, 3);   // after the table's first ones
    ctl.ArmFault(ZOREROVA_GATTC_READ, VCTL_FAULT_EVENT_STATUS, 0x0E, 1, 3);
    ctl.ArmFault(ZOREROVA_GATTC_DISCOVER, VCTL_FAULT_EVENT_STATUS, 0x81, 1, 5);
    const struct { std::string request; uint32_t code; std::vector<std::string> events; } rows[] = {
        {"01 c0ffee000002 01", ZOREROVA_GATT_CONNECT, {"ff c0ffee000002 0000 01"}},
        {"00*18 0000 0100 ffff 01", ZOREROVA_GATTC_DISCOVER,
         {"fd 0000 01 0200 0028 00*14 0100 0300 0200 0018 00*14",
          "fd 0000 01 0200 0028 00*14 0400 0b00 " + uuid128, "fc 0000 01 00"}},
        {"00*18 0000 0200 0300 01", ZOREROVA_GATTC_DISCOVER, {"fc 0000 01 00"}},   // outside the range
        {"00*18 0000 0400 0b00 03", ZOREROVA_GATTC_DISCOVER,
         {"fd 0000 03 0200 0228 00*14 0500 0200 0018 00*14 0100 0300", "fc 0000 03 00"}},
        {"00*18 0000 0400 0b00 04", ZOREROVA_GATTC_DISCOVER,
         {"fd 0000 04 0200 0328 00*14 0600 1a 00 0700 0200 192a 00*14",
          "fd 0000 04 0200 0328 00*14 0a00 08 00 0b00 " + uuid128, "fc 0000 04 00"}},
        {"00*18 0000 0800 0900 05", ZOREROVA_GATTC_DISCOVER,
         {"fd 0000 05 0200 0229 00*14 0800", "fd 0000 05 0200 0129 00*14 0900", "fc 0000 05 00"}},
        {"0000 02 01 00 0300 00*20", ZOREROVA_GATTC_READ, {"f8 0000 02 00 0000 0300 0000 0300 01 516f72"}},
        {"0000 02 01 00 0900 00*20", ZOREROVA_GATTC_READ, {"f8 0000 02 05 0000 0900 0000 0000"}},
        {"0000 02 01 00 9900 00*20", ZOREROVA_GATTC_READ, {"f8 0000 02 01 0000 9900"}},
        {"0000 02 0000 0800 0000 0200 00 0100 00*511", ZOREROVA_GATTC_WRITE, {"f8 0000 03 00 0000 0800"}},
        {"0000 02 0000 0b00 0000 0100 00 41 00*512", ZOREROVA_GATTC_WRITE, {"f8 0000 03 03 0000 0b00"}},
        {"0000 01 0000 0b00 0000 0100 00 42 00*512", ZOREROVA_GATTC_WRITE, {"f8 0000 03 00 0000 0b00"}},
        // Armed faults: a refused write has no event; the others carry the status.
        {"0000 02 0000 0800 0000 0200 00 0200 00*511", ZOREROVA_GATTC_WRITE, {}},
        {"0000 02 01 00 0300 00*20", ZOREROVA_GATTC_READ, {"f8 0000 02 0e 0000 0300 0000 0000"}},
        {"00*18 0000 0100 ffff 01", ZOREROVA_GATTC_DISCOVER, {"fc 0000 01 81"}},
        // An included 128-bit service: the declaration carries only the range, the
        // UUID comes from the service itself.
        {"01 c0ffee000003 01", ZOREROVA_GATT_CONNECT, {"ff c0ffee000003 0100 01"}},
        {"00*18 0100 0100 ffff 03", ZOREROVA_GATTC_DISCOVER,
         {"fd 0100 03 0200 0228 00*14 0300 1000 01001c7a 523d 8b4e 9c612f0a5b8d4e17 0100 0100", "fc 0100 03 00"}},
        {"00*18 0500 0100 ffff 01", ZOREROVA_GATTC_DISCOVER, {}},   // no device: left to the test
        {"0500 02 01 00 0300 00*20", ZOREROVA_GATTC_READ, {}},
    };
    for (const auto &row : rows) {
        uint8_t result = 0xEE;
        EXPECT_EQ(Send(row.request, row.code, ch, &result, row.code == ZOREROVA_GATTC_WRITE), 0u) << row.request;
        Events(row.events);
    }
    EXPECT_TRUE(ctl.AttrValue(kB, 11).empty()) << "refused writes are not stored";
    EXPECT_EQ(ToHex(ctl.AttrValue(kB, 8).data(), 2), "0100") << "the first write stored, the refused one not";
}

} // namespace
