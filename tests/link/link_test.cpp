// The driver link: the channel opened by the first registration and closed by
// the last, the events the reader dispatches, and the bytes of every client
// request with every way it can fail.
// It tests the link layer through its own interface (link/link.h), below the exports.

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "link_test.h"

namespace linktest {
namespace {

std::string Connection(unsigned conn_id, int up, const char *bda = "001a7dda7113")
{
    return Fmt("ff %s %s %02x", bda, Le16(conn_id).c_str(), up);
}
std::string Completion(unsigned conn_id, int op, int status, unsigned handle = 0, const char *value = "")
{
    return Fmt("f8 %s %02x %02x %s %s 0000 %s 00 %s", Le16(conn_id).c_str(), op, status, Le16(conn_id).c_str(),
               Le16(handle).c_str(), Le16(static_cast<unsigned>(Hex(value).size())).c_str(), value);
}
std::string RemoteRequest(unsigned conn_id, unsigned trans, int type, unsigned handle, const char *value = "")
{
    return Fmt("f9 %s %s%s %02x %s 0000 %s %s", Le16(conn_id).c_str(), Le16(trans).c_str(), Le16(trans >> 16).c_str(),
               type, Le16(handle).c_str(), Le16(static_cast<unsigned>(Hex(value).size())).c_str(), value);
}

// A stopping reader: its reads cancelled and each collected (the first one
// with `err`), then it deregisters.
Script ReaderStops(int err = 995)
{
    Script s{Trace("LE - ReadWorker: cancelling all IO requests...")};
    for (int i = 0; i < kReadSlots; ++i) {
        s.push_back(Trace(Fmt("LE - ReadWorker: waiting for completion of the request %d", i)));
        s.push_back(Trace(Fmt("LE - ReadWorker: GetOverlappedResult failed, err=%d Closing overlapped event...",
                              i ? 995 : err)));
    }
    s.push_back(Trace("LE - ReadWorker: deregistering"));
    return s;
}

using LinkChannel = LinkTest;

TEST_F(LinkChannel, FirstRegistrationOpensAndPendsTwentyReadsLaterOnesOnlyTakeNumbersOrFreeThem)
{
    Play({FirstRegistration(1),
          Do([this] { EXPECT_EQ(Controller::Channel(ctl.Stats(), ctl.LibraryChannel())->pending_reads, 20u); }),
          Trace("GATT_Register"), Trace("GATT_Register - CreateFile(ZOREROVA) returned *"),
          Trace("GATT_Register - waiting for thread start..."), Trace("LE - ReadWorker: Read thread started"),
          Trace("LE - ReadWorker: completed startup. hStartupEvent=*"), Trace("GATT_Register - calling driver..."),
          Trace("GATT_Register - succeeded"), Trace("GATT_Register - exits. gatt_if=1"),
          Do([] {
              for (int n = 2; n <= kMaxGattIf; ++n)
                  ASSERT_EQ(Register(n), n);
          }),
          Trace("GATT_Register - already registered allocated gatt_if:16"),
          Returns(0, [] { return Register(kMaxGattIf + 1); }), Trace("alloc_gatt_if failed to alloc gatt_if"),
          Trace("GATT_Register - already registered allocated gatt_if:0"), Do([] { GATT_Deregister(16); }),
          Trace("GATT_Deregister not last gatt_if:16"), Returns(16, [] { return Register(16); }),
          // Deregistering any but the last, or a free or bad number, keeps the channel open.
          Do([] { GATT_Deregister(1); }), Trace("GATT_Deregister not last gatt_if:1"), Do([] {
              for (uint8_t gatt_if : {0, 17, 255, 1})
                  GATT_Deregister(gatt_if);
          }),
          Trace("free_gatt_if not allocated 0"), Trace("free_gatt_if not allocated 17"),
          Trace("free_gatt_if not allocated 255"), Trace("free_gatt_if not allocated 1"),
          Trace("GATT_Deregister not last gatt_if:1"), Returns(1, [] { return Register(3); }), NothingSent(),
          ChannelHolds(kReadSlots)});
}

TEST_F(LinkChannel, DeregisteringTheLastStopsTheReaderAndClosesTheDevice)
{
    Play({FirstRegistration(1), Do([] { GATT_Deregister(1); }), Sent(ZOREROVA_GATT_DEREGISTER, ""),
          ChannelHolds(0), Trace("GATT_Deregister gatt_if:1"),
          Trace("GATT_DeregisterAll - Client deregistration calling driver..."),
          Trace("LE - ReadWorker: ReadWorker: received exit command 2"),
          ReaderStops(), Trace("GATT_DeregisterAll - not registered"),
          Trace("LE - ReadWorker: exits"), Trace("GATT_DeregisterAll - closing device handle CloseHandle(*"),
          Trace("GATT_DeregisterAll - exit"), NoTrace("GATT_DeregisterAll - Client deregistration failed - "),
          Do([this] { EXPECT_TRUE(trace.Contains("GATT_DeregisterAll - exiting thread exit...")); }),
          Do([] { GATT_DeregisterAll(true); }), Trace("GATT_DeregisterAll - not registered"), NothingSent(),
          FirstRegistration(2)});
}


// Refused, or left pending (which counts as refused and is not left behind).
TEST_F(LinkChannel, RegisterRequestRefusedStopsTheReaderAndClosesTheDevice)
{
    for (auto fault : {std::make_pair(VCTL_FAULT_STATUS, 87), std::make_pair(VCTL_FAULT_PEND, 997)}) {
        ctl.ArmFault(ZOREROVA_GATT_REGISTER, fault.first, 0xC000000D);
        Play({Returns(0, [] { return Register(1); }), Sent(ZOREROVA_GATT_REGISTER, Identity(1), ""),
              Do([this, fault] {
                  EXPECT_EQ(ctl.Log().back().status, fault.first == VCTL_FAULT_PEND ? 0x103u : 0xC000000Du);
              }),
              Trace("GATT_Register - calling driver..."),
              Trace(Fmt("GATT_Register - DeviceIoControl failed - %d", fault.second)),
              Trace("GATT_Register - deregistering..."), Trace("LE - ReadWorker: ReadWorker: received exit command 2"),
              ReaderStops(), Trace("LE - ReadWorker: exits"),
              Trace("GATT_DeregisterAll - closing device handle CloseHandle(*"), Trace("GATT_DeregisterAll - exit"),
              Trace("GATT_Register - free gatt_if 1"), Trace("GATT_Register - exits. gatt_if=0"),
              NoTrace("GATT_Register - succeeded"), NothingSent(), ChannelHolds(0)});
    }
    Play({FirstRegistration(1)});
}

TEST_F(LinkChannel, ReadErrorEndsTheReaderClosesTheChannelAndDropsEveryGattIf)
{
    Play({FirstRegistration(1), Returns(2, [] { return Register(2); }),
          Do([this] { ctl.FailRead(ctl.LibraryChannel(), 0xC0000185 /* ERROR_IO_DEVICE */); }),
          Trace("LE - ReadWorker: Read failed, status 1117"), ReaderStops(1117),
          Trace("GATT_DeregisterAll - Client deregistration calling driver..."),
          Trace("GATT_DeregisterAll - closing device handle CloseHandle(*"), Trace("GATT_DeregisterAll - exit"),
          Trace("LE - ReadWorker: exits"), Sent(ZOREROVA_GATT_DEREGISTER, ""), ChannelHolds(0),
          NoTrace("GATT_DeregisterAll - exiting thread exit..."),
          // Nobody was told; later requests find the channel closed.
          Returns(kDriverNotOpen, [] { return GATTC_Read(0, 2, nullptr); }), Trace("GATTC_Read not registered"),
          Do([] { GATT_Deregister(2); }), Trace("free_gatt_if not allocated 2"), Trace("GATT_Deregister gatt_if:2"),
          Trace("GATT_DeregisterAll - not registered"), NothingSent(), FirstRegistration(1)});
}

// A reader whose first read fails, or that cannot set up its read slots, ends
// the registration's wait for its start. Wine hands out the handle before the
// driver has seen the open: a refused open shows as a failing first read.
TEST_F(LinkChannel, ReaderThatFailsDuringStartUpEndsTheRegistrationWait)
{
    const struct { bool refuse_open; const char *failure; size_t waited; } cases[] = {
        {true, "LE - ReadWorker: DeviceIoControl(ZOREROVA_GATT_READ_EVENT) failed, error 6", 1},
        {false, "LE - ReadWorker:: Event allocation failed. err=8", 5},   // the sixth slot
    };
    for (const auto &c : cases) {
        const size_t waits = trace.CountPrefix("LE - ReadWorker: waiting for completion of the request ");
        const size_t started = trace.CountPrefix("LE - ReadWorker: completed startup.");
        if (c.refuse_open)
            ctl.ArmFault(0, VCTL_FAULT_REFUSE_OPEN, 0xC0000022);
        else
            FailCreateEvent(0, 5);
        Play({Returns(0, [] { return Register(1); }), Trace("LE - ReadWorker: Read thread started"), Trace(c.failure),
              Trace("GATT_Register - Failed Wait for thread to startup. WaitForMultipleObjects returned 1.*"),
              Trace("GATT_Register - deregistering..."), Trace("GATT_Register - exits. gatt_if=0"),
              NothingSent(), Do([&] {
                  StopFailingCreateEvent();
                  EXPECT_TRUE(trace.WaitFor("LE - ReadWorker: exits"));
                  EXPECT_EQ(trace.CountPrefix("LE - ReadWorker: waiting for completion of the request "),
                            waits + c.waited);
                  EXPECT_EQ(trace.CountPrefix("LE - ReadWorker: completed startup."), started);
              }),
              FirstRegistration(1), Do([] { GATT_DeregisterAll(true); }), Sent(ZOREROVA_GATT_DEREGISTER, ""),
              Trace("GATT_DeregisterAll - exit"), ChannelHolds(0)});
    }
}

// A device that cannot be opened, or an event that cannot be made, fails the
// first registration; a retry opens the channel again, and a deregistration
// without an event still closes it.
TEST_F(LinkChannel, OpenAndEventFailuresCloseWhatWasOpenedAndARetryOpensAgain)
{
    Play({Do([] { FailCreateFile(); }), Returns(0, [] { return Register(1); }), Trace("GATT_Register"),
          Trace("GATT_Register - Unable to open \\\\.\\ZOREROVA device - "), Trace("GATT_Register - deregistering..."),
          Trace("GATT_DeregisterAll - not registered"), Trace("GATT_Register - free gatt_if 1"),
          Trace("GATT_Register - exits. gatt_if=0"), NothingSent()});
    const char *const lines[] = {"GATT_Register - Register server event allocation failed - 8",
                                 "GATT_Register - Error creating shutdown event - 8",
                                 "GATT_Register - Error creating startup event - 8"};
    for (unsigned i = 0; i < 3; ++i)
        Play({Do([i] { FailCreateEvent(GetCurrentThreadId(), i); }), Returns(0, [] { return Register(1); }),
              Do([] { StopFailingCreateEvent(); }), Trace(lines[i]), Trace("GATT_Register - deregistering..."),
              Trace("GATT_DeregisterAll - closing device handle CloseHandle(*"),
              Trace("GATT_Register - exits. gatt_if=0"), NoTrace("GATT_Register - waiting for thread start..."),
              NothingSent(), ChannelHolds(0)});
    Play({FirstRegistration(1), NoTrace("GATT_Register - not all handles are closed: "), Do([] {
              FailCreateEvent(GetCurrentThreadId());
              GATT_Deregister(1);
              StopFailingCreateEvent();
          }),
          Trace("GATT_DeregisterAll - Register server event allocation failed - 8"),
          Trace("GATT_DeregisterAll - exiting thread exit..."), Trace("GATT_DeregisterAll - exit"),
          NoTrace("GATT_DeregisterAll - Client deregistration calling driver..."), NothingSent(), ChannelHolds(0)});
}

TEST_F(LinkChannel, RegistrationsAndDeregistrationsFromSeveralThreadsStayConsistent)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            const std::vector<uint8_t> mine = Hex(Identity(t));
            for (int round = 0; round < 40; ++round) {
                uint8_t gatt_if = Register(t);
                // The slot is ours until we give it back, and the channel is open.
                failures += gatt_if == 0 || std::memcmp(&gatt_if_table[gatt_if - 1].app, mine.data(), 18) != 0 ||
                            LinkDeviceHandle() == INVALID_HANDLE_VALUE;
                if (gatt_if)
                    GATT_Deregister(gatt_if);
            }
        });
    for (std::thread &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0) << trace.Dump();
    EXPECT_EQ(trace.Count("GATT_Register - exits. gatt_if=0"), 0u);
    // Every opening was registered and deregistered once, and closed.
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_DEREGISTER).size(), ctl.Requests(ZOREROVA_GATT_REGISTER).size());
    Play({NoTrace("GATT_Register - not all handles are closed: "), ChannelHolds(0)});
}

