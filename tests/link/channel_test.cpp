// The channel to the driver and the gatt_if registry: opening on the first
// registration, closing on the last, and every way the opening can fail.

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "link_test.h"

namespace linktest {
namespace {

constexpr uint32_t kStatusInvalidParameter = 0xC000000D;   // ERROR_INVALID_PARAMETER (87)
constexpr uint32_t kStatusAccessDenied = 0xC0000022;       // ERROR_ACCESS_DENIED (5)
constexpr uint32_t kStatusIoDeviceError = 0xC0000185;      // ERROR_IO_DEVICE (1117)

class LinkChannel : public LinkTest {
protected:
    const VctlChannelStats *Stats(uint32_t id)
    {
        stats_ = ctl.Stats();
        return qortest::Controller::Channel(stats_, id);
    }
    bool WaitClosed(uint32_t id)
    {
        return ctl.WaitUntil([id](const VctlStats &s) {
            const VctlChannelStats *c = qortest::Controller::Channel(s, id);
            return c && !c->open;
        });
    }
    bool TableEmpty() const
    {
        for (const gatt_if_record &slot : gatt_if_table) {
            if (slot.gatt_if)
                return false;
        }
        return true;
    }
    // The twenty cancelled reads of a reader that stops with all of them pending.
    std::vector<std::string> CancelledReads(int first = 0) const
    {
        std::vector<std::string> lines;
        for (int i = first; i < kReadSlots; ++i) {
            lines.push_back(Line("LE - ReadWorker: waiting for completion of the request %d", i));
            lines.push_back("LE - ReadWorker: GetOverlappedResult failed, err=995 Closing overlapped event...");
        }
        return lines;
    }
    // The channel is closed and the table empty; a new first registration opens it again.
    void ExpectClosedAndReopens()
    {
        EXPECT_TRUE(TableEmpty());
        EXPECT_EQ(LinkDeviceHandle(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(Register(1), 1);
    }
    static std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
    {
        std::vector<std::string> all;
        for (const auto &part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }
    VctlStats stats_{};
};

TEST_F(LinkChannel, FirstRegistrationOpensTheDeviceAndPendsTwentyReadsLaterOnesOnlyTakeNumbers)
{
    const uint32_t opens = ctl.Stats().opens;
    ASSERT_EQ(Register(1), 1);

    // No waiting: all twenty reads are pending by the time GATT_Register returns.
    const uint32_t id = Channel();
    ASSERT_NE(id, 0u);
    const VctlChannelStats *c = Stats(id);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->pending_reads, 20u);
    EXPECT_EQ(stats_.opens, opens + 1);

    std::vector<VctlLogEntry> reg = ctl.Requests(ZOREROVA_GATT_REGISTER);
    ASSERT_EQ(reg.size(), 1u);
    const LeUuid id1 = AppIdentity(1);
    EXPECT_EQ(LoggedIn(reg[0]), qortest::Bytes(&id1, sizeof id1));
    EXPECT_EQ(reg[0].in_len, 18u);
    EXPECT_EQ(reg[0].channel, id);
    EXPECT_NE(LinkDeviceHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(gatt_if_table[0].gatt_if, 1);
    EXPECT_EQ(std::memcmp(&gatt_if_table[0].app, &id1, sizeof id1), 0);

    EXPECT_TRUE(InOrder(trace.Lines(), {
                                           "GATT_Register",
                                           "GATT_Register - CreateFile(ZOREROVA) returned *",
                                           "GATT_Register - waiting for thread start...",
                                           "LE - ReadWorker: Read thread started",
                                           "LE - ReadWorker: completed startup. hStartupEvent=*",
                                           "GATT_Register - calling driver...",
                                           "GATT_Register - succeeded",
                                           "GATT_Register - exits. gatt_if=1",
                                       }));

    // Later registrations take free numbers without any driver request.
    for (int n = 2; n <= kMaxGattIf; ++n)
        ASSERT_EQ(Register(n), n);
    EXPECT_TRUE(trace.Contains("GATT_Register - already registered allocated gatt_if:2"));
    EXPECT_TRUE(trace.Contains("GATT_Register - already registered allocated gatt_if:16"));

    trace.Clear();
    EXPECT_EQ(Register(kMaxGattIf + 1), 0);
    EXPECT_TRUE(InOrder(trace.Lines(), {"alloc_gatt_if failed to alloc gatt_if",
                                        "GATT_Register - already registered allocated gatt_if:0"}));

    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_REGISTER).size(), 1u);
    EXPECT_EQ(ctl.Stats().opens, opens + 1);
}

TEST_F(LinkChannel, DeregisteringAnyButTheLastOrAFreeOrBadNumberKeepsTheChannelOpen)
{
    ASSERT_EQ(Register(1), 1);
    ASSERT_EQ(Register(2), 2);
    const uint32_t id = Channel();

    GATT_Deregister(1);
    EXPECT_TRUE(trace.Contains("GATT_Deregister not last gatt_if:1"));
    EXPECT_EQ(gatt_if_table[0].gatt_if, 0);
    EXPECT_EQ(gatt_if_table[1].gatt_if, 2);

    // Numbers outside 1..16 leave the table alone; a free one is traced and
    // still counts as a deregistration that is not the last.
    trace.Clear();
    for (uint8_t gatt_if : {0, 17, 255, 1})
        GATT_Deregister(gatt_if);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"free_gatt_if not allocated 0\n", "free_gatt_if not allocated 17\n",
                                                       "free_gatt_if not allocated 255\n", "free_gatt_if not allocated 1\n",
                                                       "GATT_Deregister not last gatt_if:1\n"}));
    EXPECT_EQ(gatt_if_table[1].gatt_if, 2);
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATT_DEREGISTER).empty());
    EXPECT_EQ(Stats(id)->pending_reads, 20u);

    // The lowest free number is taken again, still without the driver.
    EXPECT_EQ(Register(3), 1);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_REGISTER).size(), 1u);
}

