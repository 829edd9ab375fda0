#pragma once
// Process-wide state of the client and server API: the registration list, the
// list of connected devices, the API lock with its one-time creation, the
// scratch device record, and what runs when the library is loaded and unloaded.

#include <windows.h>

class QOR_APP_REG;
class QOR_CONN_DEV;

// Head of the registration list, in creation order (ApiLock). Entry points may
// read it without the lock only to see whether any registration exists.
extern QOR_APP_REG *volatile pFirst;
// Head of the list of connected devices (ApiLock).
extern QOR_CONN_DEV *pDevList;

// Named, shared with every process that loads the library; serialises only the
// creation of ApiLock. Null when it could not be created.
extern HANDLE ZIDEDMutex;
extern volatile LONG bApiLockInit;

// ---- ApiLock: the one recursive lock of the API ----
// Creates ApiLock once per process (under ZIDEDMutex, waited for at most 2 s).
void ApiLockInitOnce();
void ApiLockEnter();
void ApiLockLeave();
// How many times the calling thread holds ApiLock. The fault guard records it
// before a body runs and leaves exactly the entries the body made.
int ApiLockDepth();
void ApiLockLeaveTo(int depth);

// Holds ApiLock for its scope. Leave() lets it go early where no driver request
// or application callback may run under it; Enter() takes it again.
class ApiLockHold {
public:
    ApiLockHold() { Enter(); }
    ~ApiLockHold()
    {
        if (held_)
            ApiLockLeave();
    }
    ApiLockHold(const ApiLockHold &) = delete;
    ApiLockHold &operator=(const ApiLockHold &) = delete;
    void Enter()
    {
        ApiLockEnter();
        held_ = true;
    }
    void Leave()
    {
        held_ = false;
        ApiLockLeave();
    }

private:
    bool held_ = false;
};

// Holds ApiLock once it exists. Before the first registration it does not, and
// there is no table to walk either (pFirst is null).
class ApiLockHoldIfReady {
public:
    ApiLockHoldIfReady() : held_(bApiLockInit != 0)
    {
        if (held_)
            ApiLockEnter();
    }
    ~ApiLockHoldIfReady()
    {
        if (held_)
            ApiLockLeave();
    }
    ApiLockHoldIfReady(const ApiLockHoldIfReady &) = delete;
    ApiLockHoldIfReady &operator=(const ApiLockHoldIfReady &) = delete;

private:
    bool held_;
};

// The static device record used as a one-entry cache for a device that is not
// connected. Exists from load to unload.
QOR_CONN_DEV *ScratchDevice();

// Load and unload work. DllMain calls them for the DLL; a program that links the
// static library runs them from a static object of this module. Each does its
// work once however often it is called.
void QorLeProcessAttach();
void QorLeProcessDetach();
