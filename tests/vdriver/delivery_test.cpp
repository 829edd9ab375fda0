// Event delivery: pending reads, queueing, cancellation and routing.
#include <cstring>
#include <memory>

#include "qortest.h"

namespace {

using qortest::ControllerTest;
using qortest::DeviceChannel;
using qortest::PendingRead;

const uint8_t kAddr[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};

// A completion whose handle numbers the event, so order is visible.
ZrEvent Numbered(uint16_t n) { return qortest::CompleteEvent(0, ZR_OP_READ, 0, n); }

class Delivery : public ControllerTest {
protected:
    DeviceChannel ch;
    std::vector<std::unique_ptr<PendingRead>> reads;

    void SetUp() override
    {
        ControllerTest::SetUp();
        ASSERT_TRUE(ch.Register());
    }
    // n reads pending on the channel, and the driver holding them.
    void Pend(size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            reads.push_back(std::make_unique<PendingRead>());
            ASSERT_EQ(ch.StartRead(*reads.back()), (DWORD)ERROR_IO_PENDING);
        }
        ASSERT_TRUE(ctl.WaitPendingReads(ch.Id(), static_cast<uint32_t>(n)));
    }
    uint16_t HandleOf(const PendingRead &r) { return r.event.complete.payload.handle; }
    void ExpectCancelled(uint32_t id, uint32_t n)
    {
        const VctlChannelStats *s = ctl.Channel(ctl.Stats(), id);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->pending_reads, 0u);
        EXPECT_EQ(s->reads_cancelled, n);
    }
};

TEST_F(Delivery, EventsFillReadsOldestFirstInPostOrder)
{
    Pend(5);
    ASSERT_EQ(ctl.WaitLibraryReady(5), ch.Id());
    for (uint16_t n = 1; n <= 5; ++n)
        ctl.PostEvent(Numbered(n));
    for (uint16_t n = 1; n <= 5; ++n) {
        ASSERT_EQ(ch.FinishRead(*reads[n - 1]), 0u);
        EXPECT_EQ(reads[n - 1]->event.type, ZR_EVT_COMPLETE);
        EXPECT_EQ(HandleOf(*reads[n - 1]), n);
    }
    const VctlChannelStats *s = ctl.Channel(ctl.Stats(), ch.Id());
    EXPECT_EQ(s->delivered, 5u);
    EXPECT_EQ(s->pending_reads, 0u);
}

TEST_F(Delivery, EventsWithoutAReadWaitInOrderForTheNextReads)
{
    for (uint16_t n = 1; n <= 3; ++n)
        ctl.PostEvent(Numbered(n));
    EXPECT_EQ(ctl.Channel(ctl.Stats(), ch.Id())->queued_events, 3u);
    for (uint16_t n = 1; n <= 3; ++n) {
        PendingRead read;
        ASSERT_EQ(ch.StartRead(read), 0u) << "a queued event completes the read at once";
        EXPECT_EQ(HandleOf(read), n);
    }
    PendingRead last;
    EXPECT_EQ(ch.StartRead(last), (DWORD)ERROR_IO_PENDING);
}

TEST_F(Delivery, FullQueueCountsOverflowAndKeepsTheOldest)
{
    for (uint32_t n = 0; n <= ctl.Stats().queue_capacity; ++n)
        ctl.PostEvent(Numbered(static_cast<uint16_t>(n)));
    const VctlStats stats = ctl.Stats();
    EXPECT_EQ(ctl.Channel(stats, ch.Id())->queued_events, stats.queue_capacity);
    EXPECT_EQ(ctl.Channel(stats, ch.Id())->overflow, 1u);
    PendingRead read;
    ASSERT_EQ(ch.StartRead(read), 0u);
    EXPECT_EQ(HandleOf(read), 0);
}

TEST_F(Delivery, CancelIoEndsEveryPendingReadWithOperationAborted)
{
    Pend(20);
    ASSERT_TRUE(CancelIo(ch.Handle()));
    for (auto &read : reads) {
        DWORD bytes = 0;
        EXPECT_FALSE(GetOverlappedResult(ch.Handle(), &read->ov, &bytes, TRUE));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    }
    ExpectCancelled(ch.Id(), 20);
}

TEST_F(Delivery, CloseCompletesPendingReadsAsCancelled)
{
    uint32_t id = ch.Id();
    Pend(20);
    ch.Close();
    for (auto &read : reads) {
        ASSERT_EQ(WaitForSingleObject(read->ov.hEvent, 5000), WAIT_OBJECT_0);
        EXPECT_EQ(read->ov.Internal, 0xC0000120u) << "STATUS_CANCELLED";
    }
    const VctlChannelStats *s = ctl.Channel(ctl.Stats(), id);
    ASSERT_NE(s, nullptr) << "a closed channel stays listed until reset";
    EXPECT_EQ(s->open, 0u);
    EXPECT_EQ(s->registered, 0u);
    ExpectCancelled(id, 20);
    ctl.Reset();
    EXPECT_EQ(ctl.Channel(ctl.Stats(), id), nullptr);
}

