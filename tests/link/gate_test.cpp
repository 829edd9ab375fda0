// The client operation gate: one operation at a time on a connection, a wait
// of 15 s for the one in place, and a link that goes down under a waiter.
// It tests the link layer through its own interface (link/link.h), below the exports.

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "import_patch.h"
#include "link_test.h"

namespace linktest {
namespace {

class Gate : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        Play({FirstRegistration(1), Returns(2, [] { return Register(2); }), Deliver("ff 001a7dda7113 0100 01")});
    }
    // Starts `run` on `waiter`, waiting until it waits in the gate of `conn_id`.
    // No event says so; the sign is that it reset op_done (signalled first, or
    // made by the waiter itself) before its wait.
    static Step StartWaiter(std::thread &waiter, std::function<void()> run, uint16_t conn_id = 1)
    {
        return Do([&waiter, run, conn_id] {
            const conn_record &rec = conn_table[conn_id];
            if (rec.op_done)
                SetEvent(rec.op_done);
            waiter = std::thread(run);
            auto waiting = [&rec] { return rec.op_done && WaitForSingleObject(rec.op_done, 0) == WAIT_TIMEOUT; };
            ULONGLONG deadline = GetTickCount64() + 5000;
            while (!waiting() && GetTickCount64() < deadline)
                Sleep(1);
            EXPECT_TRUE(waiting()) << "no waiter in the gate";
        });
    }
};

TEST_F(Gate, OperationsNeverOverlapASecondWaitsUntilTheCompletionOfTheFirst)
{
    static const LeAttrValue value{};
    std::vector<std::thread> writers;
    std::atomic<int> refused{0};
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&refused] {
            for (int i = 0; i < 6; ++i)
                refused += GATTCIf_Write(1, 1, 2, &value) != kDriverAccepted;
        });
    // The driver side: each write is completed once it has arrived.
    Script script;
    for (int n = 0; n < 18; ++n)
        script.push_back(Script{Sent(ZOREROVA_GATTC_WRITE, "0100 02 00*522", "00"),
                                Trace("ClientEnterOp gatt_if=1 conn_id=1 op=3"), Deliver("f8 0100 03 00"),
                                Trace("CompleteCallback conn_id=1, op=3 completed status=0")});
    Play(script);
    for (std::thread &w : writers)
        w.join();
    EXPECT_EQ(refused.load(), 0);
    // Taking and opening the gate alternate strictly.
    std::string all;
    for (const std::string &line : trace.Lines())
        if (line.rfind("ClientEnterOp gatt_if=1 conn_id=1 op=3", 0) == 0 || line.rfind("CompleteCallback conn", 0) == 0)
            all += line[1];   // 'l' enters, 'o' opens
    EXPECT_EQ(all.size(), 36u);
    EXPECT_EQ(all.find("ll"), std::string::npos) << all;
    EXPECT_EQ(all.find("oo"), std::string::npos) << all;
    // A second operation waits until the completion of the first opens the gate.
    static const read_param param{0, 0, 0x31, {}};
    std::atomic<int> second{-1};
    std::thread reader;
    Play({Returns(kDriverAccepted, [] { return GATTCIf_Write(1, 1, 2, &value); }),
          Sent(ZOREROVA_GATTC_WRITE, "0100 02 00*522", "00"),
          StartWaiter(reader, [&] { second = GATTCIf_Read(2, 1, 2, &param); }),
          Returns(static_cast<uint64_t>(-1), [&] { return second.load(); }), NothingSent(),
          Deliver("f8 0100 03 00"), Do([&] { reader.join(); }), Returns(kDriverAccepted, [&] { return second.load(); }),
          Sent(ZOREROVA_GATTC_READ, "0100 02 0000 3100 00*20"), Returns(2, [] { return conn_table[1].op_gatt_if; }),
          Trace("ClientEnterOp gatt_if=1 conn_id=1 op=3"), Trace("CompleteCallback conn_id=1, op=3 completed status=0"),
          Trace("ClientEnterOp gatt_if=2 conn_id=1 op=2"), Trace("GATTC_Read conn_id=1 type=2")});
}

