// The driver contract as seen through a raw channel: sizes, answers, the log.
#include <cstring>

#include "qortest.h"

namespace {

using qortest::ControllerTest;
using qortest::DeviceChannel;
using qortest::PendingRead;

struct CodeSize {
    uint32_t code;
    DWORD in_len;
    DWORD out_len;
};

const CodeSize kContract[] = {
    {ZOREROVA_GATT_REGISTER, 18, 1},         {ZOREROVA_GATT_DEREGISTER, 0, 0},
    {ZOREROVA_GATT_CONNECT, 8, 0},           {ZOREROVA_GATT_CANCEL_CONNECT, 8, 0},
    {ZOREROVA_GATTC_DISCOVER, 25, 0},        {ZOREROVA_GATTC_READ, 27, 0},
    {ZOREROVA_GATTC_WRITE, 525, 1},          {ZOREROVA_GATTC_CONFIRM, 4, 0},
    {ZOREROVA_GATTS_CREATE_SERVICE, 24, 2},  {ZOREROVA_GATTS_ADD_INCLUDE, 4, 2},
    {ZOREROVA_GATTS_ADD_CHAR, 23, 2},        {ZOREROVA_GATTS_ADD_DESCR, 44, 2},
    {ZOREROVA_GATTS_START_SERVICE, 4, 1},    {ZOREROVA_GATTS_INDICATION, 518, 1},
    {ZOREROVA_GATTS_NOTIFICATION, 518, 1},   {ZOREROVA_GATTS_SEND_RSP, 529, 1},
    {ZOREROVA_GATTS_DELETE_SERVICE, 21, 0},  // last: it removes the service the others use
};

class Contract : public ControllerTest {
protected:
    DeviceChannel ch;
    uint8_t in[600] = {};
    uint8_t out[16] = {};
    DWORD bytes = 0;

    DWORD Call(uint32_t code, DWORD in_len, DWORD out_len) { return ch.Call(code, in, in_len, out, out_len, &bytes); }

