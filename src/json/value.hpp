// Compact, immutable JSON value tree.
//
// A parsed line is stored as one contiguous run of bytes: each value is a tag
// byte followed by its payload, containers hold their elements inline. The
// iterator keeps every retained market change in a few large blocks (`Arena`),
// so there is no heap node per JSON value and strings and keys live in place.
//
// `Value` is a cursor over that encoding: a pointer to a tag byte. It is cheap
// to copy and never owns memory. An invalid cursor (null pointer) stands for
// "no such value" and answers every typed accessor with false.
//
// Encoding (tag = kind code in the high nibble, a small payload in the low one):
//   0x00 null, 0x01 false, 0x02 true
//   0x1n unsigned integer, n little-endian payload bytes (0 bytes for zero)
//   0x2n negative integer, n payload bytes holding -(v + 1)
//   0x3k double written as m / 10^k, followed by m as a zigzag varint
//   0x40 double, followed by its 8 raw bytes
//   0x5n string of n bytes (n < 15), or 0x5F then a varint length; bytes follow
//   0x6w array, 0x7w object: w payload bytes (1, 2, 4 or 8) hold the byte length of
//        the elements that follow; an object's elements are key, value, key,
//        value, ... where a key is a string or a known key
//   0x80 | id  a known key (keys.hpp), read as its text
//   0xCw delta list: an array, laid out as 0x6w, whose elements are all pairs
//   0xD0 pair: a two-item array of two numbers, each an unsigned integer
//        (0x1n), a decimal (0x3k) or a short number (0xEx), stored as those
//        values follow
//   0xEx short number, x = n << 2 | k with n and k below 4: m / 10^k (an
//        unsigned integer when k is 0), m in n little-endian payload bytes.
//        The parser writes the numbers that fit in this form.
// Delta lists ([[price, size], ...]) are what the ladders apply on every step;
// the parser packs those it reads exactly, and the ladder reads a packed list
// in a few instructions a delta: nearly every price and size is a short
// number, read without a test of its form or length, which a branch would
// guess wrong about as often as prices and sizes change shape. Every reader
// of the generic form reads all of these.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "json/keys.hpp"

