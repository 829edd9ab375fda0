// The C++ interface on the controller: every failure of a read through both
// error forms; Clients destroyed with callbacks queued and from their own
// callback; moved-from objects; stateful callables in a subscription and a
// server round trip; pairing discovery; the trace sink; the value types.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "QorLeLib.hpp"
#include "../link/link_test.h"
#include "peers.h"
#include "scenario.h"

namespace {

using namespace qortest;
using qorle::Address;
using qorle::Bytes;
using qorle::CharacteristicRef;
using qorle::Uuid;

const uint8_t kDev[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13}, kDev2[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x14},
              kCentral[6] = {0x00, 0xC0, 0xFF, 0xEE, 0x00, 0x07};
const Address kDevAddress(0x001A7DDA7113), kDev2Address(0x001A7DDA7114), kCentralAddress(0x00C0FFEE0007);
const CharacteristicRef kLevel{0x180F, 0x2A19}, kNotifyOnly{0x180F, 0x2A01}, kUnknown{0x180F, 0x2A7F};
const char *const kProcessed = "***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed";

// Service 1 (180f): 2a19 at 2, value 3 (read, write, notify, indicate), its
// 2902 at 4; 2a00 at 5, value 6 (write without response); 2a01 at 7, value 8
// (notify), its 2902 at 9.
GattDb Db()
{
    GattDb db;
    db.Service(Uuid16(0x180F));
    db.Characteristic(Uuid16(0x2A19), 0x3A, {0x64});
    db.Descriptor(Uuid16(0x2902), {0, 0});
    db.Characteristic(Uuid16(0x2A00), 0x04);
    db.Characteristic(Uuid16(0x2A01), 0x10);
    db.Descriptor(Uuid16(0x2902), {0, 0});
    return db;
}

// Sets its flag when the last copy of the callable that holds it goes.
struct Witness {
    ~Witness() { gone = true; }
    static inline std::atomic<bool> gone{false};
};

std::string Destroyed(const void *app) { return Fmt("~QOR_APP_REG() %p callback thread:%x ", app, 0); }
std::error_code Code(DWORD code) { return std::error_code(static_cast<int>(code), std::system_category()); }
std::string Text(qorle::BytesView v) { return ToHex(v.data(), v.size(), false); }

// A Client of every device, its connection changes in the journal, with the
// device stored and connected under conn_id 5.
class Cpp : public ScenarioTest {
protected:
    void SetUp() override
    {
        ScenarioTest::SetUp();
        ASSERT_TRUE(StoreByPairing(ctl, trace, kDev, Db(), kDevAddress.value())) << trace.Dump();
        client.emplace(qorle::Client::Options{Address::any(), Uuid(0xFFF1), [](Address a, bool connected) {
                                                  Note(a.str() + (connected ? " up" : " down"));
                                              }});
        ctl.AddDevice(kDev, Db(), 0);
        LinkUp(ctl, kDev, 5);
        ASSERT_TRUE(Play({Callback("00:1A:7D:DA:71:13 up")}));
        scenario.SkipRequests();
    }
    // A notification handler that journals what it hears, numbered by its own count.
    static qorle::NotificationHandler Journaling()
    {
        return [n = 0](const qorle::Notification &x) mutable {
            NoteFmt("%d %s %s/%u %s/%u %s x%u %s", ++n, x.address.str().c_str(),
                    x.characteristic.service.str().c_str(), x.characteristic.service_instance,
                    x.characteristic.characteristic.str().c_str(), x.characteristic.char_instance,
                    x.indication ? "indication" : "notification", x.extra, Text(x.value).c_str());
        };
    }
    Step Pushes(uint8_t kind, const std::vector<uint8_t> &value, uint32_t count = 1, uint8_t auth = 0,
                uint16_t handle = 3)
    {
        return Returns(0, [=] { return Notify(ctl, kDev, handle, kind, value, count, auth); });
    }
    // The library has heard of the link: its connection line for the device.
    bool Linked(const uint8_t bda[6], int conn_id)
    {
        const std::string tail = Fmt(" bda:%s conn_id:%d connected:1", ToHex(bda, 6, false).c_str(), conn_id);
        return trace.WaitUntil([&](const std::vector<std::string> &lines) {
            return std::any_of(lines.begin(), lines.end(), [&](const std::string &l) {
                return l.rfind("***QorLeApi:ConnectCallback gatt_if:", 0) == 0 && l.find(tail) != std::string::npos;
            });
        });
    }
    std::optional<qorle::Client> client;
};

// ---- every failure of QorGattReadCharacteristic, in both forms ----

struct ReadRow {
    DWORD code;
    const char *meaning;            // as what() names it
    CharacteristicRef target;
    std::function<void()> before;   // arms the failure
    std::function<void()> after;    // lets the device's operation end
    Address address = kDevAddress;
};

TEST_F(Cpp, EachFailureOfAReadInBothForms)
{
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto arm = [this](uint32_t kind, uint32_t param = 0) {
        return [=] { ctl.ArmFault(ZOREROVA_GATTC_READ, kind, param); };
    };
    const char *const late_line = "***QorLeApi:CompleteCallback nobody waits for read/write complete";
    size_t late = 0;   // completions that found nobody waiting
    auto release = [&](bool completes) {
        return [&, completes] {
            EXPECT_EQ(ReleaseHeld(ctl), 1u);
            if (completes)
                EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
            else
                EXPECT_TRUE(trace.WaitForCount(late_line, ++late));
        };
    };
    std::optional<qorle::Client> moved;
    const std::vector<ReadRow> rows = {
        {0, "", kLevel, {}, {}},
        {1, "refused by the device", kLevel, arm(VCTL_FAULT_EVENT_STATUS, 2), {}},
        {5, "forbidden by the characteristic's properties", kNotifyOnly, {}, {}},
        {6, "unknown registration or handle, no driver interface, or an address outside the filter", kLevel,
         [&] { moved.emplace(std::move(*client)); }, [&] { *client = std::move(*moved); }},
        {8, "out of memory", kLevel, [] { linktest::FailCreateEvent(GetCurrentThreadId()); }, {}},
        {1056, "an operation of the same kind is outstanding", kLevel,
         [&] {
             arm(VCTL_FAULT_HOLD_EVENT)();
             client->read(kDevAddress, kLevel, [&](std::error_code, qorle::BytesView) { SetEvent(done); });
         },
         release(true)},
        {1168, "attribute not found", kUnknown, {}, {}},
        {1359, "internal error: the driver refused or the request failed", kLevel, arm(VCTL_FAULT_STATUS, 0xC0000001),
         {}},
        {1460, "no answer within 10 s", kLevel, arm(VCTL_FAULT_HOLD_EVENT), release(false)},
        {2250, "not connected", kLevel, {}, {}, kDev2Address},
    };
    for (const ReadRow &row : rows) {
        SCOPED_TRACE(row.code);
        for (bool throwing : {false, true}) {
            if (row.before)
                row.before();
            std::error_code ec = Code(ERROR_INVALID_FUNCTION);   // the error_code form clears it on success
            Bytes value;
            try {
                if (throwing) {
                    ec.clear();
                    value = client->read(row.address, row.target);
                } else {
                    value = client->read(row.address, row.target, ec);
                }
            } catch (const std::system_error &e) {
                ec = e.code();
                EXPECT_EQ(e.what(), Fmt("qorle::Client::read: %s (%lu)", row.meaning, row.code));
            }
            if (row.after)
                row.after();
            EXPECT_EQ(ec, Code(row.code));
            EXPECT_EQ(ToHex(value.data(), value.size()), row.code ? "" : "64");
        }
    }
    CloseHandle(done);
}

// ---- RAII ----

// Destroyed while its thread runs a handler with three more notifications
// queued: the destructor (seen deregistering) waits for the running handler,
// and the queued ones, which the library still delivers before its thread
// ends, reach nobody.
TEST_F(Cpp, ClientDestroyedWithCallbacksQueued)
{
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> heard{0};
    std::atomic<bool> returned{false};
    size_t processed = 0;   // before the first notification
    client->subscribe(kDevAddress, kLevel, [&](const qorle::Notification &) {
        if (++heard == 1)
            processed = trace.Count(kProcessed);
        Note(Fmt("heard %d", heard.load()));
        WaitForSingleObject(go, 10000);
        returned = true;
    });
    const char *const received = "***QorLeApi:CompleteCallback conn_id:5";
    const size_t before = trace.Count(received);
    ASSERT_TRUE(Play({Pushes(VCTL_KIND_NOTIFICATION, {7}, 4), Callback("heard 1")}));
    ASSERT_TRUE(trace.WaitForCount(received, before + 4));
    const HQORREG handle = client->native_handle();
    std::atomic<bool> destroyed{false};
    bool waited = false;
    std::thread destroyer([&] {
        client.reset();
        waited = returned;
        destroyed = true;
    });
    // The registration is ended; the destructor still waits for the handler.
    EXPECT_TRUE(trace.WaitForPrefix("***QorLeApi:QorGattDeregister() Set shutdown event"));
    EXPECT_FALSE(destroyed);
    SetEvent(go);
    destroyer.join();
    EXPECT_TRUE(waited);
    ASSERT_TRUE(trace.WaitFor(Destroyed(handle))) << trace.Dump();
    EXPECT_EQ(trace.Count(kProcessed), processed + 4);
    EXPECT_EQ(heard, 1);
    CloseHandle(go);
}

// A callable that destroys its own Client (here the connection callback by
// which a new Client hears of the connected device) returns normally with its
// captured state intact; the registration then ends.
TEST_F(Cpp, CallableDestroysItsOwnClient)
{
    HANDLE constructed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::optional<qorle::Client> own;
    own.emplace(qorle::Client::Options{
        Address::any(), Uuid(0xFFF5), [&, witness = std::make_shared<Witness>()](Address a, bool) {
            WaitForSingleObject(constructed, 5000);
            own.reset();
            Note(a.str() + (Witness::gone ? " state destroyed" : " state alive"));
        }});
    const HQORREG handle = own->native_handle();
    SetEvent(constructed);
    EXPECT_TRUE(Play({Callback("00:1A:7D:DA:71:13 state alive")}));
    EXPECT_TRUE(trace.WaitFor(Destroyed(handle))) << trace.Dump();
    EXPECT_FALSE(own);
    EXPECT_TRUE(Witness::gone);   // released once the callable had returned
    CloseHandle(constructed);
}

// Moved-from objects are empty and refuse their operations; a move assignment
// ends the registration it overwrites; the moved-to object works.
TEST_F(Cpp, MovedFromObjects)
{
    qorle::Client other({Address::any(), Uuid(0xFFF2), {}});
    const HQORREG overwritten = other.native_handle();
    other = std::move(*client);
    EXPECT_FALSE(*client);
    EXPECT_TRUE(trace.WaitFor(Destroyed(overwritten))) << trace.Dump();
    EXPECT_EQ(Text(other.read(kDevAddress, kLevel)), "64");

    qorle::Server server({Uuid(0xFFF3), {}});
    qorle::Server server2(std::move(server));
    std::error_code ec;
    server.add(qorle::ServiceBuilder(0x180F).characteristic(0x2A19, qorle::props::read, qorle::perms::read), ec);
    EXPECT_EQ(ec, Code(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(server2);

    qorle::Pairing pairing;
    qorle::Pairing pairing2(std::move(pairing));
    pairing.discover(kDevAddress, [](Address, bool) {}, ec);
    EXPECT_EQ(ec, Code(ERROR_BUSY));
    qorle::Pairing third(ec);   // the process has one: pairing2's
    EXPECT_EQ(ec, Code(ERROR_BUSY));
    EXPECT_FALSE(third);
}

// ---- the client's tree, subscriptions and completions ----

TEST_F(Cpp, TreeSubscriptionAndCompletion)
{
    std::string tree;
    for (const qorle::Service &s : client->services(kDevAddress)) {
        tree += Fmt("%s@%u:", s.uuid.str().c_str(), s.handle);
        for (const qorle::Characteristic &c : s.characteristics) {
            tree += Fmt(" %s@%u", c.uuid.str().c_str(), c.handle);
            for (const qorle::Descriptor &d : c.descriptors)
                tree += Fmt("[%s@%u]", d.uuid.str().c_str(), d.handle);
        }
    }
    EXPECT_EQ(tree, "180f@1: 2a00@5 2a01@7[2902@9] 2a19@2[2902@4]");

    // 2a01 stays subscribed: its notification after one of the unsubscribed
    // 2a19 is the next thing heard, as one registration hears in order.
    auto cccd = [](const char *handle, const char *value) {
        return Sent(ZOREROVA_GATTC_WRITE, Fmt("0500 02 0000 %s 0000 0200 00 %s 00*511", handle, value));
    };
    client->subscribe(kDevAddress, kLevel, Journaling());
    client->subscribe(kDevAddress, kNotifyOnly, Journaling());
    EXPECT_TRUE(Play({cccd("0400", "0100"), cccd("0900", "0100"), Pushes(VCTL_KIND_NOTIFICATION, {7}, 1, 0x21),
                      Callback("1 00:1A:7D:DA:71:13 180f/0 2a19/0 notification x33 07"),
                      Pushes(VCTL_KIND_INDICATION, {8, 9}),
                      Callback("2 00:1A:7D:DA:71:13 180f/0 2a19/0 indication x0 0809"),
                      Sent(ZOREROVA_GATTC_CONFIRM, "0500 0300"), Do([&] { client->unsubscribe(kDevAddress, kLevel); }),
                      cccd("0400", "0000"), Pushes(VCTL_KIND_NOTIFICATION, {7}),
                      Pushes(VCTL_KIND_NOTIFICATION, {6}, 1, 0, 8),
                      Callback("1 00:1A:7D:DA:71:13 180f/0 2a01/0 notification x0 06"),
                      Do([&] { client->subscribe(kDevAddress, kLevel, Journaling(), true); }), cccd("0400", "0200")}));

    // Completions: the value read, a status the device answered with, a write.
    auto journal = [](std::error_code status, qorle::BytesView v) {
        NoteFmt("read %d %s", status.value(), Text(v).c_str());
    };
    const Step sent_read = Sent(ZOREROVA_GATTC_READ, "0500 02 00 00 0300 00*20");
    client->read(kDevAddress, kLevel, journal);
    EXPECT_TRUE(Play({sent_read, Callback("read 0 64")}));
    ctl.ArmFault(ZOREROVA_GATTC_READ, VCTL_FAULT_EVENT_STATUS, 0x0A);
    client->read(kDevAddress, kLevel, journal);
    EXPECT_TRUE(Play({sent_read, Callback("read 87 ")}));
    client->write(kDevAddress, kLevel, Bytes{0x42},
                  [](std::error_code status) { NoteFmt("wrote %d", status.value()); });
    EXPECT_TRUE(Play({Sent(ZOREROVA_GATTC_WRITE, "0500 02 0000 0300 0000 0100 00 42 00*512"), Callback("wrote 0")}));
}

// ---- the server ----

// A simulated central reads and writes a local characteristic and its 0x2902
// descriptor, the handlers keeping their own state; then the value is pushed
// as a notification and as a confirmed indication.
TEST_F(Cpp, ServerRoundTrip)
{
    using namespace qorle;
    uint8_t level = 0x64;
    Bytes subscription;
    Server server({Uuid(0xFFF4), {}});
    ServiceBuilder battery(0x180F);
    battery
        .characteristic(0x2A19, props::read | props::write | props::notify | props::indicate,
                        perms::read | perms::write,
                        [&, reads = 0](const Request &) mutable -> ReadResult {
                            return Bytes{level, uint8_t(++reads)};
                        },
                        [&](const Request &r) -> uint8_t {
                            level = r.value[0];
                            return 0;
                        })
        .descriptor(0x2902, perms::read | perms::write, {}, [&](const Request &r) -> uint8_t {
            subscription = r.value.to_bytes();
            return r.descriptor == Uuid(0x2902) ? 0 : 0x0E;
        });
    EXPECT_EQ(battery.handles(), 3);
    const LocalService service = server.add(battery);
    server.start(service);
    ASSERT_EQ(service.value_handles.size(), 1u);
    ASSERT_EQ(service.descriptor_handles.size(), 1u);
    const uint16_t value = service.value_handles[0], descriptor = service.descriptor_handles[0];
    // A second battery service: its requests reach its own handler by instance.
    const LocalService second =
        server.add(ServiceBuilder(0x180F, true, 1)
                       .characteristic(0x2A19, props::read, perms::read, [](const Request &r) -> ReadResult {
                           return Bytes{0xBB, uint8_t(r.service_instance)};
                       }));
    server.start(second);
    AddCentral(ctl, kCentral);
    LinkUp(ctl, kCentral, 6);
    ASSERT_TRUE(Linked(kCentral, 6)) << trace.Dump();
    scenario.SkipRequests();
    uint32_t id = 0;
    // The central's request, then the answer the driver got: its status, then
    // the value record (handle, offset, length, value area).
    auto asks = [&](uint8_t kind, uint16_t handle, std::vector<uint8_t> bytes, const std::string &answer) {
        const uint32_t trans = ++id;
        return Script{Returns(0, [=] { return CentralRequest(ctl, kCentral, kind, handle, true, bytes, trans); }),
                      Sent(ZOREROVA_GATTS_SEND_RSP, Fmt("0600 %02x000000 ", trans) + answer.substr(0, 2) + " 0600" +
                                                         Le16(handle) + "0000" + answer.substr(2))};
    };
    EXPECT_TRUE(Play({asks(VCTL_CENTRAL_READ, value, {}, "00 0200 00 6401 00*511"),
                      asks(VCTL_CENTRAL_WRITE, value, {0x2A}, "00 0000 00 2a 00*512"),
                      asks(VCTL_CENTRAL_READ, value, {}, "00 0200 00 2a02 00*511"),
                      asks(VCTL_CENTRAL_WRITE, descriptor, {0x01, 0x00}, "00 0000 00 0100 00*511"),
                      asks(VCTL_CENTRAL_READ, descriptor, {}, "02 0000 00 00*513"),
                      asks(VCTL_CENTRAL_READ, second.value_handles.at(0), {}, "00 0200 00 bb01 00*511")}));
    EXPECT_EQ(Text(subscription), "0100");

    EXPECT_TRUE(Play({Do([&] { server.notify(kCentralAddress, value, Bytes{0x01, 0x02}); }),
                      Sent(ZOREROVA_GATTS_NOTIFICATION, "0600" + Le16(value) + "0200 0102 00*510"),
                      Do([&] { server.indicate(kCentralAddress, value, Bytes{0x03}); }),
                      Sent(ZOREROVA_GATTS_INDICATION, "0600" + Le16(value) + "0100 03 00*511")}));
    EXPECT_EQ(Central(ctl, kCentral).confirmed, 1u);
    std::error_code ec;
    server.notify(kDevAddress, 0x7777, Bytes{0x04}, ec);
    EXPECT_EQ(ec, Code(ERROR_INVALID_PARAMETER));
}

// ---- pairing ----

TEST_F(Cpp, PairingDiscovers)
{
    qorle::Pairing pairing;
    ctl.AddDevice(kDev2, Db(), 0);
    LinkUp(ctl, kDev2, 199);
    ASSERT_TRUE(trace.WaitForPrefix("LeDeviceConnectCallback 001a7dda7114 gatt_if "));
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string heard;
    pairing.discover(kDev2Address, [&, calls = 0](Address a, bool success) mutable {
        heard = Fmt("%s %d %d", a.str().c_str(), success, ++calls);
        SetEvent(done);
    });
    ASSERT_EQ(WaitForSingleObject(done, 30000), WAIT_OBJECT_0) << trace.Dump();
    EXPECT_EQ(heard, "00:1A:7D:DA:71:14 1 1");
    CloseHandle(done);
    EXPECT_EQ(client->services(kDev2Address).size(), 1u);
    try {
        qorle::Pairing second;
        ADD_FAILURE();
    } catch (const std::system_error &e) {
        EXPECT_STREQ(e.what(), "qorle::Pairing::Pairing: pairing busy: registered twice, not registered, or a "
                               "discovery runs (170)");
    }
}

// ---- the trace sink ----

TEST_F(Cpp, TraceSinkCallable)
{
    std::mutex mutex;
    std::vector<std::string> lines;
    qorle::set_trace([&](std::string_view line) {
        std::lock_guard<std::mutex> hold(mutex);
        lines.emplace_back(line);
    });
    std::error_code ec;
    client->read(kDev2Address, kLevel, ec);
    qorle::set_trace({});
    client->read(kDev2Address, kLevel, ec);
    std::lock_guard<std::mutex> hold(mutex);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "***QorLeApi:ERROR QorGattReadCharacteristic not connected\n"), 1);
}

// ---- value types ----

TEST(CppValues, AddressesAndUuids)
{
    EXPECT_EQ(Address::parse("00:1a:7D:DA:71:13"), kDevAddress);
    EXPECT_EQ(Address::parse("001A7DDA7113"), kDevAddress);
    for (const char *bad : {"", "00:1A:7D:DA:71", "00-1A-7D-DA-71-13", "001A7DDA711G", "00:1A:7D:DA:71:1"})
        EXPECT_FALSE(Address::parse(bad)) << bad;
    EXPECT_EQ(kDevAddress.str(), "00:1A:7D:DA:71:13");
    EXPECT_EQ(Address(0xFFFF001A7DDA7113).value(), 0x001A7DDA7113u);

    struct Row { const char *text, *str, *name; bool is_short; };
    for (const Row &r : std::vector<Row>{
             {"180d", "180d", "Heart Rate", true},
             {"0x2902", "2902", "Client Characteristic Configuration", true},
             {"{0000180F-0000-1000-8000-00805F9B34FB}", "180f", "Battery", true},
             {"00002a19-0000-1000-8000-00805f9b34fb", "2a19", "Battery Level", true},
             {"0000FFF1-0000-1000-8000-00805F9B34FB", "fff1", "", true},
             {"1234180d-0000-1000-8000-00805f9b34fb", "{1234180d-0000-1000-8000-00805f9b34fb}", "", false},
             {"{7A3C1E52-4D1B-4F8E-9A61-2C5E8B13D047}", "{7a3c1e52-4d1b-4f8e-9a61-2c5e8b13d047}", "", false}}) {
        const std::optional<Uuid> u = Uuid::parse(r.text);
        ASSERT_TRUE(u) << r.text;
        EXPECT_EQ(u->str(), r.str);
        EXPECT_STREQ(u->name(), r.name);
        EXPECT_EQ(u->is_short(), r.is_short);
    }
    for (const char *bad : {"180", "0x18", "0x{0000180d-0000-1000-8000-00805f9b34fb}",
                            "0000180d-0000-1000-8000_00805f9b34fb", "{0000180d-0000-1000-8000-00805f9b34fb", "18g0"})
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    EXPECT_EQ(Uuid(0x180D), *Uuid::parse("180D"));
    EXPECT_TRUE(Uuid(0x180D) < Uuid(0x180F));
    EXPECT_EQ(qorle::message(Code(2250)), "not connected (2250)");
    EXPECT_EQ(qorle::message(Code(0x8000000A)), "pending (2147483658)");
}

} // namespace
