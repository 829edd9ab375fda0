// qorgatt: the entry point, the trace sink and the exit codes.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "session.h"

namespace qorgatt {

namespace {

bool g_print_trace = false;
std::mutex g_watch_lock;
TraceWatcher g_watcher;
Event *g_interrupt = nullptr;
bool g_notes_to_stderr = false;
std::vector<std::function<void()>> g_chain;   // the parsed subcommands, run in order after the parse

std::vector<std::pair<int, void (*)(CLI::App &)>> &Groups()
{
    static std::vector<std::pair<int, void (*)(CLI::App &)>> groups;
    return groups;
}

void TraceSink(std::string_view line)
{
    if (g_print_trace)
        std::fprintf(stderr, "trace| %.*s", static_cast<int>(line.size()), line.data());
    std::lock_guard<std::mutex> hold(g_watch_lock);
    if (g_watcher)
        g_watcher(line);
}

BOOL WINAPI OnConsoleCtrl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    g_interrupt->Set();
    return TRUE;
}

const char kFooter[] = R"(
Addresses: AA:BB:CC:DD:EE:FF or 12 hex digits. UUIDs: 4 hex digits or 0x180D (a
standard 16-bit UUID), or GUID text xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx with or
without braces. Subcommands chain in one run, sharing one registration and its
connections; a subcommand may appear again:
  qorgatt read ADDR 180d 2a38 read ADDR 180f 2a19 watch ADDR 180d 2a37 --count 10
Exit codes: 0 done, 1 the operation failed, 2 bad input.)";

// Bytes that are not UTF-8 (a device's text) print as U+FFFD instead of failing.
std::string Dump(const Json &doc, int indent) { return doc.dump(indent, ' ', false, Json::error_handler_t::replace); }

bool IsHelp(const char *arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

// A subcommand by name among `parent`'s, or null.
const CLI::App *Sub(const CLI::App &parent, const std::string &name)
{
    for (const CLI::App *c : parent.get_subcommands([](const CLI::App *) { return true; }))
        if (c->get_name() == name)
            return c;
    return nullptr;
}

// Counts the positional arguments of a subcommand's piece, skipping options
// and their values, to tell a repeated subcommand name from a value.
struct Piece {
    const CLI::App *cmd = nullptr;
    size_t required = 0, given = 0;
    bool skip_next = false;

    void Start(const CLI::App *c)
    {
        *this = Piece{};
        cmd = c;
        for (const CLI::Option *o : c->get_options([](const CLI::Option *o) { return o->get_positional(); }))
            required += o->get_required() ? 1 : 0;
    }
    void Take(const std::string &arg)
    {
        if (skip_next) {
            skip_next = false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            const CLI::Option *o = cmd->get_option_no_throw(arg.substr(0, arg.find('=')));
            skip_next = o && o->get_type_size_max() > 0 && arg.find('=') == std::string::npos;
        } else if (const CLI::App *child = given == 0 ? Sub(*cmd, arg) : nullptr) {
            Start(child);   // sim notify ...: the nested subcommand's own arguments
        } else {
            ++given;
        }
    }
    bool Full() const { return cmd && given >= required; }
};

// The command line cut before each top-level subcommand name that is not a
// required argument of the piece before it, each piece with the program name
// in front: a piece parses on its own, so a subcommand may appear again.
std::vector<std::vector<const char *>> Segments(const CLI::App &app, int argc, const char *const *argv)
{
    std::vector<std::vector<const char *>> segments(1, {argv[0]});
    Piece piece;
    for (int i = 1; i < argc; ++i) {
        const CLI::App *name = Sub(app, argv[i]);
        if (name && (!piece.cmd || piece.Full())) {
            if (piece.cmd)
                segments.push_back({argv[0]});
            piece.Start(name);
        } else if (piece.cmd) {
            piece.Take(argv[i]);
        }
        segments.back().push_back(argv[i]);
    }
    return segments;
}

// Builds the app; `trace` is the subcommand that runs another one traced.
void Build(CLI::App &app, CLI::App *&trace)
{
    app.require_subcommand(1, 0);   // subcommands chain, in one registration
    app.footer(kFooter);
    app.allow_windows_style_options(false);   // "/path/file.json" is an argument, not an option
    app.set_version_flag("--version", VersionText, "print the version (from the program's version resource) and exit");
    trace = app.add_subcommand("trace", "Run SUBCOMMAND and print the library's trace lines live on stderr");
    trace->prefix_command();
    std::sort(Groups().begin(), Groups().end());
    for (const auto &g : Groups())
        g.second(app);
}

int Run(int argc, const char *const *argv)
{
    CLI::App app("qorgatt: Bluetooth LE GATT from the command line, on QorLeLib", "qorgatt");
    CLI::App *trace = nullptr;
    Build(app, trace);
    try {
        for (const std::vector<const char *> &segment : Segments(app, argc, argv))
            app.parse(static_cast<int>(segment.size()), segment.data());
        for (const auto &step : g_chain)
            step();
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    } catch (const UsageError &e) {
        std::fprintf(stderr, "qorgatt: error: %s\n", e.what());
        return kExitUsage;
    } catch (const nlohmann::json::exception &e) {
        std::fprintf(stderr, "qorgatt: error: bad description: %s\n", e.what());
        return kExitUsage;
    } catch (const Failure &e) {
        std::fprintf(stderr, "qorgatt: %s\n", e.what());
        return kExitFailed;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qorgatt: error: %s\n", e.what());
        return kExitFailed;
    }
    if (trace->parsed()) {   // "trace" with something after it never gets here
        std::fprintf(stderr, "qorgatt: error: trace needs a subcommand to run, e.g. qorgatt trace pair ADDR\n");
        return kExitUsage;
    }
    return kExitOk;
}

} // namespace

