#pragma once
// The Base UUID and the narrowing of a GUID to the driver's UUID record: a GUID
// on the Base UUID travels as its 16-bit value, any other as its 16 bytes.

#include <windows.h>

#include <cstdint>

#include "link/zorerova.h"

// Which GUIDs are taken as on the Base UUID. Both rules compare the last 96
// bits with the Base UUID's; only Data1Fits16 also wants the upper 16 bits of
// Data1 clear (the narrowing then drops them).
enum class BaseRule { TailOnly, Data1Fits16 };

GUID BaseUuidGuid(uint16_t value);
bool IsOnBaseUuid(const GUID &guid, BaseRule rule);
// Length 2 with Data1's low 16 bits when IsOnBaseUuid(guid, rule), else length
// 16 with the GUID's bytes as they lie in memory.
LeUuid NarrowGuid(const GUID &guid, BaseRule rule);
// A GUID as the driver's server requests take it: a Base-UUID GUID becomes a
// 16-bit LeUuid holding the low 16 bits of Data1 (the upper 16 bits are not
// examined); any other GUID a 128-bit LeUuid of its 16 bytes as they lie in
// memory.
inline LeUuid GuidToLeUuid(const GUID &guid) { return NarrowGuid(guid, BaseRule::TailOnly); }
