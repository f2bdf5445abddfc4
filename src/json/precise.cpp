// The exact line parser: a single forward scan over the line that writes the
// value tree as it goes. Containers are tracked on a fixed stack of kMaxDepth
// entries, so nesting costs no C stack and the depth limit is checked before a
// bracket is opened.
//
// Error positions (reported as "line 1 column N", N counted in bytes from 1):
// - an unexpected byte is reported at its own column;
// - a text that ends too early (inside a value, string, literal or container)
//   is reported at the line's length;
// - a number beyond the double range is reported at the column of its last byte;
// - inside a string, a bad escape is reported at the byte after the backslash,
//   a bad hex digit at that digit, and a \u escape whose value is not allowed
//   (surrogate problems) at the last hex digit of that escape.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "json/decimal.hpp"
#include "json/parser.hpp"
#include "json/text.hpp"

namespace palisar::json {
namespace {

constexpr bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Bytes that end a run of plain string content: the closing quote, a
// backslash, and the control characters that must be escaped.
struct StopTable {
    bool stop[256] = {};
    constexpr StopTable() {
        for (int c = 0; c < 0x20; ++c) stop[c] = true;
        stop[uint8_t('"')] = true;
        stop[uint8_t('\\')] = true;
    }
};
constexpr StopTable kStop;

// Index of the first stop byte at or after `i`, or `n`.
inline size_t scan_plain(const char* s, size_t i, size_t n) {
    constexpr uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
    while (i + 8 <= n) {
        uint64_t x;
        std::memcpy(&x, s + i, 8);
        // The byte at s[i] becomes the lowest, so that counting trailing zeros
        // finds the first match in text order.
        if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
        uint64_t q = x ^ (ones * uint8_t('"'));
        uint64_t b = x ^ (ones * uint8_t('\\'));
        // Per byte: equal to '"', equal to '\\', or below 0x20. The lowest flagged
        // byte is always a true match (borrows only run towards higher bytes).
        uint64_t t = (((q - ones) & ~q) | ((b - ones) & ~b) | ((x - ones * 0x20) & ~x)) & high;
        if (t) return i + size_t(__builtin_ctzll(t) >> 3);
        i += 8;
    }
    while (i < n && !kStop.stop[uint8_t(s[i])]) ++i;
    return i;
}

// For a number text that the grammar accepted but that lies outside the
// double range: true when it is too large, false when it is too small (a
// non-zero value below the smallest subnormal). Decides by the decimal
// exponent of the first non-zero digit.
bool too_large(const char* b, const char* e) {
    const char* p = b;
    if (*p == '-') ++p;
    const char* int_begin = p;
    while (p < e && is_digit(*p)) ++p;
    const char* int_end = p;
    // The value lies in [10^(mag-1), 10^mag) times 10^exponent.
    int64_t mag = 0;
    bool found = false;
    for (const char* q = int_begin; q < int_end; ++q) {
        if (*q != '0') {
            mag = int64_t(int_end - q);
            found = true;
            break;
        }
    }
    if (p < e && *p == '.') {
        ++p;
        const char* frac_begin = p;
        while (p < e && is_digit(*p)) {
            if (!found && *p != '0') {
                mag = -int64_t(p - frac_begin);
                found = true;
            }
            ++p;
        }
    }
    int64_t exponent = 0;
    if (p < e && (*p == 'e' || *p == 'E')) {
        ++p;
        bool neg = false;
        if (*p == '+' || *p == '-') neg = *p++ == '-';
        for (; p < e; ++p) {
            if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
        }
        if (neg) exponent = -exponent;
    }
    return found && mag + exponent > 0;
}

class Parser {
public:
    Parser(std::string_view line, Builder& out, std::string& error)
        : s_(line.data()), n_(line.size()), out_(out), error_(error) {}

    bool run();

private:
    enum Container : uint8_t { kArray, kObject };

    bool fail(const char* what, size_t column) {
        error_ = what;
        error_ += " at line 1 column ";
        error_ += std::to_string(column);
        return false;
    }
    // At the byte under the cursor.
    bool fail_here(const char* what) { return fail(what, pos_ + 1); }
    // The line ended too early.
    bool fail_eof(const char* what) { return fail(what, n_); }

    void skip_ws() {
        while (pos_ < n_ && is_ws(s_[pos_])) ++pos_;
    }

    bool literal(const char* word, size_t len);
    bool number();
    bool string(bool key);
    bool escaped_string(size_t start, size_t i, bool key);
    bool hex4(size_t& i, uint32_t& v);
    bool member_key();

