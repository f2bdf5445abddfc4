// A bzip2 block decoder for well-formed blocks. A block is: the 48-bit magic,
// the CRC of its text, a randomised flag, the start of the original text in the
// sorted rotations, which byte values occur, the Huffman tables and the table
// used by each 50 symbols, then the symbols: move-to-front indexes with runs
// of the front byte coded as RUNA/RUNB digits. The decoded bytes are the last
// column of the sorted rotations; undoing the transform gives the text with its
// runs of four or more equal bytes written as four bytes and a count.
//
// Anything out of the ordinary (a randomised block, an incomplete or
// oversubscribed code, a count beyond its bound, bits past the block's end, a
// text ending in a run of four without its count, a CRC that does not match)
// makes decode() answer false and leaves the block to
// libbz2. Every index into a table or the block is bounded, whatever the input.
#include "parse/bzip2_block.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/memory.hpp"
#include "parse/cond_var.hpp"

#if PALISAR_WITH_ISAL
#include <isa-l/crc.h>
#endif

#ifdef PALISAR_BZIP2_STAGE_TIMES
#include <chrono>
#endif

namespace palisar::parse {

#ifdef PALISAR_BZIP2_STAGE_TIMES
uint64_t bzip2_stage_nanos[kStages];
#endif

namespace {

#ifdef PALISAR_BZIP2_STAGE_TIMES
struct StageClock {
    std::chrono::steady_clock::time_point t = std::chrono::steady_clock::now();
    void lap(Bzip2Stage stage) {
        auto now = std::chrono::steady_clock::now();
        bzip2_stage_nanos[stage] += uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(now - t).count());
        t = now;
    }
};
#define STAGE_CLOCK StageClock stage_clock
#define STAGE_LAP(stage) stage_clock.lap(stage)
#else
#define STAGE_CLOCK
#define STAGE_LAP(stage)
#endif

// The scratch of decoders that are gone, kept for the next ones: a caller who
// loads one bzip2 file after another would otherwise have the kernel map and
// zero about 4.7 MB afresh per decoding thread and file (a 1 MB market spent
// more time in such page faults than its blocks gained from this decoder).
// At most two sets are kept, so a process keeps at most about 9.4 MB for them.
constinit json::SpareSlots<Bzip2BlockDecoder::Scratch> kept_scratch;

bool take_kept_scratch(Bzip2BlockDecoder::Scratch& out) {
    Bzip2BlockDecoder::Scratch* s = kept_scratch.take();
    if (!s) return false;
    out = std::move(*s);
    delete s;
    return true;
}

// The links, on huge pages where the system gives them and they fill one:
// the chain walk loads from anywhere in them (3.6 MB for a -9 block), and
// with ordinary pages those loads also miss the address cache (about 4 % of
// a block's decoding on one CPU). They get a mapping of their own, so that
// the advice stays with them and not with memory malloc hands out later.
// Null when memory runs out.
Bzip2BlockDecoder::Scratch::Links huge_page_links(size_t count) {
    using Links = Bzip2BlockDecoder::Scratch::Links;
    constexpr size_t kHuge = size_t(2) << 20;
    const size_t bytes = count * sizeof(uint32_t);
    if (bytes < kHuge) return Links(static_cast<uint32_t*>(std::malloc(bytes)));
    const size_t mapped = (bytes + kHuge - 1) & ~(kHuge - 1);
    void* p = json::map_aligned(mapped, kHuge);
    if (!p) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, mapped, MADV_HUGEPAGE);  // only advice: without it the links stay on ordinary pages
#endif
    return Links(static_cast<uint32_t*>(p), {mapped});
}

constexpr unsigned kFastBits = 11;   // a first-level table of 2^11 entries per Huffman table
constexpr unsigned kPairBits = 10;   // and one of 2^10 entries for two symbols at once
constexpr unsigned kMaxCodeLen = 20;
constexpr unsigned kMaxAlpha = 258;  // RUNA, RUNB, 255 move-to-front indexes, end of block
constexpr unsigned kMaxGroups = 6;
constexpr unsigned kMaxSelectors = 18002;  // libbz2 keeps no more
constexpr unsigned kGroupSize = 50;

