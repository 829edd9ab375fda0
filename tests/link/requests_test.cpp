// The client requests: the bytes the driver receives, and every way a request
// can fail, for each request kind.

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "link_test.h"

namespace linktest {
namespace {

constexpr uint32_t kStatusInvalidParameter = 0xC000000D;   // ERROR_INVALID_PARAMETER (87)
constexpr uint16_t kConn = 1;

std::vector<uint8_t> Le16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

read_param ReadParam(uint16_t handle)
{
    read_param p{};
    p.auth_req = 1;
    p.unused = 0x55;
    p.handle = handle;
    for (int i = 0; i < 20; ++i)
        p.rest[i] = static_cast<uint8_t>(0x80 + i);
    return p;
}

LeAttrValue WriteValue()
{
    LeAttrValue v{};
    v.handle = 0x0123;
    v.len = 3;
    v.auth_req = 2;
    v.value[0] = 0xDE;
    v.value[1] = 0xAD;
    v.value[2] = 0xBF;
    v.reserved = 0;
    return v;
}

disc_param DiscParam(uint16_t s, uint16_t e)
{
    disc_param p{};
    p.uuid.len = 2;
    p.uuid.value[0] = 0x99;
    p.s_handle = s;
    p.e_handle = e;
    return p;
}

class Requests : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        ASSERT_EQ(Register(1), 1);
        Connect(kConn);
        trace.Clear();
    }
    // The one request of that code the driver received.
    std::vector<uint8_t> Sent(uint32_t code)
    {
        std::vector<VctlLogEntry> entries = ctl.Requests(code);
        EXPECT_EQ(entries.size(), 1u);
        return entries.empty() ? std::vector<uint8_t>{} : LoggedIn(entries[0]);
    }
};

TEST_F(Requests, ConnectAndCancelConnectCarryGattIfAddressAndOne)
{
    EXPECT_EQ(GATT_Connect(3, kAddr, 1), 1);
    EXPECT_EQ(GATT_CancelConnect(4, kAddr2, 1), 1);

    EXPECT_EQ(Sent(ZOREROVA_GATT_CONNECT), (std::vector<uint8_t>{3, 0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13, 1}));
    EXPECT_EQ(Sent(ZOREROVA_GATT_CANCEL_CONNECT), (std::vector<uint8_t>{4, 0xC0, 0xFF, 0xEE, 0x01, 0x02, 0x03, 1}));
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"GATT_Connect gatt_if=3 001a7dda7113\n",
                                                       "GATT_CancelConnect gatt_if=4 c0ffee010203\n"}));
}

TEST_F(Requests, DiscoverCarriesConnIdRangeAndTypeAndNamesTheType)
{
    disc_param range = DiscParam(0x10, 0x2F);
    EXPECT_EQ(GATTC_Discover(7, ZR_DISC_INCLUDED, &range), kDriverAccepted);
    EXPECT_EQ(GATTC_Discover(0x0102, ZR_DISC_CHARS, nullptr), kDriverAccepted);
    EXPECT_EQ(GATTC_Discover(7, 9, nullptr), kDriverAccepted);

    std::vector<VctlLogEntry> sent = ctl.Requests(ZOREROVA_GATTC_DISCOVER);
    ASSERT_EQ(sent.size(), 3u);
    const std::vector<uint8_t> zeros(18, 0);
    EXPECT_EQ(LoggedIn(sent[0]), Cat({zeros, Le16(7), Le16(0x10), Le16(0x2F), {3}}));
    EXPECT_EQ(LoggedIn(sent[1]), Cat({zeros, Le16(0x0102), Le16(0), Le16(0), {4}}));
    EXPECT_EQ(LoggedIn(sent[2]), Cat({zeros, Le16(7), Le16(0), Le16(0), {9}}));
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                                 "GATTC_Discover conn_id=7 type=3\n",
                                 "GATTC_Discover conn_id=7 included service s_handle:10 e_handle:2f\n",
                                 "GATTC_Discover conn_id=258 type=4\n",
                                 "GATTC_Discover conn_id=258 characteristics of a service\n",
                                 "GATTC_Discover conn_id=7 type=9\n",
                                 "GATTC_Discover conn_id=7 ????\n",
                             }));
}

