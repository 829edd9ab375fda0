#include "api/guard.h"

namespace {

// Faults a bad pointer or a corrupted record can cause. Breakpoints, stack
// overflow and software exceptions (C++ throws among them) are left alone.
bool IsProcessorFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_GUARD_PAGE:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" LONG QorGuardFilter(EXCEPTION_POINTERS *pointers, void *)
{
    return IsProcessorFault(pointers->ExceptionRecord->ExceptionCode) ? EXCEPTION_EXECUTE_HANDLER
                                                                        : EXCEPTION_CONTINUE_SEARCH;
}