TEST_F(LinkChannel, DeregisteringTheLastStopsTheReaderAndClosesTheDevice)
{
    const uint32_t opens = ctl.Stats().opens;
    ASSERT_EQ(Register(1), 1);
    const uint32_t id = Channel();
    trace.Clear();

    GATT_Deregister(1);

    std::vector<VctlLogEntry> dereg = ctl.Requests(ZOREROVA_GATT_DEREGISTER);
    ASSERT_EQ(dereg.size(), 1u);
    EXPECT_EQ(dereg[0].in_len, 0u);
    EXPECT_EQ(dereg[0].channel, id);
    ASSERT_TRUE(WaitClosed(id));
    const VctlChannelStats *c = Stats(id);
    EXPECT_EQ(c->reads_cancelled, 20u);
    EXPECT_EQ(c->pending_reads, 0u);
    EXPECT_EQ(LinkDeviceHandle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(TableEmpty());

    EXPECT_TRUE(InOrder(trace.Lines(), Join({{"GATT_Deregister gatt_if:1",
                                              "GATT_DeregisterAll - Client deregistration calling driver...",
                                              "LE - ReadWorker: ReadWorker: received exit command 2",
                                              "LE - ReadWorker: cancelling all IO requests..."},
                                             CancelledReads(),
                                             {"LE - ReadWorker: deregistering", "GATT_DeregisterAll - not registered",
                                              "LE - ReadWorker: exits",
                                              "GATT_DeregisterAll - closing device handle CloseHandle(*",
                                              "GATT_DeregisterAll - exit"}})));
    // Traced right after the reader was told to stop, so the reader's lines may come first.
    EXPECT_TRUE(trace.Contains("GATT_DeregisterAll - exiting thread exit..."));
    EXPECT_EQ(trace.CountPrefix("GATT_DeregisterAll - Client deregistration failed - "), 0u);

    // A second time there is nothing to do.
    trace.Clear();
    GATT_DeregisterAll(true);
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{"GATT_DeregisterAll - not registered\n"});
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_DEREGISTER).size(), 1u);

    // Ready for a new first registration.
    EXPECT_EQ(Register(2), 1);
    EXPECT_EQ(ctl.Stats().opens, opens + 2);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_REGISTER).size(), 2u);
    EXPECT_NE(Channel(), id);
}