TEST_F(Requests, ReadAlwaysCarriesTypeTwoAndTheWholeParameterBlock)
{
    read_param param = ReadParam(0x1234);
    EXPECT_EQ(GATTC_Read(0x0305, 9, &param), kDriverAccepted);

    EXPECT_EQ(Sent(ZOREROVA_GATTC_READ), Cat({Le16(0x0305), {2}, qortest::Bytes(&param, sizeof param)}));
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{"GATTC_Read conn_id=773 type=2\n"});
}

TEST_F(Requests, GatedDiscoverAndReadKeepTheGateOnceAccepted)
{
    disc_param all = DiscParam(1, 0xFFFF);
    EXPECT_EQ(GATTCIf_Discover(1, kConn, &all), kDriverAccepted);
    EXPECT_EQ(Sent(ZOREROVA_GATTC_DISCOVER), Cat({std::vector<uint8_t>(18, 0), Le16(kConn), Le16(1), Le16(0xFFFF), {1}}));
    EXPECT_EQ(conn_table[kConn].op, ZR_OP_DISCOVERY);
    EXPECT_TRUE(InOrder(trace.Lines(), {"ClientEnterOp gatt_if=1 conn_id=1 op=1", "GATTC_Discover conn_id=1 type=1",
                                        "GATTC_Discover conn_id=1 discover all services s_handle:1 e_handle:ffff"}));

    ClientExitOp(kConn);
    read_param param = ReadParam(0x44);
    EXPECT_EQ(GATTCIf_Read(1, kConn, 7, &param), kDriverAccepted);
    EXPECT_EQ(Sent(ZOREROVA_GATTC_READ), Cat({Le16(kConn), {2}, qortest::Bytes(&param, sizeof param)}));
    EXPECT_EQ(conn_table[kConn].op, ZR_OP_READ);
}

TEST_F(Requests, WriteCarriesTheWholeValueAndKeepsTheGateUntilItsCompletion)
{
    LeAttrValue value = WriteValue();
    EXPECT_EQ(GATTCIf_Write(1, kConn, 1, &value), kDriverAccepted);

    std::vector<VctlLogEntry> sent = ctl.Requests(ZOREROVA_GATTC_WRITE);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].in_len, 525u);
    EXPECT_EQ(LoggedIn(sent[0]), Cat({Le16(kConn), {1}, qortest::Bytes(&value, sizeof value)}));
    EXPECT_EQ(sent[0].out_len, 1u);
    EXPECT_EQ(conn_table[kConn].op, ZR_OP_WRITE);
    EXPECT_TRUE(InOrder(trace.Lines(), {"ClientEnterOp gatt_if=1 conn_id=1 op=3", "GATTCIf_Write conn_id=1 type=1"}));

    Post(qortest::CompleteEvent(kConn, ZR_OP_WRITE, 0));
    EXPECT_EQ(conn_table[kConn].op, 0);
}

TEST_F(Requests, ConfirmationCarriesConnIdAndHandleAndGivesTheGateBackAtOnce)
{
    EXPECT_EQ(GATTCIf_SendHandleValueConfirm(1, kConn, 0x2A), kDriverAccepted);

    EXPECT_EQ(Sent(ZOREROVA_GATTC_CONFIRM), Cat({Le16(kConn), Le16(0x2A)}));
    EXPECT_EQ(conn_table[kConn].op, 0);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"ClientEnterOp gatt_if=1 conn_id=1 op=5\n",
                                                       "GATTCIf_SendHandleValueConfirm conn_id=1 handle=0x2a\n",
                                                       "ClientExitOp gatt_if=1 conn_id=1 op=5\n"}));
}

// ---- failures, row by row ----

// One request kind: how to make it, what it answers, and its own lines.
struct Kind {
    const char *name;
    uint32_t code;
    std::function<uint8_t()> call;
    bool gated;
    uint8_t not_open, no_event, refused;   // results
    const char *not_registered;            // nullptr: not traced
    const char *event_failed;
    const char *failed;                    // with %d: the error
};

