#pragma once
// Test support for the controller's peers: value pushes of a simulated
// peripheral, simulated centrals and their transactions, held events.

#include "qortest.h"

namespace qortest {

// A central (no attributes) with extra VCTL_DEV_* flags; SetLink connects it.
void AddCentral(Controller &ctl, const uint8_t bda[6], uint32_t flags = 0);
// count pushes (VCTL_KIND_*) of value, or of the stored value when stored.
DWORD Notify(Controller &ctl, const uint8_t bda[6], uint16_t handle, uint8_t kind, const std::vector<uint8_t> &value,
             uint32_t count = 1, uint8_t auth_req = 0, bool stored = false);
// A central's read (VCTL_CENTRAL_READ) or write: the Win32 error; *used the transaction id.
DWORD CentralRequest(Controller &ctl, const uint8_t bda[6], uint8_t kind, uint16_t handle, bool need_rsp,
                     const std::vector<uint8_t> &value = {}, uint32_t trans_id = 0, uint32_t *used = nullptr);
VctlCentral Central(Controller &ctl, const uint8_t bda[6]);
uint32_t ReleaseHeld(Controller &ctl);
// This test program again, running the cases of `filter`, with the
// environment variable `marker` set; the caller closes the handles.
PROCESS_INFORMATION StartSelf(const char *filter, const char *marker);

} // namespace qortest
