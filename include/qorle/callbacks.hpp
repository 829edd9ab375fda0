#pragma once
// How the library's callbacks reach C++ callables. The C callbacks carry no
// context of their own (attributes) or only a number (connections,
// completions), so each registration takes one of kSlots slots, and each slot
// has its own C functions (instances of the thunk templates) that know it. A
// registration holds its slot from its register call until its destruction;
// slots are handed out round-robin, so the one just given back is taken last.
//
// Windows' own locks (slim reader/writer locks and condition variables) serve
// here, so the header works with every thread model of the compiler.

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <system_error>
#include <utility>

#include "QorLeLib.h"

#if defined(_WIN32_WINNT) && _WIN32_WINNT < 0x0600
#error "QorLeLib.hpp needs _WIN32_WINNT 0x0600 or later (slim reader/writer locks)"
#endif

namespace qorle {

namespace detail {

// The arguments of one attribute callback, as the library gives them.
struct AttributeEvent {
    const LE_ADDRESS *address;
    const GUID *service;
    DWORD service_instance;
    const GUID *characteristic;
    DWORD char_instance;
    const GUID *descriptor;   // all zero when the event concerns the characteristic
    DWORD extra;
    DWORD type;               // QOR_EVENT_*
    LE_VALUE *value;          // a read request's answer goes here
};

// A slim reader/writer lock, exclusive or shared.
class Lock {
public:
    constexpr Lock() noexcept = default;
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }
    void lock_shared() noexcept { AcquireSRWLockShared(&lock_); }
    void unlock_shared() noexcept { ReleaseSRWLockShared(&lock_); }
    SRWLOCK *native() noexcept { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// Lock meets the standard's lockable requirements: the standard holders serve.
using Locked = std::lock_guard<Lock>;
using SharedLocked = std::shared_lock<Lock>;

// The door of a set of callables that the library calls on its threads. Calls
// pass while it is open; shut() lets no more in, wait() waits until the calls
// inside have returned, except a call running on the waiting thread itself (a
// callable that ends its own owner), which goes on to its end.
class CallGate {
public:
    constexpr CallGate() noexcept = default;
    CallGate(const CallGate &) = delete;
    CallGate &operator=(const CallGate &) = delete;

    // True when the call may go on; it then ends with leave().
    bool enter() noexcept
    {
        Locked hold(lock_);
        if (closed_)
            return false;
        ++inside_;
        thread_ = GetCurrentThreadId();
        return true;
    }
    void leave() noexcept
    {
        Locked hold(lock_);
        --inside_;
        WakeAllConditionVariable(&idle_);
    }
    void shut() noexcept
    {
        Locked hold(lock_);
        closed_ = true;
    }
    void wait() noexcept
    {
        Locked hold(lock_);
        while (inside_ > 0 && thread_ != GetCurrentThreadId())
            SleepConditionVariableSRW(&idle_, lock_.native(), INFINITE, 0);
    }

private:
    Lock lock_;
    CONDITION_VARIABLE idle_ = CONDITION_VARIABLE_INIT;
    unsigned inside_ = 0;
    DWORD thread_ = 0;
    bool closed_ = false;
};

// One call through a gate.
class Passage {
public:
    explicit Passage(CallGate &gate) noexcept : gate_(gate), open_(gate.enter()) {}
    ~Passage()
    {
        if (open_)
            gate_.leave();
    }
    Passage(const Passage &) = delete;
    Passage &operator=(const Passage &) = delete;
    explicit operator bool() const noexcept { return open_; }

private:
    CallGate &gate_;
    bool open_;
};

// A process-wide object that the library's threads reach: they take a
// reference under the lock and use it after leaving the lock.
template <typename T>
class Shared {
public:
    constexpr Shared() noexcept = default;
    void set(std::shared_ptr<T> value) noexcept
    {
        std::shared_ptr<T> last;   // destroyed after the lock is left
        Locked hold(lock_);
        last.swap(value_);
        value_ = std::move(value);
    }
    std::shared_ptr<T> get() noexcept
    {
        SharedLocked hold(lock_);
        return value_;
    }

private:
    Lock lock_;
    std::shared_ptr<T> value_;
};

// What a Client or a Server is to its callback thread. Each call arrives on
// the registration's callback thread, one at a time.
class Registration {
public:
    virtual ~Registration() = default;
    virtual void connected(const LE_ADDRESS &address, DWORD connected) = 0;
    virtual void completed(uint32_t key, DWORD status, const LE_VALUE &value) = 0;
    virtual DWORD attribute(const AttributeEvent &event) = 0;
    CallGate gate;
};

constexpr size_t kSlots = 64;

// The slot table. Each slot holds its registration and a generation number,
// which connection records carry as their context and completion records in
// their upper 32 bits, so that a record of an earlier owner of the slot is
// told from the present owner's.
class Slots {
public:
    constexpr Slots() noexcept = default;

    // A free slot for `owner`, its generation stored in *generation; -1 when
    // none is free.
    int take(std::shared_ptr<Registration> owner, uint32_t *generation) noexcept
    {
        Locked hold(lock_);
        for (size_t tried = 0; tried < kSlots; ++tried) {
            const size_t i = (next_ + tried) % kSlots;
            if (!slots_[i].owner) {
                next_ = (i + 1) % kSlots;
                slots_[i].owner = std::move(owner);
                *generation = ++slots_[i].generation;
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    void give_back(int slot) noexcept
    {
        std::shared_ptr<Registration> last;   // destroyed after the lock is left
        Locked hold(lock_);
        last.swap(slots_[static_cast<size_t>(slot)].owner);
        ++slots_[static_cast<size_t>(slot)].generation;
    }
    // The slot's owner; with a generation, only when it is the slot's present one.
    std::shared_ptr<Registration> owner(size_t slot, const uint32_t *generation = nullptr) noexcept
    {
        SharedLocked hold(lock_);
        const Slot &s = slots_[slot];
        if (generation && *generation != s.generation)
            return nullptr;
        return s.owner;
    }

private:
    struct Slot {
        std::shared_ptr<Registration> owner;
        uint32_t generation = 0;
    };
    Lock lock_;
    std::array<Slot, kSlots> slots_{};
    size_t next_ = 0;
};

// The one object of type T that the library's threads reach: built on first
// use and never destroyed, as those threads may still run while the process's
// static objects are destroyed at its exit.
template <typename T>
T &forever() noexcept
{
    alignas(T) static unsigned char storage[sizeof(T)];
    static T *const object = new (storage) T();
    return *object;
}

inline Slots &slots() noexcept { return forever<Slots>(); }

// The thunks are noexcept: an exception that leaves an application's callable
// ends the program (std::terminate), as it would leave a std::thread, instead
// of unwinding through the library.
template <size_t N>
void WINAPI connect_thunk(PVOID context, PLE_ADDRESS address, DWORD connected) noexcept
{
    const uint32_t generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(context));
    if (std::shared_ptr<Registration> owner = slots().owner(N, &generation))
        if (Passage pass{owner->gate})
            owner->connected(*address, connected);
}

template <size_t N>
void WINAPI complete_thunk(ULONGLONG context, DWORD status, PLE_VALUE value) noexcept
{
    const uint32_t generation = static_cast<uint32_t>(context >> 32);
    if (std::shared_ptr<Registration> owner = slots().owner(N, &generation))
        if (Passage pass{owner->gate})
            owner->completed(static_cast<uint32_t>(context), status, *value);
}

// A request that finds nobody is answered "unlikely error"; the library
// ignores what notifications and indications return.
template <size_t N>
DWORD WINAPI attribute_thunk(PLE_ADDRESS address, GUID *service, DWORD service_instance, GUID *characteristic,
                             DWORD char_instance, GUID *descriptor, DWORD extra, DWORD type, PLE_VALUE value) noexcept
{
    constexpr DWORD kUnlikelyError = 0x0E;
    std::shared_ptr<Registration> owner = slots().owner(N);
    if (!owner)
        return kUnlikelyError;
    Passage pass{owner->gate};
    if (!pass)
        return kUnlikelyError;
    const AttributeEvent event{address, service, service_instance, characteristic, char_instance, descriptor, extra,
                               type, value};
    return owner->attribute(event);
}

struct Thunks {
    PFN_LE_CONNECT_CALLBACK connect;
    PFN_LE_COMPLETE_CALLBACK complete;
    PFN_LE_ATTRIBUTE_CALLBACK attribute;
};

template <size_t... I>
constexpr std::array<Thunks, sizeof...(I)> make_thunks(std::index_sequence<I...>) noexcept
{
    return {{Thunks{&connect_thunk<I>, &complete_thunk<I>, &attribute_thunk<I>}...}};
}

inline constexpr std::array<Thunks, kSlots> kThunks = make_thunks(std::make_index_sequence<kSlots>{});

// A registration through QorGattRegister that owns a slot: the common part of
// Client and Server. Empty (no handle) after a failure or a move.
class Registered {
public:
    Registered() noexcept = default;
    // Registers `owner` for devices of `filter` under `app`: the export's status,
    // or ERROR_NOT_ENOUGH_MEMORY when no slot is free.
    DWORD open(std::shared_ptr<Registration> owner, uint64_t filter, const GUID &app, bool hears_connections) noexcept
    {
        uint32_t generation = 0;
        const int slot = slots().take(owner, &generation);
        if (slot < 0)
            return ERROR_NOT_ENOUGH_MEMORY;
        LE_ADDRESS a{};
        a.ullLong = filter;
        GUID g = app;
        const Thunks &t = kThunks[static_cast<size_t>(slot)];
        const DWORD status = QorGattRegister(&a, &g, hears_connections ? t.connect : nullptr, t.complete, t.attribute,
                                             reinterpret_cast<PVOID>(static_cast<uintptr_t>(generation)), &handle_);
        if (status != ERROR_SUCCESS) {
            handle_ = nullptr;
            owner->gate.shut();
            owner->gate.wait();
            slots().give_back(slot);
            return status;
        }
        slot_ = slot;
        generation_ = generation;
        owner_ = std::move(owner);
        return ERROR_SUCCESS;
    }
    // Shuts the owner's gate, deregisters, waits for a callable that is
    // running and gives the slot back: no callable starts once this has
    // begun, none runs once it has returned, but one that runs on this very
    // thread (it ended its own registration) finishes.
    void close() noexcept
    {
        if (!handle_)
            return;
        owner_->gate.shut();
        QorGattDeregister(handle_);
        owner_->gate.wait();
        slots().give_back(slot_);
        handle_ = nullptr;
        owner_.reset();
    }
    Registered(Registered &&other) noexcept { swap(other); }
    Registered &operator=(Registered &&other) noexcept
    {
        if (this != &other) {
            close();
            swap(other);
        }
        return *this;
    }
    Registered(const Registered &) = delete;
    Registered &operator=(const Registered &) = delete;
    ~Registered() { close(); }

    HQORREG handle() const noexcept { return handle_; }
    uint32_t generation() const noexcept { return generation_; }
    template <typename State>
    State *owner() const noexcept
    {
        return static_cast<State *>(owner_.get());
    }
    // False, with ec set to ERROR_INVALID_HANDLE, when empty.
    bool usable(std::error_code &ec) const noexcept
    {
        const bool registered = handle_ != nullptr;
        if (registered)
            ec.clear();
        else
            ec = std::error_code(ERROR_INVALID_HANDLE, std::system_category());
        return registered;
    }

private:
    void swap(Registered &other) noexcept
    {
        std::swap(handle_, other.handle_);
        std::swap(slot_, other.slot_);
        std::swap(generation_, other.generation_);
        owner_.swap(other.owner_);
    }
    HQORREG handle_ = nullptr;
    int slot_ = -1;
    uint32_t generation_ = 0;
    std::shared_ptr<Registration> owner_;
};

} // namespace detail

} // namespace qorle
