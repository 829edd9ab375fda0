#pragma once
// The one method of every benchmark here: the library next to a raw program
// that does the same driver (or registry) traffic without it.
//
// A benchmark gives two runs. Each does its own untimed setup, then `work`
// units of the same traffic, and returns the seconds the timed part took (a
// negative value: the run failed). Measure prints, after the machine's load,
// one block per trace setting, each of its own rounds: `Trace::Sink` (a sink
// that drops every line) and `Trace::Debugger` (no sink: the library's default
// output, the debugger output). A round runs both sides at 1x the work and,
// when the row scales, at 3x (and 9x for two steps), the library and the raw
// run side by side at each size, the order turned round from one round to the
// next. Each block gives, as medians with their range:
//   - per size, the ratio library / raw of each round, next to each side's
//     median time and range;
//   - per step, the scaling line: each side's 3x / 1x time of each round.
// Then "summary:" lines, one per figure of the table that scripts/bench.sh
// gathers: path | sink ratio | debugger ratio | goal | met.
// A ratio is library time / raw time (lower is better), or for a benchmark that
// reads as a rate, library rate / raw rate (higher is better). Goals are judged
// with the sink (the ratio at 1x, and the library's scaling); the debugger
// figures are printed beside them.
//
// Use, in a program's Rows:
//   bench::Benchmark b = bench::Row("walk + store", "requests", 961,
//                                   [state](int work) { ... return seconds; },    // the library
//                                   [state](int work) { ... return seconds; });   // the raw side
//   b.goal = 1.10;
//   program->rows.push_back(b);
// The runs outlive Rows: they hold what they use by value.
// A run that must wait for a trace line during its setup uses LineWatch; when
// it ends, the round's trace setting is back in place before the timed part.
// A program that counts its system calls (call_count.h) names `counted`: the
// calls of the last sink round's runs at 1x are printed per unit.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace qortest {
class Controller;
}

namespace bench {

double Seconds();

enum class Trace { Sink, Debugger };
// The setting of the round under way (the library runs under it).
Trace CurrentTrace();

using Run = std::function<double(int work)>;

struct Benchmark {
    std::string name;
    const char *unit = "units";   // what one unit of work is, for the rates printed
    int work = 1;                 // units at 1x
    Run library;
    Run raw;
    bool rate = false;            // read as a rate: higher is better
    double goal = 0;              // the ratio at 1x to reach with the sink (0: none)
    double scale_goal = 3.1;      // the library's 3x / 1x time at most
    bool scaling = true;          // measured at 3x too: the 3x / 1x line (judged)
    int scale_steps = 1;          // how many times the work triples (2: 1x, 3x and 9x)
    bool quick_scaling = false;   // the 3x line in a quick run too (otherwise in a full run alone)
    bool summary_each_size = false;   // the table has the ratio at every size, not at 1x alone
    int rounds = 5;               // at least 5; 5 in a quick run
    const char *counted = nullptr;    // the unit the calls are counted per (nullptr: not counted)
    double counted_units = 0;     // how many of them a run at 1x makes (0: work)
    std::function<void()> after;  // run once the row is measured: memory, other counts
};

// A row of `work` units at 1x, the rest as the defaults above.
Benchmark Row(std::string name, const char *unit, int work, Run library, Run raw);

// A quick run (scripts/bench.sh --quick, QORLE_BENCH_QUICK set): five rounds,
// the sink alone, the 3x lines of the rows that ask for them alone, and the
// programs may choose less work. The table still names every figure: those
// of the full run alone read "full run".
bool Quick();

// Runs and prints the figures; true when the goals were met with the sink.
bool Measure(const Benchmark &b);

// What a benchmark program gives the shared main (main.cpp): the rows it
// measures, in order, and its clean-up after the last one. The main opens and
// resets the controller before the set-up and resets it again at the end; it
// exits with 1 when the set-up failed, 2 when a goal was missed.
struct Program {
    std::vector<Benchmark> rows;
    std::function<void()> done;
};
// Each benchmark program's own set-up and rows; false when the set-up failed.
bool Rows(qortest::Controller &ctl, Program *program);

// Median and range of samples.
struct Spread {
    double median = 0, low = 0, high = 0;
};
Spread Summarise(const std::vector<double> &samples);

// Waits, in a run's untimed setup, for a trace line that begins with a
// prefix: installs a sink of its own while it lives (one at a time) and puts
// the round's setting back when it goes.
class LineWatch {
public:
    explicit LineWatch(const char *prefix);
    ~LineWatch();
    LineWatch(const LineWatch &) = delete;
    LineWatch &operator=(const LineWatch &) = delete;
    bool Wait(DWORD timeout_ms = 5000);
};

// "load average 0.52 0.40 0.31 (1, 5, 15 min), 2 processors"
void PrintLoad();

} // namespace bench
