#pragma once
// Text forms of UUIDs in the service store, shared by the writer (pairing) and
// the reader (client cache): a 16-bit UUID is named by four lower-case hex
// digits, any other by its braced GUID text in lower case.

#include <windows.h>

#include <cstddef>

#include "link/zorerova.h"

constexpr size_t kUuidNameSize = 39;       // 38 characters of braced GUID text and a NUL
constexpr size_t kStorePathSize = 260;

// The key of one device's store below HKEY_LOCAL_MACHINE.
void StoreRootPath(char (&path)[kStorePathSize], ULONGLONG address);

// "180f" for a 16-bit UUID (len 2), "{0000180f-0000-1000-8000-00805f9b34fb}" for any other.
void UuidName(const LeUuid &uuid, char (&name)[kUuidNameSize]);

// Parses "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}" (at most 39
// characters of it); fields after the first that does not scan stay 0.
GUID GuidFromText(const char *text);

// A name of exactly four characters is a 16-bit UUID widened with the Base
// UUID; any other name is GUID text.
GUID GuidFromStoreName(const char *name);
