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
// CRC that does not match) makes decode() answer false and leaves the block to
// libbz2. Every index into a table or the block is bounded, whatever the input.
#include "parse/bzip2_block.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <new>

namespace palisar::parse {

namespace {

// The scratch of decoders that are gone, kept for the next ones: a caller who
// loads one bzip2 file after another would otherwise have the kernel map and
// zero about 9 MB afresh per decoding thread and file (a 1 MB market spent
// more time in those page faults than its blocks gained from this decoder).
// At most two sets are kept, so a process keeps at most about 18 MB for them.
constexpr size_t kKeptScratch = 2;
std::mutex kept_mutex;
Bzip2BlockDecoder::Scratch kept_scratch[kKeptScratch];

bool take_kept_scratch(Bzip2BlockDecoder::Scratch& out) {
    std::lock_guard lock(kept_mutex);
    for (Bzip2BlockDecoder::Scratch& s : kept_scratch) {
        if (s.size) {
            out = std::move(s);
            s = {};
            return true;
        }
    }
    return false;
}

constexpr unsigned kFastBits = 11;   // a first-level table of 2^11 entries per Huffman table
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
    // At least 56 bits available afterwards.
    inline void refill() {
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

}  // namespace

uint32_t bzip2_crc_update(uint32_t crc, const uint8_t* p, size_t n) {
    const auto& t = crc_tables();
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t a = crc ^ load32_be(p), b = load32_be(p + 4);
        crc = t[7][a >> 24] ^ t[6][a >> 16 & 0xFF] ^ t[5][a >> 8 & 0xFF] ^ t[4][a & 0xFF] ^ t[3][b >> 24] ^
              t[2][b >> 16 & 0xFF] ^ t[1][b >> 8 & 0xFF] ^ t[0][b & 0xFF];
    }
    for (; n; --n, ++p) crc = crc << 8 ^ t[0][(crc >> 24) ^ *p];
    return crc;
}

Bzip2BlockDecoder::~Bzip2BlockDecoder() {
    if (!scratch_.size) return;
    std::lock_guard lock(kept_mutex);
    for (Scratch& s : kept_scratch) {
        if (s.size < scratch_.size) {
            std::swap(s, scratch_);  // the smaller set, if any, goes with this decoder
            if (!scratch_.size) return;
        }
    }
}

bool Bzip2BlockDecoder::decode(const uint8_t* data, size_t size, uint64_t begin, uint64_t end, int level,
                               size_t max_text, std::vector<uint8_t>& text) {
    if (level < 1 || level > 9 || end <= begin || end > uint64_t(size) * 8) return false;
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
    uint8_t selector[kMaxSelectors];
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

    HuffmanTable tables[kMaxGroups];
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

    // The symbols: move-to-front indexes and runs, into tt as bytes.
    const uint32_t max_block = uint32_t(level) * 100000;
    if (scratch_.size < max_block && !(take_kept_scratch(scratch_) && scratch_.size >= max_block)) {
        scratch_.tt.reset(new (std::nothrow) uint32_t[max_block]);
        scratch_.tt_fwd.reset(new (std::nothrow) uint32_t[max_block]);
        scratch_.bytes.reset(new (std::nothrow) uint8_t[max_block]);
        if (!scratch_.tt || !scratch_.tt_fwd || !scratch_.bytes) {
            scratch_ = {};
            return false;
        }
        scratch_.size = max_block;
    }
    uint32_t* const tt = scratch_.tt.get();
    uint32_t counts[256] = {};
    uint8_t mtf[256];
    std::memcpy(mtf, values, in_use);
    const unsigned eob = in_use + 1;
    uint32_t nblock = 0;
    uint32_t run = 0, weight = 1;
    unsigned group = 0, left = 0;
    const HuffmanTable* table = nullptr;
    for (;;) {
        if (left == 0) {
            if (group >= selectors || bits.position() > end) return false;
            table = &tables[selector[group++]];
            left = kGroupSize;
        }
        --left;
        bits.refill();
        const unsigned sym = table->decode(bits);
        if (sym <= 1) {  // RUNA adds 1, RUNB 2, times the digit's weight
            if (weight >= (2u << 20)) return false;
            run += (sym + 1) * weight;
            weight <<= 1;
            continue;
        }
        if (run) {
            if (run > max_block - nblock) return false;
            const uint8_t b = mtf[0];
            counts[b] += run;
            for (uint32_t* p = tt + nblock, *e = p + run; p < e; ++p) *p = b;
            nblock += run;
            run = 0;
            weight = 1;
        }
        if (sym == eob) break;
        if (sym > eob || nblock >= max_block) return false;
        const unsigned idx = sym - 1;
        const uint8_t b = mtf[idx];
        std::memmove(mtf + 1, mtf, idx);
        mtf[0] = b;
        ++counts[b];
        tt[nblock++] = b;
    }
    if (bits.position() != end || orig_ptr >= nblock) return false;

    // Undo the transform. With L the decoded bytes and LF[i] the place of
    // L[i] among the sorted bytes, the text read backwards is L at origPtr,
    // LF[origPtr], LF[LF[origPtr]]...; read forwards it is the walk along T,
    // the inverse of LF, from origPtr. The first half is walked forwards and
    // the second backwards at the same time: two chains of loads from memory
    // in flight instead of one. The walks must meet where the halves join,
    // which holds for every block whose forward walk (libbz2's) comes back to
    // origPtr after the block's length; then both give the same text.
    uint32_t* const lf = tt;  // L[i] | LF[i] << 8, in place
    uint32_t* const fwd = scratch_.tt_fwd.get();  // L[T[j]] | T[j] << 8
    {
        uint32_t start[256];
        uint32_t sum = 0;
        for (unsigned b = 0; b < 256; ++b) {
            start[b] = sum;
            sum += counts[b];
        }
        for (uint32_t i = 0; i < nblock; ++i) {
            const uint32_t b = lf[i];
            const uint32_t j = start[b]++;
            lf[i] = b | j << 8;
            fwd[j] = b | i << 8;
        }
    }
    uint8_t* const bytes = scratch_.bytes.get();
    {
        const uint32_t half = nblock / 2;
        uint32_t f = orig_ptr, r = orig_ptr;
        uint8_t* back = bytes + nblock;
        for (uint32_t k = 0; k < half; ++k) {
            const uint32_t v = fwd[f], w = lf[r];
            bytes[k] = uint8_t(v);
            *--back = uint8_t(w);
            f = v >> 8;
            r = w >> 8;
        }
        if (nblock - half > half) {
            const uint32_t w = lf[r];
            *--back = uint8_t(w);
            r = w >> 8;
        }
        if (f != r) return false;
    }

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
    for (uint32_t i = 0; i < nblock; ++i) {
        const unsigned b = bytes[i];
        if (same == 4) {
            if (b) {
                if (size_t(oend - o) < b && !grow(b)) return false;
                std::memset(o, int(last), b);
                o += b;
            }
            same = 0;
            continue;
        }
        if (o == oend && !grow(1)) return false;
        *o++ = uint8_t(b);
        same = b == last ? same + 1 : 1;
        last = b;
    }
    const size_t n = size_t(o - text.data());
    text.resize(n);
    return ~bzip2_crc_update(0xFFFFFFFFu, text.data(), n) == stored_crc_;
}

}  // namespace palisar::parse
