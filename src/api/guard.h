#pragma once
// The fault guard of the exports. A guarded body runs inside a structured
// exception frame (guard_thunk.S) whose filter accepts processor faults, such as
// an access violation on a pointer the caller passed; a C++ exception is caught
// before it reaches that frame. Either way the body's frames are abandoned
// without running their destructors, so the guard itself leaves the ApiLock
// entries the body made. Anything else the body held is the caller's to undo.
// Exports use it through RunExport (api/export.h) only.

#include <windows.h>

#include "api/api_state.h"

// 1 when body(context) returned, 0 when the filter accepted a fault.
extern "C" int QorGuardCall(void (*body)(void *), void *context);
// The filter of QorGuardCall's frame: processor faults only.
extern "C" LONG QorGuardFilter(EXCEPTION_POINTERS *pointers, void *frame);

template <class Body>
class GuardedBody {
public:
    explicit GuardedBody(Body &body) : body_(body) {}

    static void Run(void *self)
    {
        auto *guarded = static_cast<GuardedBody *>(self);
        try {
            guarded->body_();
        } catch (...) {
            guarded->threw_ = true;
        }
    }
    bool Threw() const { return threw_; }

private:
    Body &body_;
    bool threw_ = false;
};

// Runs body(); true when it ran to its end, false when a fault or an exception
// stopped it (ApiLock is then back at the depth it had before the call).
template <class Body>
bool RunGuarded(Body &&body)
{
    GuardedBody<Body> guarded(body);
    int depth = ApiLockDepth();
    bool completed = QorGuardCall(&GuardedBody<Body>::Run, &guarded) && !guarded.Threw();
    if (!completed)
        ApiLockLeaveTo(depth);
    return completed;
}
