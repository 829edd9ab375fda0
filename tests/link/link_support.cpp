// Support of the link tests, which use the link layer's own interface (link/link.h).
#include "link_test.h"

#include <atomic>
#include <cstring>
#include <utility>

namespace linktest {

namespace {

std::atomic<HANDLE> g_block_connected{nullptr};
std::atomic<ConnectedHook> g_connected_hook{nullptr};

// " <hex>" for a value, nothing for an empty one.
std::string Value(const uint8_t *value, uint16_t len)
{
    return len && len <= LE_MAX_VALUE ? " " + ToHex(value, len, false) : std::string();
}

template <int N>
void OnConnected(uint8_t gatt_if, const uint8_t *bda, uint16_t conn_id, uint8_t connected)
{
    const bool up = conn_id < kMaxConnections && conn_table[conn_id].connected;
    if (HANDLE release = g_block_connected.exchange(nullptr))
        WaitForSingleObject(release, 10000);
    NoteFmt("%d connected %d %d %s %d %s", N, gatt_if, conn_id, ToHex(bda, 6, false).c_str(), connected,
            up ? "up" : "down");
    if (ConnectedHook hook = g_connected_hook.load())
        hook(gatt_if, conn_id, connected);
}

template <int N>
void OnComplete(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *p)
{
    NoteFmt("%d complete %d op=%d status=%d handle=0x%x%s", N, conn_id, op, status, p->handle,
            Value(p->value, p->len).c_str());
}

template <int N>
void OnDiscComplete(uint16_t conn_id, uint8_t disc_type, uint8_t status)
{
    NoteFmt("%d disc %d type=%d status=%d", N, conn_id, disc_type, status);
}

template <int N>
void OnRequest(uint16_t conn_id, uint32_t trans_id, uint8_t req_type, const ZrRequestPayload *p)
{
    NoteFmt("%d request %d trans=0x%x type=%d handle=0x%x%s", N, conn_id, trans_id, req_type, p->handle,
            Value(p->value, p->len).c_str());
}

template <size_t... N>
gatt_callbacks Table(int n, std::index_sequence<N...>)
{
    static const gatt_callbacks tables[] = {
        {OnConnected<N>, OnComplete<N>, nullptr, OnDiscComplete<N>, OnRequest<N>}...};
    return tables[n];
}

// ---- imports of the test program, pointed at replacements ----
void *HookImport(const char *name, void *replacement)
{
    auto *base = reinterpret_cast<uint8_t *>(GetModuleHandleW(nullptr));
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    void *original = nullptr;
    for (auto *imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress); imp->Name; ++imp) {
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                std::strcmp(reinterpret_cast<const char *>(
                                reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData)->Name),
                            name) != 0)
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

template <typename Fn>
bool Hook(Fn &real, const char *name, Fn replacement)
{
    if (!real)
        real = reinterpret_cast<Fn>(HookImport(name, reinterpret_cast<void *>(replacement)));
    return real != nullptr;
}

using CreateEventWFn = HANDLE(WINAPI *)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
CreateEventWFn g_real_create_event = nullptr;
std::atomic<DWORD> g_fail_thread{0}, g_fail_not_thread{0};
std::atomic<int> g_fail_skip{0}, g_fail_count{0};

HANDLE WINAPI FailingCreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name)
{
    const DWORD self = GetCurrentThreadId(), only = g_fail_thread.load(), except = g_fail_not_thread.load();
    if (g_fail_count.load() > 0 && (!only || self == only) && (!except || self != except) &&
        g_fail_skip.fetch_sub(1) <= 0 && g_fail_count.fetch_sub(1) > 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_real_create_event(sa, manual, initial, name);
}

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
    ASSERT_TRUE(Hook(g_real_malloc, "malloc", &Counting<void *, size_t>::Call<&g_real_malloc>));
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

void FailCreateEvent(DWORD thread, unsigned skip, unsigned count)
{
    ASSERT_TRUE(Hook(g_real_create_event, "CreateEventW", &FailingCreateEventW));
    g_fail_thread.store(thread);
    g_fail_not_thread.store(thread ? 0 : GetCurrentThreadId());
    g_fail_skip.store(static_cast<int>(skip));
    g_fail_count.store(static_cast<int>(count));
}

void StopFailingCreateEvent() { g_fail_count.store(0); }

void FailCreateFile()
{
    ASSERT_TRUE(Hook(g_real_create_file, "CreateFileA", &FailingCreateFileA));
    g_fail_open_thread.store(GetCurrentThreadId());
}

std::string Identity(int n)
{
    std::string hex = "1000 ";
    for (int i = 0; i < 16; ++i)
        hex += Fmt("%02x", 0xA0 + i + 16 * n);
    return hex;
}

uint8_t Register(int n, int without)
{
    LeUuid id;
    std::vector<uint8_t> bytes = Hex(Identity(n));
    std::memcpy(&id, bytes.data(), sizeof id);
    gatt_callbacks cb = Table(n, std::make_index_sequence<kMaxGattIf + 1>());
    if (without & kNoRequest)
        cb.on_request = nullptr;
    if (without & kNoComplete)
        cb.on_complete = nullptr;
    if (without & kNoConnected)
        cb.on_connected = nullptr;
    return GATT_Register(&id, &cb);
}

Script FirstRegistration(int n)
{
    return {Returns(1, [n] { return Register(n); }), Sent(ZOREROVA_GATT_REGISTER, Identity(n), "01")};
}

void BlockNextConnected(HANDLE release) { g_block_connected.store(release); }
void SetConnectedHook(ConnectedHook hook) { g_connected_hook.store(hook); }

Step LinkTest::ChannelHolds(uint32_t reads)
{
    return Do([this, reads] {
        EXPECT_TRUE(ctl.WaitUntil([reads](const VctlStats &s) {
            uint32_t open = 0;
            for (uint32_t i = 0; i < s.channel_count && i < VCTL_MAX_CHANNELS; ++i) {
                const VctlChannelStats &c = s.channels[i];
                open += c.open;
                if (reads && c.registered && c.open)
                    return c.pending_reads == reads && c.queued_events == 0;
            }
            return !reads && open <= 1;   // only the test's own handle (the list may have dropped it)
        })) << "the library channel does not hold " << reads << " reads";
    });
}

Script LinkTest::Deliver(const std::string &hex) { return {Post(hex), ChannelHolds(kReadSlots)}; }

void LinkTest::TearDown()
{
    StopFailingCreateEvent();
    GATT_DeregisterAll(true);
}

} // namespace linktest