// The last registration deregisters from its own callback, on the reader
// thread: the reader stops at its next turn and closes the channel from its end.
void DeregisterFromCallback(uint8_t gatt_if, uint16_t, uint8_t connected)
{
    if (connected)
        GATT_Deregister(gatt_if);
}

TEST_F(LinkChannel, LastDeregistrationFromAReaderCallbackClosesTheChannelWhenTheReaderEnds)
{
    Play({FirstRegistration(1), Do([] { SetConnectedHook(DeregisterFromCallback); }), Post(Connection(4, 1)),
          Callback("1 connected 1 4 001a7dda7113 1 up"), Trace("GATT_Deregister gatt_if:1"),
          Trace("GATT_DeregisterAll - Client deregistration calling driver..."), Trace("GATT_DeregisterAll - exit"),
          Trace("LE - ReadWorker: ReadWorker: received exit command 2"),
          ReaderStops(), Trace("GATT_DeregisterAll - closing device handle CloseHandle(*"),
          Trace("GATT_DeregisterAll - exit"), Trace("LE - ReadWorker: exits"), Do([] { SetConnectedHook(nullptr); }),
          Sent(ZOREROVA_GATT_DEREGISTER, ""), ChannelHolds(0), FirstRegistration(1),
          NoTrace("GATT_Register - not all handles are closed: ")});
}

