// The fault guard: processor faults and C++ exceptions stop a body without
// taking the process down, ApiLock is left exactly as deep as the body entered
// it, and the registration exports answer bad pointers with 1359.

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <thread>

#include "client/guard.h"
#include "client_util.h"
#include "qortest.h"

using namespace clienttest;

namespace {

const GUID kApp = {0x0DDC0FFE, 0x1234, 0x4321, {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17}};

// Read at run time, so the compiler cannot see the fault coming.
volatile uintptr_t bad_address = 0x10;

template <class T>
T *Bad()
{
    return reinterpret_cast<T *>(bad_address);
}

void Fault() { *Bad<volatile int>() = 1; }

class Guard : public ::testing::Test {
protected:
    void SetUp() override { ApiLockInitOnce(); }
};

TEST_F(Guard, BodyThatReturnsCompletes)
{
    int ran = 0;
    EXPECT_TRUE(RunGuarded([&] { ran = 1; }));
    EXPECT_EQ(ran, 1);
}

TEST_F(Guard, FaultsFromSeveralThreadsAreCaughtEveryTime)
{
    constexpr int kThreads = 4, kEach = 500;
    std::atomic<int> caught{0}, depth_wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                bool completed = RunGuarded([] {
                    ApiLockEnter();
                    ApiLockEnter();
                    Fault();
                });
                caught += !completed;
                depth_wrong += ApiLockDepth() != 0;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(caught, kThreads * kEach);
    EXPECT_EQ(depth_wrong, 0);
    EXPECT_TRUE(ApiLockIsFree());
}

TEST_F(Guard, LeavesOnlyTheEntriesTheBodyMade)
{
    ApiLockEnter();
    EXPECT_FALSE(RunGuarded([] {
        ApiLockEnter();
        ApiLockEnter();
        Fault();
    }));
    EXPECT_EQ(ApiLockDepth(), 1);

    // Still ours: another thread waits for it until we leave.
    HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread other([&] {
        ApiLockEnter();
        SetEvent(taken);
        ApiLockLeave();
    });
    EXPECT_EQ(WaitForSingleObject(taken, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    ApiLockLeave();
    EXPECT_EQ(WaitForSingleObject(taken, 5000), WAIT_OBJECT_0);
    other.join();
    CloseHandle(taken);
}

TEST_F(Guard, ExceptionsDoNotCrossTheGuard)
{
    EXPECT_FALSE(RunGuarded([] {
        ApiLockEnter();
        throw std::bad_alloc();
    }));
    EXPECT_FALSE(RunGuarded([] { throw std::runtime_error("x"); }));
    EXPECT_EQ(ApiLockDepth(), 0);
    EXPECT_TRUE(ApiLockIsFree());
}

TEST_F(Guard, FilterTakesProcessorFaultsOnly)
{
    auto verdict = [](DWORD code) {
        EXCEPTION_RECORD record{};
        record.ExceptionCode = code;
        CONTEXT context{};
        EXCEPTION_POINTERS pointers{&record, &context};
        return QorGuardFilter(&pointers, nullptr);
    };
    const DWORD faults[] = {EXCEPTION_ACCESS_VIOLATION, EXCEPTION_IN_PAGE_ERROR, EXCEPTION_INT_DIVIDE_BY_ZERO,
                            EXCEPTION_ILLEGAL_INSTRUCTION, EXCEPTION_DATATYPE_MISALIGNMENT};
    for (DWORD code : faults)
        EXPECT_EQ(verdict(code), EXCEPTION_EXECUTE_HANDLER) << std::hex << code;
    const DWORD others[] = {EXCEPTION_BREAKPOINT, EXCEPTION_STACK_OVERFLOW, 0xE06D7363u, 0x20474343u, 0xE0000001u};
    for (DWORD code : others)
        EXPECT_EQ(verdict(code), EXCEPTION_CONTINUE_SEARCH) << std::hex << code;
}

// ---- the guarded exports ----

class GuardedExports : public ClientTest {};

void WINAPI IgnoreConnect(PVOID, PLE_ADDRESS, DWORD) {}

TEST_F(GuardedExports, RegisterAnswersBadPointersWithInternalError)
{
    constexpr int kThreads = 4, kEach = 50;
    std::atomic<int> internal_errors{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            LE_ADDRESS a{};
            GUID g = kApp;
            HQORREG h = nullptr;
            auto crashed = [](DWORD status) { return status == ERROR_INTERNAL_ERROR; };
            for (int i = 0; i < kEach; ++i) {
                // Before ApiLock, inside it, and inside it again.
                internal_errors += crashed(QorGattRegister(&a, &g, nullptr, nullptr, nullptr, nullptr, Bad<HQORREG>()));
                internal_errors += crashed(QorGattRegister(Bad<LE_ADDRESS>(), &g, nullptr, nullptr, nullptr, nullptr, &h));
                internal_errors += crashed(QorGattRegister(&a, Bad<GUID>(), nullptr, nullptr, nullptr, nullptr, &h));
            }
        });
    for (std::thread &t : threads)
        t.join();

    EXPECT_EQ(internal_errors, 3 * kThreads * kEach);
    EXPECT_EQ(trace.Count("***QorLeApi:ERROR QorGattRegister crashed\n"), static_cast<size_t>(3 * kThreads * kEach));
    EXPECT_TRUE(ApiLockIsFree());
    EXPECT_EQ(RegistrationCount(), 0u);
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATT_REGISTER).empty());

    // The process goes on working.
    HQORREG h = nullptr;
    ASSERT_EQ(Register(0, kApp, &h), 0u) << trace.Dump();
    Deregister(h);
}

TEST_F(GuardedExports, FaultAfterTheRegistrationExistedEndsIt)
{
    // A corrupted device list makes the announcement of connected devices fault
    // after the registration was created and listed.
    QOR_CONN_DEV *dev = ListDevice(0x0000665544332211ull, 1);
    dev->pNext = Bad<QOR_CONN_DEV>();
    HQORREG h = reinterpret_cast<HQORREG>(0x5A5A);
    EXPECT_EQ(Register(0, kApp, &h, IgnoreConnect), ERROR_INTERNAL_ERROR);
    {
        ApiLockHold hold;
        dev->pNext = nullptr;
    }
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(trace.Contains("***QorLeApi:ERROR QorGattRegister crashed\n"));
    ASSERT_TRUE(trace.WaitForPrefix("~QOR_APP_REG() ")) << trace.Dump();
    EXPECT_EQ(RegistrationCount(), 0u);
    EXPECT_TRUE(ApiLockIsFree());
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATT_REGISTER).empty());
}

TEST_F(GuardedExports, DeregisterFaultLeavesApiLockAndStopsTheRegistration)
{
    HQORREG h = nullptr;
    ASSERT_EQ(Register(0, kApp, &h), 0u) << trace.Dump();
    Forget(h);
    QOR_CONN_DEV *dev = ListDevice(0x0000665544332211ull, 9);
    dev->pNext = Bad<QOR_CONN_DEV>();

    QorGattDeregister(h);
    {
        ApiLockHold hold;
        dev->pNext = nullptr;
    }
    EXPECT_TRUE(trace.Contains("***QorLeApi:ERROR QorGattDeregister crashed\n")) << trace.Dump();
    EXPECT_TRUE(ApiLockIsFree());
    EXPECT_TRUE(trace.WaitFor(DestroyedLine(h)));
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_DEREGISTER).size(), 1u);
}

} // namespace
