// Threads the library starts keep the module loaded while they run: an
// application may deregister and unload the library while one of them is still
// on its way out.

#include <new>

#include "link/link.h"

namespace {

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    void *arg;
    HMODULE module;
};

DWORD WINAPI RunHoldingModule(LPVOID param)
{
    const ThreadStart start = *static_cast<ThreadStart *>(param);
    delete static_cast<ThreadStart *>(param);
    FreeLibraryAndExitThread(start.module, start.routine(start.arg));
}

} // namespace

HANDLE StartModuleThread(LPTHREAD_START_ROUTINE routine, void *arg, DWORD *thread_id)
{
    auto *start = new (std::nothrow) ThreadStart{routine, arg, nullptr};
    if (!start)
        return nullptr;
    // The reference is taken here, while the caller keeps the module loaded,
    // and dropped by the thread as its very last act.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void *>(&RunHoldingModule)), &start->module)) {
        delete start;
        return nullptr;
    }
    HANDLE thread = CreateThread(nullptr, 0, RunHoldingModule, start, 0, thread_id);
    if (!thread) {
        FreeLibrary(start->module);
        delete start;
    }
    return thread;
}