// ---- dispatch: two registrations hear the events ----
class Dispatch : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        Play({FirstRegistration(1), Returns(2, [] { return Register(2); })});
    }
    void TearDown() override
    {
        gatts_service_list = nullptr;   // the records of a test live on its stack
        LinkTest::TearDown();
    }
    // Both registrations hear a connection event.
    Script BothHear(unsigned conn_id, int up, const char *record, const char *bda = "001a7dda7113")
    {
        return {Callback(Fmt("1 connected 1 %u %s %d %s", conn_id, bda, up, record)),
                Callback(Fmt("2 connected 2 %u %s %d %s", conn_id, bda, up, record))};
    }
};

TEST_F(Dispatch, ConnectionEventsReachEveryRegistrationCompletionsTheOwner)
{
    const conn_record &rec = conn_table[5];
    Play({Deliver(Connection(5, 1)), BothHear(5, 1, "up"), Do([&] {
              EXPECT_EQ(rec.conn_id, 5);
              EXPECT_EQ(rec.op, 0);
              EXPECT_NE(rec.op_done, nullptr);
          }),
          // The callbacks still see the record as it was.
          Deliver(Connection(5, 0)), BothHear(5, 0, "up"), Do([&] { EXPECT_EQ(rec.conn_id, kConnIdDown); }),
          // A disconnection of a record already down reaches everyone but changes nothing.
          Deliver(Connection(5, 0, "c0ffee010203")), BothHear(5, 0, "down", "c0ffee010203"), NoCallback(),
          Do([&] { EXPECT_EQ(ToHex(rec.bd_addr, 6, false), "001a7dda7113"); })});
    // A completion opens the gate only for its own operation and goes to the owner.
    Play({Deliver(Connection(3, 1)), BothHear(3, 1, "up"),
          // Before any operation: to every registration.
          Deliver(Completion(3, ZR_OP_NOTIFICATION, 0, 0x21, "010203")),
          Callback("1 complete 3 op=5 status=0 handle=0x21 010203"),
          Callback("2 complete 3 op=5 status=0 handle=0x21 010203"),
          NoTrace("CompleteCallback notified conn_id=3, op=5"),
          Returns(false, [] { return ClientEnterOp(2, 3, ZR_OP_READ); }),
          // Another operation type: to the owner only, the gate stays shut.
          Deliver(Completion(3, ZR_OP_WRITE, 0, 0x30)), Callback("2 complete 3 op=3 status=0 handle=0x30"),
          Trace("CompleteCallback notified conn_id=3, op=3, status=0"),
          Do([&] { EXPECT_EQ(conn_table[3].op, ZR_OP_READ); }), NoTrace("CompleteCallback conn_id=3, op=3 completed"),
          Deliver(Completion(3, ZR_OP_READ, 4, 0x31, "09")),
          Trace("CompleteCallback conn_id=3, op=2 completed status=4"),
          Trace("CompleteCallback notified conn_id=3, op=2, status=4"),
          Callback("2 complete 3 op=2 status=4 handle=0x31 09"), Do([&] {
              EXPECT_EQ(conn_table[3].op, 0);
              EXPECT_EQ(WaitForSingleObject(conn_table[3].op_done, 0), WAIT_OBJECT_0);
          }),
          // The owner stays after the operation ended.
          Deliver(Completion(3, ZR_OP_INDICATION, 0)), Callback("2 complete 3 op=6 status=0 handle=0x0"),
          // An owner that has gone leaves the completions to those still here.
          Returns(false, [] { return ClientEnterOp(2, 3, ZR_OP_READ); }), Do([] { GATT_Deregister(2); }),
          Deliver(Completion(3, ZR_OP_READ, 0, 0x31, "0a")), Callback("1 complete 3 op=2 status=0 handle=0x31 0a"),
          NoTrace("CompleteCallback notified conn_id=3, op=2, status=0"), Do([&] { EXPECT_EQ(conn_table[3].op, 0); })});
}