namespace palisar::json {

enum class Kind : uint8_t { Invalid, Null, Bool, UInt, Int, Double, String, Array, Object };

namespace tag {
inline constexpr uint8_t Null = 0x00, False = 0x01, True = 0x02;
inline constexpr uint8_t UInt = 0x10, NegInt = 0x20, Decimal = 0x30, RawDouble = 0x40;
inline constexpr uint8_t String = 0x50, LongString = 0x5F, Array = 0x60, Object = 0x70;
inline constexpr uint8_t Key = 0x80, Deltas = 0xC0, Pair = 0xD0, Short = 0xE0;
inline constexpr bool is_key(uint8_t t) { return (t & 0xC0) == Key; }
}  // namespace tag

namespace detail {
inline uint64_t read_le(const uint8_t* p, unsigned n) {
    // Any width of up to eight bytes (lengths, ids, times) in one or two loads.
    static_assert(std::endian::native == std::endian::little);
    switch (n) {
        case 1: return p[0];
        case 2: {
            uint16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        case 4: {
            uint32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
        case 8: {
            uint64_t v;
            std::memcpy(&v, p, 8);
            return v;
        }
        case 3: {  // two loads that overlap in the middle byte
            uint16_t lo, hi;
            std::memcpy(&lo, p, 2);
            std::memcpy(&hi, p + 1, 2);
            return lo | uint64_t(hi) << 8;
        }
        case 5:
        case 6:
        case 7: {  // the first four bytes and the last four
            uint32_t lo, hi;
            std::memcpy(&lo, p, 4);
            std::memcpy(&hi, p + n - 4, 4);
            return lo | uint64_t(hi) << (8 * (n - 4));
        }
        default:
            return 0;
    }
}
inline uint64_t read_varint(const uint8_t*& p) {
    uint64_t v = 0;
    unsigned shift = 0;
    for (;;) {
        uint8_t b = *p++;
        v |= uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80)) return v;
        shift += 7;
    }
}
extern const double kPow10[16];

// The mantissa of a short number at `p` (its tag).
inline uint64_t short_mantissa(const uint8_t* p) { return read_le(p + 1, (*p >> 2) & 3); }

// The encoded size of a value that its tag alone tells (null, booleans,
// integers, raw doubles, short strings, short numbers, known keys), else 0.
inline constexpr auto kTagSize = [] {
    std::array<uint8_t, 256> size{};
    for (unsigned t = 0; t < 256; ++t) {
        const unsigned n = t & 0x0F;
        switch (t >> 4) {
            case 0: size[t] = 1; break;
            case 1:
            case 2: size[t] = uint8_t(1 + n); break;
            case 4: size[t] = 9; break;
            case 5: size[t] = n < 15 ? uint8_t(1 + n) : 0; break;
            case 14: size[t] = uint8_t(1 + (n >> 2)); break;
            case 3:
            case 6:
            case 7:
            case 12:
            case 13: size[t] = 0; break;
            default: size[t] = 1;  // a known key (nothing is written as 0xF0-0xFF)
        }
    }
    return size;
}();

// One number of a pair (an unsigned integer or a decimal) at `q`, as a double;
// moves `q` past it.
inline double pair_number(const uint8_t*& q) {
    const uint8_t t = *q;
    if (t >= tag::Short) {  // nearly all (no tag lies above)
        // The four bytes that end with the mantissa's last, shifted down to
        // its n bytes: the bytes before a number of a packed pair are always
        // there (at least the pair's tag and the list's two-byte head), and
        // no byte after it is read.
        const unsigned size = kTagSize[t];  // 1 + n
        uint32_t x;
        std::memcpy(&x, q + size - 4, 4);
        const uint64_t m = uint64_t(x) >> (40 - 8 * size);
        q += size;
        return double(m) / kPow10[t & 3];
    }
    if (t >= tag::Decimal) {
        // Mantissas of one or two varint bytes are the common case.
        uint64_t z = q[1];
        if (z < 0x80) {
            q += 2;
        } else if (q[2] < 0x80) {
            z = (z & 0x7F) | uint64_t(q[2]) << 7;
            q += 3;
        } else {
            ++q;
            z = read_varint(q);
        }
        const int64_t m = int64_t(z >> 1) ^ -int64_t(z & 1);
        return double(m) / kPow10[t & 0x0F];
    }
    // Integers: zero (a size that removes the level) and one or two bytes
    // are the common ones.
    const unsigned n = t & 0x0F;
    uint64_t v;
    switch (n) {
        case 0: v = 0; break;
        case 1: v = q[1]; break;
        case 2: v = q[1] | uint64_t(q[2]) << 8; break;
        default: v = read_le(q + 1, n);
    }
    q += 1 + n;
    return double(v);
}
inline const uint8_t* skip_number(const uint8_t* q) {
    if (const uint8_t size = kTagSize[*q]) return q + size;  // an integer or a short number
    ++q;  // a decimal's varint
    while (*q & 0x80) ++q;
    return q + 1;
}
}  // namespace detail

class Value {
public:
    Value() = default;
    explicit Value(const uint8_t* p) : p_(p) {}

    bool valid() const { return p_ != nullptr; }
    explicit operator bool() const { return valid(); }
    const uint8_t* data() const { return p_; }

