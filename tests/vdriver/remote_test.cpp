// Simulated remote devices: connections, discovery, reads and writes.
#include <cstring>

#include "qortest.h"

namespace {

using qortest::Bytes;
using qortest::ControllerTest;
using qortest::DeviceChannel;
using qortest::PendingRead;
using qortest::Uuid128;
using qortest::Uuid16;

const uint8_t kA[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
const uint8_t kB[6] = {0xC0, 0xFF, 0xEE, 0x00, 0x00, 0x02};
const GUID kService128 = {0x7A1C0001, 0x3D52, 0x4E8B, {0x9C, 0x61, 0x2F, 0x0A, 0x5B, 0x8D, 0x4E, 0x17}};
const GUID kChar128 = {0x7A1C0002, 0x3D52, 0x4E8B, {0x9C, 0x61, 0x2F, 0x0A, 0x5B, 0x8D, 0x4E, 0x17}};

bool SameUuid(const LeUuid &a, const LeUuid &b)
{
    return a.len == b.len && std::memcmp(a.value, b.value, a.len == 16 ? 16 : 2) == 0;
}

class Remote : public ControllerTest {
protected:
    DeviceChannel ch;
    qortest::GattDb db;
    uint16_t gap_service, gap_name, nus, include, battery, cccd, user_desc, rx;

    void SetUp() override
    {
        ControllerTest::SetUp();
        ASSERT_TRUE(ch.Register());
        gap_service = db.Service(Uuid16(0x1800));                                  // 1, ends at 3
        gap_name = db.Characteristic(Uuid16(0x2A00), 0x02, {'Q', 'o', 'r'});       // 2, value 3
        nus = db.Service(Uuid128(kService128));                                     // 4, ends at 11
        include = db.Include(gap_service, 3, 0x1800);                               // 5
        battery = db.Characteristic(Uuid16(0x2A19), 0x1A, {0x64});                 // 6, value 7
        cccd = db.Descriptor(Uuid16(0x2902), {0x00, 0x00});                         // 8
        user_desc = db.Descriptor(Uuid16(0x2901), {'b'}, 0x05);                     // 9, read refused
        rx = db.Characteristic(Uuid128(kChar128), 0x08, {}, 0, 0x03);              // 10, value 11, write refused
        ctl.AddDevice(kA, db);
    }

    // Every event queued for a channel, in order.
    std::vector<ZrEvent> Drain(DeviceChannel &on)
    {
        std::vector<ZrEvent> events;
        for (;;) {
            PendingRead read;
            if (on.StartRead(read) != ERROR_SUCCESS)
                return events;
            events.push_back(read.event);
        }
    }
    std::vector<ZrEvent> Drain() { return Drain(ch); }

    DWORD ConnectRequest(const uint8_t bda[6], uint8_t direct = 1)
    {
        ZrConnectReq req{};
        std::memcpy(req.bda, bda, 6);
        req.direct = direct;
        return ch.Call(ZOREROVA_GATT_CONNECT, &req, sizeof req);
    }
    uint16_t Connect(const uint8_t bda[6])
    {
        EXPECT_EQ(ConnectRequest(bda), 0u);
        std::vector<ZrEvent> events = Drain();
        if (events.size() != 1 || events[0].type != ZR_EVT_CONNECTION) {
            ADD_FAILURE() << "no connection event";
            return 0xFFFF;
        }
        return events[0].connection.conn_id;
    }
    std::vector<ZrEvent> Discover(uint16_t conn_id, uint8_t type, uint16_t s, uint16_t e)
    {
        ZrDiscoverReq req{};
        req.conn_id = conn_id;
        req.s_handle = s;
        req.e_handle = e;
        req.type = type;
        EXPECT_EQ(ch.Call(ZOREROVA_GATTC_DISCOVER, &req, sizeof req), 0u);
        std::vector<ZrEvent> events = Drain();
        EXPECT_FALSE(events.empty());
        if (!events.empty()) {
            const ZrEvent &done = events.back();
            EXPECT_EQ(done.type, ZR_EVT_DISC_COMPLETE);
            EXPECT_EQ(done.disc_complete.conn_id, conn_id);
            EXPECT_EQ(done.disc_complete.disc_type, type);
            EXPECT_EQ(done.disc_complete.status, 0);
            events.pop_back();
        }
        return events;
    }
    ZrEvent Read(uint16_t conn_id, uint16_t handle)
    {
        ZrReadReq req{};
        req.conn_id = conn_id;
        req.type = 2;
        req.param.auth_req = 1;
        req.param.handle = handle;
        EXPECT_EQ(ch.Call(ZOREROVA_GATTC_READ, &req, sizeof req), 0u);
        std::vector<ZrEvent> events = Drain();
        EXPECT_EQ(events.size(), 1u);
        return events.empty() ? ZrEvent{} : events[0];
    }
    std::vector<ZrEvent> Write(uint16_t conn_id, uint16_t handle, const std::vector<uint8_t> &value, uint8_t type = 2)
    {
        ZrWriteReq req{};
        req.conn_id = conn_id;
        req.type = type;
        req.value.handle = handle;
        req.value.len = static_cast<uint16_t>(value.size());
        std::memcpy(req.value.value, value.data(), value.size());
        uint8_t result = 0xEE;
        EXPECT_EQ(ch.Call(ZOREROVA_GATTC_WRITE, &req, sizeof req, &result, 1), 0u);
        return Drain();
    }
};

TEST_F(Remote, ConnectionsTakeTheLowestFreeConnIdAndReachEveryRegisteredChannel)
{
    DeviceChannel other;
    ASSERT_TRUE(other.Register());
    ctl.AddDevice(kB, db);
    EXPECT_EQ(Connect(kA), 0);
    EXPECT_EQ(Connect(kB), 1);
    std::vector<ZrEvent> seen = Drain(other);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(Bytes(seen[0].raw, 10), Bytes(qortest::ConnectionEvent(kA, 0, 1).raw, 10));
    EXPECT_EQ(Bytes(seen[1].raw, 10), Bytes(qortest::ConnectionEvent(kB, 1, 1).raw, 10));

    ctl.SetLink(kA, false);
    std::vector<ZrEvent> down = Drain();
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(Bytes(down[0].raw, 10), Bytes(qortest::ConnectionEvent(kA, 0, 0).raw, 10));
    EXPECT_EQ(Connect(kA), 0) << "conn_id 0 is free again";

    EXPECT_EQ(ConnectRequest(kA, 0), 0u);
    EXPECT_TRUE(Drain().empty()) << "a connected device is not announced again";
}

TEST_F(Remote, ConnectFlagsDecideWhatAConnectRequestDoes)
{
    ctl.AddDevice(kB, db, VCTL_DEV_REFUSE_CONNECT);
    EXPECT_EQ(ConnectRequest(kB, 0), (DWORD)ERROR_DEVICE_NOT_CONNECTED);

    ctl.AddDevice(kB, db, 0);  // replaces it: waits for SetLink
    EXPECT_EQ(ConnectRequest(kB, 0), 0u);
    EXPECT_TRUE(Drain().empty());
    ctl.SetLink(kB, true);
    ASSERT_EQ(Drain().size(), 1u);

    const uint8_t unknown[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(ConnectRequest(unknown, 0), 0u);
    EXPECT_TRUE(Drain().empty()) << "unknown devices are left to the test";
}

TEST_F(Remote, DiscoveryFindsServicesIncludesCharacteristicsAndDescriptors)
{
    uint16_t conn = Connect(kA);
    std::vector<ZrEvent> services = Discover(conn, ZR_DISC_ALL_SERVICES, 1, 0xFFFF);
    ASSERT_EQ(services.size(), 2u);
    const ZrDiscResult &s1 = services[0].disc_result.result;
    EXPECT_EQ(services[0].disc_result.disc_type, ZR_DISC_ALL_SERVICES);
    EXPECT_TRUE(SameUuid(s1.attr_type, Uuid16(0x2800)));
    EXPECT_EQ(s1.handle, gap_service);
    EXPECT_EQ(s1.u.service.e_handle, 3);
    EXPECT_TRUE(SameUuid(s1.u.service.uuid, Uuid16(0x1800)));
    const ZrDiscResult &s2 = services[1].disc_result.result;
    EXPECT_EQ(s2.handle, nus);
    EXPECT_EQ(s2.u.service.e_handle, 11);
    EXPECT_TRUE(SameUuid(s2.u.service.uuid, Uuid128(kService128)));

    std::vector<ZrEvent> includes = Discover(conn, ZR_DISC_INCLUDED, nus, 11);
    ASSERT_EQ(includes.size(), 1u);
    const ZrDiscResult &inc = includes[0].disc_result.result;
    EXPECT_EQ(inc.handle, include);
    EXPECT_TRUE(SameUuid(inc.u.include.uuid, Uuid16(0x1800)));
    EXPECT_EQ(inc.u.include.s_handle, gap_service);
    EXPECT_EQ(inc.u.include.e_handle, 3);

    std::vector<ZrEvent> chars = Discover(conn, ZR_DISC_CHARS, nus, 11);
    ASSERT_EQ(chars.size(), 2u);
    const ZrDiscResult &c1 = chars[0].disc_result.result;
    EXPECT_TRUE(SameUuid(c1.attr_type, Uuid16(0x2803)));
    EXPECT_EQ(c1.handle, battery);
    EXPECT_EQ(c1.u.chr.properties, 0x1A);
    EXPECT_EQ(c1.u.chr.val_handle, battery + 1);
    EXPECT_TRUE(SameUuid(c1.u.chr.uuid, Uuid16(0x2A19)));
    EXPECT_TRUE(SameUuid(chars[1].disc_result.result.u.chr.uuid, Uuid128(kChar128)));

    std::vector<ZrEvent> descrs = Discover(conn, ZR_DISC_DESCRS, battery + 2, rx - 1);
    ASSERT_EQ(descrs.size(), 2u);
    EXPECT_EQ(descrs[0].disc_result.result.handle, cccd);
    EXPECT_TRUE(SameUuid(descrs[0].disc_result.result.attr_type, Uuid16(0x2902)));
    EXPECT_EQ(descrs[1].disc_result.result.handle, user_desc);

    EXPECT_TRUE(Discover(conn, ZR_DISC_ALL_SERVICES, 2, 3).empty()) << "outside the range";
}

TEST_F(Remote, IncludedServiceWith128BitUuidTakesItFromTheServiceItself)
{
    qortest::GattDb other;
    uint16_t target = other.Service(Uuid128(kService128));
    other.Service(Uuid16(0x180F));
    other.Include(target, target);
    ctl.AddDevice(kB, other);
    uint16_t conn = Connect(kB);
    std::vector<ZrEvent> includes = Discover(conn, ZR_DISC_INCLUDED, 1, 0xFFFF);
    ASSERT_EQ(includes.size(), 1u);
    EXPECT_TRUE(SameUuid(includes[0].disc_result.result.u.include.uuid, Uuid128(kService128)));
}

TEST_F(Remote, ReadsAnswerWithTheValueOrTheReadStatus)
{
    uint16_t conn = Connect(kA);
    ZrEvent ok = Read(conn, gap_name + 1);
    EXPECT_EQ(ok.type, ZR_EVT_COMPLETE);
    EXPECT_EQ(ok.complete.conn_id, conn);
    EXPECT_EQ(ok.complete.op, ZR_OP_READ);
    EXPECT_EQ(ok.complete.status, 0);
    EXPECT_EQ(ok.complete.payload.handle, gap_name + 1);
    EXPECT_EQ(ok.complete.payload.auth_req, 1);
    EXPECT_EQ(Bytes(ok.complete.payload.value, ok.complete.payload.len), (std::vector<uint8_t>{'Q', 'o', 'r'}));
    ZrEvent refused = Read(conn, user_desc);
    EXPECT_EQ(refused.complete.status, 0x05);
    EXPECT_EQ(refused.complete.payload.len, 0);
    EXPECT_EQ(Read(conn, 0x99).complete.status, 0x01) << "no such handle";
    ctl.ArmFault(ZOREROVA_GATTC_READ, VCTL_FAULT_EVENT_STATUS, 0x0E);
    EXPECT_EQ(Read(conn, gap_name + 1).complete.status, 0x0E);
}

TEST_F(Remote, WritesStoreTheValueOnlyWhenAccepted)
{
    uint16_t conn = Connect(kA);
    std::vector<ZrEvent> done = Write(conn, cccd, {0x01, 0x00});
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].complete.op, ZR_OP_WRITE);
    EXPECT_EQ(done[0].complete.status, 0);
    EXPECT_EQ(done[0].complete.payload.handle, cccd);
    EXPECT_EQ(ctl.AttrValue(kA, cccd), (std::vector<uint8_t>{0x01, 0x00}));

    done = Write(conn, rx + 1, {0x41});
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].complete.status, 0x03);
    done = Write(conn, rx + 1, {0x42}, 1);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].complete.status, 0) << "nothing comes back for a write without response";
    EXPECT_TRUE(ctl.AttrValue(kA, rx + 1).empty());

    ctl.ArmFault(ZOREROVA_GATTC_WRITE, VCTL_FAULT_RESULT_BYTE, 2);
    EXPECT_TRUE(Write(conn, cccd, {0x02, 0x00}).empty()) << "a refused write never reaches the device";
    EXPECT_EQ(ctl.AttrValue(kA, cccd), (std::vector<uint8_t>{0x01, 0x00}));
}

