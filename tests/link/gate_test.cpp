// The client operation gate: one operation at a time on a connection, a wait
// of 15 s for the one in place, and a link that goes down under a waiter.

#include <atomic>
#include <thread>
#include <vector>

#include "link_test.h"

namespace linktest {
namespace {

class Gate : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        ASSERT_EQ(Register(1), 1);
        ASSERT_EQ(Register(2), 2);
        Connect(1);
    }
    // No event says that a thread waits in the gate; the sign of it is that the
    // waiter reset op_done (which the test signalled first) before its wait.
    static void ArmWaiterSign(uint16_t conn_id) { SetEvent(conn_table[conn_id].op_done); }
    static bool WaiterWaits(uint16_t conn_id)
    {
        const ULONGLONG deadline = GetTickCount64() + 5000;
        while (WaitForSingleObject(conn_table[conn_id].op_done, 0) == WAIT_OBJECT_0) {
            if (GetTickCount64() > deadline)
                return false;
            Sleep(1);
        }
        return true;
    }
};

TEST_F(Gate, ASecondOperationWaitsUntilTheCompletionOfTheFirstOpensTheGate)
{
    LeAttrValue value{};
    value.handle = 0x30;
    ASSERT_EQ(GATTCIf_Write(1, 1, 2, &value), kDriverAccepted);
    ASSERT_EQ(conn_table[1].op, ZR_OP_WRITE);

    ArmWaiterSign(1);
    std::atomic<int> second{-1};
    std::thread reader([&] {
        read_param param{};
        param.handle = 0x31;
        second = GATTCIf_Read(2, 1, 2, &param);
    });
    ASSERT_TRUE(WaiterWaits(1));
    EXPECT_EQ(second.load(), -1);
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATTC_READ).empty());

    Post(qortest::CompleteEvent(1, ZR_OP_WRITE, 0));
    reader.join();
    EXPECT_EQ(second.load(), kDriverAccepted);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_READ).size(), 1u);
    EXPECT_EQ(conn_table[1].op, ZR_OP_READ);
    EXPECT_EQ(conn_table[1].op_gatt_if, 2);
    EXPECT_TRUE(InOrder(trace.Lines(), {"ClientEnterOp gatt_if=1 conn_id=1 op=3",
                                        "CompleteCallback conn_id=1, op=3 completed status=0",
                                        "ClientEnterOp gatt_if=2 conn_id=1 op=2", "GATTC_Read conn_id=1 type=2"}));
}

TEST_F(Gate, OperationsOfSeveralThreadsOnOneConnectionNeverOverlap)
{
    constexpr int kThreads = 3;
    constexpr int kWrites = 6;
    std::vector<std::thread> writers;
    std::atomic<int> refused{0};
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&refused] {
            LeAttrValue value{};
            for (int i = 0; i < kWrites; ++i) {
                if (GATTCIf_Write(1, 1, 2, &value) != kDriverAccepted)
                    ++refused;
            }
        });
    }
    // The driver side: each write is completed once it has arrived.
    for (size_t n = 1; n <= kThreads * kWrites; ++n) {
        ASSERT_TRUE(ctl.WaitRequests(ZOREROVA_GATTC_WRITE, n)) << trace.Dump();
        Post(qortest::CompleteEvent(1, ZR_OP_WRITE, 0));
    }
    for (std::thread &w : writers)
        w.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_WRITE).size(), static_cast<size_t>(kThreads * kWrites));

    // Taking and opening the gate alternate strictly.
    std::string expect = "enter";
    int entered = 0;
    for (std::string line : trace.Lines()) {
        line.pop_back();
        const bool enter = line == "ClientEnterOp gatt_if=1 conn_id=1 op=3";
        const bool open = line == "CompleteCallback conn_id=1, op=3 completed status=0";
        if (!enter && !open)
            continue;
        EXPECT_EQ(enter ? "enter" : "open", expect) << trace.Dump();
        expect = enter ? "open" : "enter";
        entered += enter;
    }
    EXPECT_EQ(entered, kThreads * kWrites);
}

