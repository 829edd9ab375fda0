#pragma once
// qorgatt: a command-line tool on the public QorLeLib API. Each subcommand
// group lives in its own source file and adds its subcommands to the app.
#include <windows.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "QorLeLib.hpp"

namespace qorgatt {

using Json = nlohmann::ordered_json;
using qorle::Address;
using qorle::Bytes;
using qorle::BytesView;
using qorle::Uuid;

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;   // the library, the device or the controller said no
constexpr int kExitUsage = 2;    // bad arguments or a bad description file

// Bad input found after argument parsing (a description file, a value).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The operation ran and failed; the message says how.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---- UUIDs and values ----
extern const char kUuidForms[];   // the UUID forms Uuid::parse accepts, for messages
// A whole number: decimal, 0x hex or 0 octal, signed; false unless all of `text` is one.
bool ParseNumber(const std::string &text, long long *value);
// Hex bytes, optionally separated by blanks, colons or dashes.
bool ParseHex(const std::string &text, std::vector<uint8_t> *bytes);
std::string FormatHex(BytesView bytes);
// Characteristic properties: a number or names joined by '|' or ',' (read, write, notify...).
bool ParseProperties(const std::string &text, uint8_t *properties);
std::string FormatProperties(uint8_t properties);

// CLI11 validators that print what a valid value looks like.
extern const CLI::Validator kAddress;
extern const CLI::Validator kUuid;

// Adds the required positional ADDR, checked.
void AddAddress(CLI::App *cmd, std::string &addr);

// Converts a checked argument (the validators above ran already).
Address AddressArg(const std::string &text);
Uuid UuidArg(const std::string &text);

// Windows error codes with their names, for messages.
std::string CodeText(DWORD code);
std::string CodeText(const std::error_code &ec);
// Throws Failure "<what> failed: <code>" unless the operation succeeded.
void Check(const std::string &what, DWORD code);
void Check(const std::string &what, const std::error_code &ec);

// ---- trace lines ----
// The tool's trace sink is installed for the whole run; it prints each line to
// stderr when tracing is on, and hands it to the current watcher.
void InstallTraceSink(bool print);
using TraceWatcher = std::function<void(std::string_view line)>;
void WatchTrace(TraceWatcher watcher);   // an empty watcher stops watching

// ---- output ----
// Prints a JSON document (the --json output), indented.
void Print(const Json &doc);
// Prints a JSON document as one line (the --json output of read and watch).
void PrintLine(const Json &doc);
// Progress and status lines: stdout, or stderr once a subcommand of the run
// prints JSON lines there.
void Note(const char *format, ...) __attribute__((format(printf, 1, 2)));
void NotesToStderr();
// "qorgatt 1.0.0", from the program's version resource.
std::string VersionText();

// ---- chains ----
// A subcommand may appear several times in one run: each appearance takes
// (and resets) the subcommand's arguments when its piece of the command line
// is parsed, and the taken steps run in order once the whole line parsed.
void ChainStep(CLI::App *cmd, std::function<std::function<void()>()> take);
template <class Args, class Run>
void Chain(CLI::App *cmd, const std::shared_ptr<Args> &args, Run run)
{
    ChainStep(cmd, [args, run]() -> std::function<void()> {
        Args taken = *args;
        *args = Args{};
        return [taken, run] { run(taken); };
    });
}

// ---- an event with a bounded wait ----
class Event {
public:
    Event() : h_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event()
    {
        if (h_)
            CloseHandle(h_);
    }
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;
    void Set() { SetEvent(h_); }
    bool Wait(DWORD ms) { return WaitForSingleObject(h_, ms) == WAIT_OBJECT_0; }
    HANDLE Handle() const { return h_; }

private:
    HANDLE h_;
};

// Ends when Ctrl-C (or Ctrl-Break) arrives, when `also` is signalled, or after
// `ms` (INFINITE: never). True unless the time ran out.
bool WaitForInterrupt(DWORD ms, HANDLE also = nullptr);

// ---- subcommand groups ----
// Each group's source file adds its subcommands through a static Group, in
// the order of `order` (the order of the help text).
struct Group {
    Group(int order, void (*add)(CLI::App &app));
};

} // namespace qorgatt
