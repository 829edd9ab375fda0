#pragma once
// The service store's layout, in one place: where a device's tree lies in the
// registry, the names of its keys and values, the text forms of UUIDs in key
// names, and the one owner of a store key. The writer (pairing), the reader
// (client cache) and the tool's device listing all go through it.
//
// A 16-bit UUID is named by four lower-case hex digits, any other by its braced
// GUID text in lower case.

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "link/zorerova.h"

constexpr size_t kUuidNameSize = 39;       // 38 characters of braced GUID text and a NUL
constexpr size_t kStorePathSize = 260;
constexpr DWORD kStoreKeyNameSize = 260;

// Below HKEY_LOCAL_MACHINE: one key per device, named by the address in twelve
// lower-case hex digits, holding the services key.
extern const char kStoreDevicesPath[];
constexpr char kStoreServicesKey[] = "Services";

// Key and value names below a service key.
namespace storename {
constexpr char kFirstHandle[] = "s_handle";
constexpr char kLastHandle[] = "e_handle";
constexpr char kCharacteristics[] = "Characteristics";
constexpr char kAttrHandle[] = "AttrHandle";
constexpr char kProperties[] = "Properties";
constexpr char kValueHandle[] = "ValueHandle";
constexpr char kDescriptors[] = "Descriptors";
constexpr char kHandle[] = "Handle";
constexpr char kValue[] = "Value";
} // namespace storename

// The key of one device below HKEY_LOCAL_MACHINE, and its services key (the
// root of the tree).
void StoreDevicePath(char (&path)[kStorePathSize], ULONGLONG address);
void StoreRootPath(char (&path)[kStorePathSize], ULONGLONG address);

// A store key, closed when it goes out of scope.
class StoreKey {
public:
    StoreKey() = default;
    StoreKey(HKEY parent, const char *name, REGSAM access) { Open(parent, name, access); }
    ~StoreKey() { Close(); }
    StoreKey(const StoreKey &) = delete;
    StoreKey &operator=(const StoreKey &) = delete;

    LSTATUS Open(HKEY parent, const char *name, REGSAM access);
    // Creates (or opens) a non-volatile key for writing.
    LSTATUS Create(HKEY parent, const char *name);
    void Close();

    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }

    // The name of the index-th subkey; false past the last one or on any failure.
    bool Subkey(DWORD index, char (&name)[kStoreKeyNameSize]) const;
    // At most `size` bytes of the value; all zero when it is missing, of
    // another size or unreadable (a failed read may have written part of it).
    void Read(const char *name, void *buffer, DWORD size) const;
    uint32_t Number(const char *name) const;

private:
    HKEY key_ = nullptr;
};

// "180f" for a 16-bit UUID (len 2), "{0000180f-0000-1000-8000-00805f9b34fb}" for any other.
void UuidName(const LeUuid &uuid, char (&name)[kUuidNameSize]);

// Parses "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}" (at most 39
// characters of it); fields after the first that does not scan stay 0.
GUID GuidFromText(const char *text);

// A name of exactly four characters is a 16-bit UUID widened with the Base
// UUID; any other name is GUID text.
GUID GuidFromStoreName(const char *name);