TEST_F(Remote, RequestsForConnectionsOfNoDeviceAreLeftToTheTest)
{
    ZrDiscoverReq disc{};
    disc.conn_id = 5;
    disc.e_handle = 0xFFFF;
    disc.type = ZR_DISC_ALL_SERVICES;
    EXPECT_EQ(ch.Call(ZOREROVA_GATTC_DISCOVER, &disc, sizeof disc), 0u);
    ZrReadReq read{};
    read.conn_id = 5;
    read.param.handle = 3;
    EXPECT_EQ(ch.Call(ZOREROVA_GATTC_READ, &read, sizeof read), 0u);
    EXPECT_TRUE(Drain().empty());
}

TEST_F(Remote, RemovingAConnectedDeviceDisconnectsIt)
{
    uint16_t conn = Connect(kA);
    ctl.RemoveDevice(kA);
    std::vector<ZrEvent> down = Drain();
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(down[0].connection.conn_id, conn);
    EXPECT_EQ(down[0].connection.connected, 0);
    VctlAttrQuery q{};
    std::memcpy(q.bda, kA, 6);
    q.handle = 1;
    uint8_t out[sizeof(VctlAttr) + 16];
    EXPECT_EQ(ctl.Raw(VCTL_GET_ATTR, &q, sizeof q, out, sizeof out), (DWORD)ERROR_NOT_FOUND);
}

TEST_F(Remote, LinksEndWhenTheLastRegisteredChannelGoes)
{
    Connect(kA);
    ASSERT_EQ(ch.Call(ZOREROVA_GATT_DEREGISTER, nullptr, 0), 0u);
    ASSERT_TRUE(ch.Register());
    EXPECT_EQ(Connect(kA), 0) << "connects afresh";
}

} // namespace
