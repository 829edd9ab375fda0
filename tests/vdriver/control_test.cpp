// Test-control requests: faults, waiting for changes, reset.
#include <cstring>
#include <thread>

#include "qortest.h"

namespace {

using qortest::ControllerTest;
using qortest::DeviceChannel;
using qortest::PendingRead;

class Control : public ControllerTest {
protected:
    DeviceChannel ch;
    uint8_t in[600] = {};
    uint8_t out[4] = {};
    DWORD bytes = 0;

    DWORD Write() { return ch.Call(ZOREROVA_GATTC_WRITE, in, sizeof(ZrWriteReq), out, 1, &bytes); }
};

TEST_F(Control, StatusFaultFailsTheRequestsOfItsCodeAfterItsSkips)
{
    ctl.ArmFault(ZOREROVA_GATTC_WRITE, VCTL_FAULT_STATUS, 0xC0000022u /* STATUS_ACCESS_DENIED */, 2, 1);
    EXPECT_EQ(Write(), 0u);
    EXPECT_EQ(Write(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Write(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Write(), 0u);
    std::vector<VctlLogEntry> log = ctl.Requests(ZOREROVA_GATTC_WRITE);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1].status, 0xC0000022u);
    EXPECT_EQ(log[1].out_len, 0u);

    ctl.ArmFault(ZOREROVA_GATTS_NOTIFICATION, VCTL_FAULT_STATUS, 0xC0000001u);
    EXPECT_EQ(Write(), 0u) << "a fault applies only to its code";
    EXPECT_EQ(ch.Call(ZOREROVA_GATTS_NOTIFICATION, in, sizeof(ZrHandleValueReq), out, 1), (DWORD)ERROR_GEN_FAILURE);
}

TEST_F(Control, PendFaultLeavesTheRequestPendingUntilReset)
{
    ctl.ArmFault(ZOREROVA_GATT_CONNECT, VCTL_FAULT_PEND);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(DeviceIoControl(ch.Handle(), ZOREROVA_GATT_CONNECT, in, sizeof(ZrConnectReq), nullptr, 0, &bytes,
                                 &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_CONNECT).at(0).status, 0x103u) << "STATUS_PENDING";
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), (DWORD)WAIT_TIMEOUT);
    ctl.Reset();
    EXPECT_FALSE(GetOverlappedResult(ch.Handle(), &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    CloseHandle(ov.hEvent);
}

TEST_F(Control, ShortOutputAndResultByteFaultsShapeTheAnswer)
{
    ZrCreateServiceReq create{};
    create.num_handles = 2;
    uint8_t handle[2] = {0xEE, 0xEE};
    ctl.ArmFault(ZOREROVA_GATTS_CREATE_SERVICE, VCTL_FAULT_SHORT_OUTPUT, 1);
    EXPECT_EQ(ch.Call(ZOREROVA_GATTS_CREATE_SERVICE, &create, sizeof create, handle, 2, &bytes), 0u);
    EXPECT_EQ(bytes, 1u);
    ctl.ArmFault(ZOREROVA_GATTC_WRITE, VCTL_FAULT_RESULT_BYTE, 2);
    EXPECT_EQ(Write(), 0u);
    EXPECT_EQ(bytes, 1u);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(Write(), 0u);
    EXPECT_EQ(out[0], 0);
}

// Wine hands out the handle before the driver has seen the open, so a refused
// open shows as a handle on which every request fails with ERROR_INVALID_HANDLE.
TEST_F(Control, RefuseOpenRefusesTheNextOpensAfterItsSkips)
{
    ctl.ArmFault(0, VCTL_FAULT_REFUSE_OPEN, 0xC0000022u /* STATUS_ACCESS_DENIED */, 1, 1);
    const VctlStats before = ctl.Stats();
    DeviceChannel skipped, refused, later;
    EXPECT_TRUE(skipped.Register());
    uint8_t gatt_if = 0;
    LeUuid app = qortest::Uuid16(1);
    EXPECT_EQ(refused.Call(ZOREROVA_GATT_REGISTER, &app, sizeof app, &gatt_if, 1), (DWORD)ERROR_INVALID_HANDLE);
    PendingRead read;
    EXPECT_EQ(refused.StartRead(read), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_TRUE(later.Register());
    const VctlStats after = ctl.Stats();
    EXPECT_EQ(after.opens, before.opens + 2);
    EXPECT_EQ(after.refused_opens, before.refused_opens + 1);
}

TEST_F(Control, EventStatusFaultSetsTheStatusOfTheProducedEvent)
{
    const uint8_t addr[6] = {1, 2, 3, 4, 5, 6};
    qortest::GattDb db;
    db.Service(qortest::Uuid16(0x180F));
    ctl.AddDevice(addr, db);
    ctl.SetLink(addr, true);
    ctl.ArmFault(ZOREROVA_GATTC_DISCOVER, VCTL_FAULT_EVENT_STATUS, 0x81, 1, 1);
    ZrDiscoverReq req{};
    req.s_handle = 1;
    req.e_handle = 0xFFFF;
    req.type = ZR_DISC_ALL_SERVICES;
    for (uint8_t want : {0x00, 0x81}) {
        ASSERT_EQ(ch.Call(ZOREROVA_GATTC_DISCOVER, &req, sizeof req), 0u);
        PendingRead read;
        do {
            ASSERT_EQ(ch.StartRead(read), 0u);
        } while (read.event.type == ZR_EVT_DISC_RESULT);
        ASSERT_EQ(read.event.type, ZR_EVT_DISC_COMPLETE);
        EXPECT_EQ(read.event.disc_complete.status, want);
    }
}

TEST_F(Control, WaitChangeReturnsOnTheNextChangeAndCanBeCancelled)
{
    uint32_t gen = ctl.Stats().generation, seen = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(DeviceIoControl(ctl.Handle(), VCTL_WAIT_CHANGE, &gen, 4, &seen, 4, &bytes, &ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    PendingRead read;
    ASSERT_EQ(ch.StartRead(read), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(ctl.Handle(), &ov, &bytes, TRUE));
    EXPECT_NE(seen, gen);

    gen = seen;
    ResetEvent(ov.hEvent);
    ASSERT_FALSE(DeviceIoControl(ctl.Handle(), VCTL_WAIT_CHANGE, &gen, 4, &seen, 4, &bytes, &ov));
    ASSERT_TRUE(CancelIo(ctl.Handle()));
    EXPECT_FALSE(GetOverlappedResult(ctl.Handle(), &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    CloseHandle(ov.hEvent);
}

TEST_F(Control, WaitUntilWakesOnAChangeMadeByAnotherThread)
{
    uint32_t id = ch.Id();
    std::thread poster([&] { ASSERT_TRUE(ch.Register()); });
    EXPECT_TRUE(ctl.WaitUntil([id](const VctlStats &s) {
        const VctlChannelStats *c = qortest::Controller::Channel(s, id);
        return c && c->registered;
    }));
    poster.join();
    EXPECT_FALSE(ctl.WaitPendingReads(id, 1, 50));
}

TEST_F(Control, MalformedControlRequestsAreRefused)
{
    uint8_t big[1024] = {};
    EXPECT_EQ(ctl.Raw(VCTL_POST_EVENT, big, 10, nullptr, 0), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ctl.Raw(VCTL_ARM_FAULT, big, sizeof(VctlFault), nullptr, 0), (DWORD)ERROR_INVALID_PARAMETER)
        << "kind 0";
    EXPECT_EQ(ctl.Raw(VCTL_GET_STATS, nullptr, 0, big, 8), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    VctlDevice dev{};
    dev.attr_count = 1;  // but no record follows
    EXPECT_EQ(ctl.Raw(VCTL_ADD_DEVICE, &dev, sizeof dev, nullptr, 0), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ctl.Raw(0x017A3FFC, nullptr, 0, nullptr, 0), (DWORD)ERROR_INVALID_FUNCTION);
}

} // namespace
