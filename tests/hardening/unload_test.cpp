// An application that deregisters and unloads the DLL at once while one of the
// library's threads is still on its way out: the process lives on, and the DLL
// is gone once that thread has ended.

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qortest.h"

namespace {

using namespace qortest;

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<std::string> g_lines;
std::vector<DWORD> g_ids;
std::vector<HANDLE> g_threads;   // every other thread that traced
DWORD g_main;
const char *g_hold_at;           // a library thread that traces this stops there until g_go
HANDLE g_go;

void WINAPI Sink(const char *line)
{
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_lines.emplace_back(line);
        const DWORD id = GetCurrentThreadId();
        if (id != g_main && std::find(g_ids.begin(), g_ids.end(), id) == g_ids.end()) {
            g_ids.push_back(id);
            g_threads.push_back(OpenThread(SYNCHRONIZE, FALSE, id));
        }
    }
    g_changed.notify_all();
    if (g_hold_at && std::strncmp(line, g_hold_at, std::strlen(g_hold_at)) == 0)
        WaitForSingleObject(g_go, 10000);
}

void WINAPI HoldingConnect(PVOID, PLE_ADDRESS, DWORD) { WaitForSingleObject(g_go, 10000); }

bool Traced(const std::string &prefix)
{
    std::unique_lock<std::mutex> hold(g_mutex);
    return g_changed.wait_for(hold, std::chrono::seconds(5), [&] {
        auto starts = [&](const std::string &l) { return l.rfind(prefix, 0) == 0; };
        return std::any_of(g_lines.begin(), g_lines.end(), starts);
    });
}

template <class Fn>
Fn Export(HMODULE dll, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

struct Row {
    const char *hold_at;
    PFN_LE_CONNECT_CALLBACK connect;
    std::function<void(Controller &, HMODULE, HQORREG)> provoke;
    const char *running;             // traced once that thread is where the row wants it
};

const uint8_t kBda[6] = {0x00, 0x00, 0x00, 0x00, 0x00, 0xC1};

const Row kRows[] = {
    {nullptr, nullptr,
     [](Controller &, HMODULE dll, HQORREG reg) {
         LE_ADDRESS a{0xC1};
         EXPECT_EQ(Export<decltype(&QorGattConnect)>(dll, "QorGattConnect")(reg, &a, 0), static_cast<DWORD>(E_PENDING));
     },
     "***QorLeApi:WaitConnectThread gatt_if:1 bda:0000000000c1 not connected"},
    {nullptr, HoldingConnect,
     [](Controller &ctl, HMODULE, HQORREG) { ctl.PostEvent(ConnectionEvent(kBda, 0, 1)); },
     "***QorLeApi:QOR_APP_REG::CallbackThread() pCallback->type:0"},
    {"LE - ReadWorker: exits", nullptr,
     [](Controller &ctl, HMODULE, HQORREG) {
         ctl.ArmFault(ZOREROVA_GATT_READ_EVENT, VCTL_FAULT_STATUS, 0xC0000185);
         ctl.PostEvent(CompleteEvent(250, 1, 0));
     },
     "LE - ReadWorker: exits"},
};

// Register, bring the row's thread where it wants it, deregister and unload;
// the process lives on and the DLL goes once every library thread has ended.
void Unload(const Row &row)
{
    g_main = GetCurrentThreadId();
    g_go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_hold_at = row.hold_at;
    Controller ctl;
    ctl.Reset();
    HMODULE dll = LoadLibraryW(L"QorLeLib.dll");
    ASSERT_NE(dll, nullptr);
    Export<decltype(&QorGattSetTraceFunction)>(dll, "QorGattSetTraceFunction")(Sink);
    LE_ADDRESS any{};
    GUID app = {0x0E1D0AD0, 0, 0, {0}};
    HQORREG reg = nullptr;
    auto reg_fn = Export<decltype(&QorGattRegister)>(dll, "QorGattRegister");
    ASSERT_EQ(reg_fn(&any, &app, row.connect, nullptr, nullptr, nullptr, &reg), 0u);
    EXPECT_TRUE(Traced("CallbackThread() waiting for shutdown or callback"));
    row.provoke(ctl, dll, reg);
    EXPECT_TRUE(Traced(row.running));
    Export<decltype(&QorGattDeregister)>(dll, "QorGattDeregister")(reg);
    EXPECT_TRUE(FreeLibrary(dll));
    SetEvent(g_go);
    std::vector<HANDLE> threads;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        threads = g_threads;
    }
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 15000), WAIT_OBJECT_0);
    EXPECT_EQ(GetModuleHandleW(L"QorLeLib.dll"), nullptr) << "a thread kept the DLL loaded";
}

TEST(Unload, WhileTheWatcherOfAConnectWithoutWaitRuns) { Unload(kRows[0]); }
TEST(Unload, WhileTheCallbackThreadIsInTheConnectionCallback) { Unload(kRows[1]); }
TEST(Unload, WhileTheReaderClosesTheChannelAfterAFailedRead) { Unload(kRows[2]); }

} // namespace
