// Costs of the virtual controller under Wine: a request answered at once, the
// latency of one event into twenty pending reads, and event throughput.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "qortest.h"

#include "bench_stats.h"
#include "method.h"

namespace {

constexpr int kSlots = 20;

double Now()
{
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(freq.QuadPart);
}

void Report(const char *what, const std::vector<double> &us)
{
    std::printf("%-52s n=%5zu  median %8.1f us  p90 %8.1f us\n", what, us.size(), Median(us), Quantile(us, 0.9));
}

// One request answered at once, as the library sends it: a fresh event each time.
void RoundTrip(qortest::DeviceChannel &ch, int n)
{
    ZrConnectReq req{};
    req.direct = 1;
    std::vector<double> fresh, reused;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (int i = 0; i < n; ++i) {
        DWORD bytes = 0;
        double t0 = Now();
        HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        OVERLAPPED o{};
        o.hEvent = ev;
        BOOL ok = DeviceIoControl(ch.Handle(), ZOREROVA_GATT_CANCEL_CONNECT, &req, sizeof req, nullptr, 0, &bytes, &o);
        CloseHandle(ev);
        fresh.push_back(Now() - t0);
        t0 = Now();
        ok &= DeviceIoControl(ch.Handle(), ZOREROVA_GATT_CANCEL_CONNECT, &req, sizeof req, nullptr, 0, &bytes, &ov);
        reused.push_back(Now() - t0);
        if (!ok) {
            std::printf("cancel-connect failed: %lu\n", GetLastError());
            return;
        }
    }
    CloseHandle(ov.hEvent);
    Report("request answered at once (fresh event)", fresh);
    Report("request answered at once (event reused)", reused);
}

// Keeps twenty reads pending and takes them strictly in turn, as the library's reader does.
class Reader {
public:
    explicit Reader(qortest::DeviceChannel &ch) : ch_(ch)
    {
        for (int i = 0; i < kSlots; ++i) {
            slots_.push_back(std::make_unique<qortest::PendingRead>());
            ch_.StartRead(*slots_.back());
        }
        got_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        thread_ = std::thread([this] { Run(); });
    }
    ~Reader()
    {
        stop_ = true;
        SetEvent(stop_event_);
        thread_.join();
        CancelIo(ch_.Handle());  // the reads belong to the constructing thread
        CloseHandle(got_);
        CloseHandle(stop_event_);
    }
    HANDLE got() const { return got_; }
    double last_time() const { return last_; }
    long count() const { return count_.load(); }

private:
    void Run()
    {
        for (int slot = 0; !stop_; slot = (slot + 1) % kSlots) {
            HANDLE wait[2] = {stop_event_, slots_[slot]->ov.hEvent};
            if (WaitForMultipleObjects(2, wait, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
                return;
            last_ = Now();
            count_++;
            SetEvent(got_);
            ch_.StartRead(*slots_[slot]);
        }
    }
    qortest::DeviceChannel &ch_;
    std::vector<std::unique_ptr<qortest::PendingRead>> slots_;
    HANDLE got_;
    HANDLE stop_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<long> count_{0};
    double last_ = 0;
};

void EventLatency(qortest::Controller &ctl, qortest::DeviceChannel &ch, int n)
{
    Reader reader(ch);
    ctl.WaitPendingReads(ch.Id(), kSlots);
    uint32_t id = ch.Id();
    ZrEvent ev = qortest::CompleteEvent(0, ZR_OP_READ, 0, 1);
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
        double t0 = Now();
        ctl.PostEvent(ev, id);
        if (WaitForSingleObject(reader.got(), 5000) != WAIT_OBJECT_0) {
            std::printf("event %d never arrived\n", i);
            return;
        }
        us.push_back(reader.last_time() - t0);
    }
    Report("event: post -> read completion seen (20 pending)", us);
}

void Throughput(qortest::Controller &ctl, qortest::DeviceChannel &ch, int n)
{
    Reader reader(ch);
    ctl.WaitPendingReads(ch.Id(), kSlots);
    uint32_t id = ch.Id();
    ZrEvent ev = qortest::CompleteEvent(0, ZR_OP_READ, 0, 1);
    double t0 = Now();
    for (int i = 0; i < n; ++i)
        ctl.PostEvent(ev, id);
    while (reader.count() < n) {
        if (WaitForSingleObject(reader.got(), 5000) != WAIT_OBJECT_0)
            break;
    }
    double elapsed = reader.last_time() - t0;
    std::printf("%-52s n=%5ld  %8.0f events/s  (%.1f us each)\n", "throughput: posted back to back, all delivered",
                reader.count(), reader.count() * 1e6 / elapsed, elapsed / reader.count());
}

} // namespace

// The controller alone, with no library side to set against it: its figures
// are printed by the set-up, and there are no rows.
bool bench::Rows(qortest::Controller &ctl, Program *)
{
    qortest::DeviceChannel ch;
    if (!ch.Register())
        return false;
    RoundTrip(ch, 2000);
    EventLatency(ctl, ch, 2000);
    Throughput(ctl, ch, 5000);
    return true;
}
