// Character helpers shared by the two JSON parsers (and the number reader).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace palisar::json {

// '0' to '9' only, whatever the signedness of the character type.
constexpr bool is_digit(unsigned char c) { return unsigned(c - '0') < 10; }

// The value of a hexadecimal digit, or -1.
constexpr int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the four hex digits of a \u escape from `p`, of which `available`
// bytes may be read. Returns how many digits were read: 4 when `value` holds
// the escape's value; fewer when the text ended (the count is `available`) or
// the next byte is not a hex digit.
inline size_t read_hex4(const char* p, size_t available, uint32_t& value) {
    value = 0;
    size_t i = 0;
    for (; i < 4 && i < available; ++i) {
        const int h = hex_value(static_cast<unsigned char>(p[i]));
        if (h < 0) break;
        value = value << 4 | uint32_t(h);
    }
    return i;
}

// Appends the UTF-8 form of the code point `cp` (at most 0x10FFFF).
inline void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

}  // namespace palisar::json
