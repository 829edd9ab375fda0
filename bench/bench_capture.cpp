// The controller's air capture and the notification rate: 3,000
// notifications of a simulated peripheral heard by the library's pfnAttribute,
// in batches of 1,000, with the capture on (the "library" side of the shared
// method) and off (its "raw" side), the order turned each round. The ratio is
// the rate with the capture on over the rate with it off (goal: at least 0.95).

#include "battery_peer.h"
#include "method.h"
#include "peers.h"
#include "tally.h"

namespace {

using namespace qortest;

const bench::Peer kPeer = {{0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13}, 5};
LE_ADDRESS g_dev = kPeer.Address();
GUID g_svc = bench::BatteryService(), g_level = bench::BatteryLevel();
constexpr int kNotifications = 3000;
constexpr int kBatch = 1000;   // within the library channel's queue

bench::Tally g_heard;

DWORD WINAPI OnAttribute(PLE_ADDRESS, GUID *, DWORD, GUID *, DWORD, GUID *, DWORD, DWORD, PLE_VALUE)
{
    g_heard.Add();
    return 0;
}

struct Setup {
    Controller ctl;
    HQORREG reg = nullptr;

    bool Prepare() { return bench::PairAndRegister(ctl, kPeer, {0xBE7C0002, 0, 0, {0}}, OnAttribute, &reg); }
    bool Capture(bool on)
    {
        VctlCaptureSet set{static_cast<uint8_t>(on), 0};
        return ctl.Raw(VCTL_CAPTURE_SET, &set, sizeof set, nullptr, 0) == 0;
    }
    // Seconds for `work` notifications heard by the library, or a negative value.
    double Run(bool capture, int work)
    {
        LE_VALUE value{};
        // Completions go to the latest requester: the library's channel.
        if (!Capture(capture) || QorGattReadCharacteristic(reg, &g_dev, &g_svc, 0, &g_level, 0, 0, &value, 1, 0))
            return -1;
        g_heard.Expect(work);
        double start = bench::Seconds();
        for (int sent = kBatch; sent <= work; sent += kBatch)
            if (Notify(ctl, kPeer.bda, bench::kLevelHandle, VCTL_KIND_NOTIFICATION, {1, 2}, kBatch) != 0 ||
                !g_heard.WaitFor(sent, 60000))
                return -1;
        return bench::Seconds() - start;
    }
};

} // namespace

bool bench::Rows(qortest::Controller &, Program *program)
{
    // Lives until the program ends: the runs and the attribute callback use it.
    static Setup setup;
    if (!setup.Prepare())
        return false;
    bench::Benchmark b = bench::Row(
        "notifications to pfnAttribute, capture on (library) / off (raw)", "notifications",
        bench::Quick() ? kNotifications * 2 / 3 : kNotifications, [](int work) { return setup.Run(true, work); },
        [](int work) { return setup.Run(false, work); });
    // The cost is judged on the rate alone: three times the work would overrun
    // the capture ring, so the 3x / 1x line measures nothing of interest here.
    b.scaling = false;
    b.rate = true;
    b.goal = 0.95;
    program->rows.push_back(b);
    program->done = [] {
        setup.Capture(true);
        QorGattDeregister(setup.reg);
    };
    return true;
}
