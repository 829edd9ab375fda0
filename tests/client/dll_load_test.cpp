// The DLL's load and unload work, and its fault guard, seen from a program that
// loads it at run time.

#include <gtest/gtest.h>

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "QorLeLib.h"

namespace {

std::mutex lines_mutex;
std::vector<std::string> lines;

void WINAPI Collect(const char *line)
{
    std::lock_guard<std::mutex> hold(lines_mutex);
    lines.emplace_back(line);
}

bool NamedMutexExists()
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"ZIDEDMutex");
    if (!mutex)
        return false;
    CloseHandle(mutex);
    return true;
}

template <class Fn>
Fn Export(HMODULE dll, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

TEST(DllLoad, NamedMutexLivesFromLoadToUnloadAndTheGuardWorks)
{
    ASSERT_FALSE(NamedMutexExists());
    HMODULE dll = LoadLibraryW(L"QorLeLib.dll");
    ASSERT_NE(dll, nullptr) << GetLastError();
    EXPECT_TRUE(NamedMutexExists());

    auto set_trace = Export<decltype(&QorGattSetTraceFunction)>(dll, "QorGattSetTraceFunction");
    auto reg = Export<decltype(&QorGattRegister)>(dll, "QorGattRegister");
    ASSERT_NE(set_trace, nullptr);
    ASSERT_NE(reg, nullptr);
    set_trace(Collect);
    LE_ADDRESS address{};
    GUID app = {0x11, 0x22, 0x33, {1, 2, 3, 4, 5, 6, 7, 8}};
    volatile uintptr_t bad = 0x10;
    EXPECT_EQ(reg(&address, &app, nullptr, nullptr, nullptr, nullptr, reinterpret_cast<HQORREG *>(bad)),
              static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    set_trace(nullptr);
    {
        std::lock_guard<std::mutex> hold(lines_mutex);
        EXPECT_EQ(lines, (std::vector<std::string>{"***QorLeApi:QorGattRegister\n",
                                                   "***QorLeApi:ERROR QorGattRegister crashed\n"}));
    }

    EXPECT_TRUE(FreeLibrary(dll));
    EXPECT_FALSE(NamedMutexExists());
}

} // namespace
