#include "json/parser.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/decimal.hpp"
#include "json/text.hpp"
#include "json/utf8.hpp"

namespace palisar::json {

namespace {

inline bool is_space(uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// One pass over a line, writing the value tree as it goes. It takes the plain
// JSON that recorded streams are made of and refuses (returns false on)
// anything it is not sure to read exactly as the exact parser does: every
// fault, integers beyond 64 bits, numbers it cannot convert, lone surrogates,
// nesting deeper than allowed. The caller hands refused lines to the exact
// parser, which decides and describes the fault.
//
// The line must be followed by `kLinePadding` readable bytes: strings are
// scanned and copied 16 bytes at a time. Output goes to a pointer with room
// for `bound(line size)` bytes.
class OnePass {
public:
    OnePass(std::string_view line)
        : p_(reinterpret_cast<const uint8_t*>(line.data())), e_(p_ + line.size()) {}

    // Room enough for the encoding of any value parsed from `text_size`
    // bytes: never more than three bytes per byte of text (the worst case
    // being a short number stored as a double), plus the length fields of
    // containers that pass 255 bytes and the copy of short strings.
    static size_t bound(size_t text_size) { return 3 * text_size + 64; }

    [[gnu::always_inline]] void skip_space() {
        // Compact lines have none: one test in the common case.
        if (*p_ <= ' ') {  // at the end this reads the padding
            const uint8_t* p = p_;
            while (p < e_ && is_space(*p)) ++p;
            p_ = p;
        }
    }
    bool at(uint8_t c) const { return p_ < e_ && *p_ == c; }
    // Steps over `c`, and any space before it.
    [[gnu::always_inline]] bool take(uint8_t c) {
        if (!at(c)) {
            skip_space();
            if (!at(c)) return false;
        }
        ++p_;
        return true;
    }
    bool at_end() const { return p_ == e_; }
    void advance() { ++p_; }
    // A member's key at the current position (at its opening quote), as its
    // text in the line: false, with nothing read, when it holds an escape or
    // a byte outside ASCII (or is cut short).
    bool plain_key(std::string_view& name) {
        const uint8_t* const start = p_ + 1;
        const uint8_t* const p = find_special(start);
        if (p >= e_ || *p != '"') return false;
        name = std::string_view(reinterpret_cast<const char*>(start), size_t(p - start));
        p_ = p + 1;
        return true;
    }
    // Whether a string held a byte outside ASCII: the line must then be
    // checked for UTF-8.
    bool saw_non_ascii() const { return non_ascii_; }

    // The value at the current position (no space before it); `level`
    // containers enclose it.
    bool value(uint8_t*& out, size_t level) {
        if (p_ >= e_) return false;
        switch (*p_) {
            case '{': return object(out, level);
            case '[': return array(out, level);
            case '"': return string(out);
            case 't': return literal("true", 4, out, tag::True);
            case 'f': return literal("false", 5, out, tag::False);
            case 'n': return literal("null", 4, out, tag::Null);
            default: return number(out);
        }
    }

    // A string at the current position (at its opening quote).
    [[gnu::always_inline]] bool string(uint8_t*& out) {
        const uint8_t* start = ++p_;
        const uint8_t* p = find_special(start);
        for (;;) {
            if (p >= e_) return false;
            uint8_t c = *p;
            if (c == '"') break;
            if (c == '\\') {
                p_ = p;
                return escaped_string(start, out);
            }
            if (c < 0x20) return false;  // a control character
            non_ascii_ = true;
            p = find_special(p + 1);
        }
        p_ = p + 1;
        out = encode::string_padded(out, reinterpret_cast<const char*>(start), size_t(p - start));
        return true;
    }

private:
    // The first quote, backslash, control character or byte outside ASCII
    // at or after `p`; at or past the line's end when there is none.
    const uint8_t* find_special(const uint8_t* p) const {
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'),
                      space = _mm_set1_epi8(0x20);
        for (; p < e_; p += 16) {
            // Reads at most 15 bytes past the line's end, inside its padding.
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            // Signed comparison: below 0x20 catches control characters and
            // every byte of 0x80 and above.
            __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                       _mm_cmplt_epi8(v, space));
            if (unsigned mask = unsigned(_mm_movemask_epi8(hit))) return p + __builtin_ctz(mask);
        }
        return p;
#else
        for (; p < e_; ++p) {
            uint8_t c = *p;
            if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
        }
        return p;
#endif
    }

    // A value inside a container: numbers and strings without the call.
    [[gnu::always_inline]] bool element(uint8_t*& out, size_t level) {
        if (p_ < e_) {
            uint8_t c = *p_;
            if (is_digit(c) || c == '-') return number(out);
            if (c == '"') return string(out);
        }
        return value(out, level);
    }

    bool literal(const char* word, size_t n, uint8_t*& out, uint8_t t) {
        if (size_t(e_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
        p_ += n;
        *out++ = t;
        return true;
    }

    bool array(uint8_t*& out, size_t level) {
        if (level >= kMaxDepth) return false;
        if (level + 1 < kMaxDepth && p_ + 1 < e_ && p_[1] == '[' && delta_list(out)) return true;
        ++p_;
        uint8_t* open_at = out;
        uint8_t* q = encode::open(out, tag::Array);
        skip_space();
        if (at(']')) {
            ++p_;
        } else {
            for (;;) {
                if (!element(q, level + 1)) return false;
                skip_space();
                if (p_ >= e_) return false;
                uint8_t c = *p_++;
                if (c == ']') break;
                if (c != ',') return false;
                skip_space();
            }
        }
        out = encode::close(open_at, q);
        return true;
    }

    // A delta list: an array of pairs of numbers, each an unsigned integer or
    // a decimal, written in the packed form the ladders read. For any other
    // shape (or a fault) nothing is consumed and the caller reads the array
    // as usual; what was written is overwritten then.
    bool delta_list(uint8_t*& out) {
        const uint8_t* const start = p_;
        ++p_;
        uint8_t* q = encode::open(out, tag::Deltas);
        // Each step looks for what compact lines hold there first, and only
        // then for space before it.
        for (;;) {
            if (!at('[')) break;
            ++p_;
            *q++ = tag::Pair;
            if (!pair_number(q)) break;
            if (!take(',')) break;
            if (!pair_number(q)) break;
            if (!take(']')) break;
            if (!(p_ < e_ && (*p_ == ',' || *p_ == ']'))) {
                skip_space();
                if (p_ >= e_) break;
            }
            const uint8_t c = *p_++;
            if (c == ']') {
                out = encode::close(out, q);
                return true;
            }
            if (c != ',') break;
            skip_space();
        }
        p_ = start;
        return false;
    }
    [[gnu::always_inline]] bool pair_number(uint8_t*& q) {
        if (!(p_ < e_ && is_digit(*p_))) {
            skip_space();
            if (p_ >= e_ || !(is_digit(*p_) || *p_ == '-')) return false;
        }
        const uint8_t* t = q;
        if (!number(q)) return false;
        return (*t >> 4) == 1 || (*t >> 4) == 3 || (*t >> 4) == 14;
    }

    // A member's key at the current position (at its opening quote): a known
    // key becomes its one-byte id.
    bool key(uint8_t*& out) {
        const uint8_t* start = p_ + 1;
        const uint8_t* p = find_special(start);
        if (p >= e_ || *p != '"') return string(out);  // an escape, a byte outside ASCII or a fault
        const size_t n = size_t(p - start);
        const unsigned id = key_id_padded(reinterpret_cast<const char*>(start), n);
        p_ = p + 1;
        if (id < kKeyCount) {
            *out++ = uint8_t(tag::Key | id);
        } else {
            out = encode::string_padded(out, reinterpret_cast<const char*>(start), n);
        }
        return true;
    }

    bool object(uint8_t*& out, size_t level) {
        if (level >= kMaxDepth) return false;
        ++p_;
        uint8_t* open_at = out;
        uint8_t* q = encode::open(out, tag::Object);
        skip_space();
        if (at('}')) {
            ++p_;
        } else {
            for (;;) {
                if (!at('"') || !key(q)) return false;
                skip_space();
                if (!at(':')) return false;
                ++p_;
                skip_space();
                if (!element(q, level + 1)) return false;
                skip_space();
                if (p_ >= e_) return false;
                uint8_t c = *p_++;
                if (c == '}') break;
                if (c != ',') return false;
                skip_space();
            }
        }
        out = encode::close(open_at, q);
        return true;
    }

    // A number. Integers that fit 64 bits, and decimals of up to 18 digits
    // (15 after the point) whose digits fit 53 bits, are read exactly without
    // a floating-point parse: m / 10^k with both exactly representable is
    // the correctly rounded value, and the tree stores it as that pair.
    //
    // Prices, sizes and ids come first: not negative, no exponent, at most
    // 18 digits (so the mantissa cannot overflow and every digit counts) and
    // at most 15 after the point. They are read here with no digit counting;
    // every other number (and any doubt) goes to the full reading below,
    // which stores these the same way.
    //
    // Those whose digits fit 24 bits and that have at most 3 places are
    // written as short numbers: their size is in their tag (a member's value
    // is stepped over with one lookup), and in a pair the ladders read them
    // without testing their form.
    [[gnu::always_inline]] bool number(uint8_t*& out) {
        const uint8_t* p = p_;
        const uint8_t* const e = e_;
        if (p >= e || !is_digit(*p)) return full_number(out);
        uint64_t m = 0;
        size_t whole = 1;  // digits before the point (a lone zero counts as one)
        if (*p == '0') {
            ++p;
        } else {
            const uint8_t* const first = p;
            const uint8_t* const lim = p + std::min<ptrdiff_t>(e - p, 18);
            do {
                m = m * 10 + unsigned(*p++ - '0');
            } while (p < lim && is_digit(*p));
            whole = size_t(p - first);
        }
        // (At the line's end these read the padding: at worst a number goes
        // to the full reading, which stops at the end.)
        if (goes_on(*p)) return full_number(out);
        if (*p != '.') {
            p_ = p;
            out = m < (uint64_t(1) << 24) ? encode::short_number(out, m, 0) : encode::uint(out, m);
            return true;
        }
        const uint8_t* const point = ++p;
        const uint8_t* const lim = p + std::min<ptrdiff_t>(e - p, ptrdiff_t(std::min<size_t>(15, 18 - whole)));
        if (!(p < lim && is_digit(*p))) return full_number(out);
        do {
            m = m * 10 + unsigned(*p++ - '0');
        } while (p < lim && is_digit(*p));
        if (goes_on(*p) || m > (uint64_t(1) << 53)) return full_number(out);
        p_ = p;
        if (m < (uint64_t(1) << 24) && p - point <= 3) {
            out = encode::short_number(out, m, size_t(p - point));
            return true;
        }
        out[0] = uint8_t(tag::Decimal | size_t(p - point));
        out = encode::varint(out + 1, m << 1);
        return true;
    }
    // Whether a number read so far in the usual shape goes on past it: a
    // digit beyond the usual count, or an exponent.
    static bool goes_on(uint8_t c) {
        static constexpr auto table = [] {
            std::array<bool, 256> t{};
            for (unsigned d = '0'; d <= '9'; ++d) t[d] = true;
            t['e'] = t['E'] = true;
            return t;
        }();
        return table[c];
    }

    // Any number, from the current position.
    [[gnu::noinline]] bool full_number(uint8_t*& out) {
        // Locals: stores through `out` may alias the members.
        const uint8_t* p = p_;
        const uint8_t* const e = e_;
        const uint8_t* start = p;
        bool negative = *p == '-';
        if (negative) ++p;
        if (p >= e || !is_digit(*p)) return false;
        uint64_t m = 0;
        unsigned digits = 0, places = 0;
        if (*p == '0') {
            ++p;
            if (p < e && is_digit(*p)) return false;  // a leading zero
        } else {
            // Nineteen digits cannot overflow; a twentieth is checked.
            do {
                m = m * 10 + unsigned(*p++ - '0');
                ++digits;
            } while (p < e && is_digit(*p) && digits < 19);
            while (p < e && is_digit(*p)) {
                if (__builtin_mul_overflow(m, 10, &m) || __builtin_add_overflow(m, unsigned(*p - '0'), &m))
                    return false;  // beyond 64 bits
                ++digits;
                ++p;
            }
        }
        bool fraction = p < e && *p == '.';
        if (fraction) {
            ++p;
            if (p >= e || !is_digit(*p)) return false;
            do {
                if (digits < 19) {
                    m = m * 10 + unsigned(*p - '0');
                    if (m) ++digits;
                }
                ++places;
                ++p;
            } while (p < e && is_digit(*p));
        }
        bool exponent = p < e && (*p == 'e' || *p == 'E');
        if (exponent) {
            ++p;
            if (p < e && (*p == '+' || *p == '-')) ++p;
            if (p >= e || !is_digit(*p)) return false;
            while (p < e && is_digit(*p)) ++p;
        }
        p_ = p;
        if (!fraction && !exponent) {
            if (!negative) {
                out = encode::uint(out, m);
            } else {
                if (m > (uint64_t(1) << 63)) return false;  // beyond 64 bits
                out = m == 0 ? encode::uint(out, 0) : encode::int_bytes(out, tag::NegInt, m - 1);
            }
            return true;
        }
        if (!exponent && places <= 15 && digits < 19 && m <= (uint64_t(1) << 53)) {
            if (m == 0 && negative) return raw_double(out, -0.0);
            int64_t scaled = negative ? -int64_t(m) : int64_t(m);
            out[0] = uint8_t(tag::Decimal | places);
            out = encode::varint(out + 1, (uint64_t(scaled) << 1) ^ uint64_t(scaled >> 63));
            return true;
        }
        double d;
        if (!parse::decimal_to_double(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(p), d))
            return false;
        out = encode::number(out, d);
        return true;
    }

    static bool raw_double(uint8_t*& out, double d) {
        out[0] = tag::RawDouble;
        std::memcpy(out + 1, &d, 8);
        out += 9;
        return true;
    }

    // The rest of a string that holds an escape; `p_` is at the first backslash.
    bool escaped_string(const uint8_t* start, uint8_t*& out) {
        std::string& text = unescaped_;
        text.assign(reinterpret_cast<const char*>(start), size_t(p_ - start));
        for (;;) {
            if (p_ >= e_) return false;
            uint8_t c = *p_;
            if (c == '"') break;
            if (c < 0x20) return false;
            if (c != '\\') {
                if (c >= 0x80) non_ascii_ = true;
                text += char(c);
                ++p_;
                continue;
            }
            if (e_ - p_ < 2) return false;
            uint8_t x = p_[1];
            p_ += 2;
            switch (x) {
                case '"': text += '"'; break;
                case '\\': text += '\\'; break;
                case '/': text += '/'; break;
                case 'b': text += '\b'; break;
                case 'f': text += '\f'; break;
                case 'n': text += '\n'; break;
                case 'r': text += '\r'; break;
                case 't': text += '\t'; break;
                case 'u': {
                    uint32_t cp;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xD800 && cp <= 0xDFFF) {
                        // Only a leading surrogate followed by a trailing one.
                        uint32_t low;
                        if (cp >= 0xDC00 || e_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
                        p_ += 2;
                        if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append_utf8(text, cp);
                    break;
                }
                default: return false;
            }
        }
        ++p_;
        out = encode::string(out, text.data(), text.size());
        return true;
    }

    // Reads the four hex digits of a \u escape.
    bool hex4(uint32_t& cp) {
        if (read_hex4(reinterpret_cast<const char*>(p_), size_t(e_ - p_), cp) != 4) return false;
        p_ += 4;
        return true;
    }

    const uint8_t* p_;
    const uint8_t* e_;
    bool non_ascii_ = false;
    std::string unescaped_;
};

}  // namespace

bool keep_message(Value top, Builder& changes, int64_t& publish_time) {
    if (!top.is_object() || top.elements().empty()) return false;
    int64_t pt = 0;
    top.find("pt").get_i64(pt);
    if (pt < 1) return false;
    Value mc = top.find("mc");
    changes.clear();
    if (mc.is_array()) {
        changes.raw(mc.data(), mc.encoded_size());
    } else if (top.find("marketDefinition") || top.find("rc")) {
        changes.begin_array();
        changes.raw(top.data(), top.encoded_size());
        changes.end_container();
    } else {
        return false;
    }
    publish_time = pt;
    return true;
}

std::optional<LineParser::Message> LineParser::parse_fast(std::string_view line, Arena& arena,
                                                         Value& changes, int64_t& publish_time) {
    OnePass in(line);
    size_t room = OnePass::bound(line.size());
    if (scratch_size_ < room) {
        scratch_ = std::make_unique_for_overwrite<uint8_t[]>(room);
        scratch_size_ = room;
    }
    in.skip_space();
    if (!in.at('{')) return std::nullopt;
    in.advance();
    in.skip_space();
    // The market changes are written straight into the arena, every other
    // member into the scratch area; a repeated key is written again, so the
    // last one wins.
    uint8_t* start = arena.reserve(room);
    uint8_t* mc_end = nullptr;
    bool mc_array = false, bare = false, has_pt = false;
    int64_t time = 0;
    if (in.at('}')) {
        in.advance();
    } else {
        for (;;) {
            uint8_t* out = scratch_.get();
            std::string_view name;
            if (!in.at('"')) return std::nullopt;
            if (!in.plain_key(name)) {
                uint8_t* key = out;
                if (!in.string(out)) return std::nullopt;
                Value(key).get_string(name);
            }
            in.skip_space();
            if (!in.at(':')) return std::nullopt;
            in.advance();
            in.skip_space();
            if (name == "mc") {
                uint8_t* p = start;
                if (!in.value(p, 1)) return std::nullopt;
                mc_end = p;
                mc_array = Value(start).is_array();
            } else {
                uint8_t* p = out;
                if (!in.value(p, 1)) return std::nullopt;
                if (name == "pt") {
                    has_pt = true;
                    time = 0;
                    Value(out).get_i64(time);
                } else if (name == "marketDefinition" || name == "rc") {
                    bare = true;
                }
            }
            in.skip_space();
            if (in.at(',')) {
                in.advance();
                in.skip_space();
                continue;
            }
            if (!in.at('}')) return std::nullopt;
            in.advance();
            break;
        }
    }
    in.skip_space();
    if (!in.at_end()) return std::nullopt;
    if (in.saw_non_ascii() && !parse::valid_utf8(line.data(), line.size()))
        return Message::InvalidUtf8;
    if (!has_pt || time < 1) return Message::Skip;
    if (mc_end && mc_array) {
        changes = Value(arena.commit(mc_end));
        publish_time = time;
        return Message::Keep;
    }
    // A bare market change (rare) takes the exact path, which wraps it.
    if (bare) return std::nullopt;
    return Message::Skip;
}

LineParser::Message LineParser::parse_message(std::string_view line, Arena& arena, Value& changes,
                                              int64_t& publish_time, std::string& error) {
    if (std::optional<Message> fast = parse_fast(line, arena, changes, publish_time)) return *fast;
    // Refused (a fault, a number beyond 64 bits, too deep, a bare change):
    // the exact parser decides, and describes the fault precisely. It expects
    // the line checked for UTF-8, which comes before any JSON fault.
    ++exact_lines_;
    if (!parse::valid_utf8(line.data(), line.size())) return Message::InvalidUtf8;
    if (!parse_precise(line, tree_, error)) return Message::Error;
    if (!keep_message(tree_.root(), kept_, publish_time)) return Message::Skip;
    changes = Value(arena.store(kept_.data(), kept_.size()));
    return Message::Keep;
}

LineParser::LineParser() = default;
LineParser::~LineParser() = default;

}  // namespace palisar::json