// Records of unknown types are dropped without a trace; connections and completions
// for bad or unconnected connections are traced and dropped.
TEST_F(Dispatch, UnknownRecordsAndBadOrUnconnectedConnectionsAreDropped)
{
    trace.Clear();
    for (const char *type : {"00", "01", "f7", "fa", "fb", "fe"})
        Play({Deliver(std::string(type) + " 001a7dda7113 0100 01")});
    Play({NoCallback(), Do([this] {
              EXPECT_EQ(conn_table[1].connected, 0);
              for (const std::string &line : trace.Lines())
                  EXPECT_EQ(line.rfind("LE - ReadWorker: completed ", 0), 0u) << line;
          }),
          Deliver(Connection(200, 1)), Deliver(Connection(0xFFFF, 1, "c0ffee010203")),
          Trace("ConnectedCallback illegal conn_id=200 001a7dda7113"),
          Trace("ConnectedCallback illegal conn_id=65535 c0ffee010203"), NoCallback(),
          Deliver(Completion(200, ZR_OP_READ, 0)), Deliver(Completion(9, ZR_OP_READ, 0)), Deliver(Connection(9, 1)),
          Deliver(Connection(9, 0)), Deliver(Completion(9, ZR_OP_WRITE, 0)), Trace("CompleteCallback bad conn_id:200"),
          Trace("CompleteCallback not connected conn_id:9"), Trace("CompleteCallback not connected conn_id:9"),
          BothHear(9, 1, "up"), BothHear(9, 0, "up"), NoCallback()});
}

