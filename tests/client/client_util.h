#pragma once
// Helpers of the registration tests: the runtime's own formatting (for the
// exact trace texts), device records placed straight into the device list,
// and a callback recorder that tests wait on.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "QorLeLib.h"
#include "client/api_state.h"
#include "client/app_reg.h"
#include "client/attr_cache.h"
#include "qortest.h"

namespace clienttest {

// Formats as the library's trace does (the runtime's printf dialect).
inline std::string Fmt(const char *format, ...)
{
    char line[1024] = {};
    va_list args;
    va_start(args, format);
    _vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    return line;
}

inline std::string DestroyedLine(const void *app) { return Fmt("~QOR_APP_REG() %p callback thread:%x \n", app, 0); }

inline QOR_CONN_DEV *ListDevice(ULONGLONG address, uint8_t gatt_if)
{
    ApiLockInitOnce();
    ApiLockHold hold;
    auto *dev = new QOR_CONN_DEV;
    dev->Address.ullLong = address;
    dev->gatt_if = gatt_if;
    QOR_CONN_DEV **tail = &pDevList;
    while (*tail)
        tail = &(*tail)->pNext;
    *tail = dev;
    return dev;
}

inline std::vector<ULONGLONG> ListedAddresses()
{
    ApiLockHold hold;
    std::vector<ULONGLONG> out;
    for (QOR_CONN_DEV *dev = pDevList; dev; dev = dev->pNext)
        out.push_back(dev->Address.ullLong);
    return out;
}

inline void ClearDevices()
{
    if (!bApiLockInit)
        return;
    ApiLockHold hold;
    while (pDevList) {
        QOR_CONN_DEV *dev = pDevList;
        pDevList = dev->pNext;
        delete dev;
    }
}

inline uint8_t InterfaceOf(HQORREG reg)
{
    ApiLockHold hold;
    return static_cast<QOR_APP_REG *>(reg)->gatt_if;
}

inline size_t RegistrationCount()
{
    if (!bApiLockInit)
        return 0;
    ApiLockHold hold;
    size_t n = 0;
    for (QOR_APP_REG *app = pFirst; app; app = app->pNext)
        ++n;
    return n;
}

// Runs fn on another thread and says whether it finished within timeout_ms.
// A thread that does not finish is left behind (the test fails anyway).
template <class Fn>
bool FinishesOnOtherThread(Fn fn, DWORD timeout_ms)
{
    struct Box {
        Fn fn;
        static DWORD WINAPI Run(LPVOID p)
        {
            static_cast<Box *>(p)->fn();
            return 0;
        }
    };
    auto *box = new Box{fn};
    HANDLE thread = CreateThread(nullptr, 0, &Box::Run, box, 0, nullptr);
    if (!thread)
        return false;
    bool done = WaitForSingleObject(thread, timeout_ms) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (done)
        delete box;
    return done;
}

// True when another thread can take ApiLock now.
inline bool ApiLockIsFree()
{
    return FinishesOnOtherThread(
        [] {
            ApiLockEnter();
            ApiLockLeave();
        },
        5000);
}

// What the application's callbacks saw, in order, and on which thread.
struct Delivery {
    int kind = 0;                    // 0 connect, 1 complete, 2 attribute
    ULONGLONG context = 0;           // connect and complete
    ULONGLONG address = 0;           // connect and attribute
    DWORD status = 0;                // connect: Connected; complete: Status; attribute: EventType
    DWORD thread = 0;
    std::vector<BYTE> value;
};

// What a connection callback was handed, on this thread.
inline Delivery ConnectDelivery(PVOID context, PLE_ADDRESS address, DWORD connected)
{
    Delivery d;
    d.context = reinterpret_cast<uintptr_t>(context);
    d.address = address->ullLong;
    d.status = connected;
    d.thread = GetCurrentThreadId();
    return d;
}

class Recorder {
public:
    void Add(const Delivery &d)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(d);
        }
        changed_.notify_all();
    }
    bool WaitCount(size_t n, DWORD timeout_ms = 5000)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return seen_.size() >= n; });
    }
    std::vector<Delivery> Seen() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivery> seen_;
};

// Registrations made through the export; those still live are deregistered
// (and waited for) behind each test, and device records placed are dropped.
class ClientTest : public qortest::ControllerTest {
protected:
    void TearDown() override
    {
        for (HQORREG h : std::vector<HQORREG>(live_))
            Deregister(h);
        ClearDevices();
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
        EXPECT_TRUE(trace.WaitFor(DestroyedLine(h))) << trace.Dump();
        Forget(h);
    }
    // The test deregisters it itself.
    void Forget(HQORREG h) { live_.erase(std::remove(live_.begin(), live_.end(), h), live_.end()); }

    std::vector<HQORREG> live_;
};

} // namespace clienttest
