#pragma once
// The one shape of an export: its declaration (name, the line a caught fault
// traces, the code it returns then) and its body, run under the fault guard.
//
//     constexpr ExportDecl kConnect = QOR_EXPORT(QorGattConnect);
//     return RunExport(kConnect, [&] { return Connect(hReg, pAddress, bWait); });
//
// A body that holds something outside ApiLock gives the step that gives it
// back when a fault ends the body (the guard itself leaves ApiLock).

#include <windows.h>

#include "api/guard.h"
#include "trace/trace.h"

struct ExportDecl {
    const char *name;
    const char *crash_line;          // a format for the crash arguments; null: nothing is traced
    DWORD crashed;                   // what a caught fault returns
};

// The usual declaration: "***QorLeApi:ERROR <name> crashed" and 1359.
#define QOR_EXPORT(name) \
    ExportDecl { #name, "***QorLeApi:ERROR " #name " crashed\n", ERROR_INTERNAL_ERROR }
// An export whose caught fault is not traced, and gives 1359.
#define QOR_EXPORT_UNTRACED(name) \
    ExportDecl { #name, nullptr, ERROR_INTERNAL_ERROR }

// Nothing to give back after a fault.
struct NothingHeld {
    void operator()() const {}
};

// body() under the guard: its result, or, after a caught fault, undo(), the
// declaration's crash line (formatted with crash_args) and its crash code.
template <class Body, class Undo, class... CrashArgs>
DWORD RunExport(const ExportDecl &decl, Body &&body, Undo &&undo, CrashArgs... crash_args)
{
    DWORD result = decl.crashed;
    if (RunGuarded([&] { result = body(); }))
        return result;
    undo();
    if (!decl.crash_line)
        return decl.crashed;
    if constexpr (sizeof...(crash_args) == 0)
        LeTrace("%s", decl.crash_line);
    else
        LeTrace(decl.crash_line, crash_args...);
    return decl.crashed;
}

template <class Body>
DWORD RunExport(const ExportDecl &decl, Body &&body)
{
    return RunExport(decl, body, NothingHeld{});
}
