#pragma once
// The pairing role (discovery of a connected device's database into the
// store) and the trace sink: both process-wide in the library.

#include <functional>
#include <memory>
#include <string_view>

#include "qorle/callbacks.hpp"
#include "qorle/errors.hpp"
#include "qorle/values.hpp"

namespace qorle {

// The end of a discovery: the address it was started with, and whether the
// database was discovered and stored. Runs on the library's reader thread:
// return quickly and do not wait there for other library events (a waiting
// read or connect, an indication). It may destroy its Pairing, and must not throw.
using DiscoveryDone = std::function<void(Address address, bool success)>;

namespace detail {

// The registered Pairing's discovery callable: one at a time, as the library
// runs one discovery at a time.
class PairingState {
public:
    CallGate gate;
    void expect(DiscoveryDone done)
    {
        Locked hold(lock_);
        done_ = std::move(done);
    }
    DiscoveryDone take()
    {
        Locked hold(lock_);
        return std::move(done_);
    }

private:
    Lock lock_;
    DiscoveryDone done_;
};

inline Shared<PairingState> &pairing_slot() noexcept { return forever<Shared<PairingState>>(); }

inline void WINAPI pairing_thunk(ULONGLONG address, DWORD success) noexcept
{
    std::shared_ptr<PairingState> state = pairing_slot().get();
    if (!state)
        return;
    Passage pass{state->gate};
    if (!pass)
        return;
    if (DiscoveryDone done = state->take())
        done(Address(address), success != 0);
}

} // namespace detail

// The process's pairing registration (move-only; the library has one per
// process: a second one fails with ERROR_BUSY, 170). Destroying it
// unregisters it; after the destructor has returned its callable does not run
// (the destructor waits for one that runs on the reader thread).
class Pairing {
public:
    Pairing()
    {
        std::error_code ec;
        open(ec);
        detail::throw_if(ec, "qorle::Pairing::Pairing");
    }
    explicit Pairing(std::error_code &ec) noexcept { detail::guarded(ec, [&] { open(ec); }); }
    Pairing(Pairing &&other) noexcept : state_(std::move(other.state_)) {}
    Pairing &operator=(Pairing &&other) noexcept
    {
        if (this != &other) {
            close();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Pairing(const Pairing &) = delete;
    Pairing &operator=(const Pairing &) = delete;
    ~Pairing() { close(); }

    explicit operator bool() const noexcept { return state_ != nullptr; }

    // Starts the discovery of the connected device (the connection last
    // reported to the pairing role); `address` names its store key and comes
    // back to `done`. ERROR_BUSY (170) while a discovery runs, or for an empty
    // Pairing; 1359 when it could not start (no connection known).
    void discover(Address address, DiscoveryDone done)
    {
        detail::run("qorle::Pairing::discover", [&](std::error_code &ec) { discover(address, std::move(done), ec); });
    }
    void discover(Address address, DiscoveryDone done, std::error_code &ec) noexcept
    {
        if (!detail::status_ok(state_ ? 0 : ERROR_BUSY, ec))
            return;
        detail::guarded(ec, [&] { state_->expect(std::move(done)); });
        if (ec)
            return;
        if (!detail::status_ok(QorGattPairingDiscover(address.value(), detail::pairing_thunk), ec))
            state_->expect(nullptr);
    }

private:
    void open(std::error_code &ec)
    {
        auto state = std::make_shared<detail::PairingState>();
        if (!detail::status_ok(QorGattPairingRegister(), ec))
            return;
        detail::pairing_slot().set(state);
        state_ = std::move(state);
    }
    void close() noexcept
    {
        if (!state_)
            return;
        state_->gate.shut();
        QorGattPairingUnregister();
        state_->gate.wait();
        detail::pairing_slot().set(nullptr);
        state_.reset();
    }

    std::shared_ptr<detail::PairingState> state_;
};

// A trace sink: gets each trace line of the library as it emits it (whole,
// ending in "\n"; the text lives during the call). It runs on whichever thread
// traces (an application thread inside an operation, the reader thread, a
// callback thread), on several at once: it must be thread-safe, quick, must
// not throw, and must not call the library.
using TraceSink = std::function<void(std::string_view line)>;

namespace detail {

inline Shared<TraceSink> &trace_slot() noexcept { return forever<Shared<TraceSink>>(); }

inline void WINAPI trace_thunk(const char *line) noexcept
{
    if (std::shared_ptr<TraceSink> sink = trace_slot().get())
        (*sink)(line);
}

} // namespace detail

// Installs `sink` for every later line of the process, replacing any earlier
// one (which may still finish a line on another thread); an empty sink sends
// the lines to the debugger output again.
inline void set_trace(TraceSink sink, std::error_code &ec) noexcept
{
    detail::guarded(ec, [&] {
        auto shared = sink ? std::make_shared<TraceSink>(std::move(sink)) : nullptr;
        detail::trace_slot().set(shared);
        detail::status_ok(QorGattSetTraceFunction(shared ? detail::trace_thunk : nullptr), ec);
    });
}
inline void set_trace(TraceSink sink)
{
    detail::run("qorle::set_trace", [&](std::error_code &ec) { set_trace(std::move(sink), ec); });
}

} // namespace qorle
