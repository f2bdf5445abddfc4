#include "json/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace palisar::parse {

bool valid_utf8(const char* data, size_t len) {
    auto p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* end = p + len;
    for (;;) {
        // The high bit of every byte of the word is tested, whatever the byte order.
        while (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & 0x8080808080808080u) break;
            p += 8;
        }
        while (p < end && *p < 0x80) ++p;
        if (p == end) return true;
        unsigned lead = *p;
        size_t more;
        unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (lead < 0xC2) return false;  // a continuation byte, or an overlong 2-byte form
        if (lead < 0xE0) {
            more = 1;
        } else if (lead < 0xF0) {
            more = 2;
            if (lead == 0xE0) lo = 0xA0;       // overlong
            else if (lead == 0xED) hi = 0x9F;  // surrogates
        } else if (lead < 0xF5) {
            more = 3;
            if (lead == 0xF0) lo = 0x90;       // overlong
            else if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (size_t(end - p) <= more || p[1] < lo || p[1] > hi) return false;
        for (size_t i = 2; i <= more; ++i)
            if ((p[i] & 0xC0) != 0x80) return false;
        p += more + 1;
    }
}

}  // namespace palisar::parse
