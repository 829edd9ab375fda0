#pragma once
// Attribute databases of simulated remote devices used by the pairing tests,
// the benchmark and the demo.

#include <cstring>
#include <string>
#include <vector>

#include "qortest.h"

namespace devices {

inline std::vector<uint8_t> Text(const char *s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }

const GUID kCustomService = {0x7A1C0001, 0x3D52, 0x4E8B, {0x9C, 0x61, 0x2F, 0x0A, 0x5B, 0x8D, 0x4E, 0x17}};
const GUID kCustomChar = {0x7A1C0003, 0x3D52, 0x4E8B, {0x9C, 0x61, 0x2F, 0x0A, 0x5B, 0x8D, 0x4E, 0x17}};
const GUID kCustomDescr = {0x7A1C0009, 0x3D52, 0x4E8B, {0x9C, 0x61, 0x2F, 0x0A, 0x5B, 0x8D, 0x4E, 0x17}};
// Their key names in the service store.
const std::string kCustomServiceName = "{7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17}";
const std::string kCustomCharName = "{7a1c0003-3d52-4e8b-9c61-2f0a5b8d4e17}";
const std::string kCustomDescrName = "{7a1c0009-3d52-4e8b-9c61-2f0a5b8d4e17}";

// A heart-rate sensor: generic access, battery (also included by the heart-rate
// service), heart rate, device information and a custom service; all five
// standard descriptors, a 128-bit and an unknown 16-bit descriptor.
//
//  1 1800        2 2A00 "Qor HRM"        4 2A01
//  6 180F        7 2A19 (value 8)        9 2902  10 2904
// 11 180D       12 include 6-10 180F    13 2A37 (14)  15 2902  16 2901
//               17 2A38 (18)            19 2A39 (20)  21 2900
// 22 180A       23 2A29 "Qor Labs"      25 2A24 "HRM-1"
// 27 custom     28 custom char (29)     30 2903  31 custom descr  32 2905
inline qortest::GattDb HeartRateSensor()
{
    using qortest::Uuid128;
    using qortest::Uuid16;
    qortest::GattDb db;
    db.Service(Uuid16(0x1800));
    db.Characteristic(Uuid16(0x2A00), 0x02, Text("Qor HRM"));
    db.Characteristic(Uuid16(0x2A01), 0x02, {0x41, 0x03});
    db.Service(Uuid16(0x180F));
    db.Characteristic(Uuid16(0x2A19), 0x12, {87});
    db.Descriptor(Uuid16(0x2902), {0x00, 0x00});
    db.Descriptor(Uuid16(0x2904), {0x04, 0x00, 0xAD, 0x27, 0x01, 0x06, 0x01});
    db.Service(Uuid16(0x180D));
    db.Include(6, 10, 0x180F);
    db.Characteristic(Uuid16(0x2A37), 0x10, {0x00, 72});
    db.Descriptor(Uuid16(0x2902), {0x01, 0x00});
    db.Descriptor(Uuid16(0x2901), Text("Heart Rate"));
    db.Characteristic(Uuid16(0x2A38), 0x02, {0x01});
    db.Characteristic(Uuid16(0x2A39), 0x88, {});
    db.Descriptor(Uuid16(0x2900), {0x01, 0x00});
    db.Service(Uuid16(0x180A));
    db.Characteristic(Uuid16(0x2A29), 0x02, Text("Qor Labs"));
    db.Characteristic(Uuid16(0x2A24), 0x02, Text("HRM-1"));
    db.Service(Uuid128(kCustomService));
    db.Characteristic(Uuid128(kCustomChar), 0x1A, {});
    db.Descriptor(Uuid16(0x2903), {0x01, 0x00});
    db.Descriptor(Uuid128(kCustomDescr), {0x01, 0x02, 0x03});
    db.Descriptor(Uuid16(0x2905), {0x04, 0x00, 0x05, 0x00});
    return db;
}

// A large database: `services` services, each with `chars` characteristics,
// each with a client configuration and a user description descriptor.
inline qortest::GattDb LargeDevice(int services, int chars)
{
    using qortest::Uuid16;
    qortest::GattDb db;
    for (int s = 0; s < services; ++s) {
        db.Service(Uuid16(static_cast<uint16_t>(0xA000 + s)));
        for (int c = 0; c < chars; ++c) {
            db.Characteristic(Uuid16(static_cast<uint16_t>(0xB000 + s * chars + c)), 0x12, {0x01, 0x02});
            db.Descriptor(Uuid16(0x2902), {0x01, 0x00});
            db.Descriptor(Uuid16(0x2901), Text("sensor channel"));
        }
    }
    return db;
}

} // namespace devices
