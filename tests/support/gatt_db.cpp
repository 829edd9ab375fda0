#include <cstring>

#include "qortest.h"

namespace qortest {

namespace {

constexpr uint16_t kPrimaryService = 0x2800;
constexpr uint16_t kSecondaryService = 0x2801;
constexpr uint16_t kInclude = 0x2802;
constexpr uint16_t kCharacteristic = 0x2803;

void PutU16(std::vector<uint8_t> &out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutUuid(std::vector<uint8_t> &out, const LeUuid &uuid)
{
    out.insert(out.end(), uuid.value, uuid.value + (uuid.len == 16 ? 16 : 2));
}

bool IsService(const GattDb::Attr &a)
{
    if (a.type.len != 2)
        return false;
    uint16_t t = static_cast<uint16_t>(a.type.value[0] | a.type.value[1] << 8);
    return t == kPrimaryService || t == kSecondaryService;
}

} // namespace

uint16_t GattDb::Add(Attr attr)
{
    attr.handle = next_;
    next_ = static_cast<uint16_t>(next_ + 1);
    attrs_.push_back(std::move(attr));
    return attrs_.back().handle;
}

uint16_t GattDb::Service(const LeUuid &uuid, uint16_t end_override, bool secondary)
{
    Attr a;
    a.type = Uuid16(secondary ? kSecondaryService : kPrimaryService);
    PutUuid(a.value, uuid);
    a.end_handle = end_override;
    a.end_fixed = end_override != 0;
    return Add(std::move(a));
}

uint16_t GattDb::Include(uint16_t s_handle, uint16_t e_handle, uint16_t uuid16)
{
    Attr a;
    a.type = Uuid16(kInclude);
    PutU16(a.value, s_handle);
    PutU16(a.value, e_handle);
    PutU16(a.value, uuid16);
    return Add(std::move(a));
}

uint16_t GattDb::Include(uint16_t s_handle, uint16_t e_handle)
{
    Attr a;
    a.type = Uuid16(kInclude);
    PutU16(a.value, s_handle);
    PutU16(a.value, e_handle);
    return Add(std::move(a));
}

uint16_t GattDb::Characteristic(const LeUuid &uuid, uint8_t props, const std::vector<uint8_t> &value,
                                uint8_t read_status, uint8_t write_status)
{
    Attr decl;
    decl.type = Uuid16(kCharacteristic);
    decl.value.push_back(props);
    PutU16(decl.value, static_cast<uint16_t>(next_ + 1));
    PutUuid(decl.value, uuid);
    uint16_t handle = Add(std::move(decl));
    Raw(uuid, value, read_status, write_status);
    return handle;
}

uint16_t GattDb::Descriptor(const LeUuid &uuid, const std::vector<uint8_t> &value, uint8_t read_status,
                            uint8_t write_status)
{
    return Raw(uuid, value, read_status, write_status);
}

uint16_t GattDb::Raw(const LeUuid &type, const std::vector<uint8_t> &value, uint8_t read_status,
                     uint8_t write_status)
{
    Attr a;
    a.type = type;
    a.value = value;
    a.read_status = read_status;
    a.write_status = write_status;
    return Add(std::move(a));
}

std::vector<uint8_t> GattDb::Serialize() const
{
    std::vector<uint8_t> out;
    uint16_t last = attrs_.empty() ? 0 : attrs_.back().handle;
    for (size_t i = 0; i < attrs_.size(); ++i) {
        const Attr &a = attrs_[i];
        VctlAttr rec;
        std::memset(&rec, 0, sizeof rec);
        rec.handle = a.handle;
        rec.end_handle = a.end_handle;
        if (IsService(a) && !a.end_fixed) {
            rec.end_handle = last;
            for (size_t j = i + 1; j < attrs_.size(); ++j) {
                if (IsService(attrs_[j])) {
                    rec.end_handle = static_cast<uint16_t>(attrs_[j].handle - 1);
                    break;
                }
            }
        }
        rec.read_status = a.read_status;
        rec.write_status = a.write_status;
        rec.type = a.type;
        rec.value_len = static_cast<uint16_t>(a.value.size() < LE_MAX_VALUE ? a.value.size() : LE_MAX_VALUE);
        const uint8_t *p = reinterpret_cast<const uint8_t *>(&rec);
        out.insert(out.end(), p, p + sizeof rec);
        out.insert(out.end(), a.value.begin(), a.value.begin() + rec.value_len);
    }
    return out;
}

} // namespace qortest
