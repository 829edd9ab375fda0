// Values through the library next to the same driver traffic without it:
//   read:    a waited characteristic read, against the raw read request plus
//            the wait for its completion event (goal: at most 1.10);
//   notify:  notifications delivered to pfnAttribute, against the raw event
//            rate of twenty pending reads (a rate; goal: at least 0.90);
//   answer:  a remote read answered by the application, against the raw
//            request/response round trip (goal: at most 1.15). Both sides
//            signal the verdict before the response goes out, so each unit is
//            timed from the central's request to the verdict.

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "battery_peer.h"
#include "method.h"
#include "peers.h"
#include "tally.h"
#include "scenario.h"

namespace {

using namespace qortest;

const bench::Peer kPeer = {{0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13}, 5};
const bench::Peer kCentral = {{0x00, 0xC0, 0xFF, 0xEE, 0x00, 0x07}, 6};
LE_ADDRESS g_dev = kPeer.Address();
GUID g_svc = bench::BatteryService(), g_level = bench::BatteryLevel();
constexpr int kNotifications = 2000;   // within the controller's queue plus the pending reads
constexpr int kReads = 300;   // a run of fewer takes too little time for a steady 3x line
constexpr int kAnswers = 150;
constexpr int kSlots = 20;              // reads the raw side keeps pending, as the library does

bench::Tally g_heard;

bool Done() { return g_heard.Wait(60000); }

DWORD WINAPI OnAttribute(PLE_ADDRESS, GUID *, DWORD, GUID *, DWORD, GUID *, DWORD, DWORD ev, PLE_VALUE v)
{
    if (ev == QOR_EVENT_READ_REQUEST)
        *v = LE_VALUE{1, {0x5A}};
    g_heard.Add();
    return 0;
}

struct Setup {
    Controller ctl;
    DeviceChannel raw;
    HQORREG reg = nullptr;
    USHORT lib_handle = 0;        // the library's local characteristic
    uint16_t raw_handle = 0;      // the raw channel's
    LE_VALUE value{};

    // The peer connected, a local service of the library's started, and a central connected to read it.
    bool Prepare()
    {
        USHORT s = 0;
        if (!bench::PairAndRegister(ctl, kPeer, {0xBE7C0001, 0, 0, {0}}, OnAttribute, &reg) ||
            QorGattCreateService(reg, &g_svc, 0, 3, 0, &s) != 0 ||
            QorGattAddCharacteristic(s, &g_level, 0, 0x11, 0x02, &lib_handle) != 0 || QorGattStartService(s) != 0)
            return false;
        TraceCapture trace;
        AddCentral(ctl, kCentral.bda);
        LinkUp(ctl, kCentral.bda, kCentral.conn_id);
        return bench::WaitConnected(trace, kCentral.Address(), kCentral.conn_id) && raw.Register() && RawService();
    }
    bool RawService()
    {
        std::vector<uint8_t> create = Hex("02 0200 0f18 00*14 0000 00 0300"), chr = Hex("0000 0200 192a 00*14 0000 02");
        uint8_t out[2] = {};
        if (raw.Call(ZOREROVA_GATTS_CREATE_SERVICE, create.data(), 24, out, 2))
            return false;
        std::vector<uint8_t> start = {2, out[0], out[1], 0};
        std::copy(out, out + 2, chr.begin());
        if (raw.Call(ZOREROVA_GATTS_ADD_CHAR, chr.data(), 23, out, 2))
            return false;
        raw_handle = static_cast<uint16_t>(out[0] | out[1] << 8);
        return raw.Call(ZOREROVA_GATTS_START_SERVICE, start.data(), 4, out, 1) == 0;
    }

