// Defining and starting a local database through the library, next to the
// same driver traffic sent raw in the same run.
//
// One database: 30 services, each with 10 characteristics of 2 descriptors
// (300 characteristics, 600 descriptors), every service started: 960 requests.
// The raw side sends the same 960 requests, with the same layouts and the
// handles the controller hands out, on a channel of its own, one control
// request with its own event each (as the library does).
//
// Method: rounds in which the library and the raw side alternate, the order
// rotated every round; a ratio per round; the median with its range. Twice:
// with a trace sink that drops lines, and with the default trace output (the
// debugger output). A scaling line runs the library at 1x and 3x the database.
// Between runs the services are deleted (not timed) and the controller reset.

#include <cstdio>
#include <vector>

#include "QorLeLib.h"
#include "qortest.h"

#include "bench_stats.h"

namespace {

constexpr int kRounds = 7;
constexpr int kServices = 30;
constexpr int kCharsPerService = 10;
constexpr int kDescrsPerChar = 2;
constexpr DWORD kHandlesPerService = 1 + kCharsPerService * (2 + kDescrsPerChar);
const GUID kApp = {0x4D1C7A20, 0x91B3, 0x4E0F, {0xA7, 0x11, 0x5C, 0x2E, 0x83, 0x90, 0x14, 0x6B}};

double Seconds()
{
    static const LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

GUID Uuid16(uint16_t v) { return qortest::BaseGuid(v); }

void WINAPI DropLine(const char *) {}

// The library's run: define and start `scale` databases; the time taken.
double LibraryRun(HQORREG reg, int scale, bool *ok)
{
    std::vector<USHORT> services;
    const uint8_t block[22] = {1};
    const double start = Seconds();
    for (int s = 0; s < kServices * scale; ++s) {
        GUID service_uuid = Uuid16(static_cast<uint16_t>(0x1800 + s));
        USHORT sh = 0, h = 0;
        *ok &= QorGattCreateService(reg, &service_uuid, 0, kHandlesPerService, 0, &sh) == 0;
        for (int c = 0; c < kCharsPerService; ++c) {
            GUID char_uuid = Uuid16(static_cast<uint16_t>(0x2A00 + c));
            *ok &= QorGattAddCharacteristic(sh, &char_uuid, 0, 0x11, 0x1A, &h) == 0;
            for (int d = 0; d < kDescrsPerChar; ++d) {
                GUID descr_uuid = Uuid16(static_cast<uint16_t>(0x2901 + d));
                *ok &= QorGattAddDescriptor(sh, &descr_uuid, 0x11, const_cast<uint8_t *>(block), &h) == 0;
            }
        }
        *ok &= QorGattStartService(sh) == 0;
        services.push_back(sh);
    }
    const double took = Seconds() - start;
    for (USHORT sh : services)
        *ok &= QorGattDeleteService(sh) == 0;
    return took;
}

LeUuid Le16(uint16_t v)
{
    LeUuid u{};
    u.len = 2;
    u.value[0] = static_cast<uint8_t>(v);
    u.value[1] = static_cast<uint8_t>(v >> 8);
    return u;
}

// The same requests sent raw on a channel of one's own.
double RawRun(qortest::DeviceChannel &ch, int scale, bool *ok)
{
    const double start = Seconds();
    for (int s = 0; s < kServices * scale; ++s) {
        ZrCreateServiceReq create{};
        create.gatt_if = 1;
        create.uuid = Le16(static_cast<uint16_t>(0x1800 + s));
        create.num_handles = static_cast<uint16_t>(kHandlesPerService);
        uint16_t sh = 0, h = 0;
        *ok &= ch.Call(ZOREROVA_GATTS_CREATE_SERVICE, &create, sizeof create, &sh, sizeof sh) == 0;
        for (int c = 0; c < kCharsPerService; ++c) {
            ZrAddCharReq chr{};
            chr.service = sh;
            chr.uuid = Le16(static_cast<uint16_t>(0x2A00 + c));
            chr.perm = 0x11;
            chr.property = 0x1A;
            *ok &= ch.Call(ZOREROVA_GATTS_ADD_CHAR, &chr, sizeof chr, &h, sizeof h) == 0;
            for (int d = 0; d < kDescrsPerChar; ++d) {
                ZrAddDescrReq descr{};
                descr.service = sh;
                descr.perm = 0x11;
                descr.uuid = Le16(static_cast<uint16_t>(0x2901 + d));
                descr.param[0] = 1;
                *ok &= ch.Call(ZOREROVA_GATTS_ADD_DESCR, &descr, sizeof descr, &h, sizeof h) == 0;
            }
        }
        ZrStartServiceReq start_req{};
        start_req.gatt_if = 1;
        start_req.s_handle = sh;
        uint8_t result = 0;
        *ok &= ch.Call(ZOREROVA_GATTS_START_SERVICE, &start_req, sizeof start_req, &result, sizeof result) == 0;
    }
    return Seconds() - start;
}

struct Figures {
    std::vector<double> ratios;
    std::vector<double> library;
};

Figures Measure(qortest::Controller &ctl, HQORREG reg, qortest::DeviceChannel &raw, int scale, bool *ok)
{
    Figures f;
    for (int round = 0; round < kRounds; ++round) {
        double lib = 0, plain = 0;
        for (int turn = 0; turn < 2; ++turn) {
            ctl.Reset();
            if ((round + turn) % 2 == 0)
                lib = LibraryRun(reg, scale, ok);
            else
                plain = RawRun(raw, scale, ok);
        }
        f.ratios.push_back(lib / plain);
        f.library.push_back(lib);
    }
    return f;
}

void Print(const char *what, const Figures &f)
{
    std::printf("%-28s library/raw median %.3f (range %.3f-%.3f), library median %.1f ms\n", what, Median(f.ratios),
                Quantile(f.ratios, 0.0), Quantile(f.ratios, 0.999), Median(f.library) * 1000);
}

} // namespace

int main()
{
    qortest::Controller ctl;
    qortest::DeviceChannel raw;
    if (!ctl.IsOpen() || !raw.IsOpen())
        return 1;
    ctl.Reset();
    QorGattSetTraceFunction(DropLine);
    LE_ADDRESS any{};
    GUID app = kApp;
    HQORREG reg = nullptr;
    if (QorGattRegister(&any, &app, nullptr, nullptr, nullptr, nullptr, &reg) != 0)
        return 1;
    bool ok = true;
    const int requests = kServices * (2 + kCharsPerService * (1 + kDescrsPerChar));
    std::printf("local database: %d services, %d characteristics, %d descriptors, %d requests; %d rounds\n", kServices,
                kServices * kCharsPerService, kServices * kCharsPerService * kDescrsPerChar, requests, kRounds);
    const Figures sink1 = Measure(ctl, reg, raw, 1, &ok);
    Print("trace sink, 1x:", sink1);
    const Figures sink3 = Measure(ctl, reg, raw, 3, &ok);
    Print("trace sink, 3x:", sink3);
    std::printf("scaling: 3x the database in %.2fx the time\n", Median(sink3.library) / Median(sink1.library));
    QorGattSetTraceFunction(nullptr);
    Print("default trace output, 1x:", Measure(ctl, reg, raw, 1, &ok));
    QorGattDeregister(reg);
    if (!ok)
        std::printf("SOME REQUESTS FAILED: the figures are not valid\n");
    return ok ? 0 : 1;
}