    const char* s_;
    size_t n_;
    size_t pos_ = 0;
    Builder& out_;
    std::string& error_;
};

bool Parser::run() {
    out_.clear();
    Container stack[kMaxDepth];
    size_t depth = 0;

    for (;;) {
        // A value is expected at the cursor.
        skip_ws();
        if (pos_ == n_) return fail_eof("EOF while parsing a value");
        switch (s_[pos_]) {
            case '[':
                if (depth == kMaxDepth) return fail_here("recursion limit exceeded");
                ++pos_;
                out_.begin_array();
                stack[depth++] = kArray;
                skip_ws();
                if (pos_ == n_) return fail_eof("EOF while parsing a list");
                if (s_[pos_] != ']') continue;  // first element
                ++pos_;
                out_.end_container();
                --depth;
                break;
            case '{':
                if (depth == kMaxDepth) return fail_here("recursion limit exceeded");
                ++pos_;
                out_.begin_object();
                stack[depth++] = kObject;
                skip_ws();
                if (pos_ == n_) return fail_eof("EOF while parsing an object");
                if (s_[pos_] == '"') {
                    if (!member_key()) return false;
                    continue;  // first member's value
                }
                if (s_[pos_] != '}') return fail_here("key must be a string");
                ++pos_;
                out_.end_container();
                --depth;
                break;
            case '"':
                if (!string(false)) return false;
                break;
            case 't':
                if (!literal("true", 4)) return false;
                out_.boolean(true);
                break;
            case 'f':
                if (!literal("false", 5)) return false;
                out_.boolean(false);
                break;
            case 'n':
                if (!literal("null", 4)) return false;
                out_.null();
                break;
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9':
                if (!number()) return false;
                break;
            default:
                return fail_here("expected value");
        }

        // A value is complete: close finished containers until the next value
        // is due or the outermost value has ended.
        for (;;) {
            skip_ws();
            if (depth == 0) {
                if (pos_ != n_) return fail_here("trailing characters");
                return true;
            }
            if (stack[depth - 1] == kArray) {
                if (pos_ == n_) return fail_eof("EOF while parsing a list");
                char c = s_[pos_];
                if (c == ']') {
                    ++pos_;
                    out_.end_container();
                    --depth;
                    continue;
                }
                if (c != ',') return fail_here("expected `,` or `]`");
                ++pos_;
                skip_ws();
                if (pos_ == n_) return fail_eof("EOF while parsing a value");
                if (s_[pos_] == ']') return fail_here("trailing comma");
                break;
            } else {
                if (pos_ == n_) return fail_eof("EOF while parsing an object");
                char c = s_[pos_];
                if (c == '}') {
                    ++pos_;
                    out_.end_container();
                    --depth;
                    continue;
                }
                if (c != ',') return fail_here("expected `,` or `}`");
                ++pos_;
                skip_ws();
                if (pos_ == n_) return fail_eof("EOF while parsing a value");
                if (s_[pos_] == '}') return fail_here("trailing comma");
                if (s_[pos_] != '"') return fail_here("key must be a string");
                if (!member_key()) return false;
                break;
            }
        }
    }
}

// The cursor is on the opening quote of a key; reads the key and the colon.
bool Parser::member_key() {
    if (!string(true)) return false;
    skip_ws();
    if (pos_ == n_) return fail_eof("EOF while parsing an object");
    if (s_[pos_] != ':') return fail_here("expected `:`");
    ++pos_;
    return true;
}

// The cursor is on the literal's first byte, which already matched.
bool Parser::literal(const char* word, size_t len) {
    if (n_ - pos_ >= len && std::memcmp(s_ + pos_, word, len) == 0) {
        pos_ += len;
        return true;
    }
    for (size_t k = 1; k < len; ++k) {
        size_t i = pos_ + k;
        if (i == n_) return fail_eof("EOF while parsing a value");
        if (s_[i] != word[k]) {
            pos_ = i;
            return fail_here("expected ident");
        }
    }
    return true;  // not reached: the fast comparison above matched
}

bool Parser::number() {
    const size_t start = pos_;
    bool neg = false;
    if (s_[pos_] == '-') {
        neg = true;
        ++pos_;
        if (pos_ == n_) return fail_eof("EOF while parsing a value");
    }

    uint64_t v = 0;
    bool fits = true;
    if (s_[pos_] == '0') {
        ++pos_;
        if (pos_ < n_ && is_digit(s_[pos_])) return fail_here("invalid number");
    } else if (is_digit(s_[pos_])) {
        while (pos_ < n_ && is_digit(s_[pos_])) {
            unsigned d = unsigned(s_[pos_] - '0');
            if (fits && (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, d, &v)))
                fits = false;
            ++pos_;
        }
    } else {
        return fail_here("invalid number");
    }

