// Defining and starting a local database through the library, next to the
// same driver traffic sent raw, measured with the method of method.h.
//
// One database: 10 services, each with 10 characteristics of 2 descriptors
// (100 characteristics, 200 descriptors), every service started: 320 requests.
// The raw side sends the same requests, with the same layouts and the handles
// the controller hands out, on a channel of its own, one control request with
// its own event each (as the library does). Each run resets the controller
// first; the library's run deletes its services afterwards; neither is timed.

#include <cstdio>
#include <memory>
#include <vector>

#include "QorLeLib.h"
#include "qortest.h"

#include "method.h"

namespace {

constexpr int kServices = 10;
constexpr int kCharsPerService = 10;
constexpr int kDescrsPerChar = 2;
constexpr DWORD kHandlesPerService = 1 + kCharsPerService * (2 + kDescrsPerChar);
constexpr int kRequestsPerService = 2 + kCharsPerService * (1 + kDescrsPerChar);
const GUID kApp = {0x4D1C7A20, 0x91B3, 0x4E0F, {0xA7, 0x11, 0x5C, 0x2E, 0x83, 0x90, 0x14, 0x6B}};

GUID Uuid16(uint16_t v) { return qortest::BaseGuid(v); }

// The library's run: define and start `services` services; the time taken,
// negative when a request failed.
double LibraryRun(HQORREG reg, int services_wanted)
{
    std::vector<USHORT> services;
    const uint8_t block[22] = {1};
    bool good = true;
    const double start = bench::Seconds();
    for (int s = 0; s < services_wanted; ++s) {
        GUID service_uuid = Uuid16(static_cast<uint16_t>(0x1800 + s));
        USHORT sh = 0, h = 0;
        good &= QorGattCreateService(reg, &service_uuid, 0, kHandlesPerService, 0, &sh) == 0;
        for (int c = 0; c < kCharsPerService; ++c) {
            GUID char_uuid = Uuid16(static_cast<uint16_t>(0x2A00 + c));
            good &= QorGattAddCharacteristic(sh, &char_uuid, 0, 0x11, 0x1A, &h) == 0;
            for (int d = 0; d < kDescrsPerChar; ++d) {
                GUID descr_uuid = Uuid16(static_cast<uint16_t>(0x2901 + d));
                good &= QorGattAddDescriptor(sh, &descr_uuid, 0x11, const_cast<uint8_t *>(block), &h) == 0;
            }
        }
        good &= QorGattStartService(sh) == 0;
        services.push_back(sh);
    }
    const double took = bench::Seconds() - start;
    for (USHORT sh : services)
        good &= QorGattDeleteService(sh) == 0;
    return good ? took : -1;
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
double RawRun(qortest::DeviceChannel &ch, int services)
{
    bool good = true;
    const double start = bench::Seconds();
    for (int s = 0; s < services; ++s) {
        ZrCreateServiceReq create{};
        create.gatt_if = 1;
        create.uuid = Le16(static_cast<uint16_t>(0x1800 + s));
        create.num_handles = static_cast<uint16_t>(kHandlesPerService);
        uint16_t sh = 0, h = 0;
        good &= ch.Call(ZOREROVA_GATTS_CREATE_SERVICE, &create, sizeof create, &sh, sizeof sh) == 0;
        for (int c = 0; c < kCharsPerService; ++c) {
            ZrAddCharReq chr{};
            chr.service = sh;
            chr.uuid = Le16(static_cast<uint16_t>(0x2A00 + c));
            chr.perm = 0x11;
            chr.property = 0x1A;
            good &= ch.Call(ZOREROVA_GATTS_ADD_CHAR, &chr, sizeof chr, &h, sizeof h) == 0;
            for (int d = 0; d < kDescrsPerChar; ++d) {
                ZrAddDescrReq descr{};
                descr.service = sh;
                descr.perm = 0x11;
                descr.uuid = Le16(static_cast<uint16_t>(0x2901 + d));
                descr.param[0] = 1;
                good &= ch.Call(ZOREROVA_GATTS_ADD_DESCR, &descr, sizeof descr, &h, sizeof h) == 0;
            }
        }
        ZrStartServiceReq start_req{};
        start_req.gatt_if = 1;
        start_req.s_handle = sh;
        uint8_t result = 0;
        good &= ch.Call(ZOREROVA_GATTS_START_SERVICE, &start_req, sizeof start_req, &result, sizeof result) == 0;
    }
    const double took = bench::Seconds() - start;
    return good ? took : -1;
}

} // namespace

bool bench::Rows(qortest::Controller &ctl, Program *program)
{
    auto raw = std::make_shared<qortest::DeviceChannel>();
    if (!raw->IsOpen())
        return false;
    LE_ADDRESS any{};
    GUID app = kApp;
    HQORREG reg = nullptr;
    if (QorGattRegister(&any, &app, nullptr, nullptr, nullptr, nullptr, &reg) != 0)
        return false;
    std::printf("local database: %d services, %d characteristics, %d descriptors, started\n", kServices,
                kServices * kCharsPerService, kServices * kCharsPerService * kDescrsPerChar);
    qortest::Controller *control = &ctl;
    bench::Benchmark b;
    b.name = "define and start a local database";
    b.unit = "requests";
    b.work = kServices * kRequestsPerService;
    b.library = [control, reg](int work) {
        control->Reset();
        return LibraryRun(reg, work / kRequestsPerService);
    };
    b.raw = [control, raw](int work) {
        control->Reset();
        return RawRun(*raw, work / kRequestsPerService);
    };
    b.goal = 1.15;
    program->rows.push_back(b);
    program->done = [reg] { QorGattDeregister(reg); };
    return true;
}
