#include "json/decimal.hpp"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <string>
#if defined(__APPLE__)
#include <xlocale.h>
#endif

#include "json/text.hpp"

namespace palisar::parse {

namespace {

using json::is_digit;

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// strtod in the "C" locale, whatever locale the program has set.
double strtod_c(const char* text) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return strtod_l(text, nullptr, c_locale);
}

}  // namespace

bool decimal_to_double(const char* b, const char* e, double& out) {
    const char* p = b;
    bool negative = p < e && *p == '-';
    p += negative;
    // The significant digits (up to 19) and the power of ten that scales them.
    uint64_t m = 0;
    int digits = 0;
    int64_t scale = 0;
    bool dropped = false;  // a nonzero digit beyond the first 19 significant ones
    auto take = [&](char c, bool fraction) {
        if (digits < 19) {
            m = m * 10 + unsigned(c - '0');
            digits += m != 0;
            scale -= fraction;
        } else {
            dropped |= c != '0';
            scale += !fraction;
        }
    };
    for (; p < e && is_digit(*p); ++p) take(*p, false);
    if (p < e && *p == '.')
        for (++p; p < e && is_digit(*p); ++p) take(*p, true);
    if (p < e && (*p == 'e' || *p == 'E')) {
        ++p;
        bool minus = p < e && *p == '-';
        p += p < e && (*p == '-' || *p == '+');
        int64_t exponent = 0;
        for (; p < e && is_digit(*p); ++p)
            if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
        scale += minus ? -exponent : exponent;
    }
    if (m == 0 && !dropped) {
        out = negative ? -0.0 : 0.0;
        return true;
    }
#if FLT_EVAL_METHOD == 0
    // Both the digits and the power of ten are exact doubles: one rounding.
    if (!dropped && m <= (uint64_t(1) << 53) && scale >= -22 && scale <= 22) {
        double v = double(m);
        v = scale < 0 ? v / kPowersOfTen[-scale] : v * kPowersOfTen[scale];
        out = negative ? -v : v;
        return true;
    }
#endif
    // Everything else: the C library's correctly rounded conversion.
    char small[64];
    std::string large;
    const char* text = small;
    size_t n = size_t(e - b);
    if (n < sizeof small) {
        std::memcpy(small, b, n);
        small[n] = '\0';
    } else {
        large.assign(b, n);
        text = large.c_str();
    }
    out = strtod_c(text);
    return !std::isinf(out) && out != 0;
}

}  // namespace palisar::parse
