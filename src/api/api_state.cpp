#include "api/api_state.h"

#include <new>

#include "api/app_reg.h"
#include "api/records.h"
#include "trace/trace.h"

QOR_APP_REG *volatile pFirst = nullptr;
QOR_CONN_DEV *pDevList = nullptr;
HANDLE ZIDEDMutex = nullptr;
volatile LONG bApiLockInit = 0;

namespace {

CRITICAL_SECTION ApiLock;
INIT_ONCE api_lock_once = INIT_ONCE_STATIC_INIT;
thread_local int api_lock_depth = 0;

alignas(QOR_CONN_DEV) unsigned char scratch_storage[sizeof(QOR_CONN_DEV)];
QOR_CONN_DEV *scratch = nullptr;
volatile LONG attached = 0;

// The named mutex keeps other processes apart while they create their own lock;
// within this process the one-time block makes a second creation impossible even
// when the mutex wait runs out.
BOOL CALLBACK CreateApiLock(PINIT_ONCE, PVOID, PVOID *)
{
    LeTrace("***QorLeApi:QorGattRegister Init CS\n");
    InitializeCriticalSection(&ApiLock);
    InterlockedExchange(&bApiLockInit, 1);
    return TRUE;
}

} // namespace

void ApiLockInitOnce()
{
    DWORD wait = WAIT_FAILED;
    if (ZIDEDMutex)
        wait = WaitForSingleObject(ZIDEDMutex, 2000);
    if (!bApiLockInit)
        InitOnceExecuteOnce(&api_lock_once, CreateApiLock, nullptr, nullptr);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
        ReleaseMutex(ZIDEDMutex);
}

void ApiLockEnter()
{
    EnterCriticalSection(&ApiLock);
    ++api_lock_depth;
}

void ApiLockLeave()
{
    --api_lock_depth;
    LeaveCriticalSection(&ApiLock);
}

int ApiLockDepth() { return api_lock_depth; }

void ApiLockLeaveTo(int depth)
{
    while (api_lock_depth > depth)
        ApiLockLeave();
}

QOR_CONN_DEV *ScratchDevice() { return scratch; }

void QorLeProcessAttach()
{
    if (InterlockedCompareExchange(&attached, 1, 0) != 0)
        return;
    ZIDEDMutex = CreateMutexW(nullptr, FALSE, L"ZIDEDMutex");
    scratch = new (scratch_storage) QOR_CONN_DEV;
}

void QorLeProcessDetach()
{
    if (InterlockedCompareExchange(&attached, 0, 1) != 1)
        return;
    scratch->~QOR_CONN_DEV();
    scratch = nullptr;
    ReleaseCallbackPool();
    if (ZIDEDMutex)
        CloseHandle(ZIDEDMutex);
    ZIDEDMutex = nullptr;
}

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// True when this module is the program itself (the static library), false when
// it is the DLL, whose DllMain does the load and unload work.
bool LinkedIntoProgram() { return GetModuleHandleW(nullptr) == reinterpret_cast<HMODULE>(&__ImageBase); }

struct ProgramLoad {
    ProgramLoad()
    {
        if (LinkedIntoProgram())
            QorLeProcessAttach();
    }
    ~ProgramLoad()
    {
        if (LinkedIntoProgram())
            QorLeProcessDetach();
    }
};

ProgramLoad program_load;

} // namespace
