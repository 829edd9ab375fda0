// The controller's capture of the simulated air, read through the test-control
// interface: the PDUs of a peripheral's exchanges, refusals among them, and the
// ring that keeps the newest records and counts those it lost. A record reads
// "KIND DIRECTION DATA": 02 for an ATT PDU, 04 for an HCI event; 0 sent by the
// local host, 1 received by it.
#include <cstring>

#include "peers.h"
#include "scenario.h"

namespace {

using namespace qortest;

const uint8_t kPeripheral[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};

class Capture : public ControllerTest {
protected:
    DeviceChannel ch;
    void SetUp() override
    {
        ControllerTest::SetUp();
        ASSERT_TRUE(ch.Register());
        GattDb db;
        db.Service(Uuid16(0x180F));
        db.Characteristic(Uuid16(0x2A19), 0x0A, {0x64}, 0x05, 0x03);   // read and write refused
        ctl.AddDevice(kPeripheral, db);
        Set(1, 1);
    }
    void TearDown() override { Set(1, 0); }
    void Set(uint8_t enabled, uint8_t clear)
    {
        VctlCaptureSet set{enabled, clear};
        EXPECT_EQ(ctl.Raw(VCTL_CAPTURE_SET, &set, sizeof set, nullptr, 0), 0u);
    }
    // Every record kept, oldest first.
    VctlCaptureHeader Read(std::vector<std::string> *records)
    {
        std::vector<uint8_t> buf(1 << 20);
        VctlCaptureQuery q{0};
        VctlCaptureHeader h{};
        do {
            DWORD got = 0;
            EXPECT_EQ(ctl.Raw(VCTL_CAPTURE_READ, &q, sizeof q, buf.data(), static_cast<DWORD>(buf.size()), &got), 0u);
            std::memcpy(&h, buf.data(), sizeof h);
            for (size_t at = sizeof h, i = 0; i < h.count; ++i) {
                VctlCaptureRecord r;
                std::memcpy(&r, buf.data() + at, sizeof r);
                const std::string data = ToHex(buf.data() + at + sizeof r, r.len, false);
                records->push_back(Fmt("%02x %u ", r.kind, r.direction) + data);
                at += sizeof r + r.len;
                q.first = r.seq + 1;
            }
        } while (h.count && q.first < h.total);
        return h;
    }
};

TEST_F(Capture, ExchangesOfAPeripheralAsTheAirCarriesThem)
{
    const struct {
        uint32_t code;
        const char *request;
        std::vector<std::string> records;
    } rows[] = {
        {ZOREROVA_GATTC_DISCOVER, "00*18 0000 0100 ffff 04",
         {"02 0 080100ffff0328", "02 1 09070200 0a0300192a", "02 0 080300ffff0328", "02 1 01080300 0a"}},
        {ZOREROVA_GATTC_READ, "0000 02 00 00 0300 00*20", {"02 0 0a0300", "02 1 010a030005"}},
        {ZOREROVA_GATTC_WRITE, "0000 02 0000 0300 0000 0100 00 7f 00*512", {"02 0 1203007f", "02 1 0112030003"}},
        {ZOREROVA_GATTC_WRITE, "0000 01 0000 0300 0000 0100 00 7f 00*512", {"02 0 5203007f"}},
        {ZOREROVA_GATTC_CONFIRM, "0000 0300", {"02 0 1e"}},
    };
    ctl.SetLink(kPeripheral, true);
    std::vector<std::string> want = {"04 1 3e13 0100 0000 00 00 1371da7d1a00 1800 0000 f401 00", "02 0 020502",
                                     "02 1 030502"};
    uint8_t out[2];
    for (const auto &row : rows) {
        EXPECT_EQ(ch.Call(row.code, Hex(row.request).data(), static_cast<DWORD>(Hex(row.request).size()), out,
                          sizeof out), 0u) << row.request;
        want.insert(want.end(), row.records.begin(), row.records.end());
    }
    ctl.SetLink(kPeripheral, false);
    want.push_back("04 1 0504 00 0000 13");
    std::vector<std::string> got;
    Read(&got);
    for (std::string &w : want)
        w = w.substr(0, 5) + ToHex(Hex(w.substr(5)).data(), Hex(w.substr(5)).size(), false);
    EXPECT_EQ(got, want);
}

// The ring keeps the newest records: the two oldest of 16,386 are lost and counted.
TEST_F(Capture, AFullRingKeepsTheNewestAndCountsTheLost)
{
    ctl.SetLink(kPeripheral, true);                                          // three records
    ASSERT_EQ(Notify(ctl, kPeripheral, 3, VCTL_KIND_NOTIFICATION, {0xAA}), 0u);
    ASSERT_EQ(Notify(ctl, kPeripheral, 3, VCTL_KIND_NOTIFICATION, {0xBB}, VCTL_CAPTURE_CAPACITY - 4), 0u);
    ASSERT_EQ(Notify(ctl, kPeripheral, 3, VCTL_KIND_INDICATION, {0xCC}, 2), 0u);
    std::vector<std::string> got;
    VctlCaptureHeader h = Read(&got);
    EXPECT_EQ(h.lost, 2u);
    EXPECT_EQ(h.total - h.oldest, static_cast<uint32_t>(VCTL_CAPTURE_CAPACITY));
    ASSERT_EQ(got.size(), static_cast<size_t>(VCTL_CAPTURE_CAPACITY));
    EXPECT_EQ(got[0], "02 1 030502") << "the MTU response, after the two lost";
    EXPECT_EQ(got[1], "02 1 1b0300aa");
    EXPECT_EQ(got[2], "02 1 1b0300bb");
    EXPECT_EQ(got.back(), "02 1 1d0300cc");
    Set(0, 0);
    ASSERT_EQ(Notify(ctl, kPeripheral, 3, VCTL_KIND_NOTIFICATION, {0xDD}), 0u);
    got.clear();
    EXPECT_EQ(Read(&got).total, h.total) << "nothing is recorded while the capture is off";
    EXPECT_EQ(got.back(), "02 1 1d0300cc");
}

} // namespace
