// QorLeLib demo: loads the DLL, installs a trace sink and talks to the
// (virtual) controller behind "\\.\ZOREROVA".
#include <windows.h>

#include <cstdio>

#include "QorLeLib.h"
#include "vdriver/vctl.h"

namespace {

int g_trace_lines = 0;

void WINAPI PrintTrace(const char *line)
{
    ++g_trace_lines;
    std::printf("  trace| %s", line);
}

bool ShowLibrary()
{
    HMODULE dll = GetModuleHandleA("QorLeLib.dll");
    char path[MAX_PATH] = {};
    if (!dll || !GetModuleFileNameA(dll, path, sizeof path))
        return false;
    std::printf("QorLeLib.dll loaded from %s\n", path);
    return true;
}

// The controller's own view: how many channels are open, and whether each
// one registered.
bool ShowController()
{
    HANDLE device = CreateFileA(ZOREROVA_DEVICE_NAME, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::printf("controller: cannot open %s (error %lu)\n", ZOREROVA_DEVICE_NAME, GetLastError());
        return false;
    }
    VctlStats stats = {};
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, VCTL_GET_STATS, nullptr, 0, &stats, sizeof stats, &returned, nullptr);
    if (ok)
        std::printf("controller: %s answers, %lu opens so far, %lu channel(s) open\n", ZOREROVA_DEVICE_NAME,
                    static_cast<unsigned long>(stats.opens), static_cast<unsigned long>(stats.channel_count));
    else
        std::printf("controller: statistics request failed (error %lu)\n", GetLastError());
    CloseHandle(device);
    return ok;
}

} // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::printf("QorLeLib demo\n\n");
    if (!ShowLibrary())
        return 1;

    QorGattSetTraceFunction(PrintTrace);
    std::printf("trace sink installed\n");
    if (!ShowController())
        return 1;

    QorGattSetTraceFunction(nullptr);
    std::printf("\n%d trace line(s) received\n", g_trace_lines);
    return 0;
}
