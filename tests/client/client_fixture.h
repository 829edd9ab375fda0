#pragma once
// The fixture of the API tests: registrations made through the export, those
// still live deregistered (and waited for) behind each test, and the device
// records a test placed dropped.

#include <algorithm>
#include <vector>

#include "QorLeLib.h"
#include "client/api_state.h"
#include "client/app_reg.h"
#include "client/attr_cache.h"
#include "scenario.h"

namespace qortest {

// The line of a registration's destruction.
inline std::string Destroyed(const void *app) { return Fmt("~QOR_APP_REG() %p callback thread:%x ", app, 0); }

// True when another thread can take ApiLock now (within 5 s).
inline bool ApiLockIsFree()
{
    HANDLE other = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            ApiLockEnter();
            ApiLockLeave();
            return 0;
        },
        nullptr, 0, nullptr);
    const bool done = WaitForSingleObject(other, 5000) == WAIT_OBJECT_0;
    CloseHandle(other);
    return done;
}

class ClientTest : public ScenarioTest {
protected:
    void TearDown() override
    {
        for (HQORREG h : std::vector<HQORREG>(live_))
            Deregister(h);
        if (!bApiLockInit)
            return;
        ApiLockHold hold;
        while (QOR_CONN_DEV *dev = pDevList) {
            pDevList = dev->pNext;
            delete dev;
        }
    }
    DWORD Register(ULONGLONG address, const GUID &app, HQORREG *h, PFN_LE_CONNECT_CALLBACK connect = nullptr,
                   PVOID context = nullptr, PFN_LE_COMPLETE_CALLBACK complete = nullptr,
                   PFN_LE_ATTRIBUTE_CALLBACK attribute = nullptr)
    {
        LE_ADDRESS a{};
        a.ullLong = address;
        GUID g = app;
        DWORD status = QorGattRegister(&a, &g, connect, complete, attribute, context, h);
        if (status == ERROR_SUCCESS)
            live_.push_back(*h);
        return status;
    }
    // Deregisters and waits until the callback thread has destroyed it.
    void Deregister(HQORREG h)
    {
        QorGattDeregister(h);
        EXPECT_TRUE(trace.WaitFor(Destroyed(h))) << trace.Dump();
        Forget(h);
    }
    void Forget(HQORREG h) { live_.erase(std::remove(live_.begin(), live_.end(), h), live_.end()); }
    std::vector<HQORREG> live_;
};

} // namespace qortest
