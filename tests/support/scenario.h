#pragma once
// Scenario runner: a test case is a table of steps played in order against the
// controller; the first step that does not hold fails the case, naming the step
// and, for bytes, the first offset that differs. Later steps are not played.
//
//   Post(hex[, channel])    posts an event record (hex, zero-padded to 528 bytes)
//                           routed as the controller would, or to one channel
//   Sent(code, hex[, out])  the next logged request after the previous Sent has
//                           this control code and exactly these input bytes (and,
//                           when `out` is given, these output bytes); waits for it
//   NothingSent()           no request was logged after the previous Sent
//   Trace(line)             a trace line equal to `line` comes after the last one
//                           matched (other lines may come between); a lone '*'
//                           matches any text ("***" is text); waits for it
//   NoTrace(prefix)         no line captured so far starts with `prefix`
//   Callback(text)          the next entry of the callback journal equals `text`;
//                           waits for it (callbacks write entries with Note)
//   NoCallback()            no journal entry after the last one matched
//   Returns(want, fn)       fn() returns `want` (a return code, a count, a flag)
//   Do(fn)                  runs fn: set-up, arming faults, direct state checks
// A Script (a vector of steps) is itself a step, so a shared exchange is named
// once (`const Script kRegister = {...};`) and spliced into many cases.
//
// Hex: pairs of hex digits; spaces and '.', '-', '|', ':' are ignored; "xx*N"
// repeats the byte xx N times (decimal N), e.g. "00*18 0700 1000 2f00 03".
//
// Usage, in a fixture derived from ScenarioTest (controller reset, trace captured):
//   Play({kRegister, Do([] { GATT_Connect(3, kAddr, 1); }),
//         Sent(ZOREROVA_GATT_CONNECT, "03 001a7dda7113 01"),
//         Trace("GATT_Connect gatt_if=3 001a7dda7113")});
// Waits are bounded (5 s); cursors carry over from one Play to the next.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qortest.h"

namespace qortest {

// Bytes of a hex string as described above; malformed text fails the test.
std::vector<uint8_t> Hex(const std::string &hex);
// Hex of bytes, in groups of four unless `grouped` is false.
std::string ToHex(const uint8_t *p, size_t n, bool grouped = true);
// An event record from hex, zero-padded to its full size.
ZrEvent Record(const std::string &hex);
// printf into a string with the runtime's formatting (as the library's trace).
std::string Fmt(const char *format, ...);

// The callback journal: entries written by the tests' callbacks, in order.
void Note(const std::string &entry);
void NoteFmt(const char *format, ...);
std::vector<std::string> Journal();

struct Step;
using Script = std::vector<Step>;

struct Step {
    enum Kind { kPost, kSent, kNothingSent, kTrace, kNoTrace, kCallback, kNoCallback, kReturns, kDo, kScript };
    Kind kind = kDo;
    uint32_t code = 0;                   // Sent: control code; Post: channel
    std::string text;                    // hex, line, prefix or entry
    std::string out;                     // Sent: output hex; empty: not checked
    bool check_out = false;
    uint64_t want = 0;
    std::function<uint64_t()> fn;        // Returns
    std::function<void()> action;        // Do
    Script steps;                        // a spliced script

    Step() = default;
    Step(const Script &script) : kind(kScript), steps(script) {}   // NOLINT: splicing is implicit
    std::string Describe() const;
};

Step Post(const std::string &hex, uint32_t channel = VCTL_CHANNEL_ROUTE);
Step Sent(uint32_t code, const std::string &hex);
Step Sent(uint32_t code, const std::string &hex, const std::string &out);
Step NothingSent();
Step Trace(const std::string &line);
Step NoTrace(const std::string &prefix);
Step Callback(const std::string &entry);
Step NoCallback();
Step Returns(uint64_t want, std::function<uint64_t()> fn);
Step Do(std::function<void()> action);
// `s` (a Returns step) holds, and its call takes at least ms.
Step Takes(const Step &s, ULONGLONG ms);
// A 16-bit value as the hex of its two little-endian bytes.
std::string Le16(unsigned v);

// Plays scripts against one controller and trace capture, keeping its cursors
// (request log, trace lines, journal) from one Play to the next.
class Scenario {
public:
    Scenario(Controller &ctl, TraceCapture &trace);
    // False (with a test failure) at the first step that does not hold.
    bool Play(const Script &script);
    // Requests logged after the last one a Sent step matched are skipped.
    void SkipRequests();

private:
    bool Run(const Step &step, std::string &why);
    bool CheckSent(const Step &step, std::string &why);
    bool CheckTrace(const Step &step, std::string &why);
    bool CheckCallback(const Step &step, std::string &why);
    uint32_t LogTotal();

    Controller &ctl_;
    TraceCapture &trace_;
    uint32_t next_request_ = 0;   // sequence number of the next request to match
    size_t next_line_ = 0;        // trace lines before it are matched or skipped
    size_t next_entry_ = 0;       // journal entries before it are matched
    int index_ = 0;
};

// Fixture: controller reset, trace captured, and a scenario on both.
class ScenarioTest : public ControllerTest {
protected:
    void SetUp() override;
    bool Play(const Script &script) { return scenario.Play(script); }
    Scenario scenario{ctl, trace};
};

} // namespace qortest
