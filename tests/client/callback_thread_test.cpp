// The callback thread of a registration: records reach the application's
// callbacks one at a time, in queue order, with their fields; a deregistered
// registration delivers what it holds before it goes; registrations deliver in
// parallel.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "client_util.h"
#include "qortest.h"

using namespace clienttest;

namespace {

const GUID kAppA = {0x5C3E9A10, 0x42F1, 0x4B7D, {0x8E, 0x11, 0x6A, 0x2C, 0x90, 0x0D, 0x7E, 0x01}};
const GUID kAppB = {0x5C3E9A10, 0x42F1, 0x4B7D, {0x8E, 0x11, 0x6A, 0x2C, 0x90, 0x0D, 0x7E, 0x02}};
constexpr ULONGLONG kBlock = 0xB10C;   // a connect record with this context waits for the gate

Recorder *recorder = nullptr;
std::atomic<int> inside{0};
std::atomic<bool> overlapped{false};
HANDLE gate = nullptr;                  // opened by the test
HANDLE entered = nullptr;               // set by a blocking callback

// Marks the span of a callback so that two at once are noticed.
class Span {
public:
    Span()
    {
        if (inside.fetch_add(1) != 0)
            overlapped = true;
    }
    ~Span()
    {
        SwitchToThread();
        inside.fetch_sub(1);
    }
};

void WINAPI OnConnect(PVOID context, PLE_ADDRESS address, DWORD connected)
{
    Span span;
    Delivery d = ConnectDelivery(context, address, connected);
    if (d.context == kBlock) {
        SetEvent(entered);
        WaitForSingleObject(gate, 5000);
    }
    recorder->Add(d);
}

void WINAPI OnComplete(ULONGLONG context, DWORD status, PLE_VALUE value)
{
    Span span;
    Delivery d;
    d.kind = 1;
    d.context = context;
    d.status = status;
    d.thread = GetCurrentThreadId();
    d.value.assign(value->Value, value->Value + value->Length);
    recorder->Add(d);
}

struct AttributeCall {
    ULONGLONG address;
    GUID service, chr, descr;
    DWORD service_instance, char_instance, extra, event_type;
    std::vector<BYTE> value;
};
AttributeCall last_attribute;

DWORD WINAPI OnAttribute(PLE_ADDRESS address, GUID *service, DWORD service_instance, GUID *chr, DWORD char_instance,
                         GUID *descr, DWORD extra, DWORD event_type, PLE_VALUE value)
{
    Span span;
    last_attribute = {address->ullLong, *service, *chr, *descr, service_instance, char_instance, extra, event_type,
                      std::vector<BYTE>(value->Value, value->Value + value->Length)};
    Delivery d;
    d.kind = 2;
    d.address = address->ullLong;
    d.status = event_type;
    d.thread = GetCurrentThreadId();
    recorder->Add(d);
    return 0;
}

class CallbackThreadTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        recorder = &rec;
        inside = 0;
        overlapped = false;
        gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        SetEvent(gate);
        ClientTest::TearDown();
        CloseHandle(gate);
        CloseHandle(entered);
    }

    HQORREG Register(const GUID &app)
    {
        HQORREG h = nullptr;
        EXPECT_EQ(ClientTest::Register(0, app, &h, OnConnect, nullptr, OnComplete, OnAttribute), 0u) << trace.Dump();
        return h;
    }

    static void QueueConnect(HQORREG h, ULONGLONG context, ULONGLONG address = 0, DWORD connected = 1)
    {
        ApiLockHold hold;
        LeCallback *record = NewCallback(kCallbackConnect);
        ASSERT_NE(record, nullptr);
        record->Context = context;
        record->connect.Address.ullLong = address;
        record->connect.Connected = connected;
        QueueCallback(static_cast<QOR_APP_REG *>(h), record);
    }

    Recorder rec;
};