    Kind kind() const {
        if (!p_) return Kind::Invalid;
        switch (*p_ >> 4) {
            case 0: return *p_ == tag::Null ? Kind::Null : Kind::Bool;
            case 1: return Kind::UInt;
            case 2: return Kind::Int;
            case 3:
            case 4: return Kind::Double;
            case 5:
            case 8:
            case 9:
            case 10:
            case 11: return Kind::String;
            case 6:
            case 12:
            case 13: return Kind::Array;
            case 7: return Kind::Object;
            case 14: return *p_ & 3 ? Kind::Double : Kind::UInt;
            default: return Kind::Invalid;
        }
    }
    bool is_null() const { return p_ && *p_ == tag::Null; }
    bool is_bool() const { return p_ && (*p_ == tag::False || *p_ == tag::True); }
    bool is_number() const { return p_ && (unsigned(*p_ >> 4) - 1u < 4u || (*p_ >> 4) == 14); }
    bool is_string() const { return p_ && ((*p_ >> 4) == 5 || tag::is_key(*p_)); }
    bool is_array() const { return p_ && ((*p_ >> 4) == 6 || unsigned(*p_ >> 4) - 12u < 2u); }
    // A packed delta list (see the encoding above).
    bool is_deltas() const { return p_ && (*p_ >> 4) == 12; }
    bool is_object() const { return p_ && (*p_ >> 4) == 7; }
    // True only for the literal `true` (used by "img").
    bool is_true() const { return p_ && *p_ == tag::True; }

    bool get_bool(bool& out) const {
        if (!is_bool()) return false;
        out = *p_ == tag::True;
        return true;
    }
    // An integer written without fraction or exponent that fits a signed 64-bit value.
    bool get_i64(int64_t& out) const {
        if (!p_) return false;
        unsigned hi = *p_ >> 4, n = *p_ & 0x0F;
        if (hi == 1) {
            uint64_t u = detail::read_le(p_ + 1, n);
            if (u > uint64_t(INT64_MAX)) return false;
            out = int64_t(u);
            return true;
        }
        if (hi == 2) {
            out = -int64_t(detail::read_le(p_ + 1, n)) - 1;
            return true;
        }
        if (hi == 14 && (n & 3) == 0) {
            out = int64_t(detail::short_mantissa(p_));
            return true;
        }
        return false;
    }
    // Any number, converted to a double.
    bool get_double(double& out) const {
        if (!p_) return false;
        unsigned hi = *p_ >> 4, n = *p_ & 0x0F;
        switch (hi) {
            case 1: out = double(detail::read_le(p_ + 1, n)); return true;
            case 2: out = double(-int64_t(detail::read_le(p_ + 1, n)) - 1); return true;
            case 3: {
                const uint8_t* q = p_ + 1;
                uint64_t z = detail::read_varint(q);
                int64_t m = int64_t(z >> 1) ^ -int64_t(z & 1);
                out = double(m) / detail::kPow10[n];
                return true;
            }
            case 4: std::memcpy(&out, p_ + 1, 8); return true;
            case 14: out = double(detail::short_mantissa(p_)) / detail::kPow10[n & 3]; return true;
            default: return false;
        }
    }
    bool get_string(std::string_view& out) const {
        if (!p_) return false;
        if (tag::is_key(*p_)) {
            out = kKeyNames[*p_ & 0x3F];
            return true;
        }
        if ((*p_ >> 4) != 5) return false;
        const uint8_t* q = p_ + 1;
        uint64_t len = *p_ & 0x0F;
        if (len == 15) len = detail::read_varint(q);
        out = std::string_view(reinterpret_cast<const char*>(q), size_t(len));
        return true;
    }

    // Member of an object by key; the last occurrence of a repeated key wins.
    // Invalid when this is not an object or has no such key.
    Value find(std::string_view key) const;

    // Pointer just past this value's encoding.
    const uint8_t* end() const {
        const uint8_t t = *p_;
        // Most values have a size their tag tells.
        if (const uint8_t size = detail::kTagSize[t]) return p_ + size;
        const unsigned n = t & 0x0F;
        switch (t >> 4) {
            case 3: {
                const uint8_t* q = p_ + 1;
                while (*q & 0x80) ++q;
                return q + 1;
            }
            case 5: {  // a long string
                const uint8_t* q = p_ + 1;
                uint64_t len = detail::read_varint(q);
                return q + len;
            }
            case 13: return detail::skip_number(detail::skip_number(p_ + 1));
            default: return p_ + 1 + n + (n == 1 ? p_[1] : detail::read_le(p_ + 1, n));  // 6, 7, 12
        }
    }
    // Number of bytes of this value's encoding.
    size_t encoded_size() const { return size_t(end() - p_); }