inline uint64_t load64_be(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}
inline uint32_t load32_be(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

// MSB-first bits of data[0, size); bytes past `size` read as zeros.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size, uint64_t bit) : data_(data), size_(size), byte_(size_t(bit / 8)) {
        refill();
        skip(unsigned(bit % 8));
    }
    // At least 56 bits available afterwards. Inlined by force: called, it
    // keeps the reader's state in memory through the symbol loop.
    [[gnu::always_inline]] inline void refill() {
        if (byte_ + 8 <= size_) [[likely]] {
            buf_ |= load64_be(data_ + byte_) >> cnt_;
            byte_ += (63 - cnt_) >> 3;
            cnt_ |= 56;
        } else {
            while (cnt_ <= 56) {
                uint64_t b = byte_ < size_ ? data_[byte_] : 0;
                buf_ |= b << (56 - cnt_);
                ++byte_;
                cnt_ += 8;
            }
        }
    }
    inline uint32_t peek(unsigned n) const { return uint32_t(buf_ >> (64 - n)); }  // 1 <= n <= 32
    inline void skip(unsigned n) {
        buf_ <<= n;
        cnt_ -= n;
    }
    inline uint32_t get(unsigned n) {  // 1 <= n <= 24
        refill();
        uint32_t v = peek(n);
        skip(n);
        return v;
    }
    uint64_t position() const { return uint64_t(byte_) * 8 - cnt_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t byte_;
    uint64_t buf_ = 0;
    unsigned cnt_ = 0;
};

// A canonical Huffman code: codes of each length in symbol order, shorter
// lengths first. Codes up to kFastBits long are found in one look-up.
struct HuffmanTable {
    uint16_t fast[1u << kFastBits];  // symbol | length << 9; 0: a longer code
    // Two codes that fit in kPairBits together, the first not the end of the
    // block: first | second << 9 | both lengths << 18; 0: not two such codes.
    uint32_t pair[1u << kPairBits];
    uint32_t first[kMaxCodeLen + 2];  // the first code of each length
    uint32_t count[kMaxCodeLen + 2];
    uint32_t offset[kMaxCodeLen + 2];  // where each length's symbols start in `sorted`
    uint16_t sorted[kMaxAlpha];

    // False unless the lengths form a complete prefix code.
    bool build(const uint8_t* lengths, unsigned alpha) {
        std::fill(std::begin(count), std::end(count), 0u);
        for (unsigned s = 0; s < alpha; ++s) ++count[lengths[s]];
        uint32_t kraft = 0;
        for (unsigned len = 1; len <= kMaxCodeLen; ++len) kraft += count[len] << (kMaxCodeLen - len);
        if (kraft != (1u << kMaxCodeLen)) return false;
        uint32_t code = 0, at = 0;
        for (unsigned len = 1; len <= kMaxCodeLen; ++len) {
            first[len] = code;
            offset[len] = at;
            code = (code + count[len]) << 1;
            at += count[len];
        }
        uint32_t next[kMaxCodeLen + 1];
        for (unsigned len = 1; len <= kMaxCodeLen; ++len) next[len] = offset[len];
        for (unsigned s = 0; s < alpha; ++s) sorted[next[lengths[s]]++] = uint16_t(s);
        std::memset(fast, 0, sizeof fast);
        for (unsigned len = 1; len <= kFastBits; ++len) {
            for (uint32_t k = 0; k < count[len]; ++k) {
                uint32_t c = first[len] + k;
                uint16_t entry = uint16_t(sorted[offset[len] + k] | len << 9);
                uint32_t from = c << (kFastBits - len), to = (c + 1) << (kFastBits - len);
                for (uint32_t e = from; e < to; ++e) fast[e] = entry;
            }
        }
        constexpr unsigned pad = kFastBits - kPairBits;
        for (uint32_t e = 0; e < (1u << kPairBits); ++e) {
            pair[e] = 0;
            const uint16_t one = fast[e << pad];
            const unsigned len1 = one >> 9;
            if (!one || len1 >= kPairBits || (one & 511u) == alpha - 1) continue;
            const uint16_t two = fast[((e << len1) & ((1u << kPairBits) - 1)) << pad];
            const unsigned len2 = two >> 9;
            if (!two || len1 + len2 > kPairBits) continue;
            pair[e] = (one & 511u) | uint32_t(two & 511u) << 9 | (len1 + len2) << 18;
        }
        return true;
    }

    // The next symbol; at least 20 bits must be available.
    inline unsigned decode(BitReader& bits) const {
        uint16_t e = fast[bits.peek(kFastBits)];
        if (e) [[likely]] {
            bits.skip(e >> 9);
            return e & 511u;
        }
        uint32_t v = bits.peek(kMaxCodeLen);
        for (unsigned len = kFastBits + 1; len <= kMaxCodeLen; ++len) {
            uint32_t k = (v >> (kMaxCodeLen - len)) - first[len];
            if (k < count[len]) {
                bits.skip(len);
                return sorted[offset[len] + k];
            }
        }
        return kMaxAlpha;  // not reached for a complete code
    }
};

