#pragma once
// Why a value access found nothing (ERROR_NOT_FOUND): the stored tree is
// looked at through enumeration to name what is missing.
#include <optional>

#include "session.h"

namespace qorgatt {

struct AccessPath {
    Address address;
    qorle::CharacteristicRef target;
    std::optional<Uuid> descriptor;   // empty for the characteristic's value
};

// e.g. "0A:11:22:33:44:55 has no service 180f in its stored tree"; "" when
// everything named is there.
std::string WhyNotFound(const AccessPath &path);
// "nothing stored for ADDR (pair it first: qorgatt pair ADDR)"
std::string NeverPaired(Address address);

} // namespace qorgatt
