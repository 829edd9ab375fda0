// Driver events through the reader: the connection table, completions routed
// by the gate's owner, remote requests routed by attribute handle, and the
// order in which records are taken.

#include <atomic>
#include <cstring>
#include <vector>

#include "link_test.h"

namespace linktest {
namespace {

class Dispatch : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        ASSERT_EQ(Register(1), 1);
        ASSERT_EQ(Register(2), 2);
    }
    void TearDown() override
    {
        gatts_service_list = nullptr;   // the records below live on the test's stack
        LinkTest::TearDown();
    }
    static std::vector<uint8_t> Addr(const uint8_t *bda) { return std::vector<uint8_t>(bda, bda + 6); }
};

TEST_F(Dispatch, ConnectionEventsFillTheTableAndReachEveryRegistration)
{
    Connect(5, kAddr);

    const conn_record &rec = conn_table[5];
    EXPECT_EQ(rec.connected, 1);
    EXPECT_EQ(rec.conn_id, 5);
    EXPECT_EQ(rec.op, 0);
    EXPECT_NE(rec.op_done, nullptr);
    EXPECT_EQ(std::memcmp(rec.bd_addr, kAddr, 6), 0);
    for (int n : {1, 2}) {
        ASSERT_EQ(g_calls[n].Size(), 1u);
        Call call = g_calls[n].Get()[0];
        EXPECT_EQ(call.kind, Call::Connected);
        EXPECT_EQ(call.gatt_if, n);
        EXPECT_EQ(call.conn_id, 5);
        EXPECT_EQ(call.a, 1);
        EXPECT_EQ(call.bytes, Addr(kAddr));
        EXPECT_TRUE(call.record_up);
    }

    Disconnect(5, kAddr);
    for (int n : {1, 2}) {
        ASSERT_EQ(g_calls[n].Size(), 2u);
        Call call = g_calls[n].Get()[1];
        EXPECT_EQ(call.a, 0);
        EXPECT_EQ(call.gatt_if, n);
        // The callbacks still see the record as it was.
        EXPECT_TRUE(call.record_up);
    }
    EXPECT_EQ(rec.connected, 0);
    EXPECT_EQ(rec.conn_id, kConnIdDown);

    // A disconnection of a record already down reaches everyone but changes nothing.
    Disconnect(5, kAddr2);
    EXPECT_EQ(g_calls[1].Size(), 3u);
    EXPECT_EQ(g_calls[2].Size(), 3u);
    EXPECT_EQ(g_calls[1].Get()[2].bytes, Addr(kAddr2));
    EXPECT_EQ(rec.conn_id, kConnIdDown);
    EXPECT_EQ(std::memcmp(rec.bd_addr, kAddr, 6), 0);
}

TEST_F(Dispatch, CompletionsBeforeAnyOperationGoToEveryRegistration)
{
    Connect(3);
    Post(qortest::CompleteEvent(3, ZR_OP_NOTIFICATION, 0, 0x21, {1, 2, 3}));

    for (int n : {1, 2}) {
        ASSERT_EQ(g_calls[n].Size(), 2u);
        Call call = g_calls[n].Get()[1];
        EXPECT_EQ(call.kind, Call::Complete);
        EXPECT_EQ(call.conn_id, 3);
        EXPECT_EQ(call.a, ZR_OP_NOTIFICATION);
        EXPECT_EQ(call.handle, 0x21);
        EXPECT_EQ(call.bytes, (std::vector<uint8_t>{1, 2, 3}));
    }
    EXPECT_FALSE(trace.Contains("CompleteCallback notified conn_id=3, op=5, status=0"));
}

