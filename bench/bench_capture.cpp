// The controller's air capture and the notification rate: 10,000
// notifications of a simulated peripheral heard by the library's pfnAttribute,
// with the capture on and off, in batches of 1,000 that alternate between the
// two (the order turned from batch to batch), so that both sides meet the
// machine's load alike. Prints the median
// and range of the rate ratio (on / off; goal: at least 0.95), each side's
// rates, and the machine's load.

#include <atomic>
#include <cstdio>
#include <vector>

#include "method.h"
#include "peers.h"
#include "scenario.h"

namespace {

using namespace qortest;

const uint8_t kDev[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
LE_ADDRESS g_dev{0x001A7DDA7113};
GUID g_svc = BaseGuid(0x180F), g_level = BaseGuid(0x2A19);
constexpr int kNotifications = 10000;
constexpr int kBatch = 1000;   // within the library channel's queue
constexpr int kRounds = 9;
constexpr double kGoal = 0.95;

std::atomic<long> g_heard{0};
long g_want = 0;
HANDLE g_done = CreateEventW(nullptr, FALSE, FALSE, nullptr);

DWORD WINAPI OnAttribute(PLE_ADDRESS, GUID *, DWORD, GUID *, DWORD, GUID *, DWORD, DWORD, PLE_VALUE)
{
    if (++g_heard == g_want)
        SetEvent(g_done);
    return 0;
}

struct Setup {
    Controller ctl;
    HQORREG reg = nullptr;

    bool Prepare()
    {
        ctl.Reset();
        TraceCapture trace;
        GattDb db;
        db.Service(Uuid16(0x180F));
        db.Characteristic(Uuid16(0x2A19), 0x12, {0x64});
        LE_ADDRESS any{0};
        GUID app = {0xBE7C0002, 0, 0, {0}};
        if (!StoreByPairing(ctl, trace, kDev, db, g_dev.ullLong) ||
            QorGattRegister(&any, &app, nullptr, nullptr, OnAttribute, nullptr, &reg) != 0)
            return false;
        ctl.AddDevice(kDev, db, 0);
        LinkUp(ctl, kDev, 5);
        return trace.WaitForPrefix("***QorLeApi:ConnectCallback gatt_if:1 bda:001a7dda7113 conn_id:5");
    }
    bool Capture(bool on)
    {
        VctlCaptureSet set{static_cast<uint8_t>(on), 0};
        return ctl.Raw(VCTL_CAPTURE_SET, &set, sizeof set, nullptr, 0) == 0;
    }
    // Seconds for one batch heard by the library, or a negative value.
    double Batch(bool capture)
    {
        LE_VALUE value{};
        // Completions go to the latest requester: the library's channel.
        if (!Capture(capture) || QorGattReadCharacteristic(reg, &g_dev, &g_svc, 0, &g_level, 0, 0, &value, 1, 0))
            return -1;
        g_heard = 0;
        g_want = kBatch;
        ResetEvent(g_done);
        double start = bench::Seconds();
        if (Notify(ctl, kDev, 3, VCTL_KIND_NOTIFICATION, {1, 2}, kBatch) != 0 ||
            WaitForSingleObject(g_done, 60000) != WAIT_OBJECT_0)
            return -1;
        return bench::Seconds() - start;
    }
    // One round: the notifications of each side in batches that alternate, so
    // that both meet the same load; each side's rate, false when a batch failed.
    bool Round(int round, double *on, double *off)
    {
        double t[2] = {0, 0};
        for (int sent = 0; sent < kNotifications; sent += kBatch) {
            for (int side : {(round + sent / kBatch) % 2, (round + sent / kBatch + 1) % 2}) {
                double took = Batch(side == 1);
                if (took < 0)
                    return false;
                t[side] += took;
            }
        }
        *on = kNotifications / t[1];
        *off = kNotifications / t[0];
        return true;
    }
};

void PrintSpread(const char *what, const bench::Spread &s, const char *unit)
{
    std::printf("  %-28s median %10.3f  range %10.3f .. %10.3f %s\n", what, s.median, s.low, s.high, unit);
}

} // namespace

int main()
{
    Setup setup;
    if (!setup.Prepare()) {
        std::printf("set-up failed\n");
        return 2;
    }
    std::printf("capture on / off: %d notifications to pfnAttribute a side, alternating batches of %d, %d rounds\n  ",
                kNotifications, kBatch, kRounds);
    bench::PrintLoad();
    std::vector<double> on, off, ratio;
    for (int round = 0; round < kRounds; ++round) {
        double rate_on = 0, rate_off = 0;
        if (!setup.Round(round, &rate_on, &rate_off)) {
            std::printf("round %d failed\n", round);
            setup.Capture(true);
            return 2;
        }
        on.push_back(rate_on);
        off.push_back(rate_off);
        ratio.push_back(rate_on / rate_off);
    }
    setup.Capture(true);
    QorGattDeregister(setup.reg);
    const bench::Spread r = bench::Summarise(ratio);
    PrintSpread("capture on", bench::Summarise(on), "notifications/s");
    PrintSpread("capture off", bench::Summarise(off), "notifications/s");
    PrintSpread("rate on / off", r, "");
    std::printf("  goal: on / off at least %.2f: %s\n  ", kGoal, r.median >= kGoal ? "met" : "NOT met");
    bench::PrintLoad();
    return r.median >= kGoal ? 0 : 1;
}