// Moves mtf[idx] to the front, the bytes before it one place back. The
// first 16 bytes are always written last and whole, in one store, which the
// next symbol's loads from the front are served from; an index under 16
// moves with no branch on where it lies (which the processor would often
// guess wrong). Bytes 16 and after move in 16-byte pieces from the top down.
inline void move_to_front(uint8_t* mtf, unsigned idx) {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mtf));
    const __m128i b = _mm_cvtsi32_si128(mtf[idx]);
    __m128i moved = _mm_slli_si128(v, 1);
    if (idx < 16) {
        const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m128i after = _mm_cmpgt_epi8(lanes, _mm_set1_epi8(char(idx)));  // the bytes that stay
        moved = _mm_or_si128(_mm_andnot_si128(after, moved), _mm_and_si128(after, v));
    } else {
        // Byte j takes byte j - 1 for j from 16 to idx: 16 at a time, from
        // [idx - 15, idx] down (each piece reads only bytes below what the
        // pieces before wrote; the lowest may reach into the first 16, with
        // the same bytes the last store writes there).
        for (unsigned at = idx - 15;; at -= 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(mtf + at),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(mtf + at - 1)));
            if (at <= 16) break;
        }
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(mtf), _mm_or_si128(moved, b));
#else
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Elsewhere an index under 16 moves as one or two words.
    if (idx < 8) {
        uint64_t x;
        std::memcpy(&x, mtf, 8);
        const uint64_t keep = ~uint64_t(0) << 8 << (8 * idx);  // the bytes after idx stay
        x = (x & keep) | (x << 8 & ~keep) | (x >> (8 * idx) & 0xFF);
        std::memcpy(mtf, &x, 8);
        return;
    }
    if (idx < 16) {
        uint64_t lo, hi;
        std::memcpy(&lo, mtf, 8);
        std::memcpy(&hi, mtf + 8, 8);
        const uint64_t keep = ~uint64_t(0) << 8 << (8 * (idx - 8));
        const uint64_t b = hi >> (8 * (idx - 8)) & 0xFF;
        hi = (hi & keep) | ((hi << 8 | lo >> 56) & ~keep);
        lo = lo << 8 | b;
        std::memcpy(mtf, &lo, 8);
        std::memcpy(mtf + 8, &hi, 8);
        return;
    }
#endif
    const uint8_t b = mtf[idx];
    std::memmove(mtf + 1, mtf, idx);
    mtf[0] = b;
#endif
}

const std::array<std::array<uint32_t, 256>, 8>& crc_tables() {
    static const auto tables = [] {
        std::array<std::array<uint32_t, 256>, 8> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n << 24;
            for (int k = 0; k < 8; ++k) c = c & 0x80000000u ? c << 1 ^ 0x04C11DB7u : c << 1;
            t[0][n] = c;
        }
        for (size_t k = 1; k < 8; ++k)
            for (uint32_t n = 0; n < 256; ++n) t[k][n] = t[k - 1][n] << 8 ^ t[0][t[k - 1][n] >> 24];
        return t;
    }();
    return tables;
}

// The inverse transform. With L the block's bytes and T[j] the place in L of
// the j-th smallest of them (equal bytes in their order in L), the text is
// L[T[origPtr]], L[T[T[origPtr]]]... for the block's length: a walk along
// one cycle of T, each step a load from a 3.6 MB array that depends on the
// one before, so one walk waits for memory at every step. Instead some
// indexes are marked (every 2^shift-th, and origPtr), a chain is walked from
// each mark until it reaches the next mark, kChains chains at once (their
// loads in flight together), and the text is the chains' bytes in cycle
// order: origPtr's chain, then the chain of the mark it ended at, and so on
// until the chain that ends at origPtr.
//
// A chain's bytes go to the pool in runs of kChunk bytes taken as needed, so
// a chain's bytes are one or more pieces. Every chain ends: T is a
// permutation, so a chain from a mark comes back to a mark (at worst its
// own) within its cycle, and all chains together take at most the block's
// length of steps; running out of pool means something else is wrong and
// answers false.
//
// Up to kWalkers threads walk at once, each its own chains: a walker takes
// the next kGrab marks nobody has taken, room in the pool from a shared
// bump, and keeps its pieces in a range of its own. The links are made in
// units of two parts of the block (see link()), which the walkers take the
// same way.
//
// A text that repeats itself (a block of one run, say) has a cycle through
// origPtr shorter than the block: the text is that cycle's bytes repeated,
// when its length divides the block's, and anything else is refused.
class ChainWalk {
public:
    static constexpr unsigned kWalkers = 2;           // the decoding thread and one helper
    static constexpr unsigned kChains = 11;           // chains walked at once by a walker (12 measured slower)
    static constexpr uint32_t kMaxMarks = 1024;       // a block has at most one more regular mark, and origPtr
    static constexpr uint32_t kGrab = 4;              // marks a walker takes at a time
    static constexpr unsigned kRound = 32;            // steps of every chain between checks of room
    static constexpr uint32_t kChunk = 8192;          // the room a chain takes at a time
    static constexpr uint32_t kMarked = 1u << 23;     // a link >> 8 this large: the index reached is a mark
    static constexpr uint32_t kNone = ~0u;
    static constexpr uint32_t kPart = 32768;          // a block is cut into parts of about this many bytes