    class ArrayIter {
    public:
        ArrayIter(const uint8_t* p) : p_(p) {}
        Value operator*() const { return Value(p_); }
        ArrayIter& operator++() {
            p_ = Value(p_).end();
            return *this;
        }
        bool operator!=(const ArrayIter& o) const { return p_ != o.p_; }
        bool operator==(const ArrayIter& o) const { return p_ == o.p_; }

    private:
        const uint8_t* p_;
    };
    struct Range {
        const uint8_t* b;
        const uint8_t* e;
        ArrayIter begin() const { return ArrayIter(b); }
        ArrayIter end() const { return ArrayIter(e); }
        bool empty() const { return b == e; }
    };
    // Elements of an array (empty for any other kind). For an object, this walks
    // keys and values alternately; use `members` instead.
    Range elements() const {
        if (!p_) return Range{nullptr, nullptr};
        const unsigned hi = *p_ >> 4;
        if (hi == 13) return Range{p_ + 1, end()};
        if (hi != 6 && hi != 7 && hi != 12) return Range{nullptr, nullptr};
        unsigned w = *p_ & 0x0F;
        const uint8_t* b = p_ + 1 + w;
        return Range{b, b + (w == 1 ? p_[1] : detail::read_le(p_ + 1, w))};
    }
    Range items() const { return is_array() ? elements() : Range{nullptr, nullptr}; }
    // Number of elements of an array, or members of an object (walks them).
    size_t size() const;

    template <class F>  // F(unsigned key id, Value value), in stored order
    void for_each_member_id(F&& f) const {
        if (!is_object()) return;
        Range r = elements();
        const uint8_t* q = r.b;
        while (q != r.e) {
            unsigned id;
            const uint8_t* v;
            if (tag::is_key(*q)) {
                id = *q & 0x3F;
                v = q + 1;
            } else {  // a key as text: one the parser could not store as an id, or none known
                std::string_view ks;
                Value(q).get_string(ks);
                id = key_id(ks);
                v = reinterpret_cast<const uint8_t*>(ks.data() + ks.size());
            }
            f(id, Value(v));
            q = Value(v).end();
        }
    }

