#include "link_test.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace linktest {

Calls g_calls[kApps];

const uint8_t kAddr[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
const uint8_t kAddr2[6] = {0xC0, 0xFF, 0xEE, 0x01, 0x02, 0x03};

void Calls::Add(const Call &call)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
    }
    changed_.notify_all();
}

bool Calls::WaitCount(size_t n, DWORD timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return calls_.size() >= n; });
}

std::vector<Call> Calls::Get() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

size_t Calls::Size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.size();
}

namespace {

std::atomic<HANDLE> g_block_connected{nullptr};
std::atomic<ConnectedHook> g_connected_hook{nullptr};

bool RecordUp(uint16_t conn_id) { return conn_id < kMaxConnections && conn_table[conn_id].connected; }

std::vector<uint8_t> ValueOf(const uint8_t *value, uint16_t len)
{
    return std::vector<uint8_t>(value, value + (len <= LE_MAX_VALUE ? len : 0));
}

template <int N>
void OnConnected(uint8_t gatt_if, const uint8_t *bda, uint16_t conn_id, uint8_t connected)
{
    const Call call{Call::Connected, gatt_if, conn_id, connected, 0, 0, 0, ValueOf(bda, 6), RecordUp(conn_id)};
    if (HANDLE release = g_block_connected.exchange(nullptr))
        WaitForSingleObject(release, 10000);
    g_calls[N].Add(call);
    if (ConnectedHook hook = g_connected_hook.load())
        hook(gatt_if, conn_id, connected);
}

template <int N>
void OnComplete(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload)
{
    g_calls[N].Add(
        {Call::Complete, 0, conn_id, op, status, 0, payload->handle, ValueOf(payload->value, payload->len), false});
}

template <int N>
void OnDiscComplete(uint16_t conn_id, uint8_t disc_type, uint8_t status)
{
    g_calls[N].Add({Call::DiscComplete, 0, conn_id, disc_type, status, 0, 0, {}, false});
}

template <int N>
void OnRequest(uint16_t conn_id, uint32_t trans_id, uint8_t req_type, const ZrRequestPayload *payload)
{
    g_calls[N].Add(
        {Call::Request, 0, conn_id, req_type, 0, trans_id, payload->handle, ValueOf(payload->value, payload->len), false});
}

template <size_t... N>
gatt_callbacks Table(int n, std::index_sequence<N...>)
{
    static const gatt_callbacks tables[] = {
        {OnConnected<N>, OnComplete<N>, nullptr, OnDiscComplete<N>, OnRequest<N>}...};
    return tables[n];
}

// ---- CreateEventW through the program's import table ----
using CreateEventWFn = HANDLE(WINAPI *)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
CreateEventWFn g_real_create_event = nullptr;
std::atomic<DWORD> g_fail_thread{0};
std::atomic<DWORD> g_fail_not_thread{0};
std::atomic<int> g_fail_skip{0};
std::atomic<int> g_fail_count{0};

bool ShouldFail()
{
    DWORD self = GetCurrentThreadId();
    DWORD only = g_fail_thread.load(), except = g_fail_not_thread.load();
    if (g_fail_count.load() <= 0 || (only && self != only) || (except && self == except))
        return false;
    if (g_fail_skip.fetch_sub(1) > 0)
        return false;
    return g_fail_count.fetch_sub(1) > 0;
}

HANDLE WINAPI FailingCreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name)
{
    if (ShouldFail()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_real_create_event(sa, manual, initial, name);
}

// Points the program's import of a kernel32 function at a replacement and
// returns the original, or nullptr when the program does not import it.
void *HookImport(const char *name, void *replacement)
{
    auto *base = reinterpret_cast<uint8_t *>(GetModuleHandleW(nullptr));
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    void *original = nullptr;
    for (auto *imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress); imp->Name; ++imp) {
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto *by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char *>(by_name->Name), name) != 0)
                continue;
            DWORD old;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
            original = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
        }
    }
    return original;
}

// Hooks an import once; `real` keeps the original. False when it is not imported.
template <typename Fn>
bool Hook(Fn &real, const char *name, Fn replacement)
{
    if (!real)
        real = reinterpret_cast<Fn>(HookImport(name, reinterpret_cast<void *>(replacement)));
    return real != nullptr;
}

// ---- CreateFileA: the next call of one thread fails ----
using CreateFileAFn = HANDLE(WINAPI *)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
CreateFileAFn g_real_create_file = nullptr;
std::atomic<DWORD> g_fail_open_thread{0};

HANDLE WINAPI FailingCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                                 DWORD flags, HANDLE tmpl)
{
    DWORD self = GetCurrentThreadId();
    if (g_fail_open_thread.compare_exchange_strong(self, 0)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return g_real_create_file(name, access, share, sa, disposition, flags, tmpl);
}

// ---- allocations of one thread, through the program's imports ----
std::atomic<DWORD> g_count_thread{0};
std::atomic<long> g_allocations{0};
using MallocFn = void *(__cdecl *)(size_t);
using CallocFn = void *(__cdecl *)(size_t, size_t);
using ReallocFn = void *(__cdecl *)(void *, size_t);
using HeapAllocFn = LPVOID(WINAPI *)(HANDLE, DWORD, SIZE_T);
MallocFn g_real_malloc = nullptr;
CallocFn g_real_calloc = nullptr;
ReallocFn g_real_realloc = nullptr;
HeapAllocFn g_real_heap_alloc = nullptr;

// Counts a call of the watched thread, then makes it (one calling convention on x64).
template <typename R, typename... Args>
struct Counting {
    template <R (**Real)(Args...)>
    static R Call(Args... args)
    {
        if (GetCurrentThreadId() == g_count_thread.load())
            ++g_allocations;
        return (*Real)(args...);
    }
};

} // namespace