    // The pool's bytes and the bookkeeping's words for blocks of up to `max_block` bytes.
    static size_t pool_size(uint32_t max_block) {
        return size_t(max_block) + max_block / 64 + kWalkers * (kChains + 2) * kChunk;
    }
    static uint32_t piece_cap(uint32_t max_block) {
        return kMaxMarks + 2 + uint32_t(pool_size(max_block) / kChunk) + 2 * kChains + 4;
    }
    static size_t words(uint32_t max_block) {
        return 4 * size_t(kMaxMarks + 2) + 3 * kWalkers * size_t(piece_cap(max_block));
    }
    // The most cuts a block has (its start and end included), and the words of their counts.
    static uint32_t max_cuts(uint32_t max_block) { return max_block / kPart + 3; }
    static size_t cut_words(uint32_t max_block) { return size_t(max_cuts(max_block)) * 257; }

    ChainWalk(uint32_t nblock, uint32_t orig_ptr, uint32_t* links, uint8_t* pool, uint32_t max_block, uint32_t* words)
        : nblock_(nblock), orig_ptr_(orig_ptr), links_(links), pool_(pool), pool_size_(pool_size(max_block)),
          piece_cap_(piece_cap(max_block)) {
        while ((nblock >> shift_) > kMaxMarks) ++shift_;
        regular_ = ((nblock - 1) >> shift_) + 1;
        orig_mark_ = (orig_ptr & ((1u << shift_) - 1)) == 0 ? orig_ptr >> shift_ : regular_;
        marks_ = regular_ + (orig_mark_ == regular_);
        const uint32_t m = kMaxMarks + 2;
        head_ = words;
        tail_ = head_ + m;
        end_of_ = tail_ + m;
        length_ = end_of_ + m;
        piece_off_ = length_ + m;
        piece_len_ = piece_off_ + kWalkers * piece_cap_;
        piece_next_ = piece_len_ + kWalkers * piece_cap_;
        std::fill(head_, head_ + marks_, kNone);
        std::fill(end_of_, end_of_ + marks_, kNone);
        std::fill(length_, length_ + marks_, 0u);
        links_[nblock_] = nblock_ << 8;  // a link to itself, for chains with nothing left to do
    }

    // The block's parts: part k is [cut[k], cut[k + 1]) of the block's bytes,
    // `counts` + 256 * k the counts of the bytes before cut[k] (the last cut
    // is the block's end, with the counts of the whole block).
    void set_parts(const uint8_t* bytes, const uint32_t* cut, const uint32_t* counts, uint32_t parts) {
        bytes_ = bytes;
        cut_ = cut;
        counts_ = counts;
        parts_ = parts;
        const uint32_t* total = counts + 256 * size_t(parts);
        uint32_t sum = 0;
        for (unsigned b = 0; b < 256; ++b) {
            start_[b] = sum;
            sum += total[b];
        }
    }
    uint32_t link_units() const { return (parts_ + 1) / 2; }

    // Sets the links of parts 2u and 2u + 1 from the block's bytes (which the
    // pool then overwrites): links[j] = L[T[j]] | T[j] << 8, bit 31 set when
    // T[j] is marked. The two parts are linked at once: two runs of stores
    // whose places do not wait on one another.
    void link(uint32_t unit) const {
        const uint32_t k = 2 * unit;
        uint32_t start[256], start2[256];
        const uint32_t* before = counts_ + 256 * size_t(k);
        for (unsigned b = 0; b < 256; ++b) start[b] = start_[b] + before[b];
        const uint32_t mask = (1u << shift_) - 1, orig = orig_ptr_;
        const uint8_t* const bytes = bytes_;
        auto one = [&](uint32_t* at, uint32_t i) {
            const uint32_t b = bytes[i];
            links_[at[b]++] = b | i << 8 | uint32_t((i & mask) == 0 || i == orig) << 31;
        };
        uint32_t i = cut_[k];
        const uint32_t split = cut_[k + 1];
        if (k + 1 < parts_) {
            const uint32_t* before2 = counts_ + 256 * size_t(k + 1);
            for (unsigned b = 0; b < 256; ++b) start2[b] = start_[b] + before2[b];
            uint32_t i2 = split;
            const uint32_t end2 = cut_[k + 2];
            for (uint32_t both = std::min(split - i, end2 - i2); both; --both, ++i, ++i2) {
                one(start, i);
                one(start2, i2);
            }
            for (; i < split; ++i) one(start, i);
            for (; i2 < end2; ++i2) one(start2, i2);
        } else {
            for (; i < split; ++i) one(start, i);
        }
    }

