#include "store/layout.h"

#include <cstdio>
#include <cstring>

#include "store/uuid.h"

namespace {

constexpr size_t kGuidTextMax = 39;

} // namespace

const char kStoreDevicesPath[] = "SYSTEM\\CurrentControlSet\\services\\BTHPORT\\Parameters\\Devices";

void StoreDevicePath(char (&path)[kStorePathSize], ULONGLONG address)
{
    std::snprintf(path, sizeof path, "%s\\%012llx", kStoreDevicesPath, static_cast<unsigned long long>(address));
}

void StoreRootPath(char (&path)[kStorePathSize], ULONGLONG address)
{
    std::snprintf(path, sizeof path, "%s\\%012llx\\%s", kStoreDevicesPath, static_cast<unsigned long long>(address),
                  kStoreServicesKey);
}

LSTATUS StoreKey::Open(HKEY parent, const char *name, REGSAM access)
{
    Close();
    LSTATUS err = RegOpenKeyExA(parent, name, 0, access, &key_);
    if (err != ERROR_SUCCESS)
        key_ = nullptr;
    return err;
}

LSTATUS StoreKey::Create(HKEY parent, const char *name)
{
    Close();
    LSTATUS err =
        RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key_, nullptr);
    if (err != ERROR_SUCCESS)
        key_ = nullptr;
    return err;
}

void StoreKey::Close()
{
    if (key_)
        RegCloseKey(key_);
    key_ = nullptr;
}

bool StoreKey::Subkey(DWORD index, char (&name)[kStoreKeyNameSize]) const
{
    DWORD size = kStoreKeyNameSize;
    return RegEnumKeyExA(key_, index, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

void StoreKey::Read(const char *name, void *buffer, DWORD size) const
{
    std::memset(buffer, 0, size);
    DWORD got = size;
    if (RegQueryValueExA(key_, name, nullptr, nullptr, static_cast<BYTE *>(buffer), &got) != ERROR_SUCCESS)
        std::memset(buffer, 0, size);
}

uint32_t StoreKey::Number(const char *name) const
{
    uint32_t value;
    Read(name, &value, sizeof value);
    return value;
}

void UuidName(const LeUuid &uuid, char (&name)[kUuidNameSize])
{
    if (uuid.len == 2) {
        std::snprintf(name, sizeof name, "%04x", static_cast<unsigned>(uuid.value[0] | uuid.value[1] << 8));
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
    unsigned int value = 0;
    std::sscanf(name, "%04x", &value);
    return BaseUuidGuid(static_cast<uint16_t>(value));
}
