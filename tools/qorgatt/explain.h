#pragma once
// Why a value access found nothing (ERROR_NOT_FOUND): the stored tree is
// looked at through enumeration to name what is missing.
#include "session.h"

namespace qorgatt {

struct AccessPath {
    ULONGLONG address;
    GUID service;
    unsigned service_instance;
    GUID characteristic;
    unsigned char_instance;
    const GUID *descriptor;   // null for the characteristic's value
};

// e.g. "0A:11:22:33:44:55 has no service 180f in its stored tree"; "" when
// everything named is there.
std::string WhyNotFound(const AccessPath &path);
// "nothing stored for ADDR (pair it first: qorgatt pair ADDR)"
std::string NeverPaired(ULONGLONG address);

} // namespace qorgatt
