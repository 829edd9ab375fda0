#pragma once
// A GATT database described in JSON, for a simulated remote device (sim add)
// and for local services (serve):
//
//   { "address": "00:1A:7D:DA:71:13",          (sim add only)
//     "connect": "auto" | "manual" | "refuse",  (sim add only; default auto)
//     "services": [
//       { "uuid": "180d", "secondary": false,
//         "characteristics": [
//           { "uuid": "2a37", "properties": "read|notify",
//             "value": "00 48"  or  "text": "Heart Rate",
//             "descriptors": [ { "uuid": "2902", "value": "00 00" } ] } ] } ] }
#include <optional>

#include "qorgatt.h"

namespace qorgatt {

struct DescriptorDesc {
    Uuid uuid;
    std::vector<uint8_t> value;
};

struct CharacteristicDesc {
    Uuid uuid;
    uint8_t properties = 0;
    std::vector<uint8_t> value;
    std::vector<DescriptorDesc> descriptors;
};

struct ServiceDesc {
    Uuid uuid;
    bool secondary = false;
    std::vector<CharacteristicDesc> characteristics;
};

struct Description {
    std::optional<Address> address;
    std::string connect = "auto";
    std::vector<ServiceDesc> services;
};

// Reads and checks a description; UsageError names the file and the fault.
Description LoadDescription(const std::string &path);

} // namespace qorgatt
