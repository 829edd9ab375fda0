// The process-wide channel to the driver and the gatt_if registry: the first
// registration opens the device, starts the reader and registers with the
// driver; the last one (or a reader that fails) deregisters and closes it all.

#include <atomic>
#include <cstring>

#include "link/link_private.h"
#include "trace/trace.h"

gatt_if_record gatt_if_table[kMaxGattIf];
conn_record conn_table[kMaxConnections];
gatts_service_record *volatile gatts_service_list = nullptr;

namespace {

constexpr DWORD kReaderExitWaitMs = 100000;
// How long a first registration waits for a reader that is still closing the
// previous opening of the channel.
constexpr DWORD kPreviousReaderWaitMs = 10000;

struct ChannelState {
    std::atomic<HANDLE> device{INVALID_HANDLE_VALUE};
    HANDLE shutdown = nullptr;       // manual-reset; stops the reader
    // Set with the shutdown event: the reader looks at it where it does not wait.
    std::atomic<bool> stopping{false};
    HANDLE thread = nullptr;
    DWORD thread_id = 0;
    // Taken by the reader while it was still running (a callback of its own
    // deregistered the last gatt_if); closed by the reader at its end.
    HANDLE deferred_device = INVALID_HANDLE_VALUE;
};
ChannelState g_channel;

// Requests hold it shared while they use the device handle; closing waits for
// them, so a handle is never used after it was closed (or reused).
SRWLOCK g_device_use = SRWLOCK_INIT;

// The generation of the latest opening of the channel (registry lock).
uint32_t g_generation = 0;

thread_local bool t_reader = false;
thread_local bool t_reader_ending = false;

void SignalShutdown()
{
    g_channel.stopping.store(true);
    SetEvent(g_channel.shutdown);
}

// ---- the registry lock ----
// A mutex rather than a critical section: it is recursive and waitable, so the
// reader can wait for it and for its own shutdown at once (see RegistryEnter).
HANDLE RegistryMutex()
{
    static const HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    return mutex;
}

// Serialises the table changes and the opening and closing of the channel. A
// thread that holds it may wait for the reader to end; the reader therefore
// never waits for it without also waiting for its shutdown event, and gives up
// when that comes first: the thread stopping it drops every gatt_if anyway.
bool RegistryEnter()
{
    HANDLE mutex = RegistryMutex();
    if (!mutex)
        return false;
    DWORD result;
    if (t_reader && !t_reader_ending && g_channel.shutdown) {
        HANDLE objects[2] = {mutex, g_channel.shutdown};
        result = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
    } else {
        result = WaitForSingleObject(mutex, INFINITE);
    }
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0;
}

void RegistryLeave() { ReleaseMutex(RegistryMutex()); }

class RegistryHold {
public:
    explicit RegistryHold(bool take = true) : held_(take && RegistryEnter()) {}
    ~RegistryHold()
    {
        if (held_)
            RegistryLeave();
    }
    RegistryHold(const RegistryHold &) = delete;
    RegistryHold &operator=(const RegistryHold &) = delete;
    bool Held() const { return held_; }
    void Take()
    {
        if (!held_)
            held_ = RegistryEnter();
    }
    void Release()
    {
        if (held_)
            RegistryLeave();
        held_ = false;
    }

private:
    bool held_;
};

// An event handle closed at the end of its scope.
class ScopedEvent {
public:
    explicit ScopedEvent(HANDLE h = nullptr) : h_(h) {}
    ~ScopedEvent()
    {
        if (h_)
            CloseHandle(h_);
    }
    ScopedEvent(const ScopedEvent &) = delete;
    ScopedEvent &operator=(const ScopedEvent &) = delete;
    HANDLE Get() const { return h_; }
    HANDLE Reset(HANDLE h)
    {
        if (h_)
            CloseHandle(h_);
        return h_ = h;
    }

private:
    HANDLE h_;
};

// ---- slots ----
void StoreSlot(gatt_if_record &slot, uint8_t gatt_if, const gatt_callbacks &cb)
{
    __atomic_store_n(&slot.callbacks.on_connected, cb.on_connected, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.callbacks.on_complete, cb.on_complete, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.callbacks.on_disc_result, cb.on_disc_result, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.callbacks.on_disc_complete, cb.on_disc_complete, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.callbacks.on_request, cb.on_request, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.gatt_if, gatt_if, __ATOMIC_RELEASE);
}

void FreeSlot(gatt_if_record &slot) { StoreSlot(slot, 0, gatt_callbacks{}); }

bool SlotInUse(int index) { return __atomic_load_n(&gatt_if_table[index].gatt_if, __ATOMIC_ACQUIRE) != 0; }

bool AnySlotInUse()
{
    for (int i = 0; i < kMaxGattIf; ++i) {
        if (SlotInUse(i))
            return true;
    }
    return false;
}

void ClearTable()
{
    for (gatt_if_record &slot : gatt_if_table) {
        FreeSlot(slot);
        std::memset(&slot.app, 0, sizeof slot.app);
    }
}

// A number from an earlier opening of the channel is not the holder's any more.
bool Stale(const gatt_if_record &slot, uint32_t generation)
{
    return generation != 0 && generation != (slot.gatt_if ? slot.generation : g_generation);
}

// ---- opening ----
bool ChannelClosed()
{
    return g_channel.device.load() == INVALID_HANDLE_VALUE && !g_channel.shutdown && !g_channel.thread;
}

bool OpenDevice()
{
    HANDLE device = CreateFileA(ZOREROVA_DEVICE_NAME, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    g_channel.device.store(device);
    if (device == INVALID_HANDLE_VALUE) {
        LeTrace("GATT_Register - Unable to open %s device - ", ZOREROVA_DEVICE_NAME);
        return false;
    }
    LeTrace("GATT_Register - CreateFile(ZOREROVA) returned %p", device);
    return true;
}

bool StartReader(HANDLE startup)
{
    g_channel.thread = StartModuleThread(ReadWorker, startup, &g_channel.thread_id);
    if (!g_channel.thread) {
        LeTrace("GATT_Register - Couldn't create thread - %d", static_cast<int>(GetLastError()));
        return false;
    }
    LeTrace("GATT_Register - waiting for thread start...");
    HANDLE objects[2] = {startup, g_channel.shutdown};
    DWORD result = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0) {
        LeTrace("GATT_Register - Failed Wait for thread to startup. WaitForMultipleObjects returned %d. err=%d",
                static_cast<int>(result), static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

bool RegisterWithDriver(HANDLE request_event, const LeUuid &app)
{
    LeTrace("GATT_Register - calling driver...");
    // The driver answers with a gatt_if of its own; the table's number is the
    // one the library uses (and returns), so the answer is not kept.
    uint8_t driver_gatt_if = 0;
    DWORD returned = 0;
    if (!LinkControlOn(g_channel.device.load(), request_event, ZOREROVA_GATT_REGISTER, &app, sizeof app,
                       &driver_gatt_if, sizeof driver_gatt_if, &returned)) {
        LeTrace("GATT_Register - DeviceIoControl failed - %d", static_cast<int>(GetLastError()));
        return false;
    }
    LeTrace("GATT_Register - succeeded");
    return true;
}

// Steps of the first registration; the events it creates are the caller's to
// close, after any clean-up (the reader may still hold the start-up event).
bool OpenChannel(const LeUuid &app, ScopedEvent &request_event, ScopedEvent &startup)
{
    if (t_reader && !t_reader_ending && g_channel.deferred_device != INVALID_HANDLE_VALUE) {
        // On the reader, from a callback that has just closed the channel: the
        // reader cannot wait for its own end, so it keeps the channel instead.
        LeTrace("GATT_Register - keeping the closing channel %p", g_channel.deferred_device);
        if (!request_event.Reset(NewRequestEvent())) {
            LeTrace("GATT_Register - Register server event allocation failed - %d", static_cast<int>(GetLastError()));
            return false;
        }
        g_channel.device.store(g_channel.deferred_device);
        g_channel.deferred_device = INVALID_HANDLE_VALUE;
        g_channel.stopping.store(false);
        ResetEvent(g_channel.shutdown);
        return RegisterWithDriver(request_event.Get(), app);
    }
    if (!ChannelClosed()) {
        LeTrace("GATT_Register - not all handles are closed: hDevice=%p hShutdownEvent=%p hReadThreadHandle=%p",
                g_channel.device.load(), g_channel.shutdown, g_channel.thread);
        return false;
    }
    if (!OpenDevice())
        return false;
    if (!request_event.Reset(NewRequestEvent())) {
        LeTrace("GATT_Register - Register server event allocation failed - %d", static_cast<int>(GetLastError()));
        return false;
    }
    g_channel.stopping.store(false);
    g_channel.shutdown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_channel.shutdown) {
        LeTrace("GATT_Register - Error creating shutdown event - %d", static_cast<int>(GetLastError()));
        return false;
    }
    if (!startup.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {
        LeTrace("GATT_Register - Error creating startup event - %d", static_cast<int>(GetLastError()));
        return false;
    }
    return StartReader(startup.Get()) && RegisterWithDriver(request_event.Get(), app);
}

// A reader that a callback of its own told to close the channel has not ended
// yet: a first registration waits for it (without the registry, which the reader
// needs at its end) instead of finding the channel open.
void AwaitClosingReader(RegistryHold &registry)
{
    HANDLE thread = nullptr;
    if (t_reader || AnySlotInUse() || ChannelClosed() || !g_channel.thread ||
        !DuplicateHandle(GetCurrentProcess(), g_channel.thread, GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0))
        return;
    LeTrace("GATT_Register - waiting for the previous reader to end");
    registry.Release();
    WaitForSingleObject(thread, kPreviousReaderWaitMs);
    CloseHandle(thread);
    registry.Take();
}

// ---- closing ----
void SendDeregister(HANDLE device)
{
    ScopedEvent event(NewRequestEvent());
    if (!event.Get()) {
        LeTrace("GATT_DeregisterAll - Register server event allocation failed - %d",
                static_cast<int>(GetLastError()));
        return;
    }
    LeTrace("GATT_DeregisterAll - Client deregistration calling driver...");
    DWORD returned = 0;
    if (!LinkControlOn(device, event.Get(), ZOREROVA_GATT_DEREGISTER, nullptr, 0, nullptr, 0, &returned))
        LeTrace("GATT_DeregisterAll - Client deregistration failed - %d", static_cast<int>(GetLastError()));
}

void StopReader()
{
    if (g_channel.thread && g_channel.shutdown && !t_reader) {
        SignalShutdown();
        LeTrace("GATT_DeregisterAll - exiting thread exit...");
        DWORD result = WaitForSingleObject(g_channel.thread, kReaderExitWaitMs);
        if (result != WAIT_OBJECT_0)
            LeTrace("GATT_DeregisterAll ReadThread did not exit. WaitForSingleObject returned %d. err=%d",
                    static_cast<int>(result), static_cast<int>(GetLastError()));
    }
    // The shutdown event goes even when no thread was started (a first
    // registration that failed before), or the next one would find it open.
    if (g_channel.shutdown) {
        CloseHandle(g_channel.shutdown);
        g_channel.shutdown = nullptr;
    }
    if (g_channel.thread) {
        CloseHandle(g_channel.thread);
        g_channel.thread = nullptr;
        g_channel.thread_id = 0;
    }
}

void CloseDevice(HANDLE device)
{
    // Requests that read the handle before it was taken finish first.
    AcquireSRWLockExclusive(&g_device_use);
    ReleaseSRWLockExclusive(&g_device_use);
    LeTrace("GATT_DeregisterAll - closing device handle CloseHandle(%p)", device);
    CloseHandle(device);
}

} // namespace

// ---- what the other link files see ----
HANDLE LinkDeviceHandle() { return g_channel.device.load(); }
HANDLE LinkShutdownEvent() { return g_channel.shutdown; }
bool LinkShutdownSignalled() { return g_channel.stopping.load(); }
void MarkReaderThread() { t_reader = true; }
bool OnReaderThread() { return t_reader && !t_reader_ending; }
void MarkReaderEnding() { t_reader_ending = true; }

HANDLE AcquireDevice()
{
    AcquireSRWLockShared(&g_device_use);
    return g_channel.device.load();
}

void ReleaseDevice() { ReleaseSRWLockShared(&g_device_use); }

bool ReadSlot(int index, uint8_t *gatt_if, gatt_callbacks *callbacks)
{
    gatt_if_record &slot = gatt_if_table[index];
    *gatt_if = __atomic_load_n(&slot.gatt_if, __ATOMIC_ACQUIRE);
    callbacks->on_connected = __atomic_load_n(&slot.callbacks.on_connected, __ATOMIC_RELAXED);
    callbacks->on_complete = __atomic_load_n(&slot.callbacks.on_complete, __ATOMIC_RELAXED);
    callbacks->on_disc_result = __atomic_load_n(&slot.callbacks.on_disc_result, __ATOMIC_RELAXED);
    callbacks->on_disc_complete = __atomic_load_n(&slot.callbacks.on_disc_complete, __ATOMIC_RELAXED);
    callbacks->on_request = __atomic_load_n(&slot.callbacks.on_request, __ATOMIC_RELAXED);
    return *gatt_if != 0;
}

// ---- the registry ----
bool alloc_gatt_if(const LeUuid *app, const gatt_callbacks *callbacks, uint8_t *gatt_if)
{
    const bool first = !AnySlotInUse();
    *gatt_if = 0;
    if (first && ++g_generation == 0)
        g_generation = 1;
    for (int i = 0; i < kMaxGattIf; ++i) {
        if (SlotInUse(i))
            continue;
        gatt_if_record &slot = gatt_if_table[i];
        if (app)
            slot.app = *app;
        else
            std::memset(&slot.app, 0, sizeof slot.app);
        __atomic_store_n(&slot.generation, g_generation, __ATOMIC_RELAXED);
        StoreSlot(slot, static_cast<uint8_t>(i + 1), callbacks ? *callbacks : gatt_callbacks{});
        *gatt_if = static_cast<uint8_t>(i + 1);
        return first;
    }
    LeTrace("alloc_gatt_if failed to alloc gatt_if");
    return first;
}

uint8_t GATT_Register(const LeUuid *app, const gatt_callbacks *callbacks, uint32_t *generation)
{
    LeTrace("GATT_Register");
    RegistryHold registry;
    uint8_t gatt_if = 0;
    if (registry.Held())
        AwaitClosingReader(registry);
    if (!registry.Held()) {
        LeTrace("GATT_Register - exits. gatt_if=%d", gatt_if);
        return 0;
    }
    const bool first = alloc_gatt_if(app, callbacks, &gatt_if);
    if (generation)
        *generation = gatt_if ? g_generation : 0;
    if (!first || gatt_if == 0) {
        LeTrace("GATT_Register - already registered allocated gatt_if:%d", gatt_if);
        return gatt_if;
    }
    ScopedEvent request_event, startup;
    if (!OpenChannel(gatt_if_table[gatt_if - 1].app, request_event, startup)) {
        LeTrace("GATT_Register - deregistering...");
        GATT_DeregisterAll(false);
        LeTrace("GATT_Register - free gatt_if %d", gatt_if);
        ClearTable();
        gatt_if = 0;
    }
    LeTrace("GATT_Register - exits. gatt_if=%d", gatt_if);
    return gatt_if;
}

uint32_t GATT_Generation(uint8_t gatt_if)
{
    if (!IsGattIf(gatt_if) || !SlotInUse(gatt_if - 1))
        return 0;
    return __atomic_load_n(&gatt_if_table[gatt_if - 1].generation, __ATOMIC_RELAXED);
}

void GATT_Deregister(uint8_t gatt_if, uint32_t generation)
{
    if (gatt_if < 1 || gatt_if > kMaxGattIf) {
        LeTrace("free_gatt_if not allocated %d", gatt_if);
        return;
    }
    RegistryHold registry;
    if (!registry.Held())
        return;   // the channel is being closed and every gatt_if with it
    gatt_if_record &slot = gatt_if_table[gatt_if - 1];
    if (Stale(slot, generation)) {
        LeTrace("free_gatt_if not allocated %d", gatt_if);
        return;
    }
    if (slot.gatt_if == 0)
        LeTrace("free_gatt_if not allocated %d", gatt_if);
    else
        FreeSlot(slot);
    if (AnySlotInUse()) {
        LeTrace("GATT_Deregister not last gatt_if:%d", gatt_if);
        return;
    }
    LeTrace("GATT_Deregister gatt_if:%d", gatt_if);
    GATT_DeregisterAll(true);
}

void GATT_DeregisterAll(bool notify_driver)
{
    // Everybody but the reader takes the registry before the channel. The reader
    // takes it only after it has won the channel: a thread that holds the registry
    // while it waits for the reader to end has always won the channel first.
    RegistryHold registry(!t_reader);
    HANDLE device = g_channel.device.exchange(INVALID_HANDLE_VALUE);
    if (device == INVALID_HANDLE_VALUE && t_reader && t_reader_ending &&
        g_channel.deferred_device != INVALID_HANDLE_VALUE) {
        device = g_channel.deferred_device;   // taken, and the driver told, earlier
        g_channel.deferred_device = INVALID_HANDLE_VALUE;
        notify_driver = false;
    }
    if (device == INVALID_HANDLE_VALUE) {
        LeTrace("GATT_DeregisterAll - not registered");
        return;
    }
    registry.Take();
    if (notify_driver)
        SendDeregister(device);
    if (t_reader && !t_reader_ending) {
        // Called from a callback on the reader: it can neither wait for itself
        // nor close the device and event it still uses. It stops at its next
        // turn and closes the channel from its end.
        g_channel.deferred_device = device;
        SignalShutdown();
    } else {
        StopReader();
        CloseDevice(device);
    }
    // A walk cut off here would take the read completions of the next channel;
    // its owner (still in the table) hears that it failed.
    DiscoveryCutOff();
    ClearTable();
    LeTrace("GATT_DeregisterAll - exit");
}
