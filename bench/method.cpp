// The benchmark method: alternating rounds with a ratio each, both trace
// settings, and the scaling line (see method.h).

#include "method.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "QorLeLib.h"

#include "bench_stats.h"

namespace bench {
namespace {

constexpr int kMinRounds = 5;
constexpr int kScale = 3;

Trace g_trace = Trace::Sink;

void WINAPI DropLine(const char *) {}

void UseTrace(Trace trace)
{
    g_trace = trace;
    QorGattSetTraceFunction(trace == Trace::Sink ? DropLine : nullptr);
}

// ---- the line a run's setup waits for ----
const char *g_watched = nullptr;
size_t g_watched_len = 0;
HANDLE g_seen = nullptr;

void WINAPI WatchLine(const char *line)
{
    if (std::strncmp(line, g_watched, g_watched_len) == 0)
        SetEvent(g_seen);
}

// ---- rounds ----

// The seconds of two runs, alternating (the first run first in even rounds),
// and the ratio first / second of each round. Stops at the first failure.
struct Rounds {
    std::vector<double> first, second, ratio;
    bool ok = true;
};

Rounds Alternate(const std::function<double()> &first, const std::function<double()> &second, int rounds)
{
    Rounds r;
    for (int round = 0; round < rounds; ++round) {
        double a, b;
        if (round % 2 == 0) {
            a = first();
            b = second();
        } else {
            b = second();
            a = first();
        }
        if (a <= 0 || b <= 0) {
            r.ok = false;
            return r;
        }
        r.first.push_back(a);
        r.second.push_back(b);
        r.ratio.push_back(a / b);
    }
    return r;
}

std::vector<double> Inverted(std::vector<double> v)
{
    for (double &x : v)
        x = 1 / x;
    return v;
}

// "3.02 (2.95-3.10)"
std::string Ratio(const std::vector<double> &ratios)
{
    Spread s = Summarise(ratios);
    char text[64];
    std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", s.median, s.low, s.high);
    return text;
}

// "library 412.3 ms (401.0-420.0)" or, as a rate, "library 45210 events/s (44000-46000)".
std::string Side(const char *who, const std::vector<double> &seconds, const Benchmark &b, int work)
{
    std::vector<double> v;
    for (double t : seconds)
        v.push_back(b.rate ? work / t : t * 1e3);
    Spread s = Summarise(v);
    char text[128];
    if (b.rate)
        std::snprintf(text, sizeof text, "%s %.0f %s/s (%.0f-%.0f)", who, s.median, b.unit, s.low, s.high);
    else
        std::snprintf(text, sizeof text, "%s %.1f ms (%.1f-%.1f)", who, s.median, s.low, s.high);
    return text;
}

const char *Verdict(bool met) { return met ? "met" : "MISSED"; }

// One row of scripts/bench.sh's table.
void Summary(const char *path, const std::string &ratio, const char *op, double goal, bool met)
{
    std::printf("summary: %s | %s | %s %.2f | %s\n", path, ratio.c_str(), op, goal, Verdict(met));
}

// One trace setting's figure; whether its goal (if it is judged) was met.
bool Figure(const Benchmark &b, Trace trace, int rounds)
{
    UseTrace(trace);
    Rounds r = Alternate([&] { return b.library(b.work); }, [&] { return b.raw(b.work); }, rounds);
    const char *name = trace == Trace::Sink ? "sink" : "debugger";
    if (!r.ok) {
        std::printf("  %-9s a run failed\n", name);
        return false;
    }
    std::vector<double> ratios = b.rate ? Inverted(r.ratio) : r.ratio;
    double median = Median(ratios);
    std::printf("  %-9s ratio %s  %s  %s", name, Ratio(ratios).c_str(), Side("library", r.first, b, b.work).c_str(),
                Side("raw", r.second, b, b.work).c_str());
    if (trace != Trace::Sink || b.goal <= 0) {
        std::printf("\n");
        return true;
    }
    bool met = b.rate ? median >= b.goal : median <= b.goal;
    std::printf("  goal %s %.2f: %s\n", b.rate ? ">=" : "<=", b.goal, Verdict(met));
    Summary(b.name.c_str(), Ratio(ratios), b.rate ? ">=" : "<=", b.goal, met);
    return met;
}

// 3x / 1x of one side, alternating; the medians of both for the line.
Rounds Scaled(const Run &run, int work, int rounds)
{
    return Alternate([&] { return run(kScale * work); }, [&] { return run(work); }, rounds);
}

bool Scaling(const Benchmark &b, int rounds)
{
    UseTrace(Trace::Sink);
    Rounds lib = Scaled(b.library, b.work, rounds);
    Rounds raw = lib.ok ? Scaled(b.raw, b.work, rounds) : Rounds{};
    if (!lib.ok || !raw.ok) {
        std::printf("  %-9s a run failed\n", "scaling");
        return false;
    }
    bool met = Median(lib.ratio) <= b.scale_goal;
    std::printf("  %-9s %dx/1x time: library %s (%.1f / %.1f ms), raw %s (%.1f / %.1f ms)  goal <= %.2f: %s\n",
                "scaling", kScale, Ratio(lib.ratio).c_str(), Median(lib.first) * 1e3, Median(lib.second) * 1e3,
                Ratio(raw.ratio).c_str(), Median(raw.first) * 1e3, Median(raw.second) * 1e3, b.scale_goal,
                Verdict(met));
    const std::string path = b.name + ", 3x / 1x time";
    Summary(path.c_str(), Ratio(lib.ratio), "<=", b.scale_goal, met);
    return met;
}

} // namespace

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

Trace CurrentTrace() { return g_trace; }

bool Quick()
{
    static const bool quick = [] {
        char value[8];
        return GetEnvironmentVariableA("QORLE_BENCH_QUICK", value, sizeof value) > 0;
    }();
    return quick;
}

Spread Summarise(const std::vector<double> &samples)
{
    Spread s;
    if (samples.empty())
        return s;
    s.median = Median(samples);
    s.low = *std::min_element(samples.begin(), samples.end());
    s.high = *std::max_element(samples.begin(), samples.end());
    return s;
}

bool Measure(const Benchmark &b)
{
    const int rounds = Quick() ? kMinRounds : std::max(b.rounds, kMinRounds);
    std::printf("%s: %d %s, %d rounds of library and raw alternating, the order turned each round\n",
                b.name.c_str(), b.work,
                b.unit, rounds);
    std::printf("  ");
    PrintLoad();
    bool met = Figure(b, Trace::Sink, rounds);
    // A quick run leaves out the figure that judges nothing.
    if (Quick())
        std::printf("  %-9s (in a full run)\n", "debugger");
    else
        Figure(b, Trace::Debugger, rounds);
    if (b.scaling)
        met &= Scaling(b, rounds);
    QorGattSetTraceFunction(nullptr);
    g_trace = Trace::Debugger;
    return met;
}

LineWatch::LineWatch(const char *prefix)
{
    if (!g_seen)
        g_seen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(g_seen);
    g_watched = prefix;
    g_watched_len = std::strlen(prefix);
    QorGattSetTraceFunction(WatchLine);
}

LineWatch::~LineWatch() { UseTrace(g_trace); }

bool LineWatch::Wait(DWORD timeout_ms) { return WaitForSingleObject(g_seen, timeout_ms) == WAIT_OBJECT_0; }

void PrintLoad()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    double load[3] = {-1, -1, -1};
    // The host's figures, through the drive Wine maps to its root.
    if (FILE *f = std::fopen("Z:\\proc\\loadavg", "r")) {
        if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3)
            load[0] = -1;
        std::fclose(f);
    }
    if (load[0] < 0)
        std::printf("load average unknown, %lu processors\n", static_cast<unsigned long>(info.dwNumberOfProcessors));
    else
        std::printf("load average %.2f %.2f %.2f (1, 5, 15 min), %lu processors\n", load[0], load[1], load[2],
                    static_cast<unsigned long>(info.dwNumberOfProcessors));
}

} // namespace bench