TEST_F(Delivery, FailReadCompletesTheOldestReadWithTheStatus)
{
    Pend(2);
    ctl.FailRead(ch.Id(), 0xC000009Du);  // STATUS_DEVICE_NOT_CONNECTED
    EXPECT_EQ(ch.FinishRead(*reads[0]), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ch.FinishRead(*reads[1], 0), (DWORD)WAIT_TIMEOUT);
}

TEST_F(Delivery, RoutingFollowsTheKindOfEvent)
{
    DeviceChannel other;
    ASSERT_TRUE(other.Register());
    PendingRead mine, theirs;
    auto expect_next = [&](const ZrEvent &ev, uint32_t channel, bool to_ch, bool to_other) {
        ASSERT_EQ(ch.StartRead(mine), (DWORD)ERROR_IO_PENDING);
        ASSERT_EQ(other.StartRead(theirs), (DWORD)ERROR_IO_PENDING);
        ctl.PostEvent(ev, channel);
        EXPECT_EQ(ch.FinishRead(mine, to_ch ? 5000 : 0), to_ch ? 0u : (DWORD)WAIT_TIMEOUT);
        EXPECT_EQ(other.FinishRead(theirs, to_other ? 5000 : 0), to_other ? 0u : (DWORD)WAIT_TIMEOUT);
        CancelIo(ch.Handle());
        CancelIo(other.Handle());
        DWORD bytes;
        GetOverlappedResult(ch.Handle(), &mine.ov, &bytes, TRUE);
        GetOverlappedResult(other.Handle(), &theirs.ov, &bytes, TRUE);
    };
    SCOPED_TRACE("connections go to every registered channel");
    expect_next(qortest::ConnectionEvent(kAddr, 0, 1), VCTL_CHANNEL_ROUTE, true, true);

    // Completions and discovery events answer the latest requester.
    ZrConfirmReq confirm{};
    ASSERT_EQ(ch.Call(ZOREROVA_GATTC_CONFIRM, &confirm, sizeof confirm), 0u);
    expect_next(Numbered(1), VCTL_CHANNEL_ROUTE, true, false);
    expect_next(qortest::DiscCompleteEvent(0, 1, 0), VCTL_CHANNEL_ROUTE, true, false);
    ASSERT_EQ(other.Call(ZOREROVA_GATTC_CONFIRM, &confirm, sizeof confirm), 0u);
    expect_next(Numbered(2), VCTL_CHANNEL_ROUTE, false, true);

    // Remote requests go to the channel that owns the local service.
    ZrCreateServiceReq create{};
    create.uuid = qortest::Uuid16(0x1800);
    create.num_handles = 5;
    uint16_t service = 0;
    ASSERT_EQ(ch.Call(ZOREROVA_GATTS_CREATE_SERVICE, &create, sizeof create, &service, 2), 0u);
    ASSERT_EQ(other.Call(ZOREROVA_GATTC_CONFIRM, &confirm, sizeof confirm), 0u);
    expect_next(qortest::RequestEvent(0, 9, 1, static_cast<uint16_t>(service + 5)), VCTL_CHANNEL_ROUTE, true, false);
    expect_next(qortest::RequestEvent(0, 9, 1, static_cast<uint16_t>(service + 6)), VCTL_CHANNEL_ROUTE, false, true);

    expect_next(Numbered(3), VCTL_CHANNEL_ALL, true, true);
    expect_next(Numbered(4), ch.Id(), true, false);
}

TEST_F(Delivery, UnregisteredChannelsHearOnlyWhatIsAddressedToThem)
{
    DeviceChannel bystander;
    PendingRead read;
    ASSERT_EQ(bystander.StartRead(read), (DWORD)ERROR_IO_PENDING);
    ctl.PostEvent(qortest::ConnectionEvent(kAddr, 0, 1), VCTL_CHANNEL_ALL);
    ctl.PostEvent(Numbered(1));
    ctl.PostEvent(Numbered(2), bystander.Id());
    ASSERT_EQ(bystander.FinishRead(read), 0u);
    EXPECT_EQ(HandleOf(read), 2);
    const VctlStats stats = ctl.Stats();
    EXPECT_EQ(ctl.Channel(stats, ch.Id())->queued_events, 2u);
}

} // namespace