    // Walks chains until no mark is left to take; false when the pool or
    // this walker's bookkeeping runs out, or another walker failed.
    bool run(unsigned walker) {
        const bool ok = walk(walker);
        if (!ok) failed_.store(true, std::memory_order_relaxed);
        return ok;
    }

    // Calls f(begin, end) on each piece of the text in order; false when the
    // chains do not make the text (see above) or f answers false.
    template <class F>
    bool in_order(F&& f) const {
        uint64_t cycle = 0;
        uint32_t c = orig_mark_, hops = 0;
        do {
            if (end_of_[c] == kNone || ++hops > marks_) return false;
            cycle += length_[c];
            c = end_of_[c];
        } while (c != orig_mark_);
        if (cycle == 0 || nblock_ % cycle) return false;
        for (uint64_t rep = nblock_ / cycle; rep; --rep) {
            do {
                for (uint32_t k = head_[c]; k != kNone; k = piece_next_[k])
                    if (!f(pool_ + piece_off_[k], pool_ + piece_off_[k] + piece_len_[k])) return false;
                c = end_of_[c];
            } while (c != orig_mark_);
        }
        return true;
    }

private:
    bool walk(unsigned walker) {
        uint32_t p[kChains];
        uint8_t* w[kChains];
        uint8_t* wend[kChains];
        uint8_t* from[kChains];
        uint32_t cur[kChains];
        uint8_t junk[kRound];
        uint32_t active = 0, taken = 0, taken_end = 0, pieces = 0;
        bool none_left = false;
        const uint32_t first_piece = walker * piece_cap_;
        auto start = [&](unsigned s) {
            if (taken == taken_end && !none_left) {
                taken = next_mark_.fetch_add(kGrab);
                none_left = taken >= marks_;
                taken_end = none_left ? taken : std::min(taken + kGrab, marks_);
            }
            if (taken < taken_end) {
                const uint32_t next = taken++;
                cur[s] = next;
                p[s] = next < regular_ ? next << shift_ : orig_ptr_;
                from[s] = w[s];
                ++active;
            } else {
                cur[s] = kNone;
                p[s] = nblock_;
                w[s] = junk;
            }
        };
        auto close = [&](unsigned s) {
            const uint32_t len = uint32_t(w[s] - from[s]);
            if (!len) return true;
            if (pieces == piece_cap_) return false;
            const uint32_t k = first_piece + pieces++, c = cur[s];
            piece_off_[k] = uint32_t(from[s] - pool_);
            piece_len_[k] = len;
            piece_next_[k] = kNone;
            if (head_[c] == kNone)
                head_[c] = k;
            else
                piece_next_[tail_[c]] = k;
            tail_[c] = k;
            length_[c] += len;
            return true;
        };
        auto room = [&](unsigned s) {
            if (wend[s]) {  // the chain's room goes on, if nobody has taken what follows it
                size_t at = size_t(wend[s] - pool_);
                if (pool_size_ - at >= kChunk && bump_.compare_exchange_strong(at, at + kChunk)) {
                    wend[s] += kChunk;
                    return true;
                }
            }
            if (!close(s)) return false;
            const size_t at = bump_.fetch_add(kChunk);
            if (at >= pool_size_ || pool_size_ - at < kRound) return false;
            w[s] = from[s] = pool_ + at;
            wend[s] = pool_ + std::min(at + kChunk, pool_size_);
            return true;
        };
        auto finish = [&](unsigned s) {
            const uint32_t at = p[s] - kMarked;
            if (!close(s)) return false;
            end_of_[cur[s]] = at == orig_ptr_ ? orig_mark_ : at >> shift_;
            --active;
            start(s);
            return true;
        };
        for (unsigned s = 0; s < kChains; ++s) {
            w[s] = wend[s] = nullptr;
            start(s);
        }
        while (active) {
            if (failed_.load(std::memory_order_relaxed)) return false;
            for (unsigned s = 0; s < kChains; ++s) {
                if (cur[s] == kNone)
                    w[s] = junk;
                else if (wend[s] - w[s] < ptrdiff_t(kRound) && !room(s))
                    return false;
            }
            for (unsigned r = 0; r < kRound; ++r) {
#pragma GCC unroll 16
                for (unsigned s = 0; s < kChains; ++s) {
                    const uint32_t v = links_[p[s]];
                    *w[s]++ = uint8_t(v);
                    p[s] = v >> 8;
                    if (p[s] >= kMarked) [[unlikely]] {
                        if (!finish(s)) return false;
                    }
                }
            }
        }
        return true;
    }

