// Text forms of addresses, UUIDs, values and properties, and the names of the
// standard UUIDs.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "qorgatt.h"
#include "store/uuid.h"

namespace qorgatt {

namespace {


bool HexDigits(const std::string &text, size_t from, size_t n)
{
    if (from + n > text.size())
        return false;
    for (size_t i = from; i < from + n; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

unsigned long long HexValue(const std::string &text) { return std::stoull(text, nullptr, 16); }

// The assigned numbers' names, made at build time from assigned_numbers.txt.
const struct {
    uint16_t uuid;
    const char *name;
} kNames[] = {
#include "assigned_numbers.inc"
};

const char *const kPropertyNames[8] = {"broadcast", "read", "write-no-response", "write",
                                       "notify",    "indicate", "signed-write",  "extended"};

} // namespace

const char kUuidForms[] = "180d, 0x180D, or xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx with or without braces";

bool IsBaseUuid(const GUID &g) { return IsOnBaseUuid(g, BaseRule::Data1Fits16); }

GUID BaseUuid(uint16_t value) { return BaseUuidGuid(value); }

bool ParseAddress(const std::string &text, ULONGLONG *address)
{
    std::string digits;
    if (text.size() == 17) {
        for (size_t i = 0; i < 17; i += 3) {
            if (!HexDigits(text, i, 2) || (i + 2 < 17 && text[i + 2] != ':'))
                return false;
            digits += text.substr(i, 2);
        }
    } else if (text.size() == 12 && HexDigits(text, 0, 12)) {
        digits = text;
    } else {
        return false;
    }
    *address = HexValue(digits);
    return true;
}

std::string FormatAddress(ULONGLONG address)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>(address >> 40 & 0xFF),
                  static_cast<unsigned>(address >> 32 & 0xFF), static_cast<unsigned>(address >> 24 & 0xFF),
                  static_cast<unsigned>(address >> 16 & 0xFF), static_cast<unsigned>(address >> 8 & 0xFF),
                  static_cast<unsigned>(address & 0xFF));
    return text;
}

std::string StoreName(ULONGLONG address)
{
    char text[13];
    std::snprintf(text, sizeof text, "%012llx", address & 0xFFFFFFFFFFFFULL);
    return text;
}

bool ParseUuid(const std::string &given, GUID *uuid)
{
    const bool prefixed = given.size() == 6 && given[0] == '0' && (given[1] == 'x' || given[1] == 'X');
    const std::string text = prefixed ? given.substr(2) : given.size() == 36 ? "{" + given + "}" : given;
    if (text.size() == 4 && HexDigits(text, 0, 4)) {
        *uuid = BaseUuid(static_cast<uint16_t>(HexValue(text)));
        return true;
    }
    // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
    static const size_t kGroups[][2] = {{1, 8}, {10, 4}, {15, 4}, {20, 4}, {25, 12}};
    if (prefixed || text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    for (const auto &g : kGroups)
        if (!HexDigits(text, g[0], g[1]) || (g[0] + g[1] < 37 && text[g[0] + g[1]] != '-'))
            return false;
    uuid->Data1 = static_cast<unsigned long>(HexValue(text.substr(1, 8)));
    uuid->Data2 = static_cast<unsigned short>(HexValue(text.substr(10, 4)));
    uuid->Data3 = static_cast<unsigned short>(HexValue(text.substr(15, 4)));
    std::string tail = text.substr(20, 4) + text.substr(25, 12);
    for (int i = 0; i < 8; ++i)
        uuid->Data4[i] = static_cast<unsigned char>(HexValue(tail.substr(2 * i, 2)));
    return true;
}

std::string FormatUuid(const GUID &g)
{
    char text[40];
    if (IsBaseUuid(g))
        std::snprintf(text, sizeof text, "%04lx", static_cast<unsigned long>(g.Data1));
    else
        std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                      static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                      g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

const char *UuidName(const GUID &uuid)
{
    if (IsBaseUuid(uuid))
        for (const auto &n : kNames)
            if (n.uuid == uuid.Data1)
                return n.name;
    return "";
}

bool ParseNumber(const std::string &text, long long *value)
{
    size_t used = 0;
    try {
        *value = std::stoll(text, &used, 0);
    } catch (const std::exception &) {
        return false;
    }
    return used == text.size();
}

bool ParseHex(const std::string &text, std::vector<uint8_t> *bytes)
{
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
        else if (!std::isspace(static_cast<unsigned char>(c)) && c != ':' && c != '-')
            return false;
    }
    if (digits.size() % 2)
        return false;
    bytes->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes->push_back(static_cast<uint8_t>(HexValue(digits.substr(i, 2))));
    return true;
}

std::string FormatHex(const uint8_t *bytes, size_t n)
{
    std::string text;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        text += b;
    }
    return text;
}

bool ParseProperties(const std::string &text, uint8_t *properties)
{
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
        if (text.size() > 4)
            return false;
        size_t used = 0;
        unsigned long v = std::stoul(text, &used, 0);
        *properties = static_cast<uint8_t>(v);
        return used == text.size() && v <= 0xFF;
    }
    *properties = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("|,", start);
        std::string name = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        int bit = 0;
        while (bit < 8 && name != kPropertyNames[bit])
            ++bit;
        if (bit == 8)
            return false;
        *properties = static_cast<uint8_t>(*properties | 1 << bit);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

std::string FormatProperties(uint8_t properties)
{
    std::string text;
    for (int bit = 0; bit < 8; ++bit)
        if (properties & 1 << bit)
            text += (text.empty() ? "" : "|") + std::string(kPropertyNames[bit]);
    return text;
}

const CLI::Validator kAddress(
    [](std::string &text) {
        ULONGLONG a;
        return ParseAddress(text, &a) ? std::string()
                                      : "'" + text + "' is not a device address (AA:BB:CC:DD:EE:FF or 12 hex digits)";
    },
    "ADDR");

const CLI::Validator kUuid(
    [](std::string &text) {
        GUID g;
        return ParseUuid(text, &g) ? std::string()
                                   : "'" + text + "' is not a UUID (" + kUuidForms + ")";
    },
    "UUID");

void AddAddress(CLI::App *cmd, std::string &addr)
{
    cmd->add_option("ADDR", addr, "the device: AA:BB:CC:DD:EE:FF or 12 hex digits")->required()->check(kAddress);
}

ULONGLONG AddressArg(const std::string &text)
{
    ULONGLONG a = 0;
    ParseAddress(text, &a);
    return a;
}

GUID UuidArg(const std::string &text)
{
    GUID g{};
    ParseUuid(text, &g);
    return g;
}

std::string CodeText(DWORD code)
{
    static const struct {
        DWORD code;
        const char *name;
    } kCodes[] = {
        {0, "ERROR_SUCCESS"},          {1, "ERROR_INVALID_FUNCTION"},
        {5, "ERROR_ACCESS_DENIED"},    {6, "ERROR_INVALID_HANDLE"},
        {8, "ERROR_NOT_ENOUGH_MEMORY"}, {13, "ERROR_INVALID_DATA"},
        {87, "ERROR_INVALID_PARAMETER"}, {170, "ERROR_BUSY"},
        {259, "ERROR_NO_MORE_ITEMS"},   {997, "ERROR_IO_PENDING"},
        {1056, "ERROR_SERVICE_ALREADY_RUNNING"}, {1078, "ERROR_DUPLICATE_SERVICE_NAME"},
        {1168, "ERROR_NOT_FOUND"},      {1359, "ERROR_INTERNAL_ERROR"},
        {1460, "ERROR_TIMEOUT"},        {2250, "ERROR_NOT_CONNECTED"},
        {0x8000000A, "E_PENDING"},
    };
    std::string text = std::to_string(code);
    for (const auto &c : kCodes)
        if (c.code == code)
            return text + " (" + c.name + ")";
    return text;
}

void Check(const char *what, DWORD code, DWORD expected)
{
    if (code != expected)
        throw Failure(std::string(what) + " failed: " + CodeText(code));
}

} // namespace qorgatt
