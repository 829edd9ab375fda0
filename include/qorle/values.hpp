#pragma once
// Value types of the C++ interface: device addresses, UUIDs and attribute values.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QorLeLib.h"

namespace qorle {

namespace detail {

// The value of one hex digit, or -1.
constexpr int hex_digit(char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The n hex digits of text from `from` on as a number; nullopt unless all are digits.
inline std::optional<uint64_t> hex_number(std::string_view text, size_t from, size_t n) noexcept
{
    if (from + n > text.size())
        return std::nullopt;
    uint64_t value = 0;
    for (size_t i = from; i < from + n; ++i) {
        const int digit = hex_digit(text[i]);
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    return value;
}

} // namespace detail

// A 48-bit device address, the first address byte in bits 40-47
// (00:1A:7D:DA:71:13 is 0x001A7DDA7113). Bits above 48 are dropped.
class Address {
public:
    constexpr Address() noexcept = default;
    constexpr explicit Address(uint64_t value) noexcept : value_(value & kMask) {}
    // "AA:BB:CC:DD:EE:FF" or 12 hex digits, either case; nullopt for anything else.
    static std::optional<Address> parse(std::string_view text) noexcept
    {
        std::optional<uint64_t> value;
        if (text.size() == 12)
            value = detail::hex_number(text, 0, 12);
        else if (text.size() == 17 && colons_between_pairs(text))
            value = digits_of_pairs(text);
        return value ? std::optional<Address>(Address(*value)) : std::nullopt;
    }
    // Every device: the filter of a registration that wants all of them.
    static constexpr Address any() noexcept { return Address(); }

    // "AA:BB:CC:DD:EE:FF"
    std::string str() const
    {
        char text[18];
        std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", byte(5), byte(4), byte(3), byte(2), byte(1),
                      byte(0));
        return text;
    }
    constexpr uint64_t value() const noexcept { return value_; }
    LE_ADDRESS le() const noexcept
    {
        LE_ADDRESS a{};
        a.ullLong = value_;
        return a;
    }

    friend constexpr bool operator==(Address a, Address b) noexcept { return a.value_ == b.value_; }
    friend constexpr bool operator!=(Address a, Address b) noexcept { return a.value_ != b.value_; }
    friend constexpr bool operator<(Address a, Address b) noexcept { return a.value_ < b.value_; }

private:
    static constexpr uint64_t kMask = 0xFFFFFFFFFFFFULL;
    unsigned byte(int i) const noexcept { return static_cast<unsigned>(value_ >> (8 * i) & 0xFF); }
    static bool colons_between_pairs(std::string_view text) noexcept
    {
        for (size_t i = 2; i < text.size(); i += 3)
            if (text[i] != ':')
                return false;
        return true;
    }
    static std::optional<uint64_t> digits_of_pairs(std::string_view text) noexcept
    {
        uint64_t value = 0;
        for (size_t i = 0; i < text.size(); i += 3) {
            const std::optional<uint64_t> pair = detail::hex_number(text, i, 2);
            if (!pair)
                return std::nullopt;
            value = value << 8 | *pair;
        }
        return value;
    }
    uint64_t value_ = 0;
};

// A UUID. A 16-bit Bluetooth UUID xxxx is the GUID 0000xxxx-0000-1000-8000-00805F9B34FB
// (on the Bluetooth base); every other UUID is its whole GUID.
class Uuid {
public:
    constexpr Uuid() noexcept : guid_{} {}   // all zero
    // Implicit, so that a 16-bit number stands where a UUID is asked for: {0x180D, 0x2A38}.
    constexpr Uuid(uint16_t short_value) noexcept  // NOLINT(google-explicit-constructor)
        : guid_{short_value, 0, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}}
    {
    }
    constexpr Uuid(const GUID &guid) noexcept : guid_(guid) {}   // NOLINT(google-explicit-constructor)

    // "180d" or "0x180D" (a 16-bit UUID), or GUID text with or without braces
    // ("0000180d-0000-1000-8000-00805f9b34fb"); nullopt for anything else.
    static std::optional<Uuid> parse(std::string_view text) noexcept
    {
        const bool prefixed = text.size() == 6 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        if (prefixed)
            text.remove_prefix(2);
        if (text.size() == 4) {
            const std::optional<uint64_t> value = detail::hex_number(text, 0, 4);
            return value ? std::optional<Uuid>(Uuid(static_cast<uint16_t>(*value))) : std::nullopt;
        }
        if (!prefixed && text.size() == 38 && text.front() == '{' && text.back() == '}')
            text = text.substr(1, 36);
        return prefixed || text.size() != 36 ? std::nullopt : parse_guid(text);
    }

