// Counting wrappers put into the program's import table (see call_count.h).

#include "call_count.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "method.h"

namespace bench {
namespace {

std::atomic<uint64_t> g_waits{0}, g_set{0}, g_reset{0}, g_control{0}, g_results{0}, g_created{0}, g_closed{0};

// The original of each redirected function, filled by Install.
decltype(&WaitForSingleObject) real_wait_one;
decltype(&WaitForSingleObjectEx) real_wait_one_ex;
decltype(&WaitForMultipleObjects) real_wait_many;
decltype(&WaitForMultipleObjectsEx) real_wait_many_ex;
decltype(&SetEvent) real_set;
decltype(&ResetEvent) real_reset;
decltype(&DeviceIoControl) real_control;
decltype(&GetOverlappedResult) real_result;
decltype(&CreateEventW) real_create;
decltype(&CloseHandle) real_close;

void Count(std::atomic<uint64_t> &c) { c.fetch_add(1, std::memory_order_relaxed); }

DWORD WINAPI WaitOne(HANDLE h, DWORD ms)
{
    Count(g_waits);
    return real_wait_one(h, ms);
}
DWORD WINAPI WaitOneEx(HANDLE h, DWORD ms, BOOL alertable)
{
    Count(g_waits);
    return real_wait_one_ex(h, ms, alertable);
}
DWORD WINAPI WaitMany(DWORD n, const HANDLE *h, BOOL all, DWORD ms)
{
    Count(g_waits);
    return real_wait_many(n, h, all, ms);
}
DWORD WINAPI WaitManyEx(DWORD n, const HANDLE *h, BOOL all, DWORD ms, BOOL alertable)
{
    Count(g_waits);
    return real_wait_many_ex(n, h, all, ms, alertable);
}
BOOL WINAPI Set(HANDLE h)
{
    Count(g_set);
    return real_set(h);
}
BOOL WINAPI Reset(HANDLE h)
{
    Count(g_reset);
    return real_reset(h);
}
BOOL WINAPI Control(HANDLE h, DWORD code, LPVOID in, DWORD in_len, LPVOID out, DWORD out_len, LPDWORD returned,
                    LPOVERLAPPED ov)
{
    Count(g_control);
    return real_control(h, code, in, in_len, out, out_len, returned, ov);
}
BOOL WINAPI Result(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL wait)
{
    Count(g_results);
    return real_result(h, ov, n, wait);
}

HANDLE WINAPI Create(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name)
{
    Count(g_created);
    return real_create(sa, manual, initial, name);
}
BOOL WINAPI Close(HANDLE h)
{
    Count(g_closed);
    return real_close(h);
}

struct Redirect {
    const char *name;
    void *wrapper;
    void **original;
};

template <class F>
Redirect Entry(const char *name, F wrapper, F *original)
{
    return {name, reinterpret_cast<void *>(wrapper), reinterpret_cast<void **>(original)};
}

// Replaces the import entries named in `redirects` in every import descriptor of the program.
void Patch(const Redirect *redirects, size_t n)
{
    auto *base = reinterpret_cast<BYTE *>(GetModuleHandleW(nullptr));
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress); imp->Name; ++imp) {
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char *name = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData)->Name;
            for (size_t i = 0; i < n; ++i) {
                if (std::strcmp(name, redirects[i].name) != 0)
                    continue;
                DWORD old;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
                if (!*redirects[i].original)
                    *redirects[i].original = reinterpret_cast<void *>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(redirects[i].wrapper);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            }
        }
    }
}

CallCounts g_last;

} // namespace

CallCounts CallCounts::operator-(const CallCounts &o) const
{
    return {waits - o.waits, set_event - o.set_event, reset_event - o.reset_event, control - o.control,
            results - o.results, created - o.created, closed - o.closed};
}

bool InstallCallCounting()
{
    static const bool installed = [] {
        const Redirect redirects[] = {
            Entry("WaitForSingleObject", &WaitOne, &real_wait_one),
            Entry("WaitForSingleObjectEx", &WaitOneEx, &real_wait_one_ex),
            Entry("WaitForMultipleObjects", &WaitMany, &real_wait_many),
            Entry("WaitForMultipleObjectsEx", &WaitManyEx, &real_wait_many_ex),
            Entry("SetEvent", &Set, &real_set),
            Entry("ResetEvent", &Reset, &real_reset),
            Entry("DeviceIoControl", &Control, &real_control),
            Entry("GetOverlappedResult", &Result, &real_result),
            Entry("CreateEventW", &Create, &real_create),
            Entry("CloseHandle", &Close, &real_close),
        };
        Patch(redirects, sizeof redirects / sizeof redirects[0]);
        return real_wait_many && real_set && real_control;
    }();
    return installed;
}

CallCounts CurrentCounts()
{
    return {g_waits.load(), g_set.load(), g_reset.load(), g_control.load(), g_results.load(), g_created.load(),
            g_closed.load()};
}

Timing::Timing() : start_counts_(CurrentCounts()), start_(Seconds()) {}

double Timing::Stop()
{
    const double seconds = Seconds() - start_;
    g_last = CurrentCounts() - start_counts_;
    return seconds;
}

CallCounts LastWindow() { return g_last; }

std::string PerUnit(const CallCounts &c, double units)
{
    char text[200];
    std::snprintf(text, sizeof text,
                  "waits %.2f SetEvent %.2f ResetEvent %.2f DeviceIoControl %.2f results %.2f"
                  " CreateEvent %.2f CloseHandle %.2f",
                  static_cast<double>(c.waits) / units, static_cast<double>(c.set_event) / units,
                  static_cast<double>(c.reset_event) / units, static_cast<double>(c.control) / units,
                  static_cast<double>(c.results) / units, static_cast<double>(c.created) / units,
                  static_cast<double>(c.closed) / units);
    return text;
}

} // namespace bench
