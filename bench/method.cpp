// The benchmark method: alternating rounds with a ratio each, both trace
// settings, and the scaling line (see method.h).

#include "method.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "QorLeLib.h"

#include "bench_stats.h"
#include "call_count.h"

namespace bench {
namespace {

constexpr int kMinRounds = 5;
constexpr int kScale = 3;

Trace g_trace = Trace::Sink;

// Whether the debugger setting has its block: in a full run.
bool DebuggerBlock() { return !Quick(); }

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

// Whether the row's runs this time include 3x the work.
bool Scales(const Benchmark &b) { return b.scaling && (!Quick() || b.quick_scaling); }

// The sizes of a row's runs: its work, tripled scale_steps times when it scales.
std::vector<int> Sizes(const Benchmark &b)
{
    std::vector<int> sizes = {b.work};
    for (int step = 0; Scales(b) && step < b.scale_steps; ++step)
        sizes.push_back(kScale * sizes.back());
    return sizes;
}

// One trace setting's rounds: the seconds of every run, by size, in round order.
struct Sweep {
    std::vector<std::vector<double>> library, raw;
    bool ok = true;
    CallCounts library_calls, raw_calls;   // of the last round's runs at 1x
};

// One run of a side; false when it failed. Its calls are kept when it ran at 1x.
bool RunOne(const Run &run, int size, bool first_size, std::vector<double> *seconds, CallCounts *calls)
{
    const double t = run(size);
    if (t <= 0)
        return false;
    seconds->push_back(t);
    if (first_size)
        *calls = LastWindow();
    return true;
}

// Each round runs both sides at every size, smallest first in even rounds and
// the raw side first at each size in odd ones, largest first.
Sweep Rounds(const Benchmark &b, const std::vector<int> &sizes, int rounds)
{
    const size_t n = sizes.size();
    Sweep s;
    s.library.resize(n);
    s.raw.resize(n);
    for (int round = 0; round < rounds && s.ok; ++round) {
        const bool forward = round % 2 == 0;
        for (size_t k = 0; k < n && s.ok; ++k) {
            const size_t i = forward ? k : n - 1 - k;
            const bool first = i == 0;
            if (forward)
                s.ok = RunOne(b.library, sizes[i], first, &s.library[i], &s.library_calls) &&
                       RunOne(b.raw, sizes[i], first, &s.raw[i], &s.raw_calls);
            else
                s.ok = RunOne(b.raw, sizes[i], first, &s.raw[i], &s.raw_calls) &&
                       RunOne(b.library, sizes[i], first, &s.library[i], &s.library_calls);
        }
    }
    return s;
}

// a[i] / b[i] of each round, inverted for a rate (rate = work / time).
std::vector<double> Ratios(const std::vector<double> &a, const std::vector<double> &b, bool rate)
{
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        r.push_back(rate ? b[i] / a[i] : a[i] / b[i]);
    return r;
}

// "3.02 (2.95-3.10)"
std::string Ratio(const std::vector<double> &ratios)
{
    Spread s = Summarise(ratios);
    char text[64];
    std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", s.median, s.low, s.high);
    return text;
}

// "library 412.3 ms (401.0-420.0), 0.429 ms each" or, as a rate, "library 45210 events/s (44000-46000)".
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
        std::snprintf(text, sizeof text, "%s %.1f ms (%.1f-%.1f), %.3f ms each", who, s.median, s.low, s.high,
                      s.median / work);
    return text;
}

const char *Verdict(bool met) { return met ? "met" : "MISSED"; }

// A figure of the table: its ratios in both settings and its goal.
struct Figure {
    std::string path;
    std::string sink, debugger;
    const char *op = "";
    double goal = 0;   // 0: none
    bool met = true;
    bool measured = true;   // false: in a full run alone
};

// The rows' figures of one trace setting, added to (or filled into) `figures`.
void Record(std::vector<Figure> *figures, size_t *next, Trace trace, const std::string &path,
            const std::vector<double> &ratios, const char *op, double goal)
{
    if (trace == Trace::Sink) {
        Figure f;
        f.path = path;
        f.sink = Ratio(ratios);
        f.op = op;
        f.goal = goal;
        const double median = Median(ratios);
        f.met = goal <= 0 || (*op == '>' ? median >= goal : median <= goal);
        figures->push_back(f);
        return;
    }
    (*figures)[(*next)++].debugger = Ratio(ratios);
}

const char *SettingName(Trace trace) { return trace == Trace::Sink ? "sink" : "debugger"; }

// The path of the ratio at a size: the row's name alone at 1x, unless the table
// has every size ("connect, 30-service trees, 30 devices").
std::string SizePath(const Benchmark &b, int size)
{
    if (!b.summary_each_size)
        return b.name;
    return b.name + ", " + std::to_string(size) + " " + b.unit;
}

// "3x / 1x time", "9x / 3x time"
std::string StepName(size_t step)
{
    static const char *const names[] = {"3x / 1x time", "9x / 3x time", "27x / 9x time"};
    return names[std::min<size_t>(step, 2)];
}

void PrintCalls(const Benchmark &b, const Sweep &s)
{
    if (!b.counted)
        return;
    const double units = b.counted_units > 0 ? b.counted_units : b.work;
    std::printf("  calls per %s: library %s\n", b.counted, PerUnit(s.library_calls, units).c_str());
    std::printf("  calls per %s: raw     %s\n", b.counted, PerUnit(s.raw_calls, units).c_str());
}

// One trace setting's block: its figures printed and recorded.
bool Block(const Benchmark &b, Trace trace, int rounds, std::vector<Figure> *figures)
{
    UseTrace(trace);
    const std::vector<int> sizes = Sizes(b);
    Sweep s = Rounds(b, sizes, rounds);
    const char *name = SettingName(trace);
    if (!s.ok) {
        std::printf("  %-9s a run failed\n", name);
        return false;
    }
    size_t next = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::vector<double> ratios = Ratios(s.library[i], s.raw[i], b.rate);
        const bool judged = i == 0 && b.goal > 0;
        std::printf("  %-9s %-14s ratio %s  %s  %s", name, (std::to_string(sizes[i]) + " " + b.unit).c_str(),
                    Ratio(ratios).c_str(), Side("library", s.library[i], b, sizes[i]).c_str(),
                    Side("raw", s.raw[i], b, sizes[i]).c_str());
        if (judged)
            std::printf("  goal %s %.2f", b.rate ? ">=" : "<=", b.goal);
        std::printf("\n");
        if (i == 0 || b.summary_each_size)
            Record(figures, &next, trace, SizePath(b, sizes[i]), ratios, b.rate ? ">=" : "<=",
                   judged ? b.goal : 0);
    }
    for (size_t step = 0; step + 1 < sizes.size(); ++step) {
        std::vector<double> lib = Ratios(s.library[step + 1], s.library[step], false);
        std::vector<double> raw = Ratios(s.raw[step + 1], s.raw[step], false);
        std::printf("  %-9s %s: library %s (%.1f / %.1f ms), raw %s (%.1f / %.1f ms)  goal <= %.2f\n", name,
                    StepName(step).c_str(), Ratio(lib).c_str(), Median(s.library[step + 1]) * 1e3,
                    Median(s.library[step]) * 1e3, Ratio(raw).c_str(), Median(s.raw[step + 1]) * 1e3,
                    Median(s.raw[step]) * 1e3, b.scale_goal);
        Record(figures, &next, trace, b.name + ", " + StepName(step), lib, "<=", b.scale_goal);
    }
    for (int step = 0; b.scaling && !Scales(b) && trace == Trace::Sink && step < b.scale_steps; ++step)
        figures->push_back({b.name + ", " + StepName(step), "full run", "", "<=", b.scale_goal, true, false});
    if (trace == Trace::Sink)
        PrintCalls(b, s);
    return true;
}