    uint16_t CreateService(uint16_t num_handles)
    {
        ZrCreateServiceReq req{};
        req.gatt_if = 1;
        req.uuid = qortest::Uuid16(0x180F);
        req.num_handles = num_handles;
        uint16_t handle = 0;
        EXPECT_EQ(ch.Call(ZOREROVA_GATTS_CREATE_SERVICE, &req, sizeof req, &handle, 2, &bytes), 0u);
        return handle;
    }
    DWORD Add(uint32_t code, uint16_t service, DWORD in_len, uint16_t *handle)
    {
        std::memset(in, 0, sizeof in);
        std::memcpy(in, &service, 2);
        *handle = 0;
        return ch.Call(code, in, in_len, handle, 2, &bytes);
    }
};

// Wrong sizes are refused before anything is done; the right ones are
// answered at once with the output of the code.
TEST_F(Contract, EveryCodeChecksItsSizesAndIsAnsweredAtOnce)
{
    for (const CodeSize &c : kContract) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << c.code);
        std::memset(in, 0, sizeof in);
        EXPECT_EQ(Call(c.code, c.in_len + 1, c.out_len), (DWORD)ERROR_INVALID_PARAMETER);
        if (c.in_len > 0) {
            EXPECT_EQ(Call(c.code, c.in_len - 1, c.out_len), (DWORD)ERROR_INVALID_PARAMETER);
        }
        if (c.out_len > 0) {
            EXPECT_EQ(Call(c.code, c.in_len, c.out_len - 1), (DWORD)ERROR_INSUFFICIENT_BUFFER);
        }
        if (c.code == ZOREROVA_GATTS_CREATE_SERVICE)
            in[22] = 4;                       // num_handles
        if (c.code == ZOREROVA_GATTS_ADD_INCLUDE || c.code == ZOREROVA_GATTS_ADD_CHAR ||
            c.code == ZOREROVA_GATTS_ADD_DESCR || c.code == ZOREROVA_GATTS_START_SERVICE)
            in[c.code == ZOREROVA_GATTS_START_SERVICE ? 1 : 0] = 1;   // the service created above
        if (c.code == ZOREROVA_GATTS_ADD_INCLUDE)
            in[2] = 1;                        // which includes itself
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(Call(c.code, c.in_len, sizeof out), 0u);
        EXPECT_EQ(bytes, c.out_len);
        if (c.out_len == 1) {
            EXPECT_EQ(out[0], c.code == ZOREROVA_GATT_REGISTER ? 1 : 0);
        }
    }
    ZrEvent ev;   // the read-event request takes no input and a whole record
    uint8_t one = 0;
    EXPECT_EQ(ch.Call(ZOREROVA_GATT_READ_EVENT, &one, 1, &ev, sizeof ev, &bytes), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ch.Call(ZOREROVA_GATT_READ_EVENT, nullptr, 0, &ev, sizeof ev - 1, &bytes),
              (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(Contract, RegisterAnswersOneAndMarksTheChannel)
{
    uint32_t id = ch.Id();
    ASSERT_TRUE(ch.Register());
    EXPECT_TRUE(ctl.Channel(ctl.Stats(), id)->registered);
    EXPECT_EQ(ctl.LibraryChannel(), id);
    EXPECT_EQ(Call(ZOREROVA_GATT_DEREGISTER, 0, 0), 0u);
    EXPECT_FALSE(ctl.Channel(ctl.Stats(), id)->registered);
    EXPECT_EQ(ctl.LibraryChannel(), 0u);
}

TEST_F(Contract, ServiceRequestsHandOutHandlesInsideTheReservedRange)
{
    uint16_t s1 = CreateService(3), s2 = CreateService(2), h = 0;
    ASSERT_NE(s1, 0);
    EXPECT_EQ(s2, s1 + 4);
    EXPECT_EQ(Add(ZOREROVA_GATTS_ADD_CHAR, s1, 23, &h), 0u);
    EXPECT_EQ(h, s1 + 2) << "the value handle, after the declaration";
    EXPECT_EQ(Add(ZOREROVA_GATTS_ADD_DESCR, s1, 44, &h), 0u);
    EXPECT_EQ(h, s1 + 3);
    EXPECT_NE(Add(ZOREROVA_GATTS_ADD_DESCR, s1, 44, &h), 0u) << "the range is used up";
    EXPECT_EQ(Add(ZOREROVA_GATTS_ADD_CHAR, s2, 23, &h), 0u);
    EXPECT_EQ(h, s2 + 2);
    EXPECT_NE(Add(ZOREROVA_GATTS_ADD_CHAR, 0x7777, 23, &h), 0u) << "no such service";
}

TEST_F(Contract, LogHoldsEveryRequestByteForByte)
{
    ZrWriteReq w{};
    w.conn_id = 7;
    w.type = 2;
    w.value.handle = 0x21;
    w.value.len = 3;
    std::memcpy(w.value.value, "\x01\x02\x03", 3);
    uint8_t result = 0xEE;
    ASSERT_EQ(ch.Call(ZOREROVA_GATTC_WRITE, &w, sizeof w, &result, 1, &bytes), 0u);
    ASSERT_EQ(Call(ZOREROVA_GATTC_CONFIRM, 5, 0), (DWORD)ERROR_INVALID_PARAMETER);
    PendingRead read;
    ASSERT_EQ(ch.StartRead(read), (DWORD)ERROR_IO_PENDING);

    std::vector<VctlLogEntry> log = ctl.Log();
    ASSERT_EQ(log.size(), 2u) << "read-event requests are not logged";
    EXPECT_EQ(log[0].seq, 0u);
    EXPECT_EQ(log[0].code, ZOREROVA_GATTC_WRITE);
    EXPECT_EQ(log[0].channel, ch.Id());
    EXPECT_EQ(log[0].status, 0u);
    ASSERT_EQ(log[0].in_len, sizeof w);
    EXPECT_EQ(std::memcmp(log[0].in, &w, sizeof w), 0);
    ASSERT_EQ(log[0].out_len, 1u);
    EXPECT_EQ(log[0].out[0], 0);
    EXPECT_EQ(log[1].seq, 1u);
    EXPECT_EQ(log[1].code, ZOREROVA_GATTC_CONFIRM);
    EXPECT_EQ(log[1].status, 0xC000000Du) << "STATUS_INVALID_PARAMETER";
    EXPECT_EQ(log[1].in_len, 5u);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_WRITE).size(), 1u);
    ctl.Reset();
    EXPECT_TRUE(ctl.Log().empty());
}

TEST_F(Contract, LogKeepsTheNewestWhenFull)
{
    for (uint32_t i = 0; i < VCTL_LOG_CAPACITY + 5; ++i)
        ASSERT_EQ(Call(ZOREROVA_GATT_DEREGISTER, 0, 0), 0u);
    std::vector<VctlLogEntry> log = ctl.Log();
    ASSERT_EQ(log.size(), (size_t)VCTL_LOG_CAPACITY);
    EXPECT_EQ(log.front().seq, 5u);
    EXPECT_EQ(log.back().seq, VCTL_LOG_CAPACITY + 4u);
}

} // namespace