    // On the Bluetooth base with a 16-bit value (Data1 at most 0xFFFF).
    bool is_short() const noexcept
    {
        return guid_.Data1 <= 0xFFFF && std::memcmp(&guid_.Data2, &kBase.Data2, sizeof(GUID) - sizeof guid_.Data1) == 0;
    }
    // The low 16 bits of Data1: the 16-bit value of a short UUID.
    uint16_t short_value() const noexcept { return static_cast<uint16_t>(guid_.Data1 & 0xFFFF); }
    // 4 lower-case hex digits for a short UUID ("180d"), else braced lower-case GUID text.
    std::string str() const
    {
        char text[40];
        const GUID &g = guid_;
        if (is_short())
            std::snprintf(text, sizeof text, "%04lx", static_cast<unsigned long>(g.Data1));
        else
            std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                          static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                          g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
        return text;
    }
    // The assigned number's name ("Heart Rate" for 180d), or "" for a UUID without one.
    const char *name() const noexcept
    {
        static const struct {
            uint16_t uuid;
            const char *name;
        } kNames[] = {
#include "qorle/uuid_names.inc"
        };
        if (is_short())
            for (const auto &n : kNames)
                if (n.uuid == guid_.Data1)
                    return n.name;
        return "";
    }
    const GUID &guid() const noexcept { return guid_; }

    friend bool operator==(const Uuid &a, const Uuid &b) noexcept { return compare(a, b) == 0; }
    friend bool operator!=(const Uuid &a, const Uuid &b) noexcept { return compare(a, b) != 0; }
    // An order for maps and sorting: the GUIDs' bytes as they lie in memory.
    friend bool operator<(const Uuid &a, const Uuid &b) noexcept { return compare(a, b) < 0; }

private:
    static constexpr GUID kBase = {0, 0, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
    static int compare(const Uuid &a, const Uuid &b) noexcept { return std::memcmp(&a.guid_, &b.guid_, sizeof(GUID)); }
    // xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx
    static std::optional<Uuid> parse_guid(std::string_view text) noexcept
    {
        for (size_t dash : {8, 13, 18, 23})
            if (text[dash] != '-')
                return std::nullopt;
        const auto d1 = detail::hex_number(text, 0, 8), d2 = detail::hex_number(text, 9, 4),
                   d3 = detail::hex_number(text, 14, 4), d4 = detail::hex_number(text, 19, 4),
                   d5 = detail::hex_number(text, 24, 12);
        if (!d1 || !d2 || !d3 || !d4 || !d5)
            return std::nullopt;
        GUID g{static_cast<unsigned long>(*d1), static_cast<unsigned short>(*d2), static_cast<unsigned short>(*d3), {}};
        const uint64_t tail = *d4 << 48 | *d5;
        for (int i = 0; i < 8; ++i)
            g.Data4[i] = static_cast<unsigned char>(tail >> (56 - 8 * i) & 0xFF);
        return Uuid(g);
    }
    GUID guid_;
};

// An attribute value of its own.
using Bytes = std::vector<uint8_t>;

// A view of bytes that someone else holds: valid as long as they are.
class BytesView {
public:
    constexpr BytesView() noexcept = default;
    // Explicit, so that a braced pair of numbers never passes for a pointer and a length.
    constexpr explicit BytesView(const uint8_t *data, size_t size) noexcept : data_(data), size_(size) {}
    BytesView(const Bytes &bytes) noexcept : data_(bytes.data()), size_(bytes.size()) {}   // NOLINT
    template <size_t N>
    constexpr BytesView(const std::array<uint8_t, N> &bytes) noexcept : data_(bytes.data()), size_(N)   // NOLINT
    {
    }

    constexpr const uint8_t *data() const noexcept { return data_; }
    constexpr size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0; }
    constexpr const uint8_t *begin() const noexcept { return data_; }
    constexpr const uint8_t *end() const noexcept { return data_ + size_; }
    constexpr uint8_t operator[](size_t i) const noexcept { return data_[i]; }
    Bytes to_bytes() const { return Bytes(begin(), end()); }

    friend bool operator==(BytesView a, BytesView b) noexcept
    {
        return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_) == 0);
    }
    friend bool operator!=(BytesView a, BytesView b) noexcept { return !(a == b); }

private:
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

} // namespace qorle