TEST_F(Gate, AnOperationThatDoesNotEndWithinFifteenSecondsRefusesTheNextOne)
{
    const ULONGLONG start = GetTickCount64();
    Play({Returns(false, [] { return ClientEnterOp(1, 1, ZR_OP_WRITE); }),
          Returns(true, [] { return ClientEnterOp(2, 1, ZR_OP_READ); }),
          Returns(true, [start] { return GetTickCount64() - start >= 14900; }),
          Trace("ClientEnterOp conn_id=1 opertation type=3 has not completed"),
          Returns(ZR_OP_WRITE, [] { return conn_table[1].op; }), Returns(1, [] { return conn_table[1].op_gatt_if; })});
}

// Entering fails at once for bad connections, leaving always opens the gate,
// and the link going down ends a wait in it with failure.
TEST_F(Gate, BadConnectionsAndTheLinkGoingDownEndEntriesWithFailure)
{
    for (auto c : {std::make_pair(1, 200), std::make_pair(1, 0xFFFF), std::make_pair(2, 8)})
        Play({Returns(true, [c] { return ClientEnterOp(c.first, c.second, c.first == 1 ? ZR_OP_READ : ZR_OP_WRITE); }),
              Trace(Fmt("ClientEnterOp failed gatt_if=%d conn_id=%d", c.first, c.second))});
    std::atomic<int> result{-1};
    std::thread waiter;
    Play({Returns(0, [] { return conn_table[8].op; }), Do([] { ClientExitOp(1); }),
          Trace("ClientExitOp gatt_if=0 conn_id=1 op=0"),
          Returns(WAIT_OBJECT_0, [] { return WaitForSingleObject(conn_table[1].op_done, 0); }),
          Do([] { ClientExitOp(200); }), Trace("ClientExitOp bad conn_id:200"),
          Returns(false, [] { return ClientEnterOp(1, 1, ZR_OP_WRITE); }),
          StartWaiter(waiter, [&] { result = ClientEnterOp(2, 1, ZR_OP_READ); }),
          Deliver("ff 001a7dda7113 0100 00"), Do([&] { waiter.join(); }), Returns(1, [&] { return result.load(); }),
          Trace("ClientEnterOp failed gatt_if=2 conn_id=1"), NoTrace("ClientEnterOp conn_id=1 opertation"),
          // A late exit only clears the operation; a late completion is dropped.
          Do([] {
              ResetEvent(conn_table[1].op_done);
              ClientExitOp(1);
          }),
          Trace("ClientExitOp gatt_if=1 conn_id=1 op=3"), Returns(0, [] { return conn_table[1].op; }),
          Returns(WAIT_TIMEOUT, [] { return WaitForSingleObject(conn_table[1].op_done, 0); }),
          Deliver("f8 0100 03 00"), Trace("CompleteCallback not connected conn_id:1"),
          // And the link coming up again starts with an open gate.
          Deliver("ff 001a7dda7113 0100 01"), Returns(false, [] { return ClientEnterOp(2, 1, ZR_OP_READ); })});
}

// While armed, the next manual-reset event made off the arming thread fails.
std::atomic<bool> g_fail_event{false};
DWORD g_arming_thread;
decltype(&CreateEventW) g_create_event;

HANDLE WINAPI CreateEventFailing(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name)
{
    if (manual && GetCurrentThreadId() != g_arming_thread && g_fail_event.exchange(false)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_create_event(sa, manual, initial, name);
}

// A link that came up without its gate event makes it when a second
// operation must wait, and the wait then works as ever.
TEST_F(Gate, EventThatCouldNotBeMadeAtLinkUpIsMadeForTheFirstWait)
{
    qortest::ImportPatch events("CreateEventW", reinterpret_cast<void *>(CreateEventFailing));
    ASSERT_TRUE(events.Patched());
    g_create_event = events.Original<decltype(g_create_event)>();
    g_arming_thread = GetCurrentThreadId();
    std::atomic<int> second{-1};
    std::thread waiter;
    Play({Do([] { g_fail_event = true; }), Deliver("ff 001a7dda7114 0200 01"),
          Trace("ClientEnterOp conn_id=2 event creation failed - 8"),
          Returns(false, [] { return ClientEnterOp(1, 2, ZR_OP_WRITE); }),
          StartWaiter(waiter, [&] { second = ClientEnterOp(2, 2, ZR_OP_READ); }, 2),
          Returns(static_cast<uint64_t>(-1), [&] { return second.load(); }), Do([] { ClientExitOp(2); }),
          Do([&] { waiter.join(); }), Returns(false, [&] { return second.load(); }),
          Trace("ClientEnterOp gatt_if=2 conn_id=2 op=2")});
}

} // namespace
} // namespace linktest