TEST_F(Dispatch, RemoteRequestsAreRoutedByHandleThroughTheServiceList)
{
    gatts_service_record unowned{50, 60, 9, nullptr}, second{30, 40, 1, &unowned}, first{10, 20, 2, &second};
    Play({Deliver(RemoteRequest(4, 1, 1, 15)),
          Trace("RequestCallback with for NULL handle conn_id=4, type=1 handle=15"),
          Do([&] { gatts_service_list = &first; }), Deliver(RemoteRequest(4, 0x1234, 1, 15)),
          Deliver(RemoteRequest(4, 0x1235, 2, 40, "0708")), Deliver(RemoteRequest(4, 0x1236, 3, 10)),
          Deliver(RemoteRequest(4, 0x1237, 1, 25)), Deliver(RemoteRequest(4, 0x1238, 1, 55)),
          Deliver(RemoteRequest(4, 0x1239, 4, 15)), Callback("2 request 4 trans=0x1234 type=1 handle=0xf"),
          Callback("1 request 4 trans=0x1235 type=2 handle=0x28 0708"),
          Callback("2 request 4 trans=0x1236 type=3 handle=0xa"),
          Trace("RequestCallback with for NULL handle conn_id=4, type=1 handle=25"),
          Trace("RequestCallback failed to find service conn_id=4, type=1 handle=55"),
          // Only reads and writes carry a handle to route by.
          Trace("RequestCallback unknown request type conn_id=4, type=4"),
          Returns(3, [] { return Register(3, kNoRequest); }), Do([&] { unowned.gatt_if = 3; }),
          Deliver(RemoteRequest(2, 77, 2, 55, "01")),
          Trace("RequestCallback found app does not have request callback conn_id=2, type=2 handle=55"), NoCallback()});
}

// The reader is held in the first callback while 39 more records arrive: 19
// complete the pending reads, the other 20 wait in the driver and answer the
// reads the reader sends next at once.
TEST_F(Dispatch, EventsAnsweredAtOnceAreStillTakenInTheirTurn)
{
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BlockNextConnected(release);
    Script script;
    for (unsigned i = 0; i < 40; ++i)
        script.push_back(Post(Connection(i, 1)));
    script.push_back(Do([this, release] {
        EXPECT_TRUE(ctl.WaitUntil([this](const VctlStats &s) {
            return Controller::Channel(s, ctl.LibraryChannel())->queued_events == 20;
        }));
        SetEvent(release);
    }));
    for (unsigned i = 0; i < 40; ++i)
        script.push_back(BothHear(i, 1, "up"));
    Play(script);
    CloseHandle(release);
}

