#pragma once
// Values as users give and read them: hex bytes, UTF-8 text, or little-endian
// integers (--format hex|utf8|u8|u16|u32|s8|s16|s32). Text only: no library calls.
#include "qorgatt.h"

namespace qorgatt {

// The --format names, for the option's check; "" is the default (hex in,
// hex with the text when printable out).
extern const std::vector<std::string> kFormatNames;
extern const char kFormatHelp[];

// A value argument in `format`; UsageError says what is wrong without
// echoing a long argument back.
std::vector<uint8_t> ParseValue(const std::string &text, const std::string &format);
// The value as text in `format`.
std::string FormatValue(BytesView bytes, const std::string &format);
// The value for JSON output: a string (hex, utf8) or an array of numbers.
Json ValueJson(BytesView bytes, const std::string &format);
// Text of a value: hex bytes, and the text when every byte is printable.
std::string ValueText(BytesView bytes);

} // namespace qorgatt
