// Pairing discovery of a large simulated device: the whole walk and store, the
// number of driver requests it took, the same number of bare request/event
// round trips through the same channel for comparison, and the store alone.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../tests/pairing/devices.h"
#include "../tests/pairing/store_view.h"
#include "QorLeLib.h"
#include "link/discovery.h"
#include "pairing/pairing.h"
#include "qortest.h"

namespace {

constexpr int kServices = 30;
constexpr int kCharsPerService = 10;
constexpr ULONGLONG kStoreAddress = 0x5B0000000001ULL;
const uint8_t kDevice[6] = {0xB0, 0x00, 0x00, 0x00, 0x00, 0x01};

HANDLE g_done;
HANDLE g_connected;
HANDLE g_round_trip;
DWORD g_success;

// Keeps the trace cost in both measurements alike, and watches for the two
// lines the bench waits on.
void WINAPI QuietSink(const char *line)
{
    if (std::strncmp(line, "LeDeviceConnectCallback", 23) == 0)
        SetEvent(g_connected);
    else if (std::strncmp(line, "LeDeviceCompleteCallback", 24) == 0)
        SetEvent(g_round_trip);
}

void WINAPI OnPaired(ULONGLONG, DWORD success)
{
    g_success = success;
    SetEvent(g_done);
}

double Now()
{
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

size_t CountRequests(qortest::Controller &ctl, uint32_t code) { return ctl.Requests(code).size(); }

// One read request and its completion event, n times, waited for one by one;
// the completion reaches the pairing registration, which traces it.
double RoundTrips(uint16_t conn_id, size_t n)
{
    read_param param;
    std::memset(&param, 0, sizeof param);
    param.handle = 3;
    double start = Now();
    for (size_t i = 0; i < n; ++i) {
        if (GATTC_Read(conn_id, 2, &param) != 0 || WaitForSingleObject(g_round_trip, 10000) != WAIT_OBJECT_0) {
            std::printf("round trip %zu failed\n", i);
            return -1;
        }
    }
    return Now() - start;
}

int Run()
{
    qortest::Controller ctl;
    if (!ctl.IsOpen())
        return 1;
    ctl.Reset();
    storeview::DeleteDevice(kStoreAddress);
    QorGattSetTraceFunction(QuietSink);

    if (QorGattPairingRegister() != 0) {
        std::printf("registration failed\n");
        return 1;
    }

    qortest::GattDb db = devices::LargeDevice(kServices, kCharsPerService);
    ctl.AddDevice(kDevice, db, 0);
    ctl.SetLink(kDevice, true);
    if (WaitForSingleObject(g_connected, 5000) != WAIT_OBJECT_0) {
        std::printf("no connection\n");
        return 1;
    }

    uint32_t before = static_cast<uint32_t>(ctl.Log().size());
    double start = Now();
    if (QorGattPairingDiscover(kStoreAddress, OnPaired) != 0 || WaitForSingleObject(g_done, 60000) != WAIT_OBJECT_0 ||
        g_success != 1) {
        std::printf("pairing discovery failed\n");
        return 1;
    }
    double walk = Now() - start;
    size_t requests = ctl.Log().size() - before;
    size_t discovers = CountRequests(ctl, ZOREROVA_GATTC_DISCOVER);
    size_t reads = CountRequests(ctl, ZOREROVA_GATTC_READ);

    // The store alone, from the list still in memory.
    storeview::DeleteDevice(kStoreAddress);
    start = Now();
    LSTATUS err = LeDeviceDumpDiscoverDbToRegistry();
    double store = Now() - start;

    double raw = RoundTrips(pairing_conn_id, requests);

    std::printf("pairing discovery of %d services, %d characteristics, %d descriptors (%zu attributes)\n", kServices,
                kServices * kCharsPerService, kServices * kCharsPerService * 2, db.Attrs().size());
    std::printf("  walk and store, wall time:        %8.1f ms\n", walk * 1e3);
    std::printf("  driver requests:                  %8zu (%zu discover, %zu read)\n", requests, discovers, reads);
    std::printf("  same number of raw round trips:   %8.1f ms (%.1f us each)\n", raw * 1e3, raw * 1e6 / requests);
    std::printf("  walk overhead over round trips:   %8.1f %%\n", raw > 0 ? (walk - raw) / raw * 100 : 0.0);
    std::printf("  store write alone:                %8.1f ms (result %ld)\n", store * 1e3, static_cast<long>(err));

    QorGattPairingUnregister();
    storeview::DeleteDevice(kStoreAddress);
    QorGattSetTraceFunction(nullptr);
    return 0;
}

} // namespace

int main()
{
    g_done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_connected = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_round_trip = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return Run();
}