std::vector<Kind> Kinds()
{
    static const disc_param range = DiscParam(5, 6);
    static const read_param param = ReadParam(7);
    static const LeAttrValue value = WriteValue();
    return {
        {"connect", ZOREROVA_GATT_CONNECT, [] { return GATT_Connect(1, kAddr, 1); }, false, 0, 0, 0,
         "GATT_Connect not registered", "GATT_Connect - event allocation failed",
         "GATT_Connect - Client connect failed - %d"},
        {"cancel", ZOREROVA_GATT_CANCEL_CONNECT, [] { return GATT_CancelConnect(1, kAddr, 1); }, false, 0, 0, 0,
         nullptr, "GATT_CancelConnect - event allocation failed", "GATT_CancelConnect - failed - %d"},
        {"discover", ZOREROVA_GATTC_DISCOVER, [] { return GATTC_Discover(kConn, 4, &range); }, false, 10, 10, 1,
         "GATTC_Discover not registered", "GATTC_Discover - event allocation failed", "GATTC_Discover - failed - %d"},
        {"read", ZOREROVA_GATTC_READ, [] { return GATTC_Read(kConn, 2, &param); }, false, 10, 10, 1,
         "GATTC_Read not registered", "GATTC_Read - event allocation failed", "GATTC_Read - failed - %d"},
        {"gated discover", ZOREROVA_GATTC_DISCOVER, [] { return GATTCIf_Discover(1, kConn, &range); }, true, 10, 10,
         1, "GATTC_Discover not registered", "GATTC_Discover - event allocation failed",
         "GATTC_Discover - failed - %d"},
        {"gated read", ZOREROVA_GATTC_READ, [] { return GATTCIf_Read(1, kConn, 2, &param); }, true, 10, 10, 1,
         "GATTC_Read not registered", "GATTC_Read - event allocation failed", "GATTC_Read - failed - %d"},
        {"write", ZOREROVA_GATTC_WRITE, [] { return GATTCIf_Write(1, kConn, 2, &value); }, true, 10, 10, 1,
         "GATTCIf_Write not registered", "GATTCIf_Write - event allocation failed",
         "GATTCIf_Write - failed - %d nBytes 0"},
        {"confirm", ZOREROVA_GATTC_CONFIRM, [] { return GATTCIf_SendHandleValueConfirm(1, kConn, 0x2A); }, true, 10,
         10, 1, "GATTCIf_SendHandleValueConfirm not registered",
         "GATTCIf_SendHandleValueConfirm - event allocation failed", "GATTCIf_SendHandleValueConfirm - failed - %d"},
    };
}

// Each request kind, made to fail by `arm`, answers its `result` and passes
// `check`; a gated one has given the gate back.
void EachKindFails(qortest::TraceCapture &trace, const std::function<void(const Kind &)> &arm,
                   uint8_t Kind::*result, const std::function<void(const Kind &)> &check)
{
    for (const Kind &kind : Kinds()) {
        trace.Clear();
        arm(kind);
        EXPECT_EQ(kind.call(), kind.*result) << kind.name;
        StopFailingCreateEvent();
        check(kind);
        if (kind.gated) {
            EXPECT_EQ(conn_table[kConn].op, 0) << kind.name;
            EXPECT_EQ(trace.CountPrefix("ClientExitOp gatt_if=1 conn_id=1 op="), 1u) << kind.name;
        }
    }
}

TEST_F(Requests, WithTheChannelClosedOrWithoutAnEventNothingIsSent)
{
    size_t logged = ctl.Log().size();
    EachKindFails(trace, [](const Kind &) { FailCreateEvent(GetCurrentThreadId()); }, &Kind::no_event,
                  [&](const Kind &kind) { EXPECT_TRUE(trace.Contains(kind.event_failed)) << kind.name << trace.Dump(); });
    EXPECT_EQ(ctl.Log().size(), logged);

    GATT_DeregisterAll(true);
    // The record stays up: only the channel is gone.
    ASSERT_EQ(conn_table[kConn].connected, 1);
    logged = ctl.Log().size();
    EachKindFails(trace, [](const Kind &) {}, &Kind::not_open, [&](const Kind &kind) {
        if (kind.not_registered)
            EXPECT_TRUE(trace.Contains(kind.not_registered)) << kind.name << trace.Dump();
        else
            EXPECT_EQ(trace.CountPrefix("GATT_CancelConnect"), 1u) << trace.Dump();
    });
    EXPECT_EQ(ctl.Log().size(), logged);
}

