// Events per second through the library's reader and dispatch, next to the raw
// event rate of the controller measured the same way in the same run.
//
// Both sides keep twenty reads pending and take them strictly in turn. Two
// figures each:
//   drain: the reader is held while the events are posted (twenty complete the
//          pending reads, the rest wait in the controller), then let go; the
//          time until the last one was taken. This is the reader's own rate.
//   live:  events posted back to back while the reader runs; includes the cost
//          of posting, the same for both.
// The library traces every event it takes; it runs once with its default
// output (the debugger output) and once with a trace sink that drops lines.
// The machine is shared and noisy: each figure is the median of several rounds,
// the raw and library runs alternating.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "link/link.h"
#include "qortest.h"

#include "bench_stats.h"

namespace {

constexpr int kSlots = 20;
constexpr int kDrainEvents = 2000;   // within the controller's queue (4096) plus the pending reads
constexpr int kLiveEvents = 1500;
constexpr int kRounds = 5;

double Seconds()
{
    static const LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

// Counts taken events and tells when the wanted number is reached; the first
// event can be held until released.
struct Counter {
    std::atomic<long> taken{0};
    long want = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    double last = 0;

    void Reset(long n, bool hold)
    {
        taken = 0;
        want = n;
        ResetEvent(done);
        if (hold)
            ResetEvent(release);
        else
            SetEvent(release);
    }
    void Take()
    {
        long n = ++taken;
        if (n == 1)
            WaitForSingleObject(release, INFINITE);
        if (n == want) {
            last = Seconds();
            SetEvent(done);
        }
    }
    bool Wait() { return WaitForSingleObject(done, 60000) == WAIT_OBJECT_0; }
};

Counter g_counter;

// ---- the raw side: twenty reads on a channel of its own ----
class RawReader {
public:
    explicit RawReader(HANDLE device) : device_(device)
    {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this] { Run(); });
        WaitForSingleObject(ready_, INFINITE);
    }
    ~RawReader()
    {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(ready_);
        CloseHandle(stop_);
    }

private:
    struct Slot {
        ZrEvent record;
        OVERLAPPED ov;
    };
    void Send(Slot &s)
    {
        HANDLE ev = s.ov.hEvent;
        s.ov = OVERLAPPED{};
        s.ov.hEvent = ev;
        ResetEvent(ev);
        DWORD n = 0;
        if (DeviceIoControl(device_, ZOREROVA_GATT_READ_EVENT, nullptr, 0, s.record.raw, sizeof s.record.raw, &n,
                            &s.ov))
            SetEvent(ev);
    }
    void Run()
    {
        std::vector<Slot> slots(kSlots);
        for (Slot &s : slots) {
            s.ov.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            Send(s);
        }
        SetEvent(ready_);
        for (int i = 0;; i = (i + 1) % kSlots) {
            HANDLE objects[2] = {stop_, slots[i].ov.hEvent};
            if (WaitForMultipleObjects(2, objects, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
                break;
            DWORD n = 0;
            if (!GetOverlappedResult(device_, &slots[i].ov, &n, FALSE))
                break;
            g_counter.Take();
            Send(slots[i]);
        }
        CancelIo(device_);
        for (Slot &s : slots) {
            DWORD n = 0;
            GetOverlappedResult(device_, &s.ov, &n, TRUE);
            CloseHandle(s.ov.hEvent);
        }
    }
    HANDLE device_;
    HANDLE ready_, stop_;
    std::thread thread_;
};

// ---- the library side: a registration whose callbacks only count ----
void OnConnected(uint8_t, const uint8_t *, uint16_t, uint8_t) { g_counter.Take(); }
void OnComplete(uint16_t, uint8_t, uint8_t, const LeAttrValue *) { g_counter.Take(); }
void WINAPI DropLine(const char *) {}

// Posts n events to a channel and returns the events per second taken.
double Drain(qortest::Controller &ctl, uint32_t channel, const ZrEvent &event, int n)
{
    g_counter.Reset(n, true);
    for (int i = 0; i < n; ++i)
        ctl.PostEvent(event, channel);
    const double start = Seconds();
    SetEvent(g_counter.release);
    if (!g_counter.Wait())
        return 0;
    return n / (g_counter.last - start);
}

double Live(qortest::Controller &ctl, uint32_t channel, const ZrEvent &event, int n)
{
    g_counter.Reset(n, false);
    const double start = Seconds();
    for (int i = 0; i < n; ++i)
        ctl.PostEvent(event, channel);
    if (!g_counter.Wait())
        return 0;
    return n / (g_counter.last - start);
}

struct Rates {
    double drain = 0, live = 0;
};

Rates MeasureRaw(qortest::Controller &ctl, const ZrEvent &event)
{
    qortest::DeviceChannel ch;
    if (!ch.Register())
        return {};
    RawReader reader(ch.Handle());
    Rates r;
    r.drain = Drain(ctl, ch.Id(), event, kDrainEvents);
    r.live = Live(ctl, ch.Id(), event, kLiveEvents);
    return r;
}

Rates MeasureLibrary(qortest::Controller &ctl, const ZrEvent &event, bool drop_trace)
{
    QorGattSetTraceFunction(drop_trace ? DropLine : nullptr);
    LeUuid app{};
    app.len = 16;
    gatt_callbacks callbacks{OnConnected, OnComplete, nullptr, nullptr, nullptr};
    if (GATT_Register(&app, &callbacks) != 1) {
        std::printf("the library could not register\n");
        return {};
    }
    // Completions count only for a connection that is up.
    const uint8_t addr[6] = {1, 2, 3, 4, 5, 6};
    g_counter.Reset(1, false);
    ctl.PostEvent(qortest::ConnectionEvent(addr, 7, 1), ctl.LibraryChannel());
    if (!g_counter.Wait()) {
        std::printf("no connection event reached the library\n");
        GATT_Deregister(1);
        return {};
    }
    Rates r;
    r.drain = Drain(ctl, ctl.LibraryChannel(), event, kDrainEvents);
    r.live = Live(ctl, ctl.LibraryChannel(), event, kLiveEvents);
    GATT_Deregister(1);
    QorGattSetTraceFunction(nullptr);
    return r;
}

void Print(const char *what, const std::vector<double> &library, const std::vector<double> &raw)
{
    const double l = Median(library), r = Median(raw);
    std::printf("%-40s library %7.0f /s   raw %7.0f /s   ratio %.2f\n", what, l, r, r > 0 ? l / r : 0.0);
}

} // namespace

int main()
{
    qortest::Controller ctl;
    if (!ctl.IsOpen())
        return 1;
    ctl.Reset();
    // A completion before any operation goes to every registration; a
    // disconnection of a record that is not up changes nothing.
    const uint8_t addr[6] = {1, 2, 3, 4, 5, 6};
    struct Case {
        const char *name;
        ZrEvent event;
    } cases[] = {{"completion (0xF8) -> on_complete", qortest::CompleteEvent(7, ZR_OP_NOTIFICATION, 0, 0x10, {1, 2})},
                 {"connection (0xFF) -> on_connected", qortest::ConnectionEvent(addr, 8, 0)}};

    std::printf("events per second, twenty reads pending; median of %d rounds (%d drained, %d posted live)\n",
                kRounds, kDrainEvents, kLiveEvents);
    for (const Case &c : cases) {
        std::vector<double> raw_drain, raw_live, traced_drain, traced_live, quiet_drain, quiet_live;
        for (int round = 0; round < kRounds; ++round) {
            Rates raw = MeasureRaw(ctl, c.event);
            ctl.Reset();
            Rates traced = MeasureLibrary(ctl, c.event, false);
            ctl.Reset();
            Rates quiet = MeasureLibrary(ctl, c.event, true);
            ctl.Reset();
            raw_drain.push_back(raw.drain);
            raw_live.push_back(raw.live);
            traced_drain.push_back(traced.drain);
            traced_live.push_back(traced.live);
            quiet_drain.push_back(quiet.drain);
            quiet_live.push_back(quiet.live);
        }
        std::printf("%s\n", c.name);
        Print("  drain, trace to debugger output", traced_drain, raw_drain);
        Print("  drain, trace sink dropping lines", quiet_drain, raw_drain);
        Print("  live, trace to debugger output", traced_live, raw_live);
        Print("  live, trace sink dropping lines", quiet_live, raw_live);
    }
    return 0;
}