std::atomic<DWORD> g_reader_thread{0};
void RecordReaderThread(uint8_t, uint16_t, uint8_t) { g_reader_thread = GetCurrentThreadId(); }
void WINAPI DropLine(const char *) {}

TEST_F(Dispatch, TheReaderAllocatesNothingPerEvent)
{
    SetConnectedHook(RecordReaderThread);
    Play({Deliver(Connection(3, 1)), Do([] { SetConnectedHook(nullptr); }),
          // Only a registration without callbacks stays, and lines go to a sink that
          // keeps nothing: what is left on the reader thread is the link's own work.
          Returns(3, [] { return Register(3, kNoConnected | kNoComplete | kNoRequest); }), Do([] {
              GATT_Deregister(1);
              GATT_Deregister(2);
              QorGattSetTraceFunction(DropLine);
              CountAllocations(g_reader_thread);
          })});
    for (int i = 0; i < 10; ++i)
        Play({Deliver(Connection(4, 1)), Deliver(Completion(3, ZR_OP_NOTIFICATION, 0, 0x10, "0102")),
              Deliver(Completion(3, ZR_OP_READ, 0, 0x10, "03")), Deliver(RemoteRequest(3, 1, 1, 0x10)),
              Deliver("fa"), Deliver(Connection(4, 0))});
    EXPECT_EQ(CountedAllocations(), 0);
    QorGattSetTraceFunction(nullptr);
}

// ---- client requests: registration 1 on connection 1 ----
class Requests : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        Play({FirstRegistration(1), Deliver(Connection(1, 1))});
    }
};