    template <class F>  // F(std::string_view key, Value value), in stored order
    void for_each_member(F&& f) const {
        if (!is_object()) return;
        Range r = elements();
        const uint8_t* q = r.b;
        while (q != r.e) {
            Value k(q);
            std::string_view ks;
            k.get_string(ks);
            Value v(k.end());
            f(ks, v);
            q = v.end();
        }
    }

private:
    const uint8_t* p_ = nullptr;
};

// The encoding of single values, written at a raw pointer that has room for
// them; each returns the pointer past what it wrote. `Builder` adds the room
// checks; a converter that knows a bound for a whole line reserves once and
// writes with these directly.
namespace encode {

inline uint8_t* varint(uint8_t* p, uint64_t z) {
    while (z >= 0x80) {
        *p++ = uint8_t(z | 0x80);
        z >>= 7;
    }
    *p++ = uint8_t(z);
    return p;
}
inline uint8_t* int_bytes(uint8_t* p, uint8_t t, uint64_t v) {
    unsigned n = 0;
    while (v) {
        p[1 + n++] = uint8_t(v);
        v >>= 8;
    }
    p[0] = uint8_t(t | n);
    return p + 1 + n;
}
inline uint8_t* null(uint8_t* p) { return *p = tag::Null, p + 1; }
inline uint8_t* boolean(uint8_t* p, bool b) { return *p = b ? tag::True : tag::False, p + 1; }
inline uint8_t* uint(uint8_t* p, uint64_t v) { return int_bytes(p, tag::UInt, v); }
inline uint8_t* sint(uint8_t* p, int64_t v) {
    return v >= 0 ? int_bytes(p, tag::UInt, uint64_t(v)) : int_bytes(p, tag::NegInt, uint64_t(-(v + 1)));
}
// Rounds half to even; exact for |x| < 2^51.
inline double round_even(double x) {
    constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52
    return x >= 0 ? (x + kMagic) - kMagic : (x - kMagic) + kMagic;
}
// m / 10^k as a short number (m below 2^24, k below 4). Writes four bytes
// after the tag whatever m's length: `p` must have room for five.
inline uint8_t* short_number(uint8_t* p, uint64_t m, size_t k) {
    const unsigned n = unsigned(std::bit_width(m) + 7) / 8;
    p[0] = uint8_t(tag::Short | n << 2 | k);
    const uint32_t x = uint32_t(m);
    std::memcpy(p + 1, &x, 4);
    return p + 1 + n;
}
inline uint8_t* decimal(uint8_t* p, unsigned k, double r) {
    int64_t m = int64_t(r);
    p[0] = uint8_t(tag::Decimal | k);
    return varint(p + 1, (uint64_t(m) << 1) ^ uint64_t(m >> 63));
}
uint8_t* number_slow(uint8_t* p, double d);
// At most 11 bytes. Most prices and sizes have a few decimal places: they are
// stored as a scaled integer when that reads back to exactly the same double,
// two places being tried first.
inline uint8_t* number(uint8_t* p, double d) {
    if (d < 1e13 && d > -1e13) {
        double r = round_even(d * 100.0);
        if (r / 100.0 == d && (d != 0.0 || !std::signbit(d))) return decimal(p, 2, r);
    }
    return number_slow(p, d);
}
// At most len + 11 bytes; a string shorter than 16 bytes copies 16, so both
// its source and `p` must have that much room.
inline uint8_t* string_padded(uint8_t* p, const char* s, size_t n) {
    if (n < 15) {
        *p = uint8_t(tag::String | n);
        std::memcpy(p + 1, s, 16);
        return p + 1 + n;
    }
    *p = tag::LongString;
    p = varint(p + 1, n);
    std::memcpy(p, s, n);
    return p + n;
}
// At most len + 11 bytes.
inline uint8_t* string(uint8_t* p, const char* s, size_t n) {
    if (n < 15) {
        *p++ = uint8_t(tag::String | n);
    } else {
        *p = tag::LongString;
        p = varint(p + 1, n);
    }
    std::memcpy(p, s, n);
    return p + n;
}
// Opens an array or object at `p`; its elements follow at the returned pointer.
inline uint8_t* open(uint8_t* p, uint8_t t) {
    p[0] = uint8_t(t | 1);
    p[1] = 0;
    return p + 2;
}
uint8_t* close_wide(uint8_t* at, uint8_t* end);
// Closes the container opened at `at` whose elements end at `end`; returns the
// new end (the length field grows, moving the elements, when they pass 255
// bytes; up to 7 bytes of room past `end` are used then).
inline uint8_t* close(uint8_t* at, uint8_t* end) {
    size_t body = size_t(end - (at + 2));
    if (body <= 0xFF) {
        at[1] = uint8_t(body);
        return end;
    }
    return close_wide(at, end);
}

}  // namespace encode

// Writes the encoding into a growable buffer. Containers are opened and closed
// in nesting order; the builder patches their byte lengths on close.
class Builder {
public:
    Builder() = default;
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    const uint8_t* data() const { return buf_.get(); }
    size_t size() const { return size_; }
    // The value written first (the root), once it is complete.
    Value root() const { return Value(buf_.get()); }
    void clear() {
        size_ = 0;
        open_.clear();
    }

