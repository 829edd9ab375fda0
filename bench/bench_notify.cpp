// Notifications from a connected device to the applications' pfnAttribute,
// against a raw program that takes the same driver traffic on a channel of its
// own (twenty pending reads, taken in turn on a reader thread):
//   1 registration: against the raw reader's own event rate (a rate; goal at
//     least 1.00);
//   4 and 16 registrations: every registration hears every notification on its
//     own thread; the raw reader hands each record to as many threads of its
//     own, each woken when its queue was empty (goal at least 0.95);
//   a burst of 20,000 records to one registration, posted in blocks of 2,000
//     that the controller's queue holds, against the raw reader's rate.
// With each figure, the calls per notification of each side (waits, SetEvent,
// ResetEvent, control requests): counts that noise does not move. Measured
// with the method of method.h.

#include <windows.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "battery_peer.h"
#include "call_count.h"
#include "method.h"
#include "peers.h"
#include "raw_channel.h"
#include "tally.h"

namespace {

using namespace qortest;

const bench::Peer kPeer = {{0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x15}, 5};
LE_ADDRESS g_dev = kPeer.Address();
GUID g_svc = bench::BatteryService(), g_level = bench::BatteryLevel();
constexpr int kEvents = 900;            // within the controller's queue (4096) and the pending reads
constexpr int kBurst = 20000;
constexpr int kBlock = 2000;            // posted at a time; at most two blocks wait in the controller
constexpr DWORD kWaitMs = 120000;

// ---- what both sides count: callbacks heard ----
bench::Tally g_heard;

void Heard() { g_heard.Add(); }

// Posts `events` notifications, at most two blocks ahead of what `fan_out`
// listeners have heard, and waits until all were heard.
bool PostAndWait(Controller &ctl, int events, int fan_out)
{
    for (int posted = 0; posted < events; posted += kBlock) {
        const int n = std::min(kBlock, events - posted);
        if (posted >= 2 * kBlock && !g_heard.WaitFor(static_cast<long>(posted - kBlock) * fan_out, kWaitMs))
            return false;
        if (Notify(ctl, kPeer.bda, bench::kLevelHandle, VCTL_KIND_NOTIFICATION, {1, 2}, static_cast<uint32_t>(n)) != 0)
            return false;
    }
    return g_heard.Wait(kWaitMs);
}

DWORD WINAPI OnAttribute(PLE_ADDRESS, GUID *, DWORD, GUID *, DWORD, GUID *, DWORD, DWORD, PLE_VALUE)
{
    Heard();
    return 0;
}

// ---- the raw side's application threads: a locked queue and an event each ----
class RawListener {
public:
    RawListener() : thread_([this] { Run(); }) {}
    ~RawListener()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        SetEvent(wake_);
        thread_.join();
        CloseHandle(wake_);
    }
    void Push(const ZrEvent &e)
    {
        bool was_empty;
        {
            std::lock_guard<std::mutex> hold(lock_);
            was_empty = queue_.empty();
            queue_.push_back(e.complete.payload.handle);
        }
        if (was_empty)
            SetEvent(wake_);
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            if (queue_.empty()) {
                if (stop_)
                    return;
                hold.unlock();
                WaitForSingleObject(wake_, INFINITE);
                hold.lock();
                continue;
            }
            queue_.pop_front();
            hold.unlock();
            Heard();
            hold.lock();
        }
    }

    std::mutex lock_;
    std::deque<uint16_t> queue_;
    bool stop_ = false;
    HANDLE wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread thread_;
};

struct Setup {
    Controller ctl;
    std::vector<HQORREG> regs;
    std::vector<std::unique_ptr<RawListener>> listeners;   // none: the reader counts itself
    HANDLE raw_read_done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::unique_ptr<bench::RawChannel> raw;

    void OnRawEvent(const ZrEvent &e)
    {
        if (e.type != ZR_EVT_COMPLETE)
            return;
        if (e.complete.op == ZR_OP_READ) {
            SetEvent(raw_read_done);
            return;
        }
        if (listeners.empty()) {
            Heard();
            return;
        }
        for (auto &l : listeners)
            l->Push(e);
    }

