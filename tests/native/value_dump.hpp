// Canonical text of a value tree, for comparing trees in tests.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace palisar::json {

// Canonical text of a value, shared by both parsers' trees: numbers carry
// their kind (u/i/d, doubles with 17 digits so equal text means equal bits),
// strings show bytes outside printable ASCII as \xNN.
inline std::string num(const char* prefix, double d) {
    char tmp[40];
    std::snprintf(tmp, sizeof tmp, "%s%.17g", prefix, d);
    return tmp;
}
inline std::string str(std::string_view s) {
    std::string r = "\"";
    for (unsigned char c : s) {
        char tmp[8];
        std::snprintf(tmp, sizeof tmp, "\\x%02X", c);
        r += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, char(c)) : std::string(tmp);
    }
    return r + "\"";
}

inline std::string dump(Value v) {
    int64_t i = 0;
    double d = 0;
    std::string_view s;
    std::string r;
    switch (v.kind()) {
        case Kind::Null: return "null";
        case Kind::Bool: return v.is_true() ? "true" : "false";
        case Kind::UInt:  // raw: there is no u64 getter beyond INT64_MAX
            r = "u";
            r += std::to_string(*v.data() >> 4 == 1 ? detail::read_le(v.data() + 1, *v.data() & 0x0F)
                                                    : detail::short_mantissa(v.data()));
            return r;
        case Kind::Int:
            if (!v.get_i64(i)) return "<bad int>";
            r = "i";
            r += std::to_string(i);
            return r;
        case Kind::Double: return v.get_double(d) ? num("d", d) : "<bad double>";
        case Kind::String: return v.get_string(s) ? str(s) : "<bad string>";
        case Kind::Array:
            r = "[";
            for (Value e : v.items()) {
                if (r.size() > 1) r += ',';
                r += dump(e);
            }
            r += ']';
            return r;
        case Kind::Object:
            r = "{";
            v.for_each_member([&](std::string_view k, Value m) {
                if (r.size() > 1) r += ',';
                r += k;
                r += ':';
                r += dump(m);
            });
            r += '}';
            return r;
        default: return "<invalid>";
    }
}

}  // namespace palisar::json