TEST_F(Dispatch, ACompletionOpensTheGateOnlyForItsOwnOperationAndGoesToTheOwner)
{
    Connect(3);
    ASSERT_FALSE(ClientEnterOp(2, 3, ZR_OP_READ));

    // Another operation type: delivered to the owner, the gate stays shut.
    Post(qortest::CompleteEvent(3, ZR_OP_WRITE, 0, 0x30));
    EXPECT_EQ(conn_table[3].op, ZR_OP_READ);
    EXPECT_TRUE(trace.Contains("CompleteCallback notified conn_id=3, op=3, status=0"));
    EXPECT_FALSE(trace.Contains("CompleteCallback conn_id=3, op=3 completed status=0"));

    Post(qortest::CompleteEvent(3, ZR_OP_READ, 4, 0x31, {9}));
    EXPECT_EQ(conn_table[3].op, 0);
    EXPECT_EQ(WaitForSingleObject(conn_table[3].op_done, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(InOrder(trace.Lines(), {"CompleteCallback conn_id=3, op=2 completed status=4",
                                        "CompleteCallback notified conn_id=3, op=2, status=4"}));

    // Registration 2 started the operation: only it hears of the completions.
    EXPECT_EQ(g_calls[1].Size(), 1u);
    std::vector<Call> calls = g_calls[2].Get();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].a, ZR_OP_WRITE);
    EXPECT_EQ(calls[2].a, ZR_OP_READ);
    EXPECT_EQ(calls[2].b, 4);
    EXPECT_EQ(calls[2].handle, 0x31);

    // The owner stays after the operation ended.
    Post(qortest::CompleteEvent(3, ZR_OP_INDICATION, 0));
    EXPECT_EQ(g_calls[2].Size(), 4u);
    EXPECT_EQ(g_calls[1].Size(), 1u);

    // An owner that has gone hears nothing, and nobody else does.
    ASSERT_FALSE(ClientEnterOp(2, 3, ZR_OP_READ));
    GATT_Deregister(2);
    trace.Clear();
    Post(qortest::CompleteEvent(3, ZR_OP_READ, 0));
    EXPECT_EQ(conn_table[3].op, 0);
    EXPECT_EQ(g_calls[2].Size(), 4u);
    EXPECT_EQ(g_calls[1].Size(), 1u);
    EXPECT_TRUE(trace.Contains("CompleteCallback notified conn_id=3, op=2, status=0"));
}

TEST_F(Dispatch, ConnectionsAndCompletionsForBadOrUnconnectedConnectionsAreTracedAndDropped)
{
    Connect(200, kAddr);
    Post(qortest::ConnectionEvent(kAddr2, 0xFFFF, 1));
    EXPECT_TRUE(trace.Contains("ConnectedCallback illegal conn_id=200 001a7dda7113"));
    EXPECT_TRUE(trace.Contains("ConnectedCallback illegal conn_id=65535 c0ffee010203"));
    EXPECT_EQ(g_calls[1].Size(), 0u);
    EXPECT_EQ(g_calls[2].Size(), 0u);

    Post(qortest::CompleteEvent(200, ZR_OP_READ, 0));
    Post(qortest::CompleteEvent(9, ZR_OP_READ, 0));
    Connect(9);
    Disconnect(9);
    Post(qortest::CompleteEvent(9, ZR_OP_WRITE, 0));

    EXPECT_TRUE(trace.Contains("CompleteCallback bad conn_id:200"));
    EXPECT_EQ(trace.Count("CompleteCallback not connected conn_id:9"), 2u);
    for (int n : {1, 2}) {
        for (const Call &call : g_calls[n].Get())
            EXPECT_NE(call.kind, Call::Complete);
    }
}

TEST_F(Dispatch, RemoteRequestsAreRoutedByHandleThroughTheServiceList)
{
    gatts_service_record unowned{50, 60, 9, nullptr};
    gatts_service_record second{30, 40, 1, &unowned};
    gatts_service_record first{10, 20, 2, &second};
    gatts_service_list = &first;

    Post(qortest::RequestEvent(4, 0x1234, 1, 15));
    Post(qortest::RequestEvent(4, 0x1235, 2, 40, {7, 8}, 1));
    Post(qortest::RequestEvent(4, 0x1236, 3, 10));
    Post(qortest::RequestEvent(4, 0x1237, 1, 25));
    Post(qortest::RequestEvent(4, 0x1238, 1, 55));

    std::vector<Call> to2 = g_calls[2].Get();
    ASSERT_EQ(to2.size(), 2u);
    EXPECT_EQ(to2[0].kind, Call::Request);
    EXPECT_EQ(to2[0].conn_id, 4);
    EXPECT_EQ(to2[0].trans_id, 0x1234u);
    EXPECT_EQ(to2[0].a, 1);
    EXPECT_EQ(to2[0].handle, 15);
    EXPECT_EQ(to2[1].trans_id, 0x1236u);
    EXPECT_EQ(to2[1].a, 3);
    std::vector<Call> to1 = g_calls[1].Get();
    ASSERT_EQ(to1.size(), 1u);
    EXPECT_EQ(to1[0].trans_id, 0x1235u);
    EXPECT_EQ(to1[0].a, 2);
    EXPECT_EQ(to1[0].bytes, (std::vector<uint8_t>{7, 8}));

    EXPECT_TRUE(trace.Contains("RequestCallback with for NULL handle conn_id=4, type=1 handle=25"));
    EXPECT_TRUE(trace.Contains("RequestCallback failed to find service conn_id=4, type=1 handle=55"));
}

