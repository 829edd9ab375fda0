#include "scenario.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace qortest {

namespace {

constexpr DWORD kWaitMs = 5000;

// Under Wine an unhandled fault ends a process through the debugger with exit
// code 0, which ctest would count as a pass: end it with a failure instead.
LONG WINAPI EndFaultedProgram(EXCEPTION_POINTERS *p)
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCSTR>(p->ExceptionRecord->ExceptionAddress), &module);
    std::fprintf(stderr, "unhandled exception 0x%08lx at module %p + 0x%llx\n", p->ExceptionRecord->ExceptionCode,
                 static_cast<void *>(module),
                 static_cast<unsigned long long>(static_cast<const char *>(p->ExceptionRecord->ExceptionAddress) -
                                                 reinterpret_cast<const char *>(module)));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
const LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = SetUnhandledExceptionFilter(EndFaultedProgram);

std::mutex g_journal_mutex;
std::condition_variable g_journal_changed;
std::vector<std::string> g_journal;

std::string VFmt(const char *format, va_list args)
{
    char text[1024] = {};
    _vsnprintf(text, sizeof text - 1, format, args);
    return text;
}

std::string Chomp(std::string s)
{
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

// A lone '*' in the pattern matches any text; a run of them ("***QorLeApi")
// is text like any other.
bool Glob(const char *text, const char *pattern)
{
    if (*pattern == '*' && pattern[1] != '*') {
        for (;; ++text) {
            if (Glob(text, pattern + 1))
                return true;
            if (!*text)
                return false;
        }
    }
    if (*pattern == '*') {   // a run: literal
        size_t run = std::strspn(pattern, "*");
        return std::strncmp(text, pattern, run) == 0 && Glob(text + run, pattern + run);
    }
    return *pattern ? *text == *pattern && Glob(text + 1, pattern + 1) : !*text;
}

bool Matches(const std::string &line, const std::string &want)
{
    return Glob(Chomp(line).c_str(), Chomp(want).c_str());
}

// The first difference of two byte strings, empty when they are equal.
std::string Diff(const char *what, const std::vector<uint8_t> &got, const std::vector<uint8_t> &want)
{
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        ++at;
    if (at == got.size() && at == want.size())
        return {};
    std::string why = Fmt("%s differ at byte %u: ", what, static_cast<unsigned>(at));
    why += at < got.size() ? Fmt("got %02x", got[at]) : Fmt("got only %u bytes", static_cast<unsigned>(got.size()));
    why += at < want.size() ? Fmt(", expected %02x", want[at])
                            : Fmt(", expected only %u bytes", static_cast<unsigned>(want.size()));
    return why + "\n  got:      " + ToHex(got.data(), got.size()) + "\n  expected: " + ToHex(want.data(), want.size());
}

Step Make(Step::Kind kind, const std::string &text = {}, uint32_t code = 0)
{
    Step s;
    s.kind = kind;
    s.text = text;
    s.code = code;
    return s;
}

} // namespace

std::string Fmt(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string s = VFmt(format, args);
    va_end(args);
    return s;
}

