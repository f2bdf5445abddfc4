#include "value.hpp"

#include <cmath>

namespace palisar::json {

namespace detail {
const double kPow10[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                           1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
}

const uint8_t* Value::end() const {
    const uint8_t* p = p_;
    uint8_t t = *p;
    unsigned n = t & 0x0F;
    switch (t >> 4) {
        case 0: return p + 1;
        case 1:
        case 2: return p + 1 + n;
        case 3: {
            const uint8_t* q = p + 1;
            while (*q & 0x80) ++q;
            return q + 1;
        }
        case 4: return p + 9;
        case 5: {
            const uint8_t* q = p + 1;
            uint64_t len = n;
            if (len == 15) len = detail::read_varint(q);
            return q + len;
        }
        default: return p + 1 + n + detail::read_le(p + 1, n);
    }
}

Value Value::find(std::string_view key) const {
    Value found;
    if (!is_object()) return found;
    Range r = elements();
    const uint8_t* q = r.b;
    while (q != r.e) {
        // Keys are always strings; compare length and bytes without decoding twice.
        const uint8_t* ks = q + 1;
        uint64_t len = *q & 0x0F;
        if (len == 15) len = detail::read_varint(ks);
        const uint8_t* v = ks + len;
        if (len == key.size() && std::memcmp(ks, key.data(), len) == 0) found = Value(v);
        q = Value(v).end();
    }
    return found;
}

size_t Value::size() const {
    size_t n = 0;
    if (is_array()) {
        for (Value v : elements()) (void)v, ++n;
    } else if (is_object()) {
        for_each_member([&](std::string_view, Value) { ++n; });
    }
    return n;
}

namespace {
// Rounds half to even; exact for |x| < 2^51.
inline double round_even(double x) {
    constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52
    return x >= 0 ? (x + kMagic) - kMagic : (x - kMagic) + kMagic;
}
inline uint8_t* put_varint(uint8_t* p, uint64_t z) {
    while (z >= 0x80) {
        *p++ = uint8_t(z | 0x80);
        z >>= 7;
    }
    *p++ = uint8_t(z);
    return p;
}
}  // namespace

void Builder::grow(size_t n) {
    size_t cap = cap_ ? cap_ * 2 : 4096;
    while (cap - size_ < n) cap *= 2;
    auto bigger = std::make_unique_for_overwrite<uint8_t[]>(cap);
    if (size_) std::memcpy(bigger.get(), buf_.get(), size_);
    buf_ = std::move(bigger);
    cap_ = cap;
}

void Builder::number(double d) {
    uint8_t* p = room(11);
    // Most prices and sizes have a few decimal places: store them as a scaled
    // integer when that reads back to exactly the same double.
    if (std::fabs(d) < 1e13 && !(d == 0.0 && std::signbit(d))) {
        // Two decimal places cover most of the stream's numbers: try them first.
        {
            double r = round_even(d * 100.0);
            if (r / 100.0 == d) {
                int64_t m = int64_t(r);
                p[0] = uint8_t(tag::Decimal | 2);
                uint8_t* e = put_varint(p + 1, (uint64_t(m) << 1) ^ uint64_t(m >> 63));
                size_ += size_t(e - p);
                return;
            }
        }
        for (unsigned k = 0; k < 10; ++k) {
            double scaled = d * detail::kPow10[k];
            if (!(std::fabs(scaled) < 2251799813685248.0)) break;  // 2^51
            double r = round_even(scaled);
            if (r / detail::kPow10[k] == d) {
                int64_t m = int64_t(r);
                p[0] = uint8_t(tag::Decimal | k);
                uint8_t* e = put_varint(p + 1, (uint64_t(m) << 1) ^ uint64_t(m >> 63));
                size_ += size_t(e - p);
                return;
            }
        }
    }
    p[0] = tag::RawDouble;
    std::memcpy(p + 1, &d, 8);
    size_ += 9;
}

void Builder::string(std::string_view s) {
    size_t n = s.size();
    uint8_t* p = room(n + 11);
    uint8_t* q;
    if (n < 15) {
        p[0] = uint8_t(tag::String | n);
        q = p + 1;
    } else {
        p[0] = tag::LongString;
        q = put_varint(p + 1, n);
    }
    std::memcpy(q, s.data(), n);
    size_ += size_t(q - p) + n;
}

void Builder::end_container() {
    size_t at = open_.back();
    open_.pop_back();
    size_t body = size_ - (at + 2);
    unsigned w = body <= 0xFF ? 1 : body <= 0xFFFF ? 2 : body <= 0xFFFFFFFFu ? 4 : 8;
    if (w > 1) {
        // Widen the length field: shift the elements to make room.
        room(w - 1);
        uint8_t* b = buf_.get();
        std::memmove(b + at + 1 + w, b + at + 2, body);
        size_ += w - 1;
    }
    uint8_t* b = buf_.get();
    b[at] = uint8_t((b[at] & 0xF0) | w);
    for (unsigned i = 0; i < w; ++i) b[at + 1 + i] = uint8_t(body >> (8 * i));
}

const uint8_t* Arena::store(const uint8_t* src, size_t n) {
    if (n > left_) {
        size_t size = n > kBlock / 4 ? n : kBlock;
        blocks_.push_back(Block{std::make_unique_for_overwrite<uint8_t[]>(size), size});
        reserved_ += size;
        if (size == kBlock) {
            cur_ = blocks_.back().data.get();
            left_ = size;
        } else {
            // An oversized item gets a block of its own; keep filling the current one.
            uint8_t* dst = blocks_.back().data.get();
            std::memcpy(dst, src, n);
            used_ += n;
            return dst;
        }
    }
    uint8_t* dst = cur_;
    std::memcpy(dst, src, n);
    cur_ += n;
    left_ -= n;
    used_ += n;
    return dst;
}

}  // namespace palisar::json
