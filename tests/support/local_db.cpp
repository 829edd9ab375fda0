#include <cstring>

#include "qortest.h"
#include "scenario.h"

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

namespace {

std::string Row(const VctlLocalAttr &a)
{
    const std::string uuid =
        a.uuid.len == 16 ? ToHex(a.uuid.value, 16) : Fmt("%04x", a.uuid.value[0] | a.uuid.value[1] << 8);
    const char *u = uuid.c_str();
    const std::string handle = Fmt("%04x ", a.handle);
    switch (a.kind) {
    case VCTL_LOCAL_SERVICE:
        return handle + Fmt("service %s inst %u flag %u end %04x if %u%s", u, a.instance, a.flag, a.end_handle,
                            a.gatt_if, a.started ? " started" : "");
    case VCTL_LOCAL_INCLUDE: return handle + Fmt("include %s of %04x", u, a.ref);
    case VCTL_LOCAL_CHAR_DECL: return handle + Fmt("char %s props %02x value %04x", u, a.properties, a.ref);
    case VCTL_LOCAL_CHAR_VALUE: return handle + Fmt("value %s props %02x perm %04x", u, a.properties, a.perm);
    default: break;
    }
    size_t n = sizeof a.descr;
    while (n && !a.descr[n - 1])
        --n;
    return handle + Fmt("descr %s perm %04x block %s", u, a.perm, ToHex(a.descr, n).c_str());
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
