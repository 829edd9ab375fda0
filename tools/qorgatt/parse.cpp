// Text forms of values and properties, the checks of address and UUID
// arguments, and the error codes' names.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "qorgatt.h"

namespace qorgatt {

namespace {

const char *const kPropertyNames[8] = {"broadcast", "read", "write-no-response", "write",
                                       "notify",    "indicate", "signed-write",  "extended"};

} // namespace

const char kUuidForms[] = "180d, 0x180D, or xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx with or without braces";

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
        bytes->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

std::string FormatHex(BytesView bytes)
{
    std::string text;
    char b[4];
    for (uint8_t byte : bytes) {
        std::snprintf(b, sizeof b, text.empty() ? "%02X" : " %02X", byte);
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
        return Address::parse(text) ? std::string()
                                    : "'" + text + "' is not a device address (AA:BB:CC:DD:EE:FF or 12 hex digits)";
    },
    "ADDR");

const CLI::Validator kUuid(
    [](std::string &text) {
        return Uuid::parse(text) ? std::string() : "'" + text + "' is not a UUID (" + kUuidForms + ")";
    },
    "UUID");

void AddAddress(CLI::App *cmd, std::string &addr)
{
    cmd->add_option("ADDR", addr, "the device: AA:BB:CC:DD:EE:FF or 12 hex digits")->required()->check(kAddress);
}

Address AddressArg(const std::string &text) { return Address::parse(text).value_or(Address()); }

Uuid UuidArg(const std::string &text) { return Uuid::parse(text).value_or(Uuid()); }

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

std::string CodeText(const std::error_code &ec) { return CodeText(static_cast<DWORD>(ec.value())); }

void Check(const std::string &what, DWORD code)
{
    if (code != ERROR_SUCCESS)
        throw Failure(what + " failed: " + CodeText(code));
}

void Check(const std::string &what, const std::error_code &ec) { Check(what, static_cast<DWORD>(ec.value())); }

} // namespace qorgatt