TEST_F(LinkChannel, DeviceThatCannotBeOpenedFailsAndARetryOpensItAgain)
{
    const uint32_t opens = ctl.Stats().opens;
    FailCreateFile();

    EXPECT_EQ(Register(1), 0);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                                 "GATT_Register\n",
                                 "GATT_Register - Unable to open \\\\.\\ZOREROVA device - \n",
                                 "GATT_Register - deregistering...\n",
                                 "GATT_DeregisterAll - not registered\n",
                                 "GATT_Register - free gatt_if 1\n",
                                 "GATT_Register - exits. gatt_if=0\n",
                             }));
    EXPECT_TRUE(TableEmpty());
    EXPECT_EQ(LinkDeviceHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(ctl.Stats().opens, opens);

    EXPECT_EQ(Register(1), 1);
    EXPECT_EQ(ctl.Stats().opens, opens + 1);
}

TEST_F(LinkChannel, RegisterRequestRefusedStopsTheReaderAndClosesTheDevice)
{
    ctl.ArmFault(ZOREROVA_GATT_REGISTER, VCTL_FAULT_STATUS, kStatusInvalidParameter);

    EXPECT_EQ(Register(1), 0);
    EXPECT_TRUE(InOrder(trace.Lines(), Join({{"GATT_Register - calling driver...",
                                              "GATT_Register - DeviceIoControl failed - 87",
                                              "GATT_Register - deregistering...",
                                              "LE - ReadWorker: ReadWorker: received exit command 2"},
                                             CancelledReads(),
                                             {"LE - ReadWorker: exits",
                                              "GATT_DeregisterAll - closing device handle CloseHandle(*",
                                              "GATT_DeregisterAll - exit", "GATT_Register - free gatt_if 1",
                                              "GATT_Register - exits. gatt_if=0"}})));
    EXPECT_TRUE(trace.Contains("GATT_DeregisterAll - exiting thread exit..."));
    // The failure path does not tell the driver.
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATT_DEREGISTER).empty());
    EXPECT_FALSE(trace.Contains("GATT_Register - succeeded"));
    // Only the test's own control channel is still open.
    EXPECT_TRUE(ctl.WaitUntil([](const VctlStats &s) {
        uint32_t open = 0;
        for (uint32_t i = 0; i < s.channel_count && i < VCTL_MAX_CHANNELS; ++i)
            open += s.channels[i].open ? 1 : 0;
        return s.channel_count == 2 && open == 1;
    }));
    ExpectClosedAndReopens();
}

TEST_F(LinkChannel, RegisterRequestLeftPendingCountsAsRefusedAndIsNotLeftBehind)
{
    ctl.ArmFault(ZOREROVA_GATT_REGISTER, VCTL_FAULT_PEND);

    EXPECT_EQ(Register(1), 0);
    EXPECT_TRUE(InOrder(trace.Lines(), {"GATT_Register - DeviceIoControl failed - 997",
                                        "GATT_Register - deregistering...", "GATT_Register - exits. gatt_if=0"}));
    std::vector<VctlLogEntry> reg = ctl.Requests(ZOREROVA_GATT_REGISTER);
    ASSERT_EQ(reg.size(), 1u);
    EXPECT_EQ(reg[0].status, static_cast<uint32_t>(STATUS_PENDING));
    ExpectClosedAndReopens();
}

TEST_F(LinkChannel, ReadErrorEndsTheReaderClosesTheChannelAndDropsEveryGattIf)
{
    ASSERT_EQ(Register(1), 1);
    ASSERT_EQ(Register(2), 2);
    const uint32_t id = Channel();
    trace.Clear();

    ctl.FailRead(id, kStatusIoDeviceError);

    ASSERT_TRUE(trace.WaitFor("LE - ReadWorker: exits")) << trace.Dump();
    EXPECT_TRUE(InOrder(trace.Lines(),
                        Join({{"LE - ReadWorker: Read failed, status 1117", "LE - ReadWorker: cancelling all IO requests...",
                               "LE - ReadWorker: waiting for completion of the request 0",
                               "LE - ReadWorker: GetOverlappedResult failed, err=1117 Closing overlapped event..."},
                              CancelledReads(1),
                              {"LE - ReadWorker: deregistering",
                               "GATT_DeregisterAll - Client deregistration calling driver...",
                               "GATT_DeregisterAll - closing device handle CloseHandle(*", "GATT_DeregisterAll - exit",
                               "LE - ReadWorker: exits"}})));
    EXPECT_FALSE(trace.Contains("GATT_DeregisterAll - exiting thread exit..."));
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_DEREGISTER).size(), 1u);
    EXPECT_TRUE(WaitClosed(id));
    EXPECT_TRUE(TableEmpty());
    EXPECT_EQ(LinkDeviceHandle(), INVALID_HANDLE_VALUE);

    // Nobody was told; later requests find the channel closed.
    trace.Clear();
    read_param param{};
    EXPECT_EQ(GATTC_Read(0, 2, &param), kDriverNotOpen);
    EXPECT_TRUE(trace.Contains("GATTC_Read not registered"));
    GATT_Deregister(2);
    EXPECT_TRUE(InOrder(trace.Lines(), {"free_gatt_if not allocated 2", "GATT_Deregister gatt_if:2",
                                        "GATT_DeregisterAll - not registered"}));
    // And a new first registration opens it again.
    EXPECT_EQ(Register(1), 1);
}