Group::Group(int order, void (*add)(CLI::App &app)) { Groups().emplace_back(order, add); }

void InstallTraceSink(bool print)
{
    g_print_trace = g_print_trace || print;
    std::error_code ignored;   // without trace lines pair sees no connection, and says so
    qorle::set_trace(TraceSink, ignored);
}

void WatchTrace(TraceWatcher watcher)
{
    std::lock_guard<std::mutex> hold(g_watch_lock);
    g_watcher = std::move(watcher);
}

void Print(const Json &doc) { std::printf("%s\n", Dump(doc, 2).c_str()); }

void PrintLine(const Json &doc) { std::printf("%s\n", Dump(doc, -1).c_str()); }

void NotesToStderr() { g_notes_to_stderr = true; }

void Note(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(g_notes_to_stderr ? stderr : stdout, format, args);
    va_end(args);
}

void ChainStep(CLI::App *cmd, std::function<std::function<void()>()> take)
{
    cmd->callback([take] { g_chain.push_back(take()); });
}

bool WaitForInterrupt(DWORD ms, HANDLE also)
{
    HANDLE ends[2] = {g_interrupt->Handle(), also};
    return WaitForMultipleObjects(also ? 2 : 1, ends, FALSE, ms) != WAIT_TIMEOUT;
}

} // namespace qorgatt

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    qorgatt::Event interrupt;
    qorgatt::g_interrupt = &interrupt;
    SetConsoleCtrlHandler(qorgatt::OnConsoleCtrl, TRUE);
    qorgatt::InstallTraceSink(false);
    if (argc > 2 && std::strcmp(argv[1], "trace") == 0 && !qorgatt::IsHelp(argv[2])) {
        qorgatt::InstallTraceSink(true);
        argv[1] = argv[0];
        ++argv;
        --argc;
    }
    int code = qorgatt::Run(argc, argv);
    qorgatt::Session::End();
    std::error_code ignored;
    qorle::set_trace(nullptr, ignored);
    return code;
}