const uint8_t kAddr[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
const uint8_t kAddr2[6] = {0xC0, 0xFF, 0xEE, 0x01, 0x02, 0x03};

// auth_req 1, 0x55, the handle, then 0x80..0x93.
read_param ReadParam(uint16_t handle)
{
    read_param p{1, 0x55, handle, {}};
    for (int i = 0; i < 20; ++i)
        p.rest[i] = static_cast<uint8_t>(0x80 + i);
    return p;
}
const char *const kRest = "808182838485868788898a8b8c8d8e8f90919293";
const disc_param kRange{{2, {0x99}}, 0x10, 0x2F};
const read_param kRead = ReadParam(0x1234);
// Handle 0x123, three bytes, auth_req 2.
const LeAttrValue kValue{0, 0x0123, 0, 3, 2, {0xDE, 0xAD, 0xBF}, 0};
const char *const kValueHex = "0000 2301 0000 0300 02 deadbf 00*510";

TEST_F(Requests, EachRequestCarriesItsBytesAndTracesItsKindGatedOnesHoldTheGate)
{
    Play({Returns(1, [] { return GATT_Connect(3, kAddr, 0); }),
          Sent(ZOREROVA_GATT_CONNECT, "03 001a7dda7113 01"), Trace("GATT_Connect gatt_if=3 001a7dda7113"),
          Returns(1, [] { return GATT_CancelConnect(4, kAddr2, 0); }),
          Sent(ZOREROVA_GATT_CANCEL_CONNECT, "04 c0ffee010203 01"),
          Trace("GATT_CancelConnect gatt_if=4 c0ffee010203"),
          Returns(0, [] { return GATTC_Discover(7, ZR_DISC_INCLUDED, &kRange); }),
          Sent(ZOREROVA_GATTC_DISCOVER, "00*18 0700 1000 2f00 03"), Trace("GATTC_Discover conn_id=7 type=3"),
          Trace("GATTC_Discover conn_id=7 included service s_handle:10 e_handle:2f"),
          Returns(0, [] { return GATTC_Discover(0x0102, ZR_DISC_CHARS, nullptr); }),
          Sent(ZOREROVA_GATTC_DISCOVER, "00*18 0201 0000 0000 04"), Trace("GATTC_Discover conn_id=258 type=4"),
          Trace("GATTC_Discover conn_id=258 characteristics of a service"),
          Returns(0, [] { return GATTC_Discover(7, 9, nullptr); }),
          Sent(ZOREROVA_GATTC_DISCOVER, "00*18 0700 0000 0000 09"), Trace("GATTC_Discover conn_id=7 ????"),
          Returns(0, [] { return GATTC_Read(0x0305, 9, &kRead); }),
          Sent(ZOREROVA_GATTC_READ, Fmt("0503 02 01 55 3412 %s", kRest)), Trace("GATTC_Read conn_id=773 type=2")});
    // Gated requests hold the gate until their end.
    const disc_param all{{}, 1, 0xFFFF};
    const read_param read = ReadParam(0x44);
    auto op = [] { return conn_table[1].op; };
    Play({Returns(0, [&] { return GATTCIf_Discover(1, 1, &all); }),
          Sent(ZOREROVA_GATTC_DISCOVER, "00*18 0100 0100 ffff 01"), Trace("ClientEnterOp gatt_if=1 conn_id=1 op=1"),
          Trace("GATTC_Discover conn_id=1 discover all services s_handle:1 e_handle:ffff"),
          Returns(ZR_OP_DISCOVERY, op), Do([] { ClientExitOp(1); }),
          Returns(0, [&] { return GATTCIf_Read(1, 1, 7, &read); }),
          Sent(ZOREROVA_GATTC_READ, Fmt("0100 02 01 55 4400 %s", kRest)), Returns(ZR_OP_READ, op),
          Do([] { ClientExitOp(1); }), Returns(0, [] { return GATTCIf_Write(1, 1, 1, &kValue); }),
          Sent(ZOREROVA_GATTC_WRITE, Fmt("0100 01 %s", kValueHex), "00"), Returns(ZR_OP_WRITE, op),
          Trace("ClientEnterOp gatt_if=1 conn_id=1 op=3"), Trace("GATTCIf_Write conn_id=1 type=1"),
          Deliver(Completion(1, ZR_OP_WRITE, 0)), Returns(0, op),
          // A confirmation gives the gate back at once.
          Returns(0, [] { return GATTCIf_SendHandleValueConfirm(1, 1, 0x2A); }),
          Sent(ZOREROVA_GATTC_CONFIRM, "0100 2a00"), Trace("ClientEnterOp gatt_if=1 conn_id=1 op=5"),
          Trace("GATTCIf_SendHandleValueConfirm conn_id=1 handle=0x2a"), Trace("ClientExitOp gatt_if=1 conn_id=1 op=5"),
          Returns(0, op)});
}

// One request kind: how to make it, what it answers when the channel is not
// open, has no event or is refused, and its lines.
struct Kind {
    uint32_t code;
    uint8_t (*call)();
    bool gated;
    uint8_t not_open, refused;
    const char *name;       // of the lines
    bool traces_not_open;
    const char *failed;     // with %d: the error
};
const Kind kKinds[] = {
    {ZOREROVA_GATT_CONNECT, [] { return GATT_Connect(1, kAddr, 1); }, false, 0, 0, "GATT_Connect", true,
     "GATT_Connect - Client connect failed - %d"},
    {ZOREROVA_GATT_CANCEL_CONNECT, [] { return GATT_CancelConnect(1, kAddr, 1); }, false, 0, 0, "GATT_CancelConnect",
     false, "GATT_CancelConnect - failed - %d"},
    {ZOREROVA_GATTC_DISCOVER, [] { return GATTC_Discover(1, 4, &kRange); }, false, 10, 1, "GATTC_Discover", true,
     "GATTC_Discover - failed - %d"},
    {ZOREROVA_GATTC_READ, [] { return GATTC_Read(1, 2, &kRead); }, false, 10, 1, "GATTC_Read", true,
     "GATTC_Read - failed - %d"},
    {ZOREROVA_GATTC_DISCOVER, [] { return GATTCIf_Discover(1, 1, &kRange); }, true, 10, 1, "GATTC_Discover", true,
     "GATTC_Discover - failed - %d"},
    {ZOREROVA_GATTC_READ, [] { return GATTCIf_Read(1, 1, 2, &kRead); }, true, 10, 1, "GATTC_Read", true,
     "GATTC_Read - failed - %d"},
    {ZOREROVA_GATTC_WRITE, [] { return GATTCIf_Write(1, 1, 2, &kValue); }, true, 10, 1, "GATTCIf_Write", true,
     "GATTCIf_Write - failed - %d nBytes 0"},
    {ZOREROVA_GATTC_CONFIRM, [] { return GATTCIf_SendHandleValueConfirm(1, 1, 0x2A); }, true, 10, 1,
     "GATTCIf_SendHandleValueConfirm", true, "GATTCIf_SendHandleValueConfirm - failed - %d"},
};

// Each kind made to fail by `arm` answers `result` with its line; a gated one
// gave the gate back.
Script EachKindFails(const std::function<void(const Kind &)> &arm, uint8_t Kind::*result,
                     const std::function<std::string(const Kind &)> &line)
{
    Script s;
    for (const Kind &kind : kKinds) {
        s.push_back(Do([arm, kind] { arm(kind); }));
        s.push_back(Returns(kind.*result, kind.call));
        s.push_back(Do([] { StopFailingCreateEvent(); }));
        if (!line(kind).empty())
            s.push_back(Trace(line(kind)));
        if (kind.gated) {
            s.push_back(Trace("ClientExitOp gatt_if=1 conn_id=1 op=*"));
            s.push_back(Returns(0, [] { return conn_table[1].op; }));
        }
    }
    return s;
}

TEST_F(Requests, RefusedOrPendingRequestsAreCollectedAndWithoutChannelOrEventNothingIsSent)
{
    Play({EachKindFails([this](const Kind &k) { ctl.ArmFault(k.code, VCTL_FAULT_STATUS, 0xC000000D); },
                        &Kind::refused, [](const Kind &k) { return Fmt(k.failed, 87); }),
          EachKindFails([this](const Kind &k) { ctl.ArmFault(k.code, VCTL_FAULT_PEND); }, &Kind::refused,
                        [](const Kind &k) { return Fmt(k.failed, ERROR_IO_PENDING); }),
          Do([this] {
              std::vector<VctlLogEntry> log = ctl.Log();
              ASSERT_EQ(log.size(), 1 + 2 * sizeof kKinds / sizeof kKinds[0]);
              EXPECT_EQ(log.back().status, 0x103u) << "collected, not left pending";
          }),
          // The channel still works.
          Returns(0, [] { return GATTC_Read(1, 2, nullptr); }), Do([this] { scenario.SkipRequests(); }),
          EachKindFails([](const Kind &) { FailCreateEvent(GetCurrentThreadId()); }, &Kind::not_open,
                        [](const Kind &k) { return std::string(k.name) + " - event allocation failed"; }),
          NothingSent(), Do([] { GATT_DeregisterAll(true); }), Sent(ZOREROVA_GATT_DEREGISTER, ""),
          // The record stays up: only the channel is gone.
          Returns(1, [] { return conn_table[1].connected; }),
          EachKindFails([](const Kind &) {}, &Kind::not_open,
                        [](const Kind &k) {
                            return k.traces_not_open ? std::string(k.name) + " not registered" : std::string();
                        }),
          NothingSent()});
}

TEST_F(Requests, TheGateRefusingSendsNothingAndAWriteWithABadResultByteIsRefused)
{
    const struct { uint8_t (*call)(); int conn_id; const char *line;
    } cases[] = {
        {[] { return GATTCIf_Discover(1, 8, &kRange); }, 8,
         "GATTCIf_Discover failed to start gatt_if=1 conn_id=8 type=1"},
        {[] { return GATTCIf_Read(1, 8, 2, &kRead); }, 8, "GATTCIf_ failed to start gatt_if=1 conn_id=8 type=2"},
        {[] { return GATTCIf_Write(1, 8, 2, &kValue); }, 8, "GATTCIf_Write failed to start gatt_if=1 conn_id=8 type=2"},
        {[] { return GATTCIf_SendHandleValueConfirm(1, 200, 42); }, 200,
         "GATTCIf_SendHandleValueConfirm failed to start gatt_if=1 conn_id=200 handle=42"}};
    for (const auto &c : cases)
        Play({Returns(kDriverRefused, c.call), Trace(Fmt("ClientEnterOp failed gatt_if=1 conn_id=%d", c.conn_id)),
              Trace(c.line)});
    Play({NoTrace("ClientExitOp"), NothingSent(),
          // A write whose result byte is not zero or is missing is refused.
          Do([this] { ctl.ArmFault(ZOREROVA_GATTC_WRITE, VCTL_FAULT_RESULT_BYTE, 1); }),
          Returns(kDriverRefused, [] { return GATTCIf_Write(1, 1, 2, &kValue); }),
          Sent(ZOREROVA_GATTC_WRITE, Fmt("0100 02 %s", kValueHex), "01"), Trace("GATTCIf_Write conn_id=1 type=2"),
          Trace("GATTCIf_Write - completed with bad result:1"), Trace("ClientExitOp gatt_if=1 conn_id=1 op=3"),
          Returns(0, [] { return conn_table[1].op; }),
          Do([this] { ctl.ArmFault(ZOREROVA_GATTC_WRITE, VCTL_FAULT_SHORT_OUTPUT, 0); }),
          Returns(kDriverRefused, [] { return GATTCIf_Write(1, 1, 2, &kValue); }),
          Trace("GATTCIf_Write conn_id=1 type=2"), Trace("GATTCIf_Write - failed - * nBytes 0"),
          Returns(0, [] { return conn_table[1].op; })});
}

} // namespace
} // namespace linktest