// A reader whose first read fails, or that cannot set up its read slots, ends
// the registration's wait for its start. Wine hands out the handle before the
// driver has seen the open: a refused open shows as a handle on which the
// reader's first read fails.
TEST_F(LinkChannel, ReaderThatFailsDuringStartUpEndsTheRegistrationWait)
{
    const struct {
        bool refuse_open;   // else the sixth read slot of the reader gets no event
        const char *failure;
        size_t waited;      // reads the reader waits for before it ends
    } cases[] = {
        {true, "LE - ReadWorker: DeviceIoControl(ZOREROVA_GATT_READ_EVENT) failed, error 6", 1},
        {false, "LE - ReadWorker:: Event allocation failed. err=8", 5},
    };
    for (const auto &c : cases) {
        trace.Clear();
        const size_t registered = ctl.Requests(ZOREROVA_GATT_REGISTER).size();
        if (c.refuse_open)
            ctl.ArmFault(0, VCTL_FAULT_REFUSE_OPEN, kStatusAccessDenied);
        else
            FailCreateEvent(0, 5);

        EXPECT_EQ(Register(1), 0);
        EXPECT_TRUE(InOrder(trace.Lines(), {
                                               "LE - ReadWorker: Read thread started",
                                               c.failure,
                                               "GATT_Register - Failed Wait for thread to startup. "
                                               "WaitForMultipleObjects returned 1.*",
                                               "GATT_Register - deregistering...",
                                               "GATT_Register - exits. gatt_if=0",
                                           }));
        EXPECT_TRUE(trace.WaitFor("LE - ReadWorker: exits"));
        EXPECT_FALSE(trace.Contains("LE - ReadWorker: completed startup. hStartupEvent=*"));
        EXPECT_EQ(trace.CountPrefix("LE - ReadWorker: waiting for completion of the request "), c.waited);
        EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_REGISTER).size(), registered);
        StopFailingCreateEvent();
        ExpectClosedAndReopens();
        GATT_DeregisterAll(true);
        ASSERT_TRUE(trace.WaitFor("GATT_DeregisterAll - exit"));
    }
}

TEST_F(LinkChannel, EventCreationFailuresOfTheFirstRegistrationCloseWhatWasOpened)
{
    const char *const lines[] = {"GATT_Register - Register server event allocation failed - 8",
                                 "GATT_Register - Error creating shutdown event - 8",
                                 "GATT_Register - Error creating startup event - 8"};
    for (unsigned i = 0; i < 3; ++i) {
        trace.Clear();
        FailCreateEvent(GetCurrentThreadId(), i);
        EXPECT_EQ(Register(1), 0);
        StopFailingCreateEvent();
        EXPECT_TRUE(InOrder(trace.Lines(), {lines[i], "GATT_Register - deregistering...",
                                            "GATT_DeregisterAll - closing device handle CloseHandle(*",
                                            "GATT_Register - exits. gatt_if=0"}));
        EXPECT_FALSE(trace.Contains("GATT_Register - waiting for thread start..."));
        EXPECT_EQ(LinkDeviceHandle(), INVALID_HANDLE_VALUE);
    }
    // Nothing was left open: the next registration finds the channel closed.
    EXPECT_EQ(Register(1), 1);
    EXPECT_FALSE(trace.Contains("GATT_Register - not all handles are closed: *"));
}

