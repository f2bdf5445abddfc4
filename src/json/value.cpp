#include "json/value.hpp"

#include <cmath>
#include <cstdlib>
#include <new>

#include <sys/mman.h>

#include "json/memory.hpp"

namespace palisar::json {

namespace detail {
const double kPow10[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                           1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
}

Value Value::find(std::string_view key) const {
    Value found;
    if (!is_object()) return found;
    const unsigned id = key_id(key);
    Range r = elements();
    const uint8_t* q = r.b;
    while (q != r.e) {
        if (tag::is_key(*q)) {
            if ((*q & 0x3F) == id) found = Value(q + 1);
            q = Value(q + 1).end();
            continue;
        }
        // Compare length and bytes without decoding twice.
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

void Builder::grow(size_t n) {
    size_t cap = cap_ ? cap_ * 2 : 4096;
    while (cap - size_ < n) cap *= 2;
    auto bigger = std::make_unique_for_overwrite<uint8_t[]>(cap);
    if (size_) std::memcpy(bigger.get(), buf_.get(), size_);
    buf_ = std::move(bigger);
    cap_ = cap;
}

namespace encode {

uint8_t* number_slow(uint8_t* p, double d) {
    if (std::fabs(d) < 1e13 && !(d == 0.0 && std::signbit(d))) {
        for (unsigned k = 0; k < 10; ++k) {
            double scaled = d * detail::kPow10[k];
            if (!(std::fabs(scaled) < 2251799813685248.0)) break;  // 2^51
            double r = round_even(scaled);
            if (r / detail::kPow10[k] == d) return decimal(p, k, r);
        }
    }
    p[0] = tag::RawDouble;
    std::memcpy(p + 1, &d, 8);
    return p + 9;
}

uint8_t* close_wide(uint8_t* at, uint8_t* end) {
    size_t body = size_t(end - (at + 2));
    unsigned w = body <= 0xFFFF ? 2 : body <= 0xFFFFFFFFu ? 4 : 8;
    // Widen the length field: shift the elements to make room.
    std::memmove(at + 1 + w, at + 2, body);
    at[0] = uint8_t((at[0] & 0xF0) | w);
    for (unsigned i = 0; i < w; ++i) at[1 + i] = uint8_t(body >> (8 * i));
    return end + (w - 1);
}

}  // namespace encode

namespace {

// The first mapped block of an arena (ordinary pages, kBlock bytes), kept when
// its arena goes for the next one to start: a caller that loads one file
// after another would otherwise have every page it stores into faulted in
// and cleared anew on each load. A few are kept (a load's threads each start
// one), with the pages the last arena touched still resident.
constinit SpareSlots<void> spare_blocks;

}  // namespace

void Arena::BlockFree::operator()(uint8_t* p) const noexcept {
    if (spare && spare_blocks.keep(p)) return;
    if (mapped)
        munmap(p, mapped);
    else
        std::free(p);
}

Arena::~Arena() {
    // A first mapped block still current goes to the kept blocks holding only
    // the pages stored into (a load that failed never got to release_unused):
    // what the kept blocks hold follows the last loads instead of creeping up
    // to the most that any load has ever stored.
    if (current_spare_) release_unused();
}

void Arena::start_block(size_t n) {
    // A large item gets a block of its own size; the rest of the current
    // block is given up (items are small next to a block).
    size_t block = next_block_;
    next_block_ = kBlock;
    size_t size = n > block / 4 ? (n + block - 1) / block * block : block;
    size_t mapped = 0;
    const bool first_mapped = size == kBlock && mapped_blocks_ == 0;
    void* p = nullptr;
    if (size < kBlock) {
        p = std::malloc(size);
    } else {
        // Mapped rather than taken from malloc: blocks made on a parsing
        // thread would otherwise come from that thread's malloc arena, which
        // gives freed memory back to the system only from its top, so that
        // loads on several threads could leave resident memory behind them.
        mapped = (size + kBlock - 1) / kBlock * kBlock;
        if (first_mapped) p = spare_blocks.take();
        if (!p) p = map_aligned(mapped, kBlock);
    }
    if (!p) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
    if (size >= kBlock && mapped_blocks_ > 0) madvise(p, size, MADV_HUGEPAGE);  // advice only: without it, ordinary pages
#endif
    if (mapped) ++mapped_blocks_;
    blocks_.push_back(Block{std::unique_ptr<uint8_t[], BlockFree>(static_cast<uint8_t*>(p), BlockFree{mapped, first_mapped}), size});
    current_spare_ = first_mapped;
    cur_ = blocks_.back().data.get();
    left_ = size;
}

void Arena::release_unused() noexcept {
    if (blocks_.empty() || left_ < (size_t(64) << 10)) return;
    constexpr uintptr_t kPage = 4096;
    uintptr_t start = (reinterpret_cast<uintptr_t>(cur_) + kPage - 1) & ~(kPage - 1);
    uintptr_t end = reinterpret_cast<uintptr_t>(cur_ + left_) & ~(kPage - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

void Arena::adopt(Arena&& other) {
    if (&other == this) return;
    blocks_.reserve(blocks_.size() + other.blocks_.size());
    for (Block& b : other.blocks_) blocks_.push_back(std::move(b));
    used_ += other.used_;
    other.blocks_.clear();
    other.cur_ = nullptr;
    other.left_ = other.used_ = 0;
}

const uint8_t* Arena::store(const uint8_t* src, size_t n) {
    uint8_t* dst = reserve(n);
    std::memcpy(dst, src, n);
    return commit(dst + n);
}

}  // namespace palisar::json