    void null() { advance(encode::null(room(1))); }
    void boolean(bool b) { advance(encode::boolean(room(1), b)); }
    void uint(uint64_t v) { advance(encode::uint(room(9), v)); }
    void sint(int64_t v) { advance(encode::sint(room(9), v)); }
    void number(double d) { advance(encode::number(room(11), d)); }
    void string(std::string_view s) { advance(encode::string(room(s.size() + 11), s.data(), s.size())); }
    // A key inside an object is an ordinary string.
    void key(std::string_view s) { string(s); }
    void begin_array() { open(tag::Array); }
    void begin_object() { open(tag::Object); }
    void end_container() {  // closes the innermost open array or object
        size_t at = open_.back();
        open_.pop_back();
        room(8);
        advance(encode::close(buf_.get() + at, buf_.get() + size_));
    }
    // Appends already encoded bytes (one or more complete values).
    void raw(const uint8_t* p, size_t n) {
        std::memcpy(room(n), p, n);
        size_ += n;
    }

private:
    // Pointer to at least `n` writable bytes at the end.
    uint8_t* room(size_t n) {
        if (cap_ - size_ < n) grow(n);
        return buf_.get() + size_;
    }
    void advance(uint8_t* end) { size_ = size_t(end - buf_.get()); }
    void grow(size_t n);
    void open(uint8_t t) {
        open_.push_back(size_);
        advance(encode::open(room(2), t));
    }
    std::unique_ptr<uint8_t[]> buf_;
    size_t cap_ = 0;
    size_t size_ = 0;
    std::vector<size_t> open_;
};

// Append-only storage in large blocks; returned memory never moves.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    Arena(Arena&&) = default;
    Arena& operator=(Arena&&) = default;
    ~Arena();

    // Copies `n` bytes and returns their stable address.
    const uint8_t* store(const uint8_t* src, size_t n);
    // Room for up to `n` bytes written in place; `commit` keeps what was
    // written up to `end` and returns its stable address. A reservation that
    // is not committed is simply dropped.
    uint8_t* reserve(size_t n) {
        if (n > left_) start_block(n);
        return cur_;
    }
    const uint8_t* commit(uint8_t* end) {
        uint8_t* start = cur_;
        size_t n = size_t(end - start);
        cur_ = end;
        left_ -= n;
        used_ += n;
        return start;
    }
    size_t bytes_used() const { return used_; }
    // Takes over the blocks of `other`, which is left empty; what either
    // arena has stored keeps its address. New items still go to this
    // arena's current block.
    void adopt(Arena&& other);
    // Gives the memory pages of the current block that nothing was stored in
    // back to the system (they read as zeros if ever touched again): the
    // last block of a load is mostly empty when the load is small.
    void release_unused() noexcept;

private:
    void start_block(size_t n);
    struct BlockFree {
        size_t mapped = 0;  // bytes mapped for the block, or 0: from malloc
        bool spare = false;  // an arena's first mapped block: may be kept for the next arena
        void operator()(uint8_t* p) const noexcept;
    };
    struct Block {
        std::unique_ptr<uint8_t[], BlockFree> data;
        size_t size;
    };
    // 2 MiB: one huge page where the system offers them on request, which
    // spares the page faults of filling a block.
    static constexpr size_t kBlock = size_t(2) << 20;
    // The first block is small, the others kBlock: a small file neither
    // waits for a huge page to be cleared nor keeps most of one empty, and a
    // larger one still fills huge pages (blocks of sizes between would be
    // mapped, faulted page by page and unmapped again on every load).
    static constexpr size_t kFirstBlock = size_t(64) << 10;
    size_t next_block_ = kFirstBlock;
    // The first block of kBlock bytes takes ordinary pages, the later ones
    // huge pages: a small load (one arena per parsing thread) fills only part
    // of its first such block, and clearing a whole huge page for every
    // thread costs more than faulting in the pages it fills.
    unsigned mapped_blocks_ = 0;
    // Whether the current block (cur_'s, which adopted blocks after it do not
    // change) may be kept for the next arena when this one goes.
    bool current_spare_ = false;
    std::vector<Block> blocks_;
    uint8_t* cur_ = nullptr;
    size_t left_ = 0;
    size_t used_ = 0;
};

}  // namespace palisar::json