TEST_F(Dispatch, RequestsWithoutAServiceListAHandleOrARequestCallbackReachNobody)
{
    Post(qortest::RequestEvent(4, 1, 1, 15));
    EXPECT_TRUE(trace.Contains("RequestCallback with for NULL handle conn_id=4, type=1 handle=15"));

    ASSERT_EQ(Register(3, kNoRequest), 3);
    gatts_service_record service{0, 0xFFFF, 1, nullptr};
    gatts_service_record without_callback{100, 110, 3, &service};
    gatts_service_list = &without_callback;
    // Only reads and writes carry a handle to route by.
    Post(qortest::RequestEvent(4, 2, 4, 15));
    EXPECT_TRUE(trace.Contains("RequestCallback unknown request type conn_id=4, type=4"));
    Post(qortest::RequestEvent(2, 77, 2, 105, {1}));
    EXPECT_TRUE(trace.Contains("RequestCallback found app does not have request callback conn_id=2, type=2 handle=105"));
    EXPECT_EQ(g_calls[1].Size(), 0u);
    EXPECT_EQ(g_calls[2].Size(), 0u);
}

TEST_F(Dispatch, RecordsOfUnknownTypesAreDroppedWithoutATrace)
{
    trace.Clear();
    for (uint8_t type : {0x00, 0x01, 0xF7, 0xFA, 0xFB, 0xFE}) {
        ZrEvent event = qortest::ConnectionEvent(kAddr, 1, 1);
        event.type = type;
        Post(event);
    }
    EXPECT_EQ(g_calls[1].Size(), 0u);
    EXPECT_EQ(g_calls[2].Size(), 0u);
    EXPECT_EQ(conn_table[1].connected, 0);
    for (const std::string &line : trace.Lines())
        EXPECT_EQ(line.rfind("LE - ReadWorker: completed ", 0), 0u) << line;
}

TEST_F(Dispatch, EventsAnsweredAtOnceAreStillTakenInTheirTurn)
{
    const uint32_t id = Channel();
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    BlockNextConnected(release);

    // The reader is held in the first callback while 39 more records arrive: 19
    // complete the pending reads, the other 20 wait in the driver and answer the
    // reads the reader sends next at once.
    constexpr uint16_t kEvents = 40;
    for (uint16_t i = 0; i < kEvents; ++i)
        ctl.PostEvent(qortest::ConnectionEvent(kAddr, i, 1), id);
    EXPECT_TRUE(ctl.WaitUntil([id](const VctlStats &s) {
        const VctlChannelStats *c = qortest::Controller::Channel(s, id);
        return c && c->queued_events == 20;
    }));
    SetEvent(release);

    ASSERT_TRUE(g_calls[2].WaitCount(kEvents)) << trace.Dump();
    std::vector<Call> calls = g_calls[2].Get();
    for (uint16_t i = 0; i < kEvents; ++i)
        EXPECT_EQ(calls[i].conn_id, i);
    ASSERT_TRUE(g_calls[1].WaitCount(kEvents));
    CloseHandle(release);
}

std::atomic<DWORD> g_reader_thread{0};
void RecordReaderThread(uint8_t, uint16_t, uint8_t) { g_reader_thread = GetCurrentThreadId(); }
void WINAPI DropLine(const char *) {}

TEST_F(Dispatch, TheReaderAllocatesNothingPerEvent)
{
    SetConnectedHook(RecordReaderThread);
    Connect(3);
    SetConnectedHook(nullptr);
    ASSERT_NE(g_reader_thread.load(), 0u);
    // Only a registration without callbacks stays, and lines go to a sink that
    // keeps nothing: what is left on the reader thread is the link's own work.
    ASSERT_EQ(Register(3, kNoConnected | kNoComplete | kNoRequest), 3);
    GATT_Deregister(1);
    GATT_Deregister(2);
    QorGattSetTraceFunction(DropLine);

    CountAllocations(g_reader_thread);
    ZrEvent unknown = qortest::ConnectionEvent(kAddr, 4, 1);
    unknown.type = 0xFA;
    for (int i = 0; i < 10; ++i) {
        Post(qortest::ConnectionEvent(kAddr, 4, 1));
        Post(qortest::CompleteEvent(3, ZR_OP_NOTIFICATION, 0, 0x10, {1, 2}));
        Post(qortest::CompleteEvent(3, ZR_OP_READ, 0, 0x10, {3}));
        Post(qortest::RequestEvent(3, 1, 1, 0x10));
        Post(unknown);
        Post(qortest::ConnectionEvent(kAddr, 4, 0));
    }
    EXPECT_EQ(CountedAllocations(), 0);
    QorGattSetTraceFunction(nullptr);
}

} // namespace
} // namespace linktest