    bool integral = true;
    if (pos_ < n_ && s_[pos_] == '.') {
        integral = false;
        ++pos_;
        if (pos_ == n_) return fail_eof("EOF while parsing a value");
        if (!is_digit(s_[pos_])) return fail_here("invalid number");
        while (pos_ < n_ && is_digit(s_[pos_])) ++pos_;
    }
    if (pos_ < n_ && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
        integral = false;
        ++pos_;
        if (pos_ < n_ && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
        if (pos_ == n_) return fail_eof("EOF while parsing a value");
        if (!is_digit(s_[pos_])) return fail_here("invalid number");
        while (pos_ < n_ && is_digit(s_[pos_])) ++pos_;
    }

    if (integral && fits) {
        if (!neg) {
            out_.uint(v);
            return true;
        }
        if (v == 0) {  // "-0" is the integer zero
            out_.uint(0);
            return true;
        }
        if (v <= uint64_t(INT64_MAX) + 1) {
            out_.sint(v == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(v));
            return true;
        }
    }

    const char* b = s_ + start;
    const char* e = s_ + pos_;
    double d = 0;
    if (!parse::decimal_to_double(b, e, d)) {
        if (too_large(b, e)) return fail("number out of range", pos_);
        d = neg ? -0.0 : 0.0;
    }
    out_.number(d);
    return true;
}

// The cursor is on the opening quote.
bool Parser::string(bool key) {
    const size_t start = pos_ + 1;
    size_t i = scan_plain(s_, start, n_);
    if (i == n_) {
        pos_ = n_;
        return fail_eof("EOF while parsing a string");
    }
    if (s_[i] == '"') {
        std::string_view text(s_ + start, i - start);
        if (key) out_.key(text);
        else out_.string(text);
        pos_ = i + 1;
        return true;
    }
    if (s_[i] == '\\') return escaped_string(start, i, key);
    pos_ = i;
    return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
}

// Reads four hex digits starting at `i`; on success `i` is past them.
bool Parser::hex4(size_t& i, uint32_t& v) {
    const size_t read = read_hex4(s_ + i, n_ - i, v);
    i += read;
    if (read == 4) return true;
    if (i == n_) return fail_eof("EOF while parsing a string");
    pos_ = i;
    return fail_here("invalid escape");
}

// Slow path for a string with escapes: `start` is its first content byte and
// `i` the first backslash. The decoded text goes through a reused buffer.
bool Parser::escaped_string(size_t start, size_t i, bool key) {
    thread_local std::string buf;
    buf.assign(s_ + start, i - start);
    for (;;) {
        char c = s_[i];
        if (c == '"') break;
        if (c != '\\') {
            pos_ = i;
            return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
        }
        if (++i == n_) return fail_eof("EOF while parsing a string");
        switch (s_[i++]) {
            case '"': buf.push_back('"'); break;
            case '\\': buf.push_back('\\'); break;
            case '/': buf.push_back('/'); break;
            case 'b': buf.push_back('\b'); break;
            case 'f': buf.push_back('\f'); break;
            case 'n': buf.push_back('\n'); break;
            case 'r': buf.push_back('\r'); break;
            case 't': buf.push_back('\t'); break;
            case 'u': {
                uint32_t cp;
                if (!hex4(i, cp)) return false;
                if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    pos_ = i - 1;
                    return fail_here("invalid unicode code point");
                }
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    // A leading surrogate must be followed by an escaped trailing one.
                    for (char want : {'\\', 'u'}) {
                        if (i == n_) return fail_eof("EOF while parsing a string");
                        if (s_[i] != want) {
                            pos_ = i;
                            return fail_here("unexpected end of hex escape");
                        }
                        ++i;
                    }
                    uint32_t lo;
                    if (!hex4(i, lo)) return false;
                    if (lo < 0xDC00 || lo > 0xDFFF) {
                        pos_ = i - 1;
                        return fail_here("lone leading surrogate in hex escape");
                    }
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                }
                append_utf8(buf, cp);
                break;
            }
            default:
                pos_ = i - 1;
                return fail_here("invalid escape");
        }
        size_t j = scan_plain(s_, i, n_);
        buf.append(s_ + i, j - i);
        i = j;
        if (i == n_) {
            pos_ = n_;
            return fail_eof("EOF while parsing a string");
        }
    }
    if (key) out_.key(buf);
    else out_.string(buf);
    pos_ = i + 1;
    return true;
}

}  // namespace

bool parse_precise(std::string_view line, Builder& out, std::string& error) {
    return Parser(line, out, error).run();
}

}  // namespace palisar::json