    bool Prepare()
    {
        HQORREG reg = nullptr;
        if (!bench::PairAndRegister(ctl, kPeer, App(0), OnAttribute, &reg))
            return false;
        regs.push_back(reg);
        raw = std::make_unique<bench::RawChannel>([this](const ZrEvent &e) { OnRawEvent(e); });
        return raw->Ready();
    }
    static GUID App(size_t index) { return {0xBE7C0100u + static_cast<unsigned>(index), 0, 0, {0}}; }
    // Registrations up to n, each of an application of its own for every device.
    bool Registrations(size_t n)
    {
        while (regs.size() < n) {
            LE_ADDRESS any{0};
            GUID app = App(regs.size());
            HQORREG reg = nullptr;
            if (QorGattRegister(&any, &app, nullptr, nullptr, OnAttribute, nullptr, &reg) != 0)
                return false;
            regs.push_back(reg);
        }
        return true;
    }
    void Listeners(size_t n)
    {
        listeners.clear();
        for (size_t i = 0; i < n; ++i)
            listeners.push_back(std::make_unique<RawListener>());
    }
    // Completions of the connection go to the channel that made the latest request on it.
    bool ClaimForLibrary()
    {
        LE_VALUE v{};
        return QorGattReadCharacteristic(regs[0], &g_dev, &g_svc, 0, &g_level, 0, 0, &v, 1, 0) == 0;
    }
    bool ClaimForRaw()
    {
        ZrReadReq req{};
        req.conn_id = kPeer.conn_id;
        req.type = 2;
        req.param.handle = bench::kLevelHandle;
        return raw->Request(ZOREROVA_GATTC_READ, &req, sizeof req, nullptr, 0) &&
               WaitForSingleObject(raw_read_done, 5000) == WAIT_OBJECT_0;
    }
};

Setup *g;

double LibraryRun(int events)
{
    if (!g->ClaimForLibrary())
        return -1;
    const int fan_out = static_cast<int>(g->regs.size());
    g_heard.Expect(static_cast<long>(events) * fan_out);
    bench::Timing timing;
    if (!PostAndWait(g->ctl, events, fan_out))
        return -1;
    return timing.Stop();
}

double RawRun(int events)
{
    if (!g->ClaimForRaw())
        return -1;
    const int fan_out = g->listeners.empty() ? 1 : static_cast<int>(g->listeners.size());
    g_heard.Expect(static_cast<long>(events) * fan_out);
    bench::Timing timing;
    if (!PostAndWait(g->ctl, events, fan_out))
        return -1;
    return timing.Stop();
}

// No 3x line: the goal is the rate against raw, and the line would triple the time.
bench::Benchmark Figure(const char *name, size_t registrations, int events, double goal)
{
    bench::Benchmark b;
    b.name = name;
    b.unit = "notifications";
    b.work = events;
    b.rate = true;
    b.goal = goal;
    b.scaling = false;
    // The registrations and the raw side's threads of the row are made in its first run.
    b.library = [registrations](int n) { return g->Registrations(registrations) ? LibraryRun(n) : -1; };
    b.raw = [registrations](int n) {
        if (g->listeners.size() != (registrations == 1 ? 0 : registrations))
            g->Listeners(registrations == 1 ? 0 : registrations);
        return RawRun(n);
    };
    b.counted = "notification";
    return b;
}

} // namespace

bool bench::Rows(qortest::Controller &, Program *program)
{
    bench::InstallCallCounting();
    g = new Setup;   // lives to the end of the program
    if (!g->Prepare())
        return false;
    const bool quick = bench::Quick();
    const int events = quick ? kEvents / 3 : kEvents;
    program->rows.push_back(Figure("notifications, 1 registration", 1, events, 1.00));
    program->rows.push_back(Figure(quick ? "burst of 2000 notifications (20000 in a full run)"
                                         : "burst of 20000 notifications, 1 registration",
                                   1, quick ? kBurst / 10 : kBurst, 1.00));
    program->rows.push_back(Figure("notifications, 4 registrations", 4, events, 0.95));
    program->rows.push_back(Figure("notifications, 16 registrations", 16, events / 2, 0.95));
    program->done = [] {
        g->listeners.clear();
        g->raw.reset();
        for (HQORREG reg : g->regs)
            QorGattDeregister(reg);
    };
    return true;
}
