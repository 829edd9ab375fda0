#pragma once
// The fixture of the API tests: registrations made through the export, those
// still live deregistered (and waited for) behind each test.

#include <algorithm>
#include <vector>

#include "QorLeLib.h"
#include "scenario.h"

namespace qortest {

// The line of a registration's destruction.
inline std::string Destroyed(const void *app) { return Fmt("~QOR_APP_REG() %p callback thread:%x ", app, 0); }

// True when another thread can take ApiLock now (within 5 s): there an export
// that takes it, a search of the local service tables for a handle nobody
// holds, returns.
inline bool ApiLockIsFree()
{
    HANDLE other = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return QorGattAddIncludeService(0xFFFF, 0xFFFF); }, nullptr, 0, nullptr);
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
    // The addresses a new registration hears of as connected, in the order it hears them.
    std::string ConnectedDevices()
    {
        static std::string heard;
        heard.clear();
        HQORREG probe = nullptr;
        auto hear = [](PVOID, PLE_ADDRESS a, DWORD) { heard += Fmt("%012I64x ", a->ullLong); };
        EXPECT_EQ(Register(0, BaseGuid(0xFFF0), &probe, hear), 0u);
        Deregister(probe);   // once its thread has delivered all and ended
        return heard;
    }
    std::vector<HQORREG> live_;
};

} // namespace qortest
