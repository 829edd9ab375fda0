#include <cstdio>
#include <cstring>

#include "qortest.h"

namespace qortest {

std::vector<VctlLocalAttr> LocalDb(Controller &ctl, uint32_t channel)
{
    std::vector<uint8_t> buffer(sizeof(VctlLocalDbHeader) + VCTL_LOCAL_CAPACITY * sizeof(VctlLocalAttr));
    DWORD got = 0;
    DWORD err = ctl.Raw(VCTL_GET_LOCAL_DB, &channel, sizeof channel, buffer.data(), static_cast<DWORD>(buffer.size()),
                        &got);
    VctlLocalDbHeader header{};
    if (err != ERROR_SUCCESS || got < sizeof header) {
        ADD_FAILURE() << "reading the local database failed, error " << err;
        return {};
    }
    std::memcpy(&header, buffer.data(), sizeof header);
    std::vector<VctlLocalAttr> records(header.count);
    std::memcpy(records.data(), buffer.data() + sizeof header, header.count * sizeof(VctlLocalAttr));
    return records;
}

std::string Hex(const uint8_t *p, size_t n)
{
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", p[i]);
        s += two;
    }
    return s;
}

std::vector<uint8_t> FromHex(const std::string &text)
{
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

namespace {

std::string UuidText(const LeUuid &u)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", u.value[0] | u.value[1] << 8);
    return u.len == 16 ? Hex(u.value, 16) : text;
}

std::string Row(const VctlLocalAttr &a)
{
    char text[160];
    const std::string uuid = UuidText(a.uuid);
    switch (a.kind) {
    case VCTL_LOCAL_SERVICE:
        std::snprintf(text, sizeof text, "%04x service %s inst %u flag %u end %04x if %u%s", a.handle, uuid.c_str(),
                      a.instance, a.flag, a.end_handle, a.gatt_if, a.started ? " started" : "");
        break;
    case VCTL_LOCAL_INCLUDE:
        std::snprintf(text, sizeof text, "%04x include %s of %04x", a.handle, uuid.c_str(), a.ref);
        break;
    case VCTL_LOCAL_CHAR_DECL:
        std::snprintf(text, sizeof text, "%04x char %s props %02x value %04x", a.handle, uuid.c_str(), a.properties,
                      a.ref);
        break;
    case VCTL_LOCAL_CHAR_VALUE:
        std::snprintf(text, sizeof text, "%04x value %s props %02x perm %04x", a.handle, uuid.c_str(), a.properties,
                      a.perm);
        break;
    default: {
        size_t n = sizeof a.descr;
        while (n && !a.descr[n - 1])
            --n;
        std::snprintf(text, sizeof text, "%04x descr %s perm %04x block %s", a.handle, uuid.c_str(), a.perm,
                      Hex(a.descr, n).c_str());
    }
    }
    return text;
}

} // namespace

std::vector<std::string> LocalDbRows(Controller &ctl, uint32_t channel)
{
    std::vector<std::string> rows;
    for (const VctlLocalAttr &a : LocalDb(ctl, channel))
        rows.push_back(Row(a));
    return rows;
}

} // namespace qortest