    DWORD LibraryRead() { return QorGattReadCharacteristic(reg, &g_dev, &g_svc, 0, &g_level, 0, 0, &value, 1, 0); }
    // One raw read of the level value, with its completion taken.
    bool RawRead(PendingRead &slot)
    {
        ZrReadReq req{};
        req.conn_id = kPeer.conn_id;
        req.type = 2;
        req.param.handle = bench::kLevelHandle;
        DWORD started = raw.StartRead(slot);
        return (started == 0 || started == ERROR_IO_PENDING) && raw.Call(ZOREROVA_GATTC_READ, &req, sizeof req) == 0 &&
               raw.FinishRead(slot) == 0;
    }
};

Setup *g;

double TimedReads(int work, bool library)
{
    PendingRead slot;
    double start = bench::Seconds();
    for (int i = 0; i < work; ++i)
        if (library ? g->LibraryRead() != 0 : !g->RawRead(slot))
            return -1;
    return bench::Seconds() - start;
}

// Notifications: the library's registration hears them on its callback thread.
double LibraryNotify(int work)
{
    if (g->LibraryRead() != 0)   // completions go to the latest requester
        return -1;
    g_heard.Expect(work);
    double start = bench::Seconds();
    if (Notify(g->ctl, kPeer.bda, bench::kLevelHandle, VCTL_KIND_NOTIFICATION, {1, 2}, work) != 0 || !Done())
        return -1;
    return bench::Seconds() - start;
}

// The raw side takes its twenty pending reads in turn.
double RawNotify(int work)
{
    std::vector<PendingRead> slots(kSlots);
    if (!g->RawRead(slots[0]))
        return -1;
    for (PendingRead &s : slots)
        g->raw.StartRead(s);
    double start = bench::Seconds();
    if (Notify(g->ctl, kPeer.bda, bench::kLevelHandle, VCTL_KIND_NOTIFICATION, {1, 2}, work) != 0)
        return -1;
    for (int i = 0; i < work; ++i) {
        PendingRead &s = slots[i % kSlots];
        if (g->raw.FinishRead(s) != 0)
            return -1;
        if (i + kSlots < work)
            g->raw.StartRead(s);
    }
    return bench::Seconds() - start;
}

double LibraryAnswers(int work)
{
    double start = bench::Seconds();
    for (int i = 0; i < work; ++i) {
        g_heard.Expect(1);
        if (CentralRequest(g->ctl, kCentral.bda, VCTL_CENTRAL_READ, g->lib_handle, true) != 0 || !Done())
            return -1;
    }
    return bench::Seconds() - start;
}

// The raw side answers on a thread of its own, as the library's callback thread does.
double RawAnswers(int work)
{
    HANDLE verdict = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread answerer([&] {
        PendingRead slot;
        ZrSendRspReq rsp{};
        rsp.conn_id = kCentral.conn_id;
        rsp.rsp.len = 1;
        for (int i = 0; i < work; ++i) {
            DWORD started = g->raw.StartRead(slot);
            if ((started != 0 && started != ERROR_IO_PENDING) || g->raw.FinishRead(slot) != 0)
                return;
            rsp.trans_id = slot.event.request.trans_id;
            rsp.rsp.handle = slot.event.request.payload.handle;
            SetEvent(verdict);
            uint8_t result = 0;
            g->raw.Call(ZOREROVA_GATTS_SEND_RSP, &rsp, sizeof rsp, &result, 1);
        }
    });
    double start = bench::Seconds(), took = -1;
    int i = 0;
    for (; i < work; ++i)
        if (CentralRequest(g->ctl, kCentral.bda, VCTL_CENTRAL_READ, g->raw_handle, true) != 0 ||
            WaitForSingleObject(verdict, 10000) != WAIT_OBJECT_0)
            break;
    if (i == work)
        took = bench::Seconds() - start;
    answerer.join();
    CloseHandle(verdict);
    return took;
}

} // namespace

bool bench::Rows(qortest::Controller &, Program *program)
{
    // Lives until the program ends: the runs and the attribute callback use it.
    static Setup setup;
    g = &setup;
    if (!setup.Prepare())
        return false;
    bench::Benchmark read = bench::Row("waited characteristic read", "reads", kReads,
                                       [](int work) { return TimedReads(work, true); },
                                       [](int work) { return TimedReads(work, false); });
    read.goal = 1.10;
    // The 3x run stays within the controller's queue.
    bench::Benchmark notify =
        bench::Row("notifications to pfnAttribute", "notifications", kNotifications / 3, LibraryNotify, RawNotify);
    notify.rate = true;
    notify.goal = 0.90;
    notify.scaling = false;   // the notification program has the rates at every registration count
    bench::Benchmark answer = bench::Row("remote read answered", "requests", kAnswers, LibraryAnswers, RawAnswers);
    answer.goal = 1.15;

    for (bench::Benchmark *b : {&read, &notify, &answer})
        program->rows.push_back(*b);
    program->done = [] { QorGattDeregister(setup.reg); };
    return true;
}
