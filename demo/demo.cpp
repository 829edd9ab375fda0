// QorLeLib demo: loads the DLL, installs a trace sink and talks to the
// (virtual) controller behind "\\.\ZOREROVA", then pairs a simulated
// heart-rate sensor and prints what pairing discovery stored in the registry.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "QorLeLib.h"
#include "qortest.h"
#include "tests/pairing/devices.h"
#include "vdriver/vctl.h"

namespace {

int g_trace_lines = 0;
HANDLE g_connected;
HANDLE g_paired;
DWORD g_pair_success;

const uint8_t kSensor[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
const ULONGLONG kSensorAddress = 0x001A7DDA7113ULL;
const char kDevicesKey[] = "SYSTEM\\CurrentControlSet\\services\\BTHPORT\\Parameters\\Devices\\001a7dda7113";

void WINAPI PrintTrace(const char *line)
{
    ++g_trace_lines;
    std::printf("  trace| %s", line);
    if (std::strncmp(line, "LeDeviceConnectCallback 001a7dda7113", 36) == 0)
        SetEvent(g_connected);
}

void WINAPI OnPaired(ULONGLONG address, DWORD success)
{
    std::printf("pairing callback: device %012llx, success %lu\n", static_cast<unsigned long long>(address),
                static_cast<unsigned long>(success));
    g_pair_success = success;
    SetEvent(g_paired);
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

// ---- the pairing ----

bool PairSensor()
{
    qortest::Controller ctl;
    if (!ctl.IsOpen())
        return false;
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kDevicesKey);   // show this run's store only
    ctl.AddDevice(kSensor, devices::HeartRateSensor(), 0);
    std::printf("\nsimulated heart-rate sensor 00:1A:7D:DA:71:13 added\n");

    DWORD err = QorGattPairingRegister();
    std::printf("QorGattPairingRegister -> %lu\n", err);
    if (err != ERROR_SUCCESS)
        return false;
    ctl.SetLink(kSensor, true);
    bool ok = WaitForSingleObject(g_connected, 5000) == WAIT_OBJECT_0;
    if (ok) {
        err = QorGattPairingDiscover(kSensorAddress, OnPaired);
        std::printf("QorGattPairingDiscover -> %lu\n", err);
        ok = err == ERROR_SUCCESS && WaitForSingleObject(g_paired, 10000) == WAIT_OBJECT_0 && g_pair_success == 1;
    }
    QorGattPairingUnregister();
    ctl.SetLink(kSensor, false);
    ctl.RemoveDevice(kSensor);
    return ok;
}

// ---- the store, as a tree ----

const char *Describe(const std::string &name)
{
    static const struct {
        const char *uuid, *what;
    } known[] = {
        {"1800", "Generic Access"},          {"180a", "Device Information"},  {"180d", "Heart Rate"},
        {"180f", "Battery"},                 {"2a00", "Device Name"},         {"2a01", "Appearance"},
        {"2a19", "Battery Level"},           {"2a24", "Model Number"},        {"2a29", "Manufacturer Name"},
        {"2a37", "Heart Rate Measurement"},  {"2a38", "Body Sensor Location"}, {"2a39", "Heart Rate Control Point"},
        {"2900", "Extended Properties"},     {"2901", "User Description"},    {"2902", "Client Configuration"},
        {"2903", "Server Configuration"},    {"2904", "Presentation Format"}, {"2905", "Aggregate Format"},
    };
    for (const auto &k : known)
        if (name == k.uuid)
            return k.what;
    return "";
}

void PrintValues(HKEY key, int depth)
{
    for (DWORD i = 0;; ++i) {
        char name[260];
        DWORD name_size = sizeof name, type = 0;
        BYTE data[600];
        DWORD size = sizeof data;
        if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        std::printf("%*s%-12s ", depth * 2, "", name);
        if (type == REG_DWORD && size == 4)
            std::printf("REG_DWORD  0x%lx\n", static_cast<unsigned long>(data[0] | data[1] << 8 | data[2] << 16 |
                                                                         static_cast<DWORD>(data[3]) << 24));
        else if (type == REG_SZ)
            std::printf("REG_SZ     \"%.*s\"\n", static_cast<int>(size ? size - 1 : 0), data);
        else {
            std::printf("REG_BINARY");
            for (DWORD b = 0; b < size; ++b)
                std::printf(" %02X", data[b]);
            std::printf("\n");
        }
    }
}

void PrintTree(HKEY parent, const char *name, int depth)
{
    HKEY key;
    if (RegOpenKeyExA(parent, name, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    const char *what = Describe(name);
    std::printf("%*s%s%s%s%s\n", depth * 2, "", name, *what ? "  (" : "", what, *what ? ")" : "");
    PrintValues(key, depth + 1);
    for (DWORD i = 0;; ++i) {
        char sub[260];
        DWORD size = sizeof sub;
        if (RegEnumKeyExA(key, i, sub, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        PrintTree(key, sub, depth + 1);
    }
    RegCloseKey(key);
}

void ShowStore()
{
    std::printf("\nstored under HKEY_LOCAL_MACHINE\\%s:\n", kDevicesKey);
    HKEY devices;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDevicesKey, 0, KEY_READ, &devices) != ERROR_SUCCESS) {
        std::printf("  (nothing)\n");
        return;
    }
    PrintTree(devices, "Services", 1);
    RegCloseKey(devices);
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

    g_connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_paired = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool paired = PairSensor();
    QorGattSetTraceFunction(nullptr);
    std::printf("\n%d trace line(s) received\n", g_trace_lines);
    if (!paired) {
        std::printf("pairing discovery failed\n");
        return 1;
    }
    ShowStore();
    return 0;
}
