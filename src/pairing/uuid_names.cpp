#include "pairing/uuid_names.h"

#include <cstdio>
#include <cstring>

#include "link/discovery.h"

namespace {

const GUID kBaseUuid = {0x00000000, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};

constexpr size_t kGuidTextMax = 39;

} // namespace

void StoreRootPath(char (&path)[kStorePathSize], ULONGLONG address)
{
    std::snprintf(path, sizeof path,
                  "SYSTEM\\CurrentControlSet\\services\\BTHPORT\\Parameters\\Devices\\%012llx\\Services",
                  static_cast<unsigned long long>(address));
}

void UuidName(const LeUuid &uuid, char (&name)[kUuidNameSize])
{
    if (uuid.len == 2) {
        std::snprintf(name, sizeof name, "%04x", Uuid16Value(uuid));
        return;
    }
    GUID g;
    std::memcpy(&g, uuid.value, sizeof g);
    std::snprintf(name, sizeof name, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
}

GUID GuidFromText(const char *text)
{
    char bounded[kGuidTextMax + 1] = {};
    std::strncpy(bounded, text, kGuidTextMax);
    unsigned int f[11] = {};
    std::sscanf(bounded, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", &f[0], &f[1], &f[2], &f[3], &f[4],
                &f[5], &f[6], &f[7], &f[8], &f[9], &f[10]);
    GUID g;
    g.Data1 = f[0];
    g.Data2 = static_cast<unsigned short>(f[1]);
    g.Data3 = static_cast<unsigned short>(f[2]);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<unsigned char>(f[3 + i]);
    return g;
}

GUID GuidFromStoreName(const char *name)
{
    if (std::strlen(name) != 4)
        return GuidFromText(name);
    GUID g = kBaseUuid;
    unsigned int value = 0;
    if (std::sscanf(name, "%04x", &value) == 1)
        g.Data1 = value;
    return g;
}