TEST_F(Requests, ARefusedOrPendingRequestTracesTheErrorAndIsNotLeftWithTheDriver)
{
    EachKindFails(
        trace, [&](const Kind &kind) { ctl.ArmFault(kind.code, VCTL_FAULT_STATUS, kStatusInvalidParameter); },
        &Kind::refused,
        [&](const Kind &kind) { EXPECT_TRUE(trace.Contains(Line(kind.failed, 87))) << kind.name << trace.Dump(); });

    EachKindFails(trace, [&](const Kind &kind) { ctl.ArmFault(kind.code, VCTL_FAULT_PEND); }, &Kind::refused,
                  [&](const Kind &kind) {
                      EXPECT_TRUE(trace.Contains(Line(kind.failed, ERROR_IO_PENDING))) << kind.name << trace.Dump();
                      std::vector<VctlLogEntry> sent = ctl.Requests(kind.code);
                      ASSERT_FALSE(sent.empty());
                      EXPECT_EQ(sent.back().status, static_cast<uint32_t>(STATUS_PENDING)) << kind.name;
                  });
    // The channel still works.
    EXPECT_EQ(GATTC_Read(kConn, 2, nullptr), kDriverAccepted);
}

TEST_F(Requests, TheGateRefusingSendsNothing)
{
    constexpr uint16_t kDown = 8;
    const size_t logged = ctl.Log().size();
    disc_param range = DiscParam(1, 2);
    read_param param = ReadParam(3);
    LeAttrValue value = WriteValue();

    EXPECT_EQ(GATTCIf_Discover(1, kDown, &range), kDriverRefused);
    EXPECT_EQ(GATTCIf_Read(1, kDown, 2, &param), kDriverRefused);
    EXPECT_EQ(GATTCIf_Write(1, kDown, 2, &value), kDriverRefused);
    EXPECT_EQ(GATTCIf_SendHandleValueConfirm(1, 200, 42), kDriverRefused);

    EXPECT_TRUE(InOrder(trace.Lines(), {
                                           "ClientEnterOp failed gatt_if=1 conn_id=8",
                                           "GATTCIf_Discover failed to start gatt_if=1 conn_id=8 type=1",
                                           "ClientEnterOp failed gatt_if=1 conn_id=8",
                                           "GATTCIf_ failed to start gatt_if=1 conn_id=8 type=2",
                                           "ClientEnterOp failed gatt_if=1 conn_id=8",
                                           "GATTCIf_Write failed to start gatt_if=1 conn_id=8 type=2",
                                           "ClientEnterOp failed gatt_if=1 conn_id=200",
                                           "GATTCIf_SendHandleValueConfirm failed to start gatt_if=1 conn_id=200 "
                                           "handle=42",
                                       }));
    EXPECT_EQ(trace.CountPrefix("ClientExitOp"), 0u);
    EXPECT_EQ(ctl.Log().size(), logged);
}

TEST_F(Requests, AWriteWhoseResultByteIsNotZeroIsRefused)
{
    LeAttrValue value = WriteValue();
    ctl.ArmFault(ZOREROVA_GATTC_WRITE, VCTL_FAULT_RESULT_BYTE, 2);
    EXPECT_EQ(GATTCIf_Write(1, kConn, 2, &value), kDriverRefused);
    EXPECT_TRUE(InOrder(trace.Lines(), {"GATTCIf_Write conn_id=1 type=2", "GATTCIf_Write - completed with bad result:2",
                                        "ClientExitOp gatt_if=1 conn_id=1 op=3"}));
    EXPECT_EQ(conn_table[kConn].op, 0);

    // No result byte at all is a failure too.
    trace.Clear();
    ctl.ArmFault(ZOREROVA_GATTC_WRITE, VCTL_FAULT_SHORT_OUTPUT, 0);
    EXPECT_EQ(GATTCIf_Write(1, kConn, 2, &value), kDriverRefused);
    EXPECT_EQ(trace.CountPrefix("GATTCIf_Write - failed - "), 1u);
    EXPECT_TRUE(trace.Lines().at(2).find(" nBytes 0") != std::string::npos) << trace.Dump();
    EXPECT_EQ(conn_table[kConn].op, 0);
}

} // namespace
} // namespace linktest
