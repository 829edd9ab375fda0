// The controller's air capture and the notification rate: 10,000
// notifications of a simulated peripheral heard by the library's pfnAttribute,
// in batches of 1,000, with the capture on (the "library" side of the shared
// method) and off (its "raw" side), the order turned each round. The ratio is
// the rate with the capture on over the rate with it off (goal: at least 0.95).

#include <atomic>

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
    // Seconds for `work` notifications heard by the library, or a negative value.
    double Run(bool capture, int work)
    {
        LE_VALUE value{};
        // Completions go to the latest requester: the library's channel.
        if (!Capture(capture) || QorGattReadCharacteristic(reg, &g_dev, &g_svc, 0, &g_level, 0, 0, &value, 1, 0))
            return -1;
        double start = bench::Seconds();
        for (int sent = 0; sent < work; sent += kBatch) {
            g_heard = 0;
            g_want = kBatch;
            ResetEvent(g_done);
            if (Notify(ctl, kDev, 3, VCTL_KIND_NOTIFICATION, {1, 2}, kBatch) != 0 ||
                WaitForSingleObject(g_done, 60000) != WAIT_OBJECT_0)
                return -1;
        }
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
    bench::Benchmark b;
    b.name = "notifications to pfnAttribute, capture on (library) / off (raw)";
    b.unit = "notifications";
    // The cost is judged on the rate alone: three times the work would overrun
    // the capture ring, so the 3x / 1x line measures nothing of interest here.
    b.work = bench::Quick() ? kNotifications / 5 : kNotifications;
    b.scaling = false;
    b.library = [](int work) { return setup.Run(true, work); };
    b.raw = [](int work) { return setup.Run(false, work); };
    b.rate = true;
    b.goal = 0.95;
    program->rows.push_back(b);
    program->done = [] {
        setup.Capture(true);
        QorGattDeregister(setup.reg);
    };
    return true;
}
