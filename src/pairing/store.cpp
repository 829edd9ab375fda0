// The service store: the discovery list written to the registry under the
// device's key, in the layout the client role loads its attribute trees from.
// Nothing is ever deleted: a new dump only adds and overwrites.

#include <cstdio>
#include <cstring>

#include "link/discovery.h"
#include "pairing/pairing.h"
#include "store/layout.h"
#include "trace/trace.h"

namespace {

// Whether a registry call decides the dump's result.
enum class Counts { Yes, No };

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat" // %hs is the runtime's narrow-string conversion

void TraceCreateFailed(const char *name, LSTATUS err)
{
    LeTrace("***** LeDeviceDumpDiscoverDbToRegistry: RegCreateKeyEx(%hs) failed. err:%d\n", name, static_cast<int>(err));
}

void TraceSetFailed(const char *name, LSTATUS err)
{
    LeTrace("***** LeDeviceDumpDiscoverDbToRegistry: RegSetValueEx(%hs) failed. err:%d\n", name, static_cast<int>(err));
}

#pragma GCC diagnostic pop

class StoreWriter {
public:
    LSTATUS Dump(ULONGLONG address, const disc_service *services);

private:
    bool CreateKey(HKEY parent, const char *name, StoreKey &key);
    void SetValue(HKEY key, const char *name, DWORD type, const void *data, DWORD size, Counts counts);
    void SetDword(HKEY key, const char *name, DWORD value, Counts counts);

    bool WriteService(HKEY root, const disc_service &service);
    void WriteCharacteristics(HKEY service_key, const disc_service &service);
    bool WriteCharacteristic(HKEY chars_key, const disc_char &chr);
    void WriteDescriptors(HKEY char_key, const disc_char &chr);
    void WriteDescriptorValue(HKEY descr_key, const disc_char &chr, uint16_t uuid16);

    LSTATUS result_ = ERROR_SUCCESS;
};

bool StoreWriter::CreateKey(HKEY parent, const char *name, StoreKey &key)
{
    result_ = key.Create(parent, name);
    if (result_ != ERROR_SUCCESS)
        TraceCreateFailed(name, result_);
    return result_ == ERROR_SUCCESS;
}

void StoreWriter::SetValue(HKEY key, const char *name, DWORD type, const void *data, DWORD size, Counts counts)
{
    LSTATUS err = RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
    if (err != ERROR_SUCCESS)
        TraceSetFailed(name, err);
    if (counts == Counts::Yes)
        result_ = err;
}

void StoreWriter::SetDword(HKEY key, const char *name, DWORD value, Counts counts)
{
    SetValue(key, name, REG_DWORD, &value, sizeof value, counts);
}

LSTATUS StoreWriter::Dump(ULONGLONG address, const disc_service *services)
{
    char path[kStorePathSize];
    StoreRootPath(path, address);
    StoreKey root;
    result_ = root.Create(HKEY_LOCAL_MACHINE, path);
    if (result_ != ERROR_SUCCESS) {
        LeTrace("***** LeDeviceDumpDiscoverDbToRegistry: RegCreateKeyEx failed. err:%d\n", static_cast<int>(result_));
        return result_;
    }
    for (const disc_service *service = services; service; service = service->next) {
        if (!WriteService(root.get(), *service))
            break;
    }
    root.Close();
    LeTrace("LeDeviceDumpDiscoverDbToRegistry: exits. bda=%012I64x\n", address);
    return result_;
}

// False when the service key cannot be created: the dump ends there.
bool StoreWriter::WriteService(HKEY root, const disc_service &service)
{
    char name[kUuidNameSize];
    UuidName(service.uuid, name);
    StoreKey key;
    if (!CreateKey(root, name, key))
        return false;
    SetDword(key.get(), storename::kFirstHandle, service.s_handle, Counts::No);
    SetDword(key.get(), storename::kLastHandle, service.e_handle, Counts::Yes);
    WriteCharacteristics(key.get(), service);
    return true;
}

void StoreWriter::WriteCharacteristics(HKEY service_key, const disc_service &service)
{
    if (!service.chars)
        return;
    StoreKey chars;
    if (!CreateKey(service_key, storename::kCharacteristics, chars))
        return;
    for (const disc_char *chr = service.chars; chr; chr = chr->next) {
        if (!WriteCharacteristic(chars.get(), *chr))
            return;
    }
}

// False when the characteristic key cannot be created: the rest of the
// service's characteristics are not written.
bool StoreWriter::WriteCharacteristic(HKEY chars_key, const disc_char &chr)
{
    char name[kUuidNameSize];
    UuidName(chr.uuid, name);
    StoreKey key;
    if (!CreateKey(chars_key, name, key))
        return false;
    SetDword(key.get(), storename::kAttrHandle, chr.handle, Counts::No);
    SetDword(key.get(), storename::kProperties, chr.properties, Counts::No);
    SetDword(key.get(), storename::kValueHandle, chr.val_handle, Counts::Yes);
    WriteDescriptors(key.get(), chr);
    return true;
}

void StoreWriter::WriteDescriptors(HKEY char_key, const disc_char &chr)
{
    if (!chr.descrs)
        return;
    StoreKey descrs;
    if (!CreateKey(char_key, storename::kDescriptors, descrs))
        return;
    for (const disc_descr *descr = chr.descrs; descr; descr = descr->next) {
        char name[kUuidNameSize];
        UuidName(descr->uuid, name);
        StoreKey key;
        if (!CreateKey(descrs.get(), name, key))
            return;
        SetDword(key.get(), storename::kHandle, descr->handle, Counts::Yes);
        if (IsStandardDescriptor(descr->uuid))
            WriteDescriptorValue(key.get(), chr, Uuid16Value(descr->uuid));
    }
}

void StoreWriter::WriteDescriptorValue(HKEY descr_key, const disc_char &chr, uint16_t uuid16)
{
    switch (uuid16) {
    case kDescrExtProps:
        SetDword(descr_key, storename::kValue, chr.ext_props, Counts::Yes);
        break;
    case kDescrUserDescription: {
        size_t len = strnlen(chr.user_description, kUserDescriptionSize - 1);
        SetValue(descr_key, storename::kValue, REG_SZ, chr.user_description, static_cast<DWORD>(len + 1), Counts::Yes);
        break;
    }
    case kDescrClientConfig:
        SetDword(descr_key, storename::kValue, chr.client_config, Counts::Yes);
        break;
    case kDescrServerConfig:
        SetDword(descr_key, storename::kValue, chr.server_config, Counts::Yes);
        break;
    case kDescrPresentation: {
        const uint8_t format[kPresentationSize] = {
            chr.format,
            chr.exponent,
            static_cast<uint8_t>(chr.unit),
            static_cast<uint8_t>(chr.unit >> 8),
            chr.name_space,
            static_cast<uint8_t>(chr.description),
            static_cast<uint8_t>(chr.description >> 8),
        };
        SetValue(descr_key, storename::kValue, REG_BINARY, format, sizeof format, Counts::Yes);
        break;
    }
    }
}

} // namespace

LSTATUS LeDeviceDumpDiscoverDbToRegistry()
{
    StoreWriter writer;
    return writer.Dump(pairing_addr, disc_services);
}