// The table's rows: "summary: path | sink | debugger | goal | verdict".
void Summaries(const std::vector<Figure> &figures, bool debugger_run)
{
    for (const Figure &f : figures) {
        std::string goal = "-";
        if (f.goal > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%s %.2f", f.op, f.goal);
            goal = text;
        }
        const std::string debugger = !f.debugger.empty() ? f.debugger : debugger_run ? "failed" : "full run";
        std::printf("summary: %s | %s | %s | %s | %s\n", f.path.c_str(), f.sink.c_str(), debugger.c_str(),
                    goal.c_str(), !f.measured ? "full run" : f.goal > 0 ? Verdict(f.met) : "-");
    }
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

Benchmark Row(std::string name, const char *unit, int work, Run library, Run raw)
{
    Benchmark b;
    b.name = std::move(name);
    b.unit = unit;
    b.work = work;
    b.library = std::move(library);
    b.raw = std::move(raw);
    return b;
}

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
    std::printf("%s: %d %s at 1x, %d rounds of library and raw alternating, the order turned each round\n",
                b.name.c_str(), b.work, b.unit, rounds);
    std::printf("  ");
    PrintLoad();
    std::vector<Figure> figures;
    bool ok = Block(b, Trace::Sink, rounds, &figures);
    const bool debugger = DebuggerBlock();
    if (ok && debugger)
        Block(b, Trace::Debugger, rounds, &figures);
    else if (!debugger)
        std::printf("  %-9s (in a full run)\n", SettingName(Trace::Debugger));
    QorGattSetTraceFunction(nullptr);
    g_trace = Trace::Debugger;
    Summaries(figures, debugger);
    bool met = ok;
    for (const Figure &f : figures)
        met &= f.met;
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
