#include "peers.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace qortest {

void AddCentral(Controller &ctl, const uint8_t bda[6], uint32_t flags)
{
    ctl.AddDevice(bda, GattDb(), VCTL_DEV_CENTRAL | flags);
}

DWORD Notify(Controller &ctl, const uint8_t bda[6], uint16_t handle, uint8_t kind, const std::vector<uint8_t> &value,
             uint32_t count, uint8_t auth_req, bool stored)
{
    VctlNotify n{};
    std::memcpy(n.bda, bda, sizeof n.bda);
    n.handle = handle;
    n.kind = kind;
    n.auth_req = auth_req;
    n.use_stored = stored ? 1 : 0;
    n.value_len = static_cast<uint16_t>(value.size());
    n.count = count;
    std::memcpy(n.value, value.data(), std::min(value.size(), sizeof n.value));
    return ctl.Raw(VCTL_REMOTE_NOTIFY, &n, sizeof n, nullptr, 0);
}

DWORD CentralRequest(Controller &ctl, const uint8_t bda[6], uint8_t kind, uint16_t handle, bool need_rsp,
                     const std::vector<uint8_t> &value, uint32_t trans_id, uint32_t *used)
{
    VctlCentralRequest req{};
    std::memcpy(req.bda, bda, sizeof req.bda);
    req.kind = kind;
    req.need_rsp = need_rsp ? 1 : 0;
    req.handle = handle;
    req.value_len = static_cast<uint16_t>(value.size());
    req.trans_id = trans_id;
    std::memcpy(req.value, value.data(), std::min(value.size(), sizeof req.value));
    uint32_t id = 0;
    DWORD err = ctl.Raw(VCTL_CENTRAL_REQUEST, &req, sizeof req, &id, sizeof id);
    if (used)
        *used = id;
    return err;
}

VctlCentral Central(Controller &ctl, const uint8_t bda[6])
{
    VctlAddress q{};
    std::memcpy(q.bda, bda, sizeof q.bda);
    VctlCentral c{};
    EXPECT_EQ(ctl.Raw(VCTL_GET_CENTRAL, &q, sizeof q, &c, sizeof c), 0u);
    return c;
}

uint32_t ReleaseHeld(Controller &ctl)
{
    uint32_t n = 0;
    EXPECT_EQ(ctl.Raw(VCTL_RELEASE_HELD, nullptr, 0, &n, sizeof n), 0u);
    return n;
}

PROCESS_INFORMATION StartSelf(const char *filter, const char *marker)
{
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command = std::string("\"") + exe + "\" --gtest_filter=" + filter;
    SetEnvironmentVariableA(marker, "1");
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    EXPECT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    return pi;
}

} // namespace qortest