TEST_F(LinkChannel, DeregisterWithoutAnEventStillClosesTheChannel)
{
    ASSERT_EQ(Register(1), 1);
    const uint32_t id = Channel();
    trace.Clear();

    FailCreateEvent(GetCurrentThreadId());
    GATT_Deregister(1);
    StopFailingCreateEvent();

    EXPECT_TRUE(InOrder(trace.Lines(), {"GATT_DeregisterAll - Register server event allocation failed - 8",
                                        "GATT_DeregisterAll - exiting thread exit...",
                                        "GATT_DeregisterAll - exit"}));
    EXPECT_FALSE(trace.Contains("GATT_DeregisterAll - Client deregistration calling driver..."));
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATT_DEREGISTER).empty());
    EXPECT_TRUE(WaitClosed(id));
}

TEST_F(LinkChannel, RegistrationsAndDeregistrationsFromSeveralThreadsStayConsistent)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            const LeUuid mine = AppIdentity(t);
            for (int round = 0; round < kRounds; ++round) {
                uint8_t gatt_if = Register(t);
                // The slot is ours until we give it back, and the channel is open.
                if (gatt_if == 0 || std::memcmp(&gatt_if_table[gatt_if - 1].app, &mine, sizeof mine) != 0 ||
                    LinkDeviceHandle() == INVALID_HANDLE_VALUE)
                    ++failures;
                if (gatt_if)
                    GATT_Deregister(gatt_if);
            }
        });
    }
    for (std::thread &th : threads)
        th.join();

    EXPECT_EQ(failures.load(), 0) << trace.Dump();
    EXPECT_TRUE(TableEmpty());
    EXPECT_EQ(LinkDeviceHandle(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(trace.Contains("GATT_Register - not all handles are closed: *"));
    EXPECT_EQ(trace.Count("GATT_Register - exits. gatt_if=0"), 0u);
    // Every opening was registered and deregistered once, and closed.
    const size_t opened = ctl.Requests(ZOREROVA_GATT_REGISTER).size();
    EXPECT_GE(opened, 1u);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_DEREGISTER).size(), opened);
    EXPECT_TRUE(ctl.WaitUntil([](const VctlStats &s) {
        for (uint32_t i = 0; i < s.channel_count && i < VCTL_MAX_CHANNELS; ++i) {
            if (s.channels[i].open && s.channels[i].registered)
                return false;
        }
        return true;
    }));
}

// The last registration deregisters from its own callback, on the reader
// thread: the reader cannot wait for itself, so it stops at its next turn and
// closes the channel from its end.
void DeregisterFromCallback(uint8_t gatt_if, uint16_t, uint8_t connected)
{
    if (connected)
        GATT_Deregister(gatt_if);
}

TEST_F(LinkChannel, LastDeregistrationFromAReaderCallbackClosesTheChannelWhenTheReaderEnds)
{
    ASSERT_EQ(Register(1), 1);
    const uint32_t id = Channel();
    SetConnectedHook(DeregisterFromCallback);
    ctl.PostEvent(qortest::ConnectionEvent(kAddr, 4, 1), id);

    ASSERT_TRUE(trace.WaitFor("LE - ReadWorker: exits")) << trace.Dump();
    SetConnectedHook(nullptr);
    EXPECT_TRUE(InOrder(trace.Lines(), {
                                           "GATT_Deregister gatt_if:1",
                                           "GATT_DeregisterAll - Client deregistration calling driver...",
                                           "GATT_DeregisterAll - exit",
                                           "LE - ReadWorker: ReadWorker: received exit command 2",
                                           "LE - ReadWorker: cancelling all IO requests...",
                                           "LE - ReadWorker: deregistering",
                                           "GATT_DeregisterAll - closing device handle CloseHandle(*",
                                           "GATT_DeregisterAll - exit",
                                           "LE - ReadWorker: exits",
                                       }));
    EXPECT_EQ(trace.Count("LE - ReadWorker: GetOverlappedResult failed, err=995 Closing overlapped event..."), 20u);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_DEREGISTER).size(), 1u);
    EXPECT_TRUE(WaitClosed(id));
    // The channel is fully closed again: a new registration opens it.
    ExpectClosedAndReopens();
    EXPECT_FALSE(trace.Contains("GATT_Register - not all handles are closed: *"));
}

} // namespace
} // namespace linktest
