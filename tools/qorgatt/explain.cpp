// Naming the missing piece of a (service, characteristic, descriptor) path.
#include "explain.h"

#include <cstring>

namespace qorgatt {

namespace {

bool Same(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The handle of the n-th service with this UUID, 0 if there is none.
USHORT FindService(LE_ADDRESS *a, const GUID &uuid, unsigned instance)
{
    GUID g;
    USHORT h = 0;
    for (DWORD i = 0; QorGattEnumService(a, i, &g, &h) == ERROR_SUCCESS; ++i)
        if (Same(g, uuid) && instance-- == 0)
            return h;
    return 0;
}

USHORT FindCharacteristic(LE_ADDRESS *a, USHORT service, const GUID &uuid, unsigned instance)
{
    GUID g;
    USHORT h = 0;
    for (DWORD i = 0; QorGattEnumCharacteristic(a, service, i, &g, &h) == ERROR_SUCCESS; ++i)
        if (Same(g, uuid) && instance-- == 0)
            return h;
    return 0;
}

bool HasDescriptor(LE_ADDRESS *a, USHORT service, USHORT characteristic, const GUID &uuid)
{
    GUID g;
    USHORT h = 0;
    for (DWORD i = 0; QorGattEnumDescriptor(a, service, characteristic, i, &g, &h) == ERROR_SUCCESS; ++i)
        if (Same(g, uuid))
            return true;
    return false;
}

std::string Instance(unsigned n) { return n ? " (instance " + std::to_string(n) + ")" : ""; }

// "180f (Battery)", or the UUID alone when it has no name.
std::string Named(const GUID &uuid)
{
    const std::string name = UuidName(uuid);
    return FormatUuid(uuid) + (name.empty() ? "" : " (" + name + ")");
}

} // namespace

std::string NeverPaired(ULONGLONG address)
{
    return "nothing stored for " + FormatAddress(address) + " (pair it first: qorgatt pair ADDR)";
}

std::string WhyNotFound(const AccessPath &p)
{
    LE_ADDRESS a = Le(p.address);
    GUID g;
    USHORT h = 0;
    if (QorGattEnumService(&a, 0, &g, &h) != ERROR_SUCCESS)
        return NeverPaired(p.address);
    const std::string device = FormatAddress(p.address);
    const USHORT service = FindService(&a, p.service, p.service_instance);
    if (!service)
        return device + " has no service " + Named(p.service) + Instance(p.service_instance) +
               " in its stored tree";
    const USHORT characteristic = FindCharacteristic(&a, service, p.characteristic, p.char_instance);
    if (!characteristic)
        return "service " + FormatUuid(p.service) + " of " + device + " has no characteristic " +
               Named(p.characteristic) + Instance(p.char_instance);
    if (p.descriptor && !HasDescriptor(&a, service, characteristic, *p.descriptor))
        return "characteristic " + FormatUuid(p.characteristic) + " of " + device + " has no descriptor " +
               Named(*p.descriptor);
    return "";
}

} // namespace qorgatt
