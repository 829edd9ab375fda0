// Values in and out: hex, UTF-8 text, little-endian integers.
#include "value_format.h"

#include <cctype>
#include <sstream>

namespace qorgatt {

const std::vector<std::string> kFormatNames = {"hex", "utf8", "u8", "u16", "u32", "s8", "s16", "s32"};
const char kFormatHelp[] = "value as hex (default), utf8 text, or little-endian integers u8|u16|u32|s8|s16|s32";

namespace {

struct IntegerForm {
    size_t width = 0;   // bytes per number; 0: not an integer format
    bool is_signed = false;
};

IntegerForm Integer(const std::string &format)
{
    const bool integer = format.size() >= 2 && (format[0] == 'u' || format[0] == 's') &&
                         std::isdigit(static_cast<unsigned char>(format[1]));
    if (!integer)
        return {};
    return {static_cast<size_t>(std::stoul(format.substr(1)) / 8), format[0] == 's'};
}

// The argument as it may be quoted in a message: long ones cut.
std::string Shown(const std::string &text)
{
    return text.size() <= 40 ? "'" + text + "'" : "'" + text.substr(0, 32) + "...' (" + std::to_string(text.size()) +
                                                       " characters)";
}

[[noreturn]] void TooLong(size_t n)
{
    throw UsageError("VALUE: " + std::to_string(n) + " bytes; a value holds at most 512");
}

void PutNumber(const std::string &word, IntegerForm form, std::vector<uint8_t> *bytes)
{
    const int bits = static_cast<int>(form.width * 8);
    const long long low = form.is_signed ? -(1LL << (bits - 1)) : 0;
    const long long high = form.is_signed ? (1LL << (bits - 1)) - 1 : (1LL << bits) - 1;
    long long v = 0;
    if (!ParseNumber(word, &v) || v < low || v > high)
        throw UsageError("VALUE: " + Shown(word) + " is not a number from " + std::to_string(low) + " to " +
                         std::to_string(high));
    for (size_t i = 0; i < form.width; ++i)
        bytes->push_back(static_cast<uint8_t>(static_cast<unsigned long long>(v) >> (8 * i)));
}

long long Number(const uint8_t *p, IntegerForm form)
{
    unsigned long long v = 0;
    for (size_t i = 0; i < form.width; ++i)
        v |= static_cast<unsigned long long>(p[i]) << (8 * i);
    const unsigned long long sign = 1ULL << (form.width * 8 - 1);
    if (form.is_signed && (v & sign))
        return static_cast<long long>(v) - static_cast<long long>(sign << 1);
    return static_cast<long long>(v);
}

std::vector<long long> Numbers(BytesView bytes, IntegerForm form)
{
    if (bytes.size() % form.width)
        throw Failure("the value's " + std::to_string(bytes.size()) + " byte(s) are not whole " +
                      std::to_string(form.width * 8) + "-bit numbers: " + FormatHex(bytes));
    std::vector<long long> numbers;
    for (size_t i = 0; i < bytes.size(); i += form.width)
        numbers.push_back(Number(bytes.data() + i, form));
    return numbers;
}

std::string Text(BytesView bytes) { return std::string(bytes.begin(), bytes.end()); }

} // namespace

std::vector<uint8_t> ParseValue(const std::string &text, const std::string &format)
{
    std::vector<uint8_t> bytes;
    const IntegerForm form = Integer(format);
    if (format == "utf8") {
        bytes.assign(text.begin(), text.end());
    } else if (form.width) {
        std::istringstream words(text);
        for (std::string word; words >> word;)
            PutNumber(word, form, &bytes);
    } else if (!ParseHex(text, &bytes)) {
        throw UsageError("VALUE: " + Shown(text) + " is not hex bytes, e.g. \"01 00\"");
    }
    if (bytes.size() > QOR_MAX_VALUE)
        TooLong(bytes.size());
    return bytes;
}

std::string FormatValue(BytesView bytes, const std::string &format)
{
    const IntegerForm form = Integer(format);
    if (format == "utf8")
        return Text(bytes);
    if (format == "hex")
        return bytes.size() ? FormatHex(bytes) : "(empty)";
    if (!form.width)
        return ValueText(bytes);
    std::string text;
    for (long long v : Numbers(bytes, form))
        text += (text.empty() ? "" : " ") + std::to_string(v);
    return bytes.size() ? text : "(empty)";
}

Json ValueJson(BytesView bytes, const std::string &format)
{
    const IntegerForm form = Integer(format);
    if (format == "utf8")
        return Text(bytes);
    if (!form.width)
        return FormatHex(bytes);
    return Numbers(bytes, form);
}

std::string ValueText(BytesView bytes)
{
    bool printable = bytes.size() > 0;
    for (uint8_t byte : bytes)
        printable = printable && std::isprint(byte);
    if (!bytes.size())
        return "(empty)";
    return FormatHex(bytes) + (printable ? "  \"" + Text(bytes) + "\"" : "");
}

} // namespace qorgatt