void CountAllocations(DWORD thread)
{
    ASSERT_TRUE(Hook(g_real_malloc, "malloc", &Counting<void *, size_t>::Call<&g_real_malloc>))
        << "malloc is not imported by the test program";
    Hook(g_real_calloc, "calloc", &Counting<void *, size_t, size_t>::Call<&g_real_calloc>);
    Hook(g_real_realloc, "realloc", &Counting<void *, void *, size_t>::Call<&g_real_realloc>);
    Hook(g_real_heap_alloc, "HeapAlloc", &Counting<LPVOID, HANDLE, DWORD, SIZE_T>::Call<&g_real_heap_alloc>);
    g_allocations = 0;
    g_count_thread = thread;
}

long CountedAllocations()
{
    g_count_thread = 0;
    return g_allocations.load();
}

gatt_callbacks AppCallbacks(int n, int without)
{
    gatt_callbacks cb = Table(n, std::make_index_sequence<kApps>());
    if (without & kNoRequest)
        cb.on_request = nullptr;
    if (without & kNoComplete)
        cb.on_complete = nullptr;
    if (without & kNoConnected)
        cb.on_connected = nullptr;
    return cb;
}

LeUuid AppIdentity(int n)
{
    LeUuid id{};
    id.len = 16;
    for (int i = 0; i < 16; ++i)
        id.value[i] = static_cast<uint8_t>(0xA0 + i + 16 * n);
    return id;
}

uint8_t Register(int n, int without)
{
    LeUuid id = AppIdentity(n);
    gatt_callbacks cb = AppCallbacks(n, without);
    return GATT_Register(&id, &cb);
}

void BlockNextConnected(HANDLE release) { g_block_connected.store(release); }

void SetConnectedHook(ConnectedHook hook) { g_connected_hook.store(hook); }

void FailCreateEvent(DWORD thread, unsigned skip, unsigned count)
{
    ASSERT_TRUE(Hook(g_real_create_event, "CreateEventW", &FailingCreateEventW)) << "CreateEventW is not imported";
    g_fail_thread.store(thread);
    g_fail_not_thread.store(thread ? 0 : GetCurrentThreadId());
    g_fail_skip.store(static_cast<int>(skip));
    g_fail_count.store(static_cast<int>(count));
}

void StopFailingCreateEvent() { g_fail_count.store(0); }

void FailCreateFile()
{
    ASSERT_TRUE(Hook(g_real_create_file, "CreateFileA", &FailingCreateFileA)) << "CreateFileA is not imported";
    g_fail_open_thread.store(GetCurrentThreadId());
}

::testing::AssertionResult InOrder(const std::vector<std::string> &captured, const std::vector<std::string> &expected)
{
    size_t at = 0;
    for (const std::string &want : expected) {
        const bool prefix = !want.empty() && want.back() == '*';
        const std::string text = prefix ? want.substr(0, want.size() - 1) : want;
        bool found = false;
        for (; at < captured.size() && !found; ++at) {
            std::string line = captured[at];
            if (!line.empty() && line.back() == '\n')
                line.pop_back();
            found = prefix ? line.compare(0, text.size(), text) == 0 : line == text;
        }
        if (!found) {
            std::string all;
            for (const std::string &line : captured)
                all += "  " + line + (line.empty() || line.back() != '\n' ? "\n" : "");
            return ::testing::AssertionFailure() << "missing, or out of order: \"" << want << "\"\ncaptured:\n" << all;
        }
    }
    return ::testing::AssertionSuccess();
}

std::string Line(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void LinkTest::SetUp() { qortest::ControllerTest::SetUp(); }

void LinkTest::TearDown()
{
    StopFailingCreateEvent();
    GATT_DeregisterAll(true);
}

uint32_t LinkTest::Channel() { return ctl.LibraryChannel(); }

void LinkTest::Post(const ZrEvent &event)
{
    uint32_t channel = Channel();
    ASSERT_NE(channel, 0u) << "no library channel";
    const VctlStats stats = ctl.Stats();
    const VctlChannelStats *before = qortest::Controller::Channel(stats, channel);
    ASSERT_NE(before, nullptr);
    const uint32_t want = before->delivered + 1;
    ctl.PostEvent(event, channel);
    // The reader has dispatched a record once it has sent that slot's read again.
    ASSERT_TRUE(ctl.WaitUntil([&](const VctlStats &s) {
        const VctlChannelStats *c = qortest::Controller::Channel(s, channel);
        return c && c->delivered >= want && c->pending_reads == kReadSlots;
    })) << trace.Dump();
}

void LinkTest::Connect(uint16_t conn_id, const uint8_t *bda) { Post(qortest::ConnectionEvent(bda, conn_id, 1)); }

void LinkTest::Disconnect(uint16_t conn_id, const uint8_t *bda) { Post(qortest::ConnectionEvent(bda, conn_id, 0)); }

std::vector<uint8_t> LinkTest::LoggedIn(const VctlLogEntry &entry) const
{
    return std::vector<uint8_t>(entry.in, entry.in + std::min<uint32_t>(entry.in_len, VCTL_LOG_MAX_IN));
}

} // namespace linktest