TEST_F(CallbackThreadTest, DeliversOneAtATimeInQueueOrder)
{
    HQORREG h = Register(kAppA);
    constexpr int kProducers = 4, kEach = 50;
    std::atomic<ULONGLONG> next{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                ApiLockHold hold;
                // The order in which records enter the queue, taken under the lock.
                ULONGLONG seq = next++;
                LeCallback *record = NewCallback(i % 2 ? kCallbackComplete : kCallbackConnect);
                record->Context = seq;
                if (record->type == kCallbackConnect)
                    record->connect.Address.ullLong = p;
                QueueCallback(static_cast<QOR_APP_REG *>(h), record);
            }
        });
    for (std::thread &t : producers)
        t.join();

    ASSERT_TRUE(rec.WaitCount(kProducers * kEach)) << rec.Seen().size();
    std::vector<Delivery> seen = rec.Seen();
    std::set<DWORD> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].context, i);
        threads.insert(seen[i].thread);
    }
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(GetCurrentThreadId()), 0u);
    EXPECT_FALSE(overlapped);
    EXPECT_TRUE(trace.WaitForCount("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed\n",
                                   kProducers * kEach));
}

TEST_F(CallbackThreadTest, HandsEachRecordsFieldsToItsCallback)
{
    HQORREG h = Register(kAppA);
    const GUID service = qortest::BaseGuid(0x180F), chr = qortest::BaseGuid(0x2A19), descr = qortest::BaseGuid(0x2902);
    {
        ApiLockHold hold;
        auto *app = static_cast<QOR_APP_REG *>(h);

        LeCallback *connect = NewCallback(kCallbackConnect);
        connect->Context = 0x77;
        connect->connect.Address.ullLong = 0x0000AABBCCDDEEFFull;
        connect->connect.Connected = 0;
        QueueCallback(app, connect);

        LeCallback *complete = NewCallback(kCallbackComplete);
        complete->Context = 0x1122334455667788ull;
        complete->complete.Status = 87;
        complete->complete.Value.Length = 3;
        std::memcpy(complete->complete.Value.Value, "\x01\x02\x03", 3);
        QueueCallback(app, complete);

        LeCallback *unknown = NewCallback(9);
        QueueCallback(app, unknown);

        LeCallback *attribute = NewCallback(kCallbackAttribute);
        attribute->Device.ullLong = 0x0000010203040506ull;
        attribute->attribute.ServiceGuid = service;
        attribute->attribute.ServiceInstance = 1;
        attribute->attribute.CharGuid = chr;
        attribute->attribute.CharInstance = 2;
        attribute->attribute.DescrGuid = descr;
        attribute->attribute.Extra = 5;
        attribute->attribute.EventType = QOR_EVENT_NOTIFICATION;
        attribute->attribute.Value.Length = 2;
        attribute->attribute.Value.Value[0] = 0x64;
        attribute->attribute.Value.Value[1] = 0x65;
        QueueCallback(app, attribute);
    }
    ASSERT_TRUE(rec.WaitCount(3));
    ASSERT_TRUE(trace.WaitForCount("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed\n", 4));
    std::vector<Delivery> seen = rec.Seen();
    ASSERT_EQ(seen.size(), 3u);

    EXPECT_EQ(seen[0].kind, 0);
    EXPECT_EQ(seen[0].context, 0x77u);
    EXPECT_EQ(seen[0].address, 0x0000AABBCCDDEEFFull);
    EXPECT_EQ(seen[0].status, 0u);

    EXPECT_EQ(seen[1].kind, 1);
    EXPECT_EQ(seen[1].context, 0x1122334455667788ull);
    EXPECT_EQ(seen[1].status, 87u);
    EXPECT_EQ(seen[1].value, (std::vector<BYTE>{1, 2, 3}));

    EXPECT_EQ(seen[2].kind, 2);
    EXPECT_EQ(last_attribute.address, 0x0000010203040506ull);
    EXPECT_TRUE(IsEqualGUID(last_attribute.service, service));
    EXPECT_TRUE(IsEqualGUID(last_attribute.chr, chr));
    EXPECT_TRUE(IsEqualGUID(last_attribute.descr, descr));
    EXPECT_EQ(last_attribute.service_instance, 1u);
    EXPECT_EQ(last_attribute.char_instance, 2u);
    EXPECT_EQ(last_attribute.extra, 5u);
    EXPECT_EQ(last_attribute.event_type, static_cast<DWORD>(QOR_EVENT_NOTIFICATION));
    EXPECT_EQ(last_attribute.value, (std::vector<BYTE>{0x64, 0x65}));

    for (int type : {0, 1, 9, 2})
        EXPECT_TRUE(trace.Contains(Fmt("***QorLeApi:QOR_APP_REG::CallbackThread() pCallback->type:%d\n", type)));
}