std::vector<uint8_t> Hex(const std::string &hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < hex.size();) {
        if (std::strchr(" .-|:\n", hex[i])) {
            ++i;
            continue;
        }
        if (hex[i] == '*' && !out.empty()) {
            size_t used = 0;
            unsigned long n = std::stoul(hex.substr(i + 1), &used, 10);
            out.insert(out.end(), n ? n - 1 : 0, out.back());
            if (!n)
                out.pop_back();
            i += 1 + used;
            continue;
        }
        if (i + 1 >= hex.size() || !isxdigit(static_cast<unsigned char>(hex[i])) ||
            !isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
            ADD_FAILURE() << "bad hex at " << i << ": \"" << hex << "\"";
            return out;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::string ToHex(const uint8_t *p, size_t n, bool grouped)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += Fmt(grouped && i && i % 4 == 0 ? " %02x" : "%02x", p[i]);
    return s;
}

ZrEvent Record(const std::string &hex)
{
    std::vector<uint8_t> bytes = Hex(hex);
    ZrEvent ev;
    std::memset(&ev, 0, sizeof ev);
    if (bytes.size() > sizeof ev.raw)
        ADD_FAILURE() << "longer than an event record: " << hex;
    std::copy(bytes.begin(), bytes.begin() + std::min(bytes.size(), sizeof ev.raw), ev.raw);
    return ev;
}

void Note(const std::string &entry)
{
    {
        std::lock_guard<std::mutex> lock(g_journal_mutex);
        g_journal.push_back(entry);
    }
    g_journal_changed.notify_all();
}

void NoteFmt(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    Note(VFmt(format, args));
    va_end(args);
}

std::vector<std::string> Journal()
{
    std::lock_guard<std::mutex> lock(g_journal_mutex);
    return g_journal;
}

Step Post(const std::string &hex, uint32_t channel) { return Make(Step::kPost, hex, channel); }
Step Sent(uint32_t code, const std::string &hex) { return Make(Step::kSent, hex, code); }
Step Sent(uint32_t code, const std::string &hex, const std::string &out)
{
    Step s = Make(Step::kSent, hex, code);
    s.out = out;
    s.check_out = true;
    return s;
}
Step NothingSent() { return Make(Step::kNothingSent); }
Step Trace(const std::string &line) { return Make(Step::kTrace, line); }
Step NoTrace(const std::string &prefix) { return Make(Step::kNoTrace, prefix); }
Step Callback(const std::string &entry) { return Make(Step::kCallback, entry); }
Step NoCallback() { return Make(Step::kNoCallback); }
Step Returns(uint64_t want, std::function<uint64_t()> fn)
{
    Step s = Make(Step::kReturns);
    s.want = want;
    s.fn = std::move(fn);
    return s;
}
Step Do(std::function<void()> action)
{
    Step s = Make(Step::kDo);
    s.action = std::move(action);
    return s;
}
Step Takes(const Step &s, ULONGLONG ms)
{
    return Returns(1, [=] {
        auto t = GetTickCount64();
        return s.fn() == s.want && GetTickCount64() - t >= ms;
    });
}
std::string Le16(unsigned v)
{
    return Fmt("%02x%02x", v & 0xFF, v >> 8 & 0xFF);
}

std::string Step::Describe() const
{
    switch (kind) {
    case kPost: return "Post(\"" + text + "\")";
    case kSent: return Fmt("Sent(0x%08x, \"", code) + text + "\")";
    case kNothingSent: return "NothingSent()";
    case kTrace: return "Trace(\"" + text + "\")";
    case kNoTrace: return "NoTrace(\"" + text + "\")";
    case kCallback: return "Callback(\"" + text + "\")";
    case kNoCallback: return "NoCallback()";
    case kReturns: return Fmt("Returns(%llu)", static_cast<unsigned long long>(want));
    case kDo: return "Do()";
    case kScript: return "script";
    }
    return "?";
}

Scenario::Scenario(Controller &ctl, TraceCapture &trace) : ctl_(ctl), trace_(trace) {}

uint32_t Scenario::LogTotal()
{
    std::vector<VctlLogEntry> all = ctl_.Log(next_request_);
    return all.empty() ? next_request_ : all.back().seq + 1;
}

void Scenario::SkipRequests() { next_request_ = LogTotal(); }

bool Scenario::Play(const Script &script)
{
    for (const Step &step : script) {
        if (step.kind == Step::kScript) {
            if (!Play(step.steps))
                return false;
            continue;
        }
        ++index_;
        std::string why;
        const ULONGLONG start = GetTickCount64();
        const bool held = Run(step, why);
        if (GetTickCount64() - start > 1000)   // a slow step is worth knowing of
            std::fprintf(stderr, "step %d %s took %llu ms\n", index_, step.Describe().c_str(),
                         GetTickCount64() - start);
        if (!held) {
            ADD_FAILURE() << "step " << index_ << " " << step.Describe() << ": " << why << "\ntrace:\n"
                          << trace_.Dump();
            return false;
        }
        if (::testing::Test::HasFatalFailure())
            return false;
    }
    return true;
}

bool Scenario::Run(const Step &step, std::string &why)
{
    switch (step.kind) {
    case Step::kPost:
        ctl_.PostEvent(Record(step.text), step.code);
        return true;
    case Step::kSent:
        return CheckSent(step, why);
    case Step::kNothingSent: {
        std::vector<VctlLogEntry> more = ctl_.Log(next_request_);
        if (more.empty())
            return true;
        why = Fmt("request 0x%08x was sent: ", more[0].code) +
              ToHex(more[0].in, std::min<uint32_t>(more[0].in_len, VCTL_LOG_MAX_IN));
        return false;
    }
    case Step::kTrace:
        return CheckTrace(step, why);
    case Step::kNoTrace: {
        for (const std::string &line : trace_.Lines()) {
            if (line.compare(0, step.text.size(), step.text) == 0) {
                why = "captured \"" + Chomp(line) + "\"";
                return false;
            }
        }
        return true;
    }
    case Step::kCallback:
        return CheckCallback(step, why);
    case Step::kNoCallback: {
        std::vector<std::string> all = Journal();
        if (all.size() > next_entry_)
            why = "called: \"" + all[next_entry_] + "\"";
        return all.size() <= next_entry_;
    }
    case Step::kReturns: {
        uint64_t got = step.fn();
        if (got == step.want)
            return true;
        why = Fmt("returned %llu (0x%llx)", static_cast<unsigned long long>(got), static_cast<unsigned long long>(got));
        return false;
    }
    case Step::kDo:
        step.action();
        return true;
    case Step::kScript:
        break;
    }
    return true;
}

bool Scenario::CheckSent(const Step &step, std::string &why)
{
    std::vector<VctlLogEntry> entries;
    ctl_.WaitUntil(
        [&](const VctlStats &) {
            entries = ctl_.Log(next_request_);
            return !entries.empty();
        },
        kWaitMs);
    if (entries.empty()) {
        why = "no request was sent";
        return false;
    }
    const VctlLogEntry &e = entries.front();
    next_request_ = e.seq + 1;
    if (e.code != step.code) {
        why = Fmt("the request sent was 0x%08x: ", e.code) + ToHex(e.in, std::min<uint32_t>(e.in_len, VCTL_LOG_MAX_IN));
        return false;
    }
    why = Diff("input bytes", std::vector<uint8_t>(e.in, e.in + std::min<uint32_t>(e.in_len, VCTL_LOG_MAX_IN)),
               Hex(step.text));
    if (why.empty() && step.check_out)
        why = Diff("output bytes", std::vector<uint8_t>(e.out, e.out + std::min<uint32_t>(e.out_len, VCTL_LOG_MAX_OUT)),
                   Hex(step.out));
    return why.empty();
}

bool Scenario::CheckTrace(const Step &step, std::string &why)
{
    size_t found = 0;
    bool ok = trace_.WaitUntil(
        [&](const std::vector<std::string> &lines) {
            if (next_line_ > lines.size())
                next_line_ = 0;     // the capture was cleared
            for (size_t i = next_line_; i < lines.size(); ++i) {
                if (Matches(lines[i], step.text)) {
                    found = i;
                    return true;
                }
            }
            return false;
        },
        kWaitMs);
    if (!ok) {
        why = "not traced after the line matched before";
        return false;
    }
    next_line_ = found + 1;
    return true;
}

bool Scenario::CheckCallback(const Step &step, std::string &why)
{
    std::unique_lock<std::mutex> lock(g_journal_mutex);
    if (!g_journal_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                    [&] { return g_journal.size() > next_entry_; })) {
        why = "no callback came";
        return false;
    }
    const std::string got = g_journal[next_entry_++];
    if (got == step.text)
        return true;
    why = "the callback was \"" + got + "\"";
    return false;
}

void ScenarioTest::SetUp()
{
    ControllerTest::SetUp();
    scenario.SkipRequests();
}

} // namespace qortest
