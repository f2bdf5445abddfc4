// A bzip2 stream written around a block's last column of our choosing, for
// blocks no compressor writes (rotations that make several cycles, a cycle
// through origPtr shorter than the block...).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "parse/bzip2_block.hpp"

namespace palisar::test_data {

// A bzip2 stream of one block whose decoded bytes (the last column of the
// sorted rotations) are `column`, with `orig` as origPtr. `text` is what
// libbz2 makes of it: the walk of the block's length from origPtr, whether or
// not that is one cycle, then the runs undone; the stored CRCs are its.
struct ColumnBlock {
    std::string data, text;
    uint64_t end = 0;       // the bit where the block ends (the end-of-stream magic)
    bool open_run = false;  // the text ends in four equal bytes without their count: libbz2 calls it corrupt
};

// `column` must not be empty; orig < column.size().
inline ColumnBlock block_of_column(const std::string& column, uint32_t orig) {
    ColumnBlock block;
    std::string& text = block.text;
    const size_t n = column.size();
    std::vector<uint32_t> next(n), start(257, 0);
    for (unsigned char c : column) ++start[c + 1u];
    for (int b = 0; b < 256; ++b) start[b + 1] += start[b];
    for (uint32_t i = 0; i < n; ++i) next[start[uint8_t(column[i])]++] = i;
    unsigned same = 0, last = 256;
    for (uint32_t k = 0, at = next[orig]; k < n; ++k, at = next[at]) {
        const unsigned b = uint8_t(column[at]);
        if (same == 4) {
            text.append(b, char(last));
            same = 0;
            continue;
        }
        text += char(b);
        same = b == last ? same + 1 : 1;
        last = b;
    }
    block.open_run = same == 4;
    const uint32_t crc = ~parse::bzip2_crc_update(~0u, reinterpret_cast<const uint8_t*>(text.data()), text.size());

    std::string& out = block.data;
    out = "BZh9";
    unsigned acc = 0, nbits = 0;
    auto put = [&](uint32_t v, unsigned k) {
        while (k--) {
            acc = acc << 1 | (v >> k & 1);
            if (++nbits == 8) out += char(acc), acc = 0, nbits = 0;
        }
    };
    put(0x314159, 24), put(0x265359, 24), put(crc, 32), put(0, 1), put(orig, 24);
    bool used[256] = {};
    for (unsigned char c : column) used[c] = true;
    std::string mtf;
    for (unsigned r = 0; r < 16; ++r) put(std::any_of(used + 16 * r, used + 16 * r + 16, [](bool u) { return u; }), 1);
    for (unsigned r = 0; r < 16; ++r) {
        if (!std::any_of(used + 16 * r, used + 16 * r + 16, [](bool u) { return u; })) continue;
        for (unsigned v = 16 * r; v < 16 * r + 16; ++v) {
            put(used[v], 1);
            if (used[v]) mtf += char(v);
        }
    }
    const unsigned alpha = unsigned(mtf.size()) + 2;
    std::vector<unsigned> syms;
    uint32_t zeros = 0;
    auto flush = [&] {  // a run of the front byte as RUNA/RUNB digits
        for (; zeros; zeros >>= 1) syms.push_back(--zeros & 1);
    };
    for (char c : column) {
        const size_t idx = mtf.find(c);
        if (idx == 0) {
            ++zeros;
            continue;
        }
        flush();
        syms.push_back(unsigned(idx) + 1);
        mtf.erase(idx, 1).insert(mtf.begin(), c);
    }
    flush();
    syms.push_back(alpha - 1);
    // A complete code: the first 2^k - alpha symbols one bit shorter.
    unsigned k = 1;
    while ((1u << k) < alpha) ++k;
    std::vector<unsigned> len(alpha), code(alpha);
    for (unsigned s = 0; s < alpha; ++s) len[s] = s < (1u << k) - alpha ? k - 1 : k;
    for (unsigned l = 1, c = 0; l <= 20; ++l, c <<= 1)
        for (unsigned s = 0; s < alpha; ++s)
            if (len[s] == l) code[s] = c++;
    const unsigned selectors = unsigned(syms.size() + 49) / 50;
    put(2, 3), put(selectors, 15);
    for (unsigned i = 0; i < selectors; ++i) put(0, 1);
    for (int g = 0; g < 2; ++g) {
        put(len[0], 5);
        for (unsigned s = 0, cur = len[0]; s < alpha; ++s, put(0, 1))
            for (; cur != len[s]; cur += cur < len[s] ? 1 : -1) put(cur < len[s] ? 2 : 3, 2);
    }
    for (unsigned s : syms) put(code[s], len[s]);
    block.end = out.size() * 8 + nbits;
    put(0x177245, 24), put(0x385090, 24), put(crc, 32);
    if (nbits) put(0, 8 - nbits);
    return block;
}

// Takes every share of a block a decoder offers, on a thread of its own: at
// once, before the decoding thread goes on (the helper does it all); beside
// the decoding thread (whoever comes first); or when the decoder takes the
// offer back (nothing is left).
class ForcedHelper final : public parse::Bzip2Helpers {
public:
    enum When { kAtOnce, kBeside, kLate };
    explicit ForcedHelper(When when) : when_(when) {}

    void offer(parse::Bzip2Share& share) override {
        ++offers;
        if (when_ == kAtOnce) std::thread([&share] { share.help(); }).join();
        if (when_ == kBeside) thread_ = std::thread([&share] { share.help(); });
    }
    void withdraw(parse::Bzip2Share& share) override {
        if (when_ == kBeside) thread_.join();
        if (when_ == kLate) std::thread([&share] { share.help(); }).join();
    }

    unsigned offers = 0;

private:
    When when_;
    std::thread thread_;
};

}  // namespace palisar::test_data
