#include <windows.h>

#include "api/api_state.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        QorLeProcessAttach();
        break;
    case DLL_PROCESS_DETACH:
        QorLeProcessDetach();
        break;
    default:
        break;
    }
    return TRUE;
}
