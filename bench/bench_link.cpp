// Events per second through the library's reader and dispatch, next to a raw
// program that takes the same events with twenty reads of its own.
//
// Both sides keep twenty reads pending and take them strictly in turn. Two
// figures each:
//   drain (the headline): the reader is held while the events are posted
//          (twenty complete the pending reads, the rest wait in the
//          controller), then let go; the time from the twentieth taken to the
//          last, each of them read by a request sent again. This is the
//          reader's own rate. (The twenty that were complete at the start
//          cost no wait: counted in, they made short runs look faster.)
//   live:  events posted back to back while the reader runs; includes the cost
//          of posting, the same for both.
// Measured with the method of method.h: alternating rounds, the library once
// with a trace sink and once with its default debugger output, and 3x the work.

#include <atomic>
#include <cstdio>
#include <string>

#include "link/link.h"
#include "qortest.h"

#include "method.h"
#include "raw_channel.h"

namespace {

constexpr int kSlots = 20;
constexpr int kEvents = 400;   // 3x stays within the controller's queue (4096) and the pending reads

// Counts taken events and tells when the wanted number is reached; the first
// event can be held until released. The time the `mark`th was taken is kept.
struct Counter {
    std::atomic<long> taken{0};
    long want = 0;
    long mark = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    double marked = 0, last = 0;

    void Reset(long n, bool hold, long at = 0)
    {
        taken = 0;
        want = n;
        mark = at;
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
        if (n == mark)
            marked = bench::Seconds();
        if (n == want) {
            last = bench::Seconds();
            SetEvent(done);
        }
    }
    bool Wait() { return WaitForSingleObject(done, 60000) == WAIT_OBJECT_0; }
};

Counter g_counter;

// ---- the library side: a registration whose callbacks only count ----
void OnConnected(uint8_t, const uint8_t *, uint16_t, uint8_t) { g_counter.Take(); }
void OnComplete(uint16_t, uint8_t, uint8_t, const LeAttrValue *) { g_counter.Take(); }

enum class Mode { Drain, Live };

// The seconds n events to a channel take: in a drain, the n after the twenty
// that complete the pending reads; live, from the first posted to the last taken.
double Pass(qortest::Controller &ctl, uint32_t channel, const ZrEvent &event, int n, Mode mode)
{
    const bool drain = mode == Mode::Drain;
    const int posted = drain ? n + kSlots : n;
    g_counter.Reset(posted, drain, drain ? kSlots : 0);
    const double start = bench::Seconds();
    for (int i = 0; i < posted; ++i)
        ctl.PostEvent(event, channel);
    if (drain)
        SetEvent(g_counter.release);
    if (!g_counter.Wait())
        return -1;
    return g_counter.last - (drain ? g_counter.marked : start);
}

double RawRun(qortest::Controller &ctl, const ZrEvent &event, int n, Mode mode)
{
    ctl.Reset();
    bench::RawChannel channel([](const ZrEvent &) { g_counter.Take(); });
    if (!channel.Ready())
        return -1;
    return Pass(ctl, channel.Id(), event, n, mode);
}

double LibraryRun(qortest::Controller &ctl, const ZrEvent &event, int n, Mode mode)
{
    ctl.Reset();
    LeUuid app{};
    app.len = 16;
    gatt_callbacks callbacks{OnConnected, OnComplete, nullptr, nullptr, nullptr};
    if (GATT_Register(&app, &callbacks) != 1) {
        std::printf("the library could not register\n");
        return -1;
    }
    // Completions count only for a connection that is up.
    const uint8_t addr[6] = {1, 2, 3, 4, 5, 6};
    g_counter.Reset(1, false);
    ctl.PostEvent(qortest::ConnectionEvent(addr, 7, 1), ctl.LibraryChannel());
    double seconds = g_counter.Wait() ? Pass(ctl, ctl.LibraryChannel(), event, n, mode) : -1;
    GATT_Deregister(1);
    return seconds;
}

} // namespace

bool bench::Rows(qortest::Controller &ctl, Program *program)
{
    if (ctl.Stats().queue_capacity < 3 * kEvents) {
        std::printf("the controller's queue holds fewer than %d events\n", 3 * kEvents);
        return false;
    }
    // A completion before any operation goes to every registration; a
    // disconnection of a record that is not up changes nothing.
    const uint8_t addr[6] = {1, 2, 3, 4, 5, 6};
    struct Case {
        const char *name;
        ZrEvent event;
    } cases[] = {{"completion (0xF8) -> on_complete", qortest::CompleteEvent(7, ZR_OP_NOTIFICATION, 0, 0x10, {1, 2})},
                 {"connection (0xFF) -> on_connected", qortest::ConnectionEvent(addr, 8, 0)}};

    qortest::Controller *control = &ctl;
    for (const Case &c : cases) {
        for (Mode mode : {Mode::Drain, Mode::Live}) {
            bench::Benchmark b;
            b.name = std::string(mode == Mode::Drain ? "drain, " : "live, ") + c.name;
            b.unit = "events";
            b.work = kEvents;
            b.rate = true;
            b.goal = mode == Mode::Drain ? 0.95 : 0;
            // Posting is most of a live run's time: its 3x line would measure the controller.
            // The reader's own line is the completions': a connection differs in its callback alone.
            b.scaling = mode == Mode::Drain && c.event.type == ZR_EVT_COMPLETE;
            b.rounds = b.scaling ? 9 : 5;   // runs of a tenth of a second: more of them steady the 3x line
            const ZrEvent event = c.event;
            b.library = [control, event, mode](int n) { return LibraryRun(*control, event, n, mode); };
            b.raw = [control, event, mode](int n) { return RawRun(*control, event, n, mode); };
            program->rows.push_back(b);
        }
    }
    return true;
}
