// The C++ examples of docs/cpp.md, gathered by the build and run against the
// controller, each with the devices it works with: an example prints what the
// page says it prints, and its devices see what it did.
#include <cstring>
#include <functional>
#include <thread>

#include "docs_examples.hpp"
#include "peers.h"
#include "scenario.h"
#include "tests/pairing/store_view.h"

using namespace qortest;

namespace {

// The examples in the order of the page.
enum Example { kErrors, kClient, kServer, kPairing, kTrace, kExamples };
static_assert(kDocsExamples == kExamples, "every example of docs/cpp.md has its case here");

// An address of the examples' own: other cases store other trees elsewhere.
const uint8_t kSensor[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x20};
const qorle::Address kSensorAddress(0x001A7DDA7120);
const uint8_t kCentral[6] = {0x0C, 0x00, 0x00, 0x00, 0x00, 0x01};
using Value = std::vector<uint8_t>;

// 1 180D  2 2A37 notify (3)  4 2902  5 2A38 read (6)  7 2A39 write (8)
GattDb Sensor()
{
    GattDb db;
    db.Service(Uuid16(0x180D));
    db.Characteristic(Uuid16(0x2A37), 0x10, {0x00, 72});
    db.Descriptor(Uuid16(0x2902), {0x00, 0x00});
    db.Characteristic(Uuid16(0x2A38), 0x02, {0x01});
    db.Characteristic(Uuid16(0x2A39), 0x08, {});
    return db;
}

// The other side of an example, played on a thread of its own with its own
// control handle while the example runs.
class Peer {
public:
    explicit Peer(std::function<void(Controller &)> part) : thread_([part] {
        Controller ctl;
        part(ctl);
    })
    {
    }
    ~Peer() { thread_.join(); }

private:
    std::thread thread_;
};

// Until `done` holds, re-asked at every change of the controller.
bool Until(Controller &ctl, const std::function<bool()> &done, DWORD timeout_ms = 10000)
{
    return ctl.WaitUntil([&](const VctlStats &) { return done(); }, timeout_ms);
}

// What `example` prints on stdout.
std::string Printed(const std::function<void()> &example)
{
    testing::internal::CaptureStdout();
    example();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// The local handle of the attribute of `kind` with that 16-bit UUID; 0 if none.
uint16_t LocalHandle(Controller &ctl, uint8_t kind, uint16_t uuid16)
{
    const LeUuid uuid = Uuid16(uuid16);
    for (const VctlLocalAttr &a : LocalDb(ctl))
        if (a.kind == kind && std::memcmp(&a.uuid, &uuid, sizeof uuid) == 0)
            return a.handle;
    return 0;
}

// A central's request, answered: its transaction as the central saw it.
VctlCentralTx Answered(Controller &ctl, uint8_t kind, uint16_t handle, const Value &value = {})
{
    uint32_t id = 0;
    EXPECT_EQ(CentralRequest(ctl, kCentral, kind, handle, true, value, 0, &id), 0u);
    VctlCentralTx tx{};
    auto answered = [&] {
        const VctlCentral c = Central(ctl, kCentral);
        for (const VctlCentralTx &t : c.tx)
            if (t.trans_id == id)
                tx = t;
        return tx.answers > 0;
    };
    EXPECT_TRUE(Until(ctl, answered)) << "the request to handle " << handle << " was not answered";
    return tx;
}

class DocsCppExamples : public ControllerTest {};

TEST_F(DocsCppExamples, TheMeaningsTableIsTheHeaders)
{
    size_t rows = 0;
    for (const auto &row : kDocsMeanings) {
        EXPECT_STREQ(qorle::meaning(row.code), row.meaning) << row.code;
        ++rows;
    }
    EXPECT_EQ(rows, 18u);
}

TEST_F(DocsCppExamples, BothErrorFormsOfAReadOfASensorNotConnected)
{
    qorle::Client client;
    EXPECT_EQ(Printed([&] { read_both_ways(client, kSensorAddress); }), kDocsOutputs[kErrors]);
}

TEST_F(DocsCppExamples, ClientListsReadsWritesAndWatchesAPairedSensor)
{
    ASSERT_TRUE(StoreByPairing(ctl, trace, kSensor, Sensor(), kSensorAddress.value()));
    ctl.AddDevice(kSensor, Sensor());
    Peer sensor([](Controller &c) {
        ASSERT_TRUE(Until(c, [&] { return c.AttrValue(kSensor, 4) == Value{0x01, 0x00}; })) << "no subscription";
        EXPECT_EQ(Notify(c, kSensor, 3, VCTL_KIND_NOTIFICATION, {0x00, 72}), 0u);
        EXPECT_EQ(Notify(c, kSensor, 3, VCTL_KIND_NOTIFICATION, {0x00, 75}), 0u);
    });
    EXPECT_EQ(Printed([] { heart_rate_client(kSensorAddress); }), kDocsOutputs[kClient]);
    EXPECT_EQ(ctl.AttrValue(kSensor, 8), Value{0x01});
    EXPECT_EQ(ctl.AttrValue(kSensor, 4), (Value{0x00, 0x00}));
}

TEST_F(DocsCppExamples, ServerIsReadAndIndicatesToTheCentralThatSubscribed)
{
    AddCentral(ctl, kCentral);
    Peer central([](Controller &c) {
        uint16_t location = 0, cccd = 0;
        ASSERT_TRUE(Until(c, [&] {
            location = LocalHandle(c, VCTL_LOCAL_CHAR_VALUE, 0x2A38);
            cccd = LocalHandle(c, VCTL_LOCAL_DESCRIPTOR, 0x2902);
            const auto db = LocalDb(c);
            return location && cccd && db[0].started;
        })) << "the service was not started";
        c.SetLink(kCentral, true);
        const VctlCentralTx read = Answered(c, VCTL_CENTRAL_READ, location);
        EXPECT_EQ(Value(read.value, read.value + read.len), Value{0x01});
        EXPECT_EQ(Answered(c, VCTL_CENTRAL_WRITE, cccd, {0x02, 0x00}).status, 0);
    });
    EXPECT_EQ(Printed(heart_rate_server), kDocsOutputs[kServer]);
    const VctlCentral seen = Central(ctl, kCentral);
    ASSERT_EQ(seen.received, 1u);
    EXPECT_EQ(seen.last[0].kind, VCTL_KIND_INDICATION);
    EXPECT_EQ(Value(seen.last[0].value, seen.last[0].value + seen.last[0].len), (Value{0x00, 72}));
    EXPECT_EQ(seen.confirmed, 1u);
}

TEST_F(DocsCppExamples, PairingStoresTheTreeOfADeviceItConnects)
{
    storeview::DeleteDevice(kSensorAddress.value());
    ctl.AddDevice(kSensor, Sensor());
    EXPECT_EQ(Printed([] { EXPECT_TRUE(pair(kSensorAddress)); }), kDocsOutputs[kPairing]);
}

TEST_F(DocsCppExamples, TraceLinesOnStderrWhileWorkRuns)
{
    testing::internal::CaptureStderr();
    traced([] { qorle::Pairing pairing; });
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("QorGattPairingRegister: GATT_Register succeeded\n"), std::string::npos) << err;
    EXPECT_NE(err.find("QorGattPairingUnregister: deregistered\n"), std::string::npos) << err;
}

} // namespace
