// QorLeLib for C++17: a header-only interface over the library's C exports
// (QorLeLib.h), in namespace qorle. Link the DLL as for C; nothing else is needed.
//
//   qorle::Client client({qorle::Address::any(), qorle::Uuid(0xFFF1), [](qorle::Address a, bool up) { ... }});
//   client.connect(*qorle::Address::parse("00:1A:7D:DA:71:13"));
//   qorle::Bytes location = client.read(address, {0x180D, 0x2A38});
//
// - Value types (qorle/values.hpp): Address, Uuid, Bytes, BytesView.
// - Errors (qorle/errors.hpp): every operation throws std::system_error, or,
//   in its form with a std::error_code & last, never throws; codes are the
//   exports' Windows error codes in std::system_category(); meaning() and
//   message() read them.
// - Client (qorle/client.hpp), Server (qorle/server.hpp): RAII registrations
//   whose callables run on the registration's callback thread.
// - Pairing and set_trace (qorle/pairing.hpp).
//
// Needs C++17 and _WIN32_WINNT 0x0600 or later.
#ifndef QORLELIB_HPP
#define QORLELIB_HPP

#include "QorLeLib.h"
#include "qorle/values.hpp"
#include "qorle/errors.hpp"
#include "qorle/callbacks.hpp"
#include "qorle/client.hpp"
#include "qorle/server.hpp"
#include "qorle/pairing.hpp"

#endif