    const uint32_t nblock_, orig_ptr_;
    uint32_t* const links_;
    uint8_t* const pool_;
    const size_t pool_size_;
    const uint32_t piece_cap_;
    unsigned shift_ = 0;
    uint32_t regular_, orig_mark_, marks_;
    uint32_t *head_, *tail_, *end_of_, *length_, *piece_off_, *piece_len_, *piece_next_;
    const uint8_t* bytes_ = nullptr;
    const uint32_t* cut_ = nullptr;
    const uint32_t* counts_ = nullptr;
    uint32_t parts_ = 0;
    uint32_t start_[256];
    std::atomic<uint32_t> next_mark_{0};
    std::atomic<size_t> bump_{0};
    std::atomic<bool> failed_{false};
};

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The links and the walk of one block, by the decoding thread (walker 0) and
// whichever thread takes the share (walker 1). Each takes link units until
// none is left, waits until all are made, then walks; the decoding thread
// then waits until every walker that started has stopped. A thread that
// comes late finds nothing left to take and leaves.
class BlockShare final : public Bzip2Share {
public:
    explicit BlockShare(ChainWalk& walk) : walk_(walk), units_(walk.link_units()) {}

    void help() override {
        link();
        walk(1);
    }

    void link() {
        for (uint32_t u; (u = next_unit_.fetch_add(1)) < units_;) {
            walk_.link(u);
            if (units_done_.fetch_add(1) + 1 == units_) wake();
        }
        wait([&] { return units_done_.load() == units_; });
    }

    // False when the walk failed (the walker that failed has stopped; any other stops soon).
    bool walk(unsigned walker) {
        walkers_in_.fetch_add(1);
        const bool ok = walk_.run(walker);
        walkers_out_.fetch_add(1);
        if (walker == 0)
            wait([&] { return walkers_out_.load() == walkers_in_.load(); });
        else
            wake();
        return ok;
    }

private:
    template <class Ready>
    void wait(Ready ready) {
        for (int spin = 0; spin < 1000; ++spin) {
            if (ready()) return;
            cpu_relax();
        }
        std::unique_lock lock(mutex_);
        cv_.wait(lock, ready);
    }
    void wake() {
        std::lock_guard lock(mutex_);
        cv_.notify_all();
    }

    ChainWalk& walk_;
    const uint32_t units_;
    std::atomic<uint32_t> next_unit_{0}, units_done_{0}, walkers_in_{0}, walkers_out_{0};
    std::mutex mutex_;
    CondVar cv_;
};
}  // namespace

uint32_t bzip2_crc_update(uint32_t crc, const uint8_t* p, size_t n) {
#if PALISAR_WITH_ISAL
    // The same CRC (ISA-L keeps it inverted), with carry-less multiplication
    // where the CPU has it: about a hundred times the tables' speed.
    if (n >= 64) return ~crc32_ieee(~crc, p, n);
#endif
    const auto& t = crc_tables();
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t a = crc ^ load32_be(p), b = load32_be(p + 4);
        crc = t[7][a >> 24] ^ t[6][a >> 16 & 0xFF] ^ t[5][a >> 8 & 0xFF] ^ t[4][a & 0xFF] ^ t[3][b >> 24] ^
              t[2][b >> 16 & 0xFF] ^ t[1][b >> 8 & 0xFF] ^ t[0][b & 0xFF];
    }
    for (; n; --n, ++p) crc = crc << 8 ^ t[0][(crc >> 24) ^ *p];
    return crc;
}

struct Bzip2BlockDecoder::Tables {
    uint8_t selector[kMaxSelectors];
    HuffmanTable huffman[kMaxGroups];
};

void Bzip2LinksRelease::operator()(uint32_t* p) const noexcept {
    if (mapped)
        munmap(p, mapped);
    else
        std::free(p);
}

Bzip2BlockDecoder::Bzip2BlockDecoder() = default;

Bzip2BlockDecoder::~Bzip2BlockDecoder() {
    if (!scratch_.size) return;
    Scratch* kept = new (std::nothrow) Scratch(std::move(scratch_));
    if (kept && !kept_scratch.keep(kept)) delete kept;
}

