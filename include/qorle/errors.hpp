#pragma once
// Errors in the standard library's manner. Every operation comes in two forms:
// one throws std::system_error, the other takes a std::error_code & as its last
// argument, never throws, and sets it (cleared on success). The codes are the
// Windows error codes that the library's exports return, in
// std::system_category(); meaning() and message() give the library's own
// reading of them.

#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

#include "QorLeLib.h"

namespace qorle {

// A pending operation: a connect that was sent and is not waited for.
constexpr DWORD kPending = 0x8000000AUL;

// What the library means by one of its codes, or "" for a code it does not use.
inline const char *meaning(DWORD code) noexcept
{
    switch (code) {
    case 0: return "done";
    case 1: return "refused by the device";
    case 5: return "forbidden by the characteristic's properties";
    case 6: return "unknown registration or handle, no driver interface, or an address outside the filter";
    case 8: return "out of memory";
    case 13: return "refused by the device: not permitted, or not secure enough";
    case 87: return "invalid argument, or nothing registered";
    case 170: return "pairing busy: registered twice, not registered, or a discovery runs";
    case 259: return "no more items";
    case 997: return "sent, not waited for";
    case 1056: return "an operation of the same kind is outstanding";
    case 1078: return "already registered, or the local service exists";
    case 1168: return "attribute not found";
    case 1359: return "internal error: the driver refused or the request failed";
    case 1460: return "no answer within 10 s";
    case 2250: return "not connected";
    case 4316: return "the driver refused a local-service request";
    case kPending: return "pending";
    default: return "";
    }
}

// "not connected (2250)": the library's meaning of a system code, else the
// category's own message; the code in decimal after it.
inline std::string message(const std::error_code &ec)
{
    const char *known = ec.category() == std::system_category() ? meaning(static_cast<DWORD>(ec.value())) : "";
    std::string text = *known ? std::string(known) : ec.message();
    return text + " (" + std::to_string(static_cast<DWORD>(ec.value())) + ")";
}

// What the throwing forms throw: a std::system_error whose what() names the
// operation and the library's meaning, e.g. "qorle::Client::read: not connected (2250)".
class Error : public std::system_error {
public:
    Error(std::error_code ec, const char *operation)
        : std::system_error(ec), what_(std::string(operation) + ": " + message(ec))
    {
    }
    const char *what() const noexcept override { return what_.what(); }

private:
    std::runtime_error what_;   // its text is shared between copies: copying cannot throw
};

namespace detail {

inline std::error_code code(DWORD status) noexcept
{
    return std::error_code(static_cast<int>(status), std::system_category());
}

// Sets ec from an export's status; true on success.
inline bool status_ok(DWORD status, std::error_code &ec) noexcept
{
    if (status == ERROR_SUCCESS)
        ec.clear();
    else
        ec = code(status);
    return status == ERROR_SUCCESS;
}

// The throwing form's end: throws when the error_code form failed.
inline void throw_if(const std::error_code &ec, const char *operation)
{
    if (ec)
        throw Error(ec, operation);
}

// The throwing form of an operation: its error_code form, then a throw when it failed.
template <typename Body>
auto run(const char *operation, Body &&body) -> decltype(body(std::declval<std::error_code &>()))
{
    std::error_code ec;
    if constexpr (std::is_void_v<decltype(body(ec))>) {
        body(ec);
        throw_if(ec, operation);
    } else {
        auto result = body(ec);
        throw_if(ec, operation);
        return result;
    }
}

// Runs body (which sets ec) so that an allocation failure becomes
// ERROR_NOT_ENOUGH_MEMORY instead of an exception: for the noexcept forms.
template <typename Body>
auto guarded(std::error_code &ec, Body &&body) noexcept -> decltype(body())
{
    using Result = decltype(body());
    try {
        return body();
    } catch (const std::bad_alloc &) {
        ec = code(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        ec = code(ERROR_INTERNAL_ERROR);
    }
    if constexpr (!std::is_void_v<Result>)
        return Result{};
}

} // namespace detail

} // namespace qorle
