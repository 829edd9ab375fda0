// The test-support pieces that other tests lean on: trace capture and the
// attribute database layout.
#include <cstring>
#include <thread>

#include "qortest.h"
#include "trace/trace.h"

namespace {

using qortest::GattDb;
using qortest::Uuid16;

TEST(TraceCaptureTest, WaitsForLinesFromOtherThreads)
{
    qortest::TraceCapture trace;
    std::thread worker([] {
        LeTrace("alpha %d", 1);
        LeTrace("alpha %d\n", 1);
        LeTrace("beta %s", "two");
    });
    EXPECT_TRUE(trace.WaitForCount("alpha 1", 2));
    EXPECT_TRUE(trace.WaitForPrefix("beta "));
    worker.join();
    EXPECT_EQ(trace.Count("alpha 1\n"), 2u) << "a final line feed is ignored";
    EXPECT_TRUE(trace.Contains("beta two"));
    EXPECT_FALSE(trace.WaitFor("gamma", 20));
    EXPECT_EQ(trace.Lines().back(), "beta two\n");
    trace.Clear();
    EXPECT_TRUE(trace.Lines().empty());
}

TEST(GattDbTest, LaysOutHandlesAsAServerDoes)
{
    GattDb db;
    EXPECT_EQ(db.Service(Uuid16(0x1800)), 1);
    EXPECT_EQ(db.Characteristic(Uuid16(0x2A00), 0x02, {'x'}), 2);
    EXPECT_EQ(db.Descriptor(Uuid16(0x2901)), 4);
    db.Gap(3);
    EXPECT_EQ(db.Service(Uuid16(0x180F), 0x20), 8);
    EXPECT_EQ(db.Include(1, 7, 0x1800), 9);
    EXPECT_EQ(db.Service(Uuid16(0x180A)), 10);
    EXPECT_EQ(db.Characteristic(Uuid16(0x2A29), 0x02), 11);

    std::vector<uint8_t> raw = db.Serialize();
    std::vector<VctlAttr> attrs;
    std::vector<std::vector<uint8_t>> values;
    for (size_t at = 0; at < raw.size();) {
        VctlAttr a;
        std::memcpy(&a, raw.data() + at, sizeof a);
        at += sizeof a;
        attrs.push_back(a);
        values.emplace_back(raw.begin() + at, raw.begin() + at + a.value_len);
        at += a.value_len;
    }
    ASSERT_EQ(attrs.size(), db.Attrs().size());
    EXPECT_EQ(attrs[0].end_handle, 7) << "up to the next service";
    EXPECT_EQ(values[1], (std::vector<uint8_t>{0x02, 0x03, 0x00, 0x00, 0x2A}));
    EXPECT_EQ(values[2], (std::vector<uint8_t>{'x'}));
    EXPECT_EQ(attrs[4].end_handle, 0x20) << "fixed";
    EXPECT_EQ(values[5], (std::vector<uint8_t>{0x01, 0x00, 0x07, 0x00, 0x00, 0x18}));
    EXPECT_EQ(attrs[6].end_handle, 12) << "the last handle of the database";
}

} // namespace