bool Bzip2BlockDecoder::decode(const uint8_t* data, size_t size, uint64_t begin, uint64_t end, int level,
                               size_t max_text, std::vector<uint8_t>& text, Bzip2Helpers* helpers,
                               uint32_t share_from) {
    if (level < 1 || level > 9 || end <= begin || end > uint64_t(size) * 8) return false;
    STAGE_CLOCK;
    // Bytes well past the end read as zeros: every loop below ends on them.
    size = std::min<size_t>(size, size_t(end / 8) + 8);
    BitReader bits(data, size, begin);
    if (bits.get(24) != 0x314159 || bits.get(24) != 0x265359) return false;
    stored_crc_ = bits.get(16) << 16;
    stored_crc_ |= bits.get(16);
    if (bits.get(1)) return false;  // randomised: a mode no encoder of this century writes
    const uint32_t orig_ptr = bits.get(24);

    // The byte values in use: 16 ranges of 16, then each used range's values.
    uint8_t values[256];
    unsigned in_use = 0;
    const uint32_t ranges = bits.get(16);
    for (unsigned r = 0; r < 16; ++r) {
        if (!(ranges >> (15 - r) & 1)) continue;
        const uint32_t used = bits.get(16);
        for (unsigned v = 0; v < 16; ++v)
            if (used >> (15 - v) & 1) values[in_use++] = uint8_t(r * 16 + v);
    }
    if (in_use == 0) return false;
    const unsigned alpha = in_use + 2;

    const unsigned groups = bits.get(3);
    if (groups < 2 || groups > kMaxGroups) return false;
    const unsigned selectors = bits.get(15);
    if (selectors < 1 || selectors > kMaxSelectors) return false;
    if (!tables_) tables_.reset(new (std::nothrow) Tables);
    if (!tables_) return false;
    uint8_t* const selector = tables_->selector;
    {
        uint8_t order[kMaxGroups] = {0, 1, 2, 3, 4, 5};
        for (unsigned i = 0; i < selectors; ++i) {
            unsigned j = 0;
            bits.refill();
            while (bits.peek(1)) {
                bits.skip(1);
                if (++j >= groups) return false;
            }
            bits.skip(1);
            uint8_t g = order[j];
            for (; j > 0; --j) order[j] = order[j - 1];
            order[0] = g;
            selector[i] = g;
        }
    }

    HuffmanTable* const tables = tables_->huffman;
    for (unsigned g = 0; g < groups; ++g) {
        uint8_t lengths[kMaxAlpha];
        int len = int(bits.get(5));
        for (unsigned s = 0; s < alpha; ++s) {
            for (;;) {
                if (len < 1 || len > int(kMaxCodeLen)) return false;
                bits.refill();
                if (!bits.peek(1)) {
                    bits.skip(1);
                    break;
                }
                len += bits.peek(2) == 2 ? 1 : -1;  // 10: longer, 11: shorter
                bits.skip(2);
            }
            lengths[s] = uint8_t(len);
        }
        if (!tables[g].build(lengths, alpha)) return false;
    }

    // The symbols: move-to-front indexes and runs, into `bytes`.
    const uint32_t max_block = uint32_t(level) * 100000;
    if (scratch_.size < max_block && !(take_kept_scratch(scratch_) && scratch_.size >= max_block)) {
        scratch_.links = huge_page_links(max_block + 1);
        scratch_.bytes.reset(new (std::nothrow) uint8_t[ChainWalk::pool_size(max_block)]);
        scratch_.chains.reset(new (std::nothrow) uint32_t[ChainWalk::words(max_block)]);
        scratch_.cuts.reset(new (std::nothrow) uint32_t[ChainWalk::cut_words(max_block)]);
        if (!scratch_.links || !scratch_.bytes || !scratch_.chains || !scratch_.cuts) {
            scratch_ = {};
            return false;
        }
        scratch_.size = max_block;
    }
    uint8_t* const bytes = scratch_.bytes.get();
    // The block is cut into parts at the first group boundaries past each
    // multiple of kPart bytes (a run still pending is in neither part), with
    // the counts of the bytes before each cut.
    uint32_t* const cut = scratch_.cuts.get();
    uint32_t* const cut_counts = cut + ChainWalk::max_cuts(max_block);
    uint32_t counts[256] = {}, parts = 0, next_cut = 0;
    uint8_t mtf[256] = {};
    std::memcpy(mtf, values, in_use);
    const unsigned eob = in_use + 1;
    uint32_t nblock = 0;
    uint32_t run = 0, weight = 1;
    unsigned group = 0, left = 0;
    const HuffmanTable* table = nullptr;
    // One symbol: 0 to go on, 1 at the end of the block, 2 on a fault.
    auto symbol = [&](unsigned sym) __attribute__((always_inline)) {
        if (sym <= 1) {  // RUNA adds 1, RUNB 2, times the digit's weight
            if (weight >= (2u << 20)) return 2;
            run += (sym + 1) * weight;
            weight <<= 1;
            return 0;
        }
        if (run) {
            if (run > max_block - nblock) return 2;
            const uint8_t b = mtf[0];
            counts[b] += run;
            std::memset(bytes + nblock, b, run);
            nblock += run;
            run = 0;
            weight = 1;
        }
        if (sym == eob) return 1;
        if (sym > eob || nblock >= max_block) return 2;
        const unsigned idx = sym - 1;
        const uint8_t b = mtf[idx];
        move_to_front(mtf, idx);
        ++counts[b];
        bytes[nblock++] = b;
        return 0;
    };
    for (;;) {
        if (left == 0) {
            if (group >= selectors || bits.position() > end) return false;
            table = &tables[selector[group++]];
            left = kGroupSize;
            if (nblock >= next_cut) {
                cut[parts] = nblock;
                std::memcpy(cut_counts + 256 * size_t(parts++), counts, sizeof counts);
                next_cut = (nblock / ChainWalk::kPart + 1) * ChainWalk::kPart;
            }
        }
        bits.refill();
        const uint32_t two = left >= 2 ? table->pair[bits.peek(kPairBits)] : 0;
        int r;
        if (two) {
            bits.skip(two >> 18);
            left -= 2;
            r = symbol(two & 511u);  // never the end of the block
            if (r == 0) r = symbol(two >> 9 & 511u);
        } else {
            --left;
            r = symbol(table->decode(bits));
        }
        if (r == 1) break;
        if (r) return false;
    }
    if (bits.position() != end || orig_ptr >= nblock) return false;
    STAGE_LAP(kStageSymbols);

    if (cut[parts - 1] == nblock) --parts;  // no empty last part
    cut[parts] = nblock;
    std::memcpy(cut_counts + 256 * size_t(parts), counts, sizeof counts);

    // Undo the transform (see ChainWalk), with another thread if one comes.
    ChainWalk walk(nblock, orig_ptr, scratch_.links.get(), bytes, max_block, scratch_.chains.get());
    walk.set_parts(bytes, cut, cut_counts, parts);
    BlockShare share(walk);
    const bool offered = helpers && nblock >= share_from;
    if (offered) helpers->offer(share);
    share.link();
    STAGE_LAP(kStageLinks);
    const bool walked = share.walk(0);
    if (offered) helpers->withdraw(share);
    if (!walked) return false;
    STAGE_LAP(kStageWalk);

    // The text, with each run of four equal bytes followed by a count of more.
    size_t cap = std::min<size_t>(max_text, size_t(nblock) + nblock / 8 + 64);
    try {
        if (text.size() < cap) text.resize(cap);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint8_t* o = text.data();
    uint8_t* oend = o + cap;
    unsigned same = 0, last = 256;
    auto grow = [&](size_t need) {
        size_t used = size_t(o - text.data());
        if (max_text - used < need) return false;
        size_t want = std::min(max_text, std::max(used + need, text.size() * 2));
        try {
            text.resize(want);
        } catch (const std::bad_alloc&) {
            return false;
        }
        o = text.data() + used;
        oend = text.data() + text.size();
        return true;
    };
    auto one = [&](unsigned b) {
        if (same == 4) {
            if (b) {
                if (size_t(oend - o) < b && !grow(b)) return false;
                std::memset(o, int(last), b);
                o += b;
            }
            same = 0;
            return true;
        }
        if (o == oend && !grow(1)) return false;
        *o++ = uint8_t(b);
        same = b == last ? same + 1 : 1;
        last = b;
        return true;
    };
    auto unrun = [&](const uint8_t* p, const uint8_t* e) {
        while (p < e) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            // Eight bytes at a time while no four of them (with the ones
            // before) are equal: most text has no such runs.
            constexpr uint64_t k7F = 0x7F7F7F7F7F7F7F7Full;
            while (same <= 1 && e - p >= 8 && oend - o >= 8) {
                uint64_t x;
                std::memcpy(&x, p, 8);
                const uint64_t d = x ^ (x << 8 | (last & 0xFF));
                uint64_t eq = ~(((d & k7F) + k7F) | d | k7F);  // 0x80 in each byte equal to the one before
                if (same == 0) eq &= ~uint64_t(0x80);  // after a count the first byte starts a run anew
                if (eq & eq << 8 & eq << 16) break;
                std::memcpy(o, &x, 8);
                o += 8;
                p += 8;
                last = unsigned(x >> 56);
                same = eq >> 63 ? (eq >> 55 & 1 ? 3 : 2) : 1;
            }
            // Then one byte at a time, up to eight.
            for (const uint8_t* stop = p + std::min<ptrdiff_t>(e - p, 8); p < stop; ++p)
                if (!one(*p)) return false;
#else
            if (!one(*p++)) return false;
#endif
        }
        return true;
    };
    // Four equal bytes at the block's end want a count that is not there:
    // libbz2 reads past the block for it and calls the data corrupt.
    if (!walk.in_order(unrun) || same == 4) return false;
    const size_t n = size_t(o - text.data());
    text.resize(n);
    STAGE_LAP(kStageJoin);
    const bool crc_ok = ~bzip2_crc_update(0xFFFFFFFFu, text.data(), n) == stored_crc_;
    STAGE_LAP(kStageCrc);
    return crc_ok;
}

}  // namespace palisar::parse