TEST_F(CallbackThreadTest, DeregisteredRegistrationDeliversItsQueueBeforeItGoes)
{
    HQORREG h = Register(kAppA);
    QueueConnect(h, kBlock);
    ASSERT_EQ(WaitForSingleObject(entered, 5000), WAIT_OBJECT_0);
    for (ULONGLONG i = 1; i <= 9; ++i)
        QueueConnect(h, i);

    // Returns at once; the registration stays listed while it drains.
    QorGattDeregister(h);
    Forget(h);
    EXPECT_TRUE(IsAppRegistered(h));
    EXPECT_EQ(InterfaceOf(h), 0);
    EXPECT_FALSE(trace.Contains(DestroyedLine(h)));

    SetEvent(gate);
    ASSERT_TRUE(trace.WaitFor(DestroyedLine(h))) << trace.Dump();
    std::vector<Delivery> seen = rec.Seen();
    ASSERT_EQ(seen.size(), 10u);
    for (ULONGLONG i = 1; i <= 9; ++i)
        EXPECT_EQ(seen[i].context, i);

    // Destruction follows the last delivery.
    std::vector<std::string> lines = trace.Lines();
    auto last_processed = std::find(lines.rbegin(), lines.rend(),
                                    "***QorLeApi:QOR_APP_REG::CallbackThread() pCallback processed\n");
    auto destroyed = std::find(lines.rbegin(), lines.rend(), DestroyedLine(h));
    EXPECT_LT(destroyed - lines.rbegin(), last_processed - lines.rbegin());
    EXPECT_FALSE(IsAppRegistered(h));
}

TEST_F(CallbackThreadTest, RepeatedDeregistrationOfAStoppingRegistrationLeavesOthersAlone)
{
    HQORREG a = Register(kAppA);
    QueueConnect(a, kBlock);
    ASSERT_EQ(WaitForSingleObject(entered, 5000), WAIT_OBJECT_0);
    QorGattDeregister(a);
    Forget(a);

    // The interface number is free again and a newer registration gets it; the
    // stopping one, deregistered again, must not take it away.
    HQORREG b = Register(kAppB);
    ASSERT_EQ(InterfaceOf(b), 1);
    QorGattDeregister(a);
    EXPECT_EQ(InterfaceOf(b), 1);
    EXPECT_EQ(gatt_if_table[0].gatt_if, 1);   // still held by b in the link
    EXPECT_EQ(trace.Count("GATT_Deregister gatt_if:1\n"), 1u) << trace.Dump();   // a's, when it was the last
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_DEREGISTER).size(), 1u);

    SetEvent(gate);
    ASSERT_TRUE(trace.WaitFor(DestroyedLine(a)));
    EXPECT_TRUE(IsAppRegistered(b));
}

TEST_F(CallbackThreadTest, RegistrationsDeliverInParallel)
{
    HQORREG a = Register(kAppA);
    HQORREG b = Register(kAppB);
    QueueConnect(a, kBlock);
    ASSERT_EQ(WaitForSingleObject(entered, 5000), WAIT_OBJECT_0);
    // a's thread is inside a callback; b's still delivers.
    QueueConnect(b, 42);
    ASSERT_TRUE(rec.WaitCount(1));
    EXPECT_EQ(rec.Seen()[0].context, 42u);
    SetEvent(gate);
    ASSERT_TRUE(rec.WaitCount(2));
    EXPECT_NE(rec.Seen()[0].thread, rec.Seen()[1].thread);
}

} // namespace
