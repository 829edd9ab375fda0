#pragma once
// Reading a device's service store back with the registry API, and removing it
// again, for the pairing tests.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace storeview {

// An address of its own for the running test, so that nothing another case
// left is read back.
inline ULONGLONG TestAddress()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    ULONGLONG h = 0;
    for (const char *text : {info->test_suite_name(), info->name()})
        for (const char *p = text; *p; ++p)
            h = (h * 131 + static_cast<unsigned char>(*p)) & 0xFFFFFFFFULL;
    return 0x5A0000000000ULL | h;
}

inline std::string AddressText(ULONGLONG address)
{
    char text[16];
    std::snprintf(text, sizeof text, "%012llx", static_cast<unsigned long long>(address));
    return text;
}

inline std::string DeviceKey(ULONGLONG address)
{
    return "SYSTEM\\CurrentControlSet\\services\\BTHPORT\\Parameters\\Devices\\" + AddressText(address);
}

inline std::string ServicesKey(ULONGLONG address) { return DeviceKey(address) + "\\Services"; }

inline void DeleteDevice(ULONGLONG address) { RegDeleteTreeA(HKEY_LOCAL_MACHINE, DeviceKey(address).c_str()); }

inline bool KeyExists(const std::string &path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Subkey or value names of a key, in the order the registry enumerates them.
template <typename Enum>
std::vector<std::string> Names(const std::string &path, Enum next)
{
    std::vector<std::string> names;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    char name[260];
    DWORD size = sizeof name;
    for (DWORD i = 0; next(key, i, name, &size) == ERROR_SUCCESS; ++i, size = sizeof name)
        names.emplace_back(name, size);
    RegCloseKey(key);
    return names;
}

inline std::vector<std::string> Subkeys(const std::string &path)
{
    return Names(path, [](HKEY k, DWORD i, char *n, DWORD *s) {
        return RegEnumKeyExA(k, i, n, s, nullptr, nullptr, nullptr, nullptr);
    });
}

inline std::vector<std::string> Values(const std::string &path)
{
    return Names(path, [](HKEY k, DWORD i, char *n, DWORD *s) {
        return RegEnumValueA(k, i, n, s, nullptr, nullptr, nullptr, nullptr);
    });
}

struct Value {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

inline Value Read(const std::string &path, const char *name)
{
    Value v;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return v;
    BYTE data[1024];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, name, nullptr, &v.type, data, &size) == ERROR_SUCCESS) {
        v.present = true;
        v.data.assign(data, data + size);
    }
    RegCloseKey(key);
    return v;
}

// A REG_DWORD value, or -1 when it is missing or of another type or size.
inline long long Dword(const std::string &path, const char *name)
{
    Value v = Read(path, name);
    if (!v.present || v.type != REG_DWORD || v.data.size() != 4)
        return -1;
    return v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<long long>(v.data[3]) << 24;
}

// Several REG_DWORD values of one key, in the order named.
using Numbers = std::vector<long long>;
inline Numbers Dwords(const std::string &path, std::initializer_list<const char *> names)
{
    Numbers values;
    for (const char *name : names)
        values.push_back(Dword(path, name));
    return values;
}

// A REG_SZ value with its terminating NUL counted in its size; "<bad>" otherwise.
inline std::string Text(const std::string &path, const char *name)
{
    Value v = Read(path, name);
    if (!v.present || v.type != REG_SZ || v.data.empty() || v.data.back() != 0)
        return "<bad>";
    return std::string(v.data.begin(), v.data.end() - 1);
}

inline bool CreateKey(const std::string &path, DWORD options)
{
    HKEY key;
    LSTATUS err =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, options, KEY_WRITE, nullptr, &key, nullptr);
    if (err != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Creates a volatile key under a non-volatile parent: no non-volatile key can
// be created below it.
inline bool CreateVolatile(const std::string &path)
{
    return CreateKey(path.substr(0, path.rfind('\\')), REG_OPTION_NON_VOLATILE) &&
           CreateKey(path, REG_OPTION_VOLATILE);
}

} // namespace storeview
