// Peers of the controller: centrals and their transactions, value pushes and
// their confirmations, and the faults on what a request produces.
#include <cstring>

#include "peers.h"
#include "scenario.h"

namespace {

using namespace qortest;

const uint8_t kPeripheral[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
const uint8_t kCentral[6] = {0xC0, 0xFF, 0xEE, 0x00, 0x00, 0x07};

class Peers : public ControllerTest {
protected:
    DeviceChannel ch;
    void SetUp() override { ControllerTest::SetUp(); ASSERT_TRUE(ch.Register()); }
    std::vector<uint8_t> Next(size_t n)   // the first n bytes of the channel's next event
    {
        PendingRead read;
        DWORD err = ch.StartRead(read);
        err = err == ERROR_IO_PENDING ? ch.FinishRead(read) : err;
        return err ? std::vector<uint8_t>{} : Bytes(read.event.raw, n);
    }
    uint8_t Call(uint32_t code, const std::string &hex)
    {
        uint8_t out[2] = {0xEE, 0xEE};
        EXPECT_EQ(ch.Call(code, Hex(hex).data(), static_cast<DWORD>(Hex(hex).size()), out, sizeof out), 0u);
        return out[0];
    }
};

TEST_F(Peers, CentralTransactionsAreRecordedAndAnsweredOnce)
{
    Call(ZOREROVA_GATTS_CREATE_SERVICE, "01 0200 0d18 00*14 0000 00 0400");
    ASSERT_EQ(Call(ZOREROVA_GATTS_ADD_CHAR, "0100 0200 372a 00*14 0000 02"), 3) << "the value handle";
    AddCentral(ctl, kCentral);
    ctl.SetLink(kCentral, true);
    EXPECT_EQ(Next(10), Hex("ff c0ffee000007 0000 01"));
    EXPECT_EQ(CentralRequest(ctl, kCentral, VCTL_CENTRAL_READ, 3, true), (DWORD)ERROR_NOT_READY) << "not started";
    Call(ZOREROVA_GATTS_START_SERVICE, "01 0100 00");
    uint32_t id = 0;
    EXPECT_EQ(CentralRequest(ctl, kCentral, VCTL_CENTRAL_WRITE, 3, true, {0xAB}, 0x10005, &id), 0u);
    EXPECT_EQ(Next(15), Hex("f9 0000 05000100 02 0300 0000 0100 ab"));
    EXPECT_EQ(CentralRequest(ctl, kCentral, VCTL_CENTRAL_READ, 3, true, {}, 0, &id), 0u);
    EXPECT_EQ(id, 0x10006u) << "the count goes on after a chosen id";
    // Answered; a duplicate; no such transaction.
    for (auto [tx, want] : {std::pair<std::string, int>{"06000100", 0}, {"06000100", 1}, {"99000000", 1}})
        EXPECT_EQ(Call(ZOREROVA_GATTS_SEND_RSP, "0000 " + tx + " 00 0000 0300 0000 0100 00 5a 00*512"), want) << tx;
    VctlCentral seen = Central(ctl, kCentral);
    EXPECT_EQ(Bytes(&seen, 40), Hex("00000000 00000000 01000000 02000000 01000000"
                                    " 00000000 00000000 00000000 00000000 02000000"));
    EXPECT_EQ(Bytes(&seen.tx[1], 13), Hex("06000100 0300 01 01 0200 00 0100"));
    Call(ZOREROVA_GATTS_DELETE_SERVICE, "01 0200 0d18 00*14 0000");
    EXPECT_EQ(CentralRequest(ctl, kCentral, VCTL_CENTRAL_READ, 3, true), (DWORD)ERROR_NOT_FOUND) << "deleted";
}

// Declarations are the controller's own: a central's reads get the bytes a GATT
// server holds at once, a write is not permitted, and the owner hears of none.
TEST_F(Peers, CentralReadsOfDeclarationsAreAnsweredByTheController)
{
    Call(ZOREROVA_GATTS_CREATE_SERVICE, "01 0200 0f18 00*14 0000 00 0100");
    Call(ZOREROVA_GATTS_CREATE_SERVICE, "01 0200 0d18 00*14 0000 00 0600");
    Call(ZOREROVA_GATTS_ADD_INCLUDE, "0300 0100");
    Call(ZOREROVA_GATTS_ADD_CHAR, "0300 1000 03001c7a 523d 8b4e 9c612f0a5b8d4e17 0000 12");
    Call(ZOREROVA_GATTS_START_SERVICE, "01 0300 00");
    AddCentral(ctl, kCentral);
    ctl.SetLink(kCentral, true);
    EXPECT_EQ(Next(1), Hex("ff"));
    // The transaction as the central saw it: handle, kind, need_rsp, answers, status, length, value.
    const char *rows[] = {"0300 01 01 0100 00 0200 0d18", "0400 01 01 0100 00 0600 0100 0200 0f18",
                          "0500 01 01 0100 00 1300 12 0600 174e8d5b0a2f619c 8b4e 523d 03001c7a",
                          "0500 02 01 0100 03 0000"};
    for (const char *row : rows)
        EXPECT_EQ(CentralRequest(ctl, kCentral, Hex(row)[2], Hex(row)[0], true, {0x01}), 0u) << row;
    VctlCentral seen = Central(ctl, kCentral);
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(Bytes(&seen.tx[i].handle, Hex(rows[i]).size()), Hex(rows[i])) << rows[i];
    EXPECT_EQ(CentralRequest(ctl, kCentral, VCTL_CENTRAL_READ, 6, true), 0u);
    EXPECT_EQ(Next(10), Hex("f9 0000 05000000 01 0600")) << "the owner hears only of the value";
}

// Pushes of a peripheral with their confirmations, and a link dropped right
// after a request (held events and centrals' confirmations: value tests).
TEST_F(Peers, PushesConfirmationsAndADroppedLink)
{
    GattDb db;
    db.Service(Uuid16(0x180F));
    db.Characteristic(Uuid16(0x2A19), 0x32, {0x64});
    ctl.AddDevice(kPeripheral, db);
    ctl.SetLink(kPeripheral, true);
    EXPECT_EQ(Next(10), Hex("ff 001a7dda7113 0000 01"));
    EXPECT_EQ(Notify(ctl, kPeripheral, 3, VCTL_KIND_INDICATION, {}, 1, 0x21, true), 0u);
    EXPECT_EQ(Next(15), Hex("f8 0000 06 00 0000 0300 0000 0100 21 64")) << "the stored value";
    for (const char *confirm : {"0000 0400", "0000 0300", "0000 0300"})
        EXPECT_EQ(Call(ZOREROVA_GATTC_CONFIRM, confirm), 0xEE);
    VctlCentral peripheral = Central(ctl, kPeripheral);
    EXPECT_EQ(Bytes(&peripheral.confirms_good, 16), Hex("01000000 01000000 01000000 00000000"))
        << "good, wrong handle, unexpected, outstanding";
    ctl.ArmFault(ZOREROVA_GATTC_READ, VCTL_FAULT_DROP_LINK);
    EXPECT_EQ(Call(ZOREROVA_GATTC_READ, "0000 02 00 00 0300 00*20"), 0xEE);
    EXPECT_EQ(Next(5), Hex("f8 0000 02 00"));
    EXPECT_EQ(Next(10), Hex("ff 001a7dda7113 0000 00")) << "the link drops right after";
}

} // namespace