TEST_F(Gate, AnOperationThatDoesNotEndWithinFifteenSecondsRefusesTheNextOne)
{
    ASSERT_FALSE(ClientEnterOp(1, 1, ZR_OP_WRITE));
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(ClientEnterOp(2, 1, ZR_OP_READ));
    EXPECT_GE(GetTickCount64() - start, 14900u);

    EXPECT_TRUE(trace.Contains("ClientEnterOp conn_id=1 opertation type=3 has not completed"));
    EXPECT_EQ(conn_table[1].op, ZR_OP_WRITE);
    EXPECT_EQ(conn_table[1].op_gatt_if, 1);
}

TEST_F(Gate, TheLinkGoingDownEndsAWaitInTheGateWithFailure)
{
    ASSERT_FALSE(ClientEnterOp(1, 1, ZR_OP_WRITE));
    ArmWaiterSign(1);
    std::atomic<int> result{-1};
    ULONGLONG waited = 0;
    std::thread waiter([&] {
        const ULONGLONG start = GetTickCount64();
        result = ClientEnterOp(2, 1, ZR_OP_READ) ? 1 : 0;
        waited = GetTickCount64() - start;
    });
    ASSERT_TRUE(WaiterWaits(1));

    Disconnect(1);
    waiter.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_LT(waited, 15000u);
    EXPECT_TRUE(trace.Contains("ClientEnterOp failed gatt_if=2 conn_id=1"));
    EXPECT_FALSE(trace.Contains("ClientEnterOp conn_id=1 opertation type=3 has not completed"));
    EXPECT_EQ(conn_table[1].op, ZR_OP_WRITE);

    // And the link coming up again starts with an open gate.
    Connect(1);
    EXPECT_EQ(conn_table[1].op, 0);
    EXPECT_FALSE(ClientEnterOp(2, 1, ZR_OP_READ));
}

TEST_F(Gate, ExitOnAConnectionThatIsDownOnlyClearsTheOperation)
{
    ASSERT_FALSE(ClientEnterOp(1, 1, ZR_OP_WRITE));
    Disconnect(1);
    HANDLE done = conn_table[1].op_done;
    ResetEvent(done);

    ClientExitOp(1);
    EXPECT_EQ(conn_table[1].op, 0);
    EXPECT_TRUE(trace.Contains("ClientExitOp gatt_if=1 conn_id=1 op=3"));
    EXPECT_EQ(WaitForSingleObject(done, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // A late completion of the same connection is dropped, not used.
    Post(qortest::CompleteEvent(1, ZR_OP_WRITE, 0));
    EXPECT_TRUE(trace.Contains("CompleteCallback not connected conn_id:1"));
}

TEST_F(Gate, EnteringFailsAtOnceForBadConnectionsAndLeavingAlwaysOpensTheGate)
{
    EXPECT_TRUE(ClientEnterOp(1, 200, ZR_OP_READ));
    EXPECT_TRUE(ClientEnterOp(1, 0xFFFF, ZR_OP_READ));
    EXPECT_TRUE(ClientEnterOp(2, 8, ZR_OP_WRITE));
    EXPECT_TRUE(trace.Contains("ClientEnterOp failed gatt_if=1 conn_id=200"));
    EXPECT_TRUE(trace.Contains("ClientEnterOp failed gatt_if=1 conn_id=65535"));
    EXPECT_TRUE(trace.Contains("ClientEnterOp failed gatt_if=2 conn_id=8"));
    EXPECT_EQ(conn_table[8].op, 0);

    // Leaving opens the gate even without an operation.
    ClientExitOp(1);
    EXPECT_TRUE(trace.Contains("ClientExitOp gatt_if=0 conn_id=1 op=0"));
    EXPECT_EQ(WaitForSingleObject(conn_table[1].op_done, 0), WAIT_OBJECT_0);

    ClientExitOp(200);
    EXPECT_TRUE(trace.Contains("ClientExitOp bad conn_id:200"));
}

} // namespace
} // namespace linktest
