// The reader and the decoders over a source that hands its bytes out in short
// pieces, as a pipe does. Found by fuzzing: with one-byte reads, the gzip
// decoder took the end of the input for a member boundary and dropped every
// member after the first. The same for every decoder. And the bzip2 decoder that works on several threads
// against the one that does not, on good, corrupt and truncated data.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <zlib.h>
#if __has_include(<zstd.h>)
#include <zstd.h>
#endif

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <tuple>

#include "bzip2_column.hpp"
#include "parse/bzip2_block.hpp"
#include "parse/decode.hpp"
#include "parse/reader.hpp"
#include "value_dump.hpp"

namespace palisar::parse {
namespace {

class PieceSource final : public ByteSource {
public:
    PieceSource(std::string data, size_t piece) : data_(std::move(data)), piece_(piece) {}
    size_t read(uint8_t* dst, size_t cap) override {
        size_t n = std::min({cap, piece_, data_.size() - at_});
        std::memcpy(dst, data_.data() + at_, n);
        at_ += n;
        return n;
    }

private:
    std::string data_;
    size_t piece_;
    size_t at_ = 0;
};

void put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char(v >> (8 * i));
}

// One gzip member holding `text` in a single stored (uncompressed) block.
std::string stored_member(const std::string& text) {
    std::string m("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    m += '\x01';  // final block, stored
    uint16_t len = uint16_t(text.size());
    m += char(len & 0xFF);
    m += char(len >> 8);
    m += char(~len & 0xFF);
    m += char((~len >> 8) & 0xFF);
    m += text;
    put32(m, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(text.data()), uInt(text.size()))));
    put32(m, uint32_t(text.size()));
    return m;
}

std::vector<int64_t> publish_times(std::unique_ptr<ByteSource> source) {
    std::vector<int64_t> out;
    for (const ParsedMessage& m : read_prices(*source).messages) out.push_back(m.publish_time);
    return out;
}

std::string bzip2(const std::string& text, int level);

std::string zstd_frame(const std::string& text) {
    std::string out(ZSTD_compressBound(text.size()), '\0');
    size_t len = ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3);
    if (ZSTD_isError(len)) throw std::runtime_error("zstd compression failed");
    out.resize(len);
    return out;
}

// Every member (stream, frame) of a file of three, whatever the piece size.
TEST(ShortReads, EveryMemberIsReadWhateverThePieceSize) {
    const std::string lines[] = {R"({"pt":1,"mc":[{"id":"1.2"}]})" "\n", R"({"pt":2,"mc":[{"id":"1.2"}]})" "\n",
                                 R"({"pt":3,"mc":[{"id":"1.2"}]})"};
    using Wrap = std::unique_ptr<ByteSource> (*)(std::unique_ptr<ByteSource>);
    struct Codec {
        const char* name;
        std::string (*pack)(const std::string&);
        Wrap open;
    };
    const Codec codecs[] = {
        {"gzip", stored_member, gzip_over},
        {"bzip2", [](const std::string& t) { return bzip2(t, 1); }, bzip2_over},
        {"bzip2 on 2 threads", [](const std::string& t) { return bzip2(t, 1); },
         [](std::unique_ptr<ByteSource> raw) { return bzip2_parallel_over(std::move(raw), 2, 0); }},
#if __has_include(<zstd.h>)
        {"zstd", zstd_frame, zstd_over},
#endif
    };
    for (const Codec& codec : codecs) {
        const std::string file = codec.pack(lines[0]) + codec.pack(lines[1]) + codec.pack(lines[2]);
        for (size_t piece : {1, 2, 3, 7, 16, 4096}) {
            EXPECT_EQ(publish_times(codec.open(std::make_unique<PieceSource>(file, piece))),
                      (std::vector<int64_t>{1, 2, 3}))
                << codec.name << ", pieces of " << piece << " bytes";
        }
    }
}

TEST(ShortReads, LinesAcrossPiecesOfThePlainText) {
    std::string text;
    for (int i = 1; i <= 50; ++i) text += R"({"pt":)" + std::to_string(i) + R"(,"mc":[]})" "\r\n";
    std::vector<int64_t> expected(50);
    for (int i = 0; i < 50; ++i) expected[size_t(i)] = i + 1;
    for (size_t piece : {1, 2, 5, 31}) {
        EXPECT_EQ(publish_times(std::make_unique<PieceSource>(text, piece)), expected)
            << "pieces of " << piece << " bytes";
    }
}

// ---- bzip2 on several threads ----------------------------------------------------

// Every byte `source` hands out, then the text of the failure that ended it.
struct Decoded {
    std::string bytes, error;
    bool operator==(const Decoded&) const = default;
    friend void PrintTo(const Decoded& d, std::ostream* os) {
        *os << d.bytes.size() << " bytes, then \"" << d.error << "\"";
    }
};

Decoded drain(std::unique_ptr<ByteSource> source) {
    Decoded d;
    uint8_t buf[70000];
    try {
        while (size_t n = source->read(buf, sizeof buf)) d.bytes.append(reinterpret_cast<char*>(buf), n);
    } catch (const ReadError& e) {
        d.error = e.what();
    }
    return d;
}

// The process's threads, as the kernel counts them.
int thread_count() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

std::string bzip2(const std::string& text, int level) {
    unsigned len = unsigned(text.size() + text.size() / 100 + 700);
    std::string out(len, '\0');
    if (BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(text.data()), unsigned(text.size()),
                                 level, 0, 0) != BZ_OK)
        throw std::runtime_error("bzip2 compression failed");
    out.resize(len);
    return out;
}

// Lines of varied text: about four blocks of bzip2 -1.
const std::string& varied_text() {
    static const std::string text = [] {
        std::string t;
        uint64_t x = 88172645463325252u;
        while (t.size() < 360000) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            t += R"({"pt":)" + std::to_string(x % 100000) + R"(,"mc":[{"id":"1.)" + std::to_string(x >> 40) +
                 R"(","atb":[[)" + std::to_string(x % 1000) + "," + std::to_string((x >> 20) % 77) + "]]}]}\n";
        }
        return t;
    }();
    return text;
}

Decoded sequential(const std::string& data) {
    return drain(bzip2_over(std::make_unique<PieceSource>(data, 65536)));
}

// Every block, however small, offered for sharing to a thread with nothing else to do.
// `small`: the file counts as small (below the size that starts threads).
Decoded parallel(const std::string& data, unsigned threads, size_t piece = 65536, bool small = false) {
    return drain(
        bzip2_parallel_over(std::make_unique<PieceSource>(data, piece), threads, small ? data.size() + 1 : 0, 0));
}

// The bit offsets of every 48-bit block magic in `data`.
std::vector<size_t> block_magics(const std::string& data) {
    std::vector<size_t> at;
    for (size_t bit = 0; bit + 48 <= data.size() * 8; ++bit) {
        uint64_t v = 0;
        for (size_t k = 0; k < 48; ++k)
            v = v << 1 | ((uint8_t(data[(bit + k) / 8]) >> (7 - (bit + k) % 8)) & 1);
        if (v == 0x314159265359) at.push_back(bit);
    }
    return at;
}

TEST(ParallelBzip2, SameTextAsOneThreadWhateverTheThreadsAndPieces) {
    const std::string& text = varied_text();
    // Several streams of several blocks, an empty stream, trailing garbage.
    // Last, a block of 12 MB of line feeds: more text than a block in flight
    // may hold, so the rest is decoded on one thread.
    const std::string feeds(12 << 20, '\n');
    const std::string data = bzip2(text, 1) + bzip2("", 1) + bzip2(text.substr(0, 150000), 2) +
                             bzip2(text.substr(7), 9) + bzip2(feeds, 9) + "trailing garbage";
    ASSERT_GE(block_magics(data).size(), 6u);
    Decoded expected = sequential(data);
    ASSERT_EQ(expected.error, "");
    ASSERT_TRUE(expected.bytes == text + text.substr(0, 150000) + text.substr(7) + feeds);
    for (unsigned threads : {1, 2, 3, 5})
        for (size_t piece : {size_t(1000), size_t(1) << 20})
            EXPECT_EQ(parallel(data, threads, piece), expected) << threads << " threads, pieces of " << piece;
    // A small file: no threads, its blocks decoded by the calling thread.
    EXPECT_EQ(parallel(data, 3, 1000, true), expected);
}

// A small file starts no thread, whatever the threads allowed; a larger one
// starts them once its first block is cut, and they end with the source.
TEST(ParallelBzip2, ASmallFileStartsNoThread) {
    const std::string data = bzip2(varied_text(), 1);
    const int base = thread_count();
    for (auto [small, started] : {std::pair{true, 0}, std::pair{false, 1}}) {
        {
            auto source = bzip2_parallel_over(std::make_unique<PieceSource>(data, 65536), 2,
                                              small ? data.size() + 1 : 0, 0);
            uint8_t buf[4096];
            ASSERT_GT(source->read(buf, sizeof buf), 0u);
            EXPECT_EQ(thread_count() - base, started) << (small ? "a small file" : "a larger one");
        }
        EXPECT_EQ(thread_count(), base);
    }
}

// Damage at many places of a multi-block file, block headers and boundaries
// above all: the same failure as the sequential decoder's (the block path on
// one thread too), so the first fault in file order is the one reported. How much of a block that fails its CRC is handed
// out before the failure depends on the sizes of the reads (with several
// threads such a block gives nothing); what comes before it is the same.
TEST(ParallelBzip2, CorruptAndTruncatedDataFailsAsWithOneThread) {
    const std::string good = bzip2(varied_text(), 1) + bzip2(varied_text().substr(0, 1000), 1);
    std::vector<size_t> places;
    for (size_t bit : block_magics(good))
        for (size_t d = 0; d < 24; d += 3) places.push_back(bit / 8 + d - 4);
    for (size_t at = 0; at < good.size(); at += good.size() / 40) places.push_back(at);
    for (size_t back = 1; back <= 12; ++back) places.push_back(good.size() - back);
    for (size_t at : places) {
        std::string flipped = good;
        flipped[at] = char(flipped[at] ^ 0x10);
        std::string cut = good.substr(0, at);
        for (const std::string* data : {&flipped, &cut}) {
            Decoded expected = sequential(*data);
            // Two threads for a small file start none.
            for (auto [threads, small] : {std::pair{1u, false}, std::pair{2u, false}, std::pair{2u, true}}) {
                Decoded got = parallel(*data, threads, 65536, small);
                const std::string what = std::string(data == &cut ? "cut" : "flipped") + (small ? " (a small file)" : "");
                if (expected.error.empty()) {  // a flipped padding bit
                    ASSERT_TRUE(got == expected) << what << " at byte " << at;
                    continue;
                }
                ASSERT_EQ(got.error, expected.error) << what << " at byte " << at << ", " << threads << " threads";
                size_t common = std::min(got.bytes.size(), expected.bytes.size());
                ASSERT_TRUE(got.bytes.compare(0, common, expected.bytes, 0, common) == 0)
                    << what << " at byte " << at << ", " << threads << " threads";
            }
        }
    }
}

// A stream whose compressed bits hold a block magic that is no block boundary:
// in the header of its second block, the index of the original rotation
// (12609), the map of used byte ranges and the map of the first range read
// 0x314159265359 from 89 bits into the block. The cut there fails its CRC and
// the stream is decoded again on one thread.
TEST(ParallelBzip2, ABlockMagicInsideABlockIsNoBoundary) {
    const std::string low = "\x11\x13\x16\x17\x19\x1b\x1c\x1f";  // the one range-1 map
    const std::string high = "123456789:;<=>?@ABCDEFGHIJKLMNOpqrstuvwxyz{|}~\xa0\xa5\xaf\xd0\xd9\xe1\xee";
    // One unique '0' first, then 12609 bytes below it: its rotation sorts
    // 12610th. No run of four equal bytes, so the block holds the text as is.
    std::string block = "0";
    uint64_t x = 1;
    for (size_t small = 0; small < 12609 || block.size() < 40000;) {
        x = x * 6364136223846793005u + 1442695040888963407u;
        bool take_small = small < 12609 && (x >> 60) < 6;
        char c = take_small ? low[(x >> 33) % low.size()] : high[(x >> 33) % high.size()];
        if (block.size() < low.size() + 1) c = low[block.size() - 1], take_small = true;  // every map bit
        if (block.size() >= 3 && c == block.back() && c == block[block.size() - 2]) continue;
        block += c;
        small += take_small;
    }
    const std::string crafted = bzip2(block, 1);
    ASSERT_EQ(block_magics(crafted), (std::vector<size_t>{32, 32 + 89}));
    // The crafted stream after a good one and as the second block of a stream.
    // 99981 bytes without runs fill the first block of bzip2 -1 exactly.
    std::string first;
    for (int i = 0; i < 99981; ++i) first += char('a' + (i * 7) % 26);
    const std::string two_blocks = bzip2(first + block, 1);
    ASSERT_EQ(block_magics(two_blocks).size(), 3u);
    for (const std::string& data : {bzip2(varied_text(), 1) + crafted, two_blocks, crafted + crafted}) {
        Decoded expected = sequential(data);
        ASSERT_EQ(expected.error, "");
        EXPECT_EQ(parallel(data, 2), expected);
    }
}

// A load given up part way (an interrupt, a failure of the reader) while
// blocks are decoded and shared: what came out is the text's start, and the
// source ends its threads whatever they are doing.
TEST(ParallelBzip2, GivenUpPartWayWhileBlocksAreShared) {
    const std::string text = varied_text() + varied_text().substr(0, 200000);
    const std::string data = bzip2(text, 9) + bzip2(varied_text(), 1);
    const std::string whole = text + varied_text();
    for (size_t stop : {size_t(0), size_t(1), size_t(300000), text.size(), whole.size() - 1}) {
        for (unsigned threads : {2, 3}) {
            auto source = bzip2_parallel_over(std::make_unique<PieceSource>(data, 65536), threads, 0, 0);
            std::string got;
            uint8_t buf[70000];
            while (got.size() < stop) {
                const size_t n = source->read(buf, sizeof buf);
                ASSERT_GT(n, 0u);
                got.append(reinterpret_cast<char*>(buf), n);
            }
            EXPECT_TRUE(whole.compare(0, got.size(), got) == 0) << "stopped after " << stop;
        }
    }
}

// ---- the block decoder of our own --------------------------------------------------

struct OwnBlock {
    uint64_t begin, end;  // bits, from the block magic to the next magic
    int level;
};

// The blocks of every stream of `data` (good data: the magics are not searched
// for inside blocks, which is enough for data made by libbz2 here).
std::vector<OwnBlock> own_blocks(const std::string& data) {
    std::vector<size_t> magics;
    for (size_t bit = 0; bit + 48 <= data.size() * 8; ++bit) {
        uint64_t v = 0;
        for (size_t k = 0; k < 48; ++k)
            v = v << 1 | ((uint8_t(data[(bit + k) / 8]) >> (7 - (bit + k) % 8)) & 1);
        if (v == 0x314159265359 || v == 0x177245385090) magics.push_back(bit);
    }
    std::vector<OwnBlock> blocks;
    for (size_t i = 0; i + 1 < magics.size(); ++i) {
        uint64_t v = 0;
        for (size_t k = 0; k < 8; ++k) v = v << 1 | ((uint8_t(data[(magics[i] + k) / 8]) >> (7 - (magics[i] + k) % 8)) & 1);
        if (v != 0x31) continue;  // an end-of-stream magic
        size_t header = 0;  // the stream's header: the last "BZh" before the block
        for (size_t at = 0; at + 4 <= magics[i] / 8; ++at)
            if (data.compare(at, 3, "BZh") == 0) header = at;
        blocks.push_back({magics[i], magics[i + 1], data[header + 3] - '0'});
    }
    return blocks;
}

using test_data::ForcedHelper;
constexpr ForcedHelper::When kWhen[] = {ForcedHelper::kAtOnce, ForcedHelper::kBeside, ForcedHelper::kLate};

// Each block decoded alone by our decoder (with `helper`, each shared with
// it); its text joined, or "refused".
std::string own_decode(const std::string& data, Bzip2BlockDecoder& decoder, ForcedHelper* helper = nullptr) {
    std::string out;
    std::vector<uint8_t> text;
    for (const OwnBlock& b : own_blocks(data)) {
        if (!decoder.decode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), b.begin, b.end, b.level,
                            size_t(64) << 20, text, helper, 0))
            return "refused";
        out.append(text.begin(), text.end());
    }
    return out;
}

// Against libbz2: texts of every kind, at every block size, as one stream and
// as several; alone and with a second thread that takes its share of each
// block at once, beside the decoding thread, or too late.
TEST(OwnBzip2Block, SameTextAsLibbz2) {
    std::vector<std::string> texts = {"x", "ab", varied_text().substr(0, 250000)};
    for (size_t run : {1, 3, 4, 5, 8, 254, 255, 256, 258, 259, 260, 263, 264, 1000, 100000, 2000000})
        texts.push_back("a" + std::string(run, 'b') + "c" + std::string(run, 'c'));  // runs next to other runs
    std::string all_bytes, noise;
    for (int rep = 0; rep < 5; ++rep)
        for (int b = 0; b < 256; ++b) all_bytes += std::string(size_t(rep + 1), char(b * 37 + rep));
    texts.push_back(all_bytes);
    uint64_t x = 7;
    while (noise.size() < 300000) {  // incompressible: blocks at their fullest
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        noise += char(x >> 24);
    }
    texts.push_back(noise);
    // Blocks of one run (a cycle shorter than the block, repeated), and blocks
    // of about as many bytes as the inverse transform has marks, or fewer.
    for (size_t run : {4, 5, 6, 255, 256, 259, 510, 5000, 10200, 1500000}) texts.push_back(std::string(run, 'a'));
    for (size_t len : {2, 3, 7, 12, 1023, 1024, 1025, 2049, 70001}) texts.push_back(noise.substr(len, len));
    Bzip2BlockDecoder decoder;
    size_t blocks = 0;
    for (const std::string& text : texts) {
        for (int level : {1, 2, 5, 9}) {
            std::string data = bzip2(text, level);
            ASSERT_EQ(sequential(data).bytes.size(), text.size());
            EXPECT_TRUE(own_decode(data, decoder) == text) << text.size() << " bytes at level " << level;
            for (ForcedHelper::When when : kWhen) {
                ForcedHelper helper(when);
                EXPECT_TRUE(own_decode(data, decoder, &helper) == text)
                    << text.size() << " bytes at level " << level << ", helper " << when;
                ASSERT_EQ(helper.offers, own_blocks(data).size());
            }
            blocks += own_blocks(data).size();
        }
    }
    const std::string multi = bzip2(noise, 1) + bzip2("", 1) + bzip2(all_bytes, 3) + bzip2(varied_text(), 9);
    EXPECT_TRUE(own_decode(multi, decoder) == noise + all_bytes + varied_text());
    for (ForcedHelper::When when : kWhen) {
        ForcedHelper helper(when);
        EXPECT_TRUE(own_decode(multi, decoder, &helper) == noise + all_bytes + varied_text()) << when;
    }
    EXPECT_GT(blocks, 80u);
}

// Every byte of good blocks changed (of a large block, bytes throughout it,
// across the parts a second thread takes its share of), and the blocks cut
// short and long: the decoder refuses, or gives the block's own text (a
// change that alters nothing); it never gives other text, and never reads out
// of bounds. With a second thread taking its share at once, beside the
// decoding thread or too late, it answers the same.
TEST(OwnBzip2Block, RefusesDamagedAndMiscutBlocks) {
    const std::string small = varied_text().substr(0, 3000) + std::string(300, 'q') + "end";
    const std::string large = varied_text().substr(0, 200000);
    for (const auto& [text, level, step] : {std::tuple{&small, 1, 1}, {&small, 9, 1}, {&large, 9, 211}}) {
        const std::string data = bzip2(*text, level);
        const OwnBlock b = own_blocks(data).at(0);
        auto decode = [&, level = level](const std::string& d, uint64_t begin, uint64_t end, std::vector<uint8_t>& out) {
            Bzip2BlockDecoder decoder;
            const bool ok = decoder.decode(reinterpret_cast<const uint8_t*>(d.data()), d.size(), begin, end, level,
                                           size_t(1) << 20, out);
            for (ForcedHelper::When when : kWhen) {
                ForcedHelper helper(when);
                std::vector<uint8_t> shared;
                EXPECT_EQ(decoder.decode(reinterpret_cast<const uint8_t*>(d.data()), d.size(), begin, end, level,
                                         size_t(1) << 20, shared, &helper, 0),
                          ok) << "helper " << when;
                EXPECT_TRUE(!ok || shared == out) << "helper " << when;
            }
            return ok;
        };
        std::vector<uint8_t> out;
        ASSERT_TRUE(decode(data, b.begin, b.end, out));
        ASSERT_TRUE(std::string(out.begin(), out.end()) == *text);
        size_t refused = 0, changes = 0;
        for (size_t at = b.begin / 8; at < data.size(); at += step) {
            for (uint8_t mask : {0x01, 0x10, 0xFF}) {
                std::string bad = data;
                bad[at] = char(bad[at] ^ mask);
                ++changes;
                if (!decode(bad, b.begin, b.end, out)) {
                    ++refused;
                } else {
                    ASSERT_TRUE(std::string(out.begin(), out.end()) == *text) << "byte " << at;
                }
            }
        }
        // Each bit of the block's first 600 alone (the CRC, the randomised
        // flag, origPtr, the maps, the counts, selectors and code lengths):
        // through the block path on one thread the outcome is the sequential
        // decoder's, whether our decoder or libbz2 takes the block.
        for (uint64_t bit = b.begin; bit < b.begin + 600; bit += step) {
            std::string bad = data;
            bad[bit / 8] = char(bad[bit / 8] ^ (0x80 >> bit % 8));
            ++changes;
            if (!decode(bad, b.begin, b.end, out)) {
                ++refused;
            } else {
                ASSERT_TRUE(std::string(out.begin(), out.end()) == *text) << "bit " << bit;
            }
            EXPECT_EQ(parallel(bad, 1), sequential(bad)) << "bit " << bit - b.begin << " of the block";
        }
        std::string randomised = data;
        const uint64_t flag = b.begin + 80;  // after the magic and the CRC
        randomised[flag / 8] = char(randomised[flag / 8] ^ (0x80 >> flag % 8));
        EXPECT_FALSE(decode(randomised, b.begin, b.end, out)) << "the randomised flag";
        EXPECT_GT(refused, changes * 9 / 10);
        for (uint64_t end = b.begin + 49; end < b.end + 64; end += (end + 40 < b.end ? 37 * step * step : 1)) {
            if (end == b.end) continue;
            EXPECT_FALSE(decode(data, b.begin, end, out)) << "cut at bit " << end;
            EXPECT_FALSE(decode(data.substr(0, size_t(end / 8)), b.begin, end / 8 * 8, out)) << "truncated at " << end;
        }
        // A block that asks for more text than allowed, and a wrong block size.
        EXPECT_FALSE([&] {
            Bzip2BlockDecoder decoder;
            return decoder.decode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), b.begin, b.end, level,
                                  text->size() - 1, out);
        }());
        Bzip2BlockDecoder decoder;
        EXPECT_FALSE(decoder.decode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), b.begin, b.end, 0,
                                    size_t(1) << 20, out));
    }
}

// Blocks of any bytes, however their rotations link up (several cycles, a
// cycle through origPtr shorter than the block that divides its length or
// not): our decoder gives libbz2's text or refuses the block, and the block
// path gives what the sequential decoder gives. Shared with a second thread
// (at once, beside the decoding thread, too late), the same answer.
TEST(OwnBzip2Block, AnyColumnDecodesAsLibbz2OrIsRefused) {
    uint64_t x = 2463534242;
    auto rnd = [&] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    Bzip2BlockDecoder decoder;
    std::vector<uint8_t> out;
    size_t decoded = 0, refused = 0, open_runs = 0;
    for (int trial = 0; trial < 600; ++trial) {
        const size_t n = 1 + rnd() % (trial < 400 ? 24 : trial < 580 ? 6000 : 150000);
        const unsigned alphabet = trial % 7 == 0 ? 256 : 1 + unsigned(rnd() % 3);
        std::string column(n, '\0');
        for (char& c : column) c = char('a' + rnd() % alphabet);
        if (trial % 5 == 0) column.assign(n / 2, 'p') += std::string(n - n / 2, 'q');  // two long runs
        const uint32_t orig = uint32_t(rnd() % n);
        const test_data::ColumnBlock block = test_data::block_of_column(column, orig);
        const std::string& data = block.data;
        const Decoded ref = sequential(data);
        if (block.open_run) {
            ASSERT_EQ(ref.error, "corrupt bzip2 data") << "libbz2 on trial " << trial;
        } else {
            ASSERT_EQ(ref, (Decoded{block.text, ""})) << "libbz2 on trial " << trial;
        }
        ASSERT_EQ(own_blocks(data).at(0).end, block.end);
        const bool ok = decoder.decode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), 32, block.end, 9,
                                       size_t(64) << 20, out);
        for (ForcedHelper::When when : kWhen) {
            ForcedHelper helper(when);
            std::vector<uint8_t> shared;
            ASSERT_EQ(decoder.decode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), 32, block.end, 9,
                                     size_t(64) << 20, shared, &helper, 0),
                      ok) << "trial " << trial << ", helper " << when;
            ASSERT_TRUE(!ok || shared == out) << "trial " << trial << ", helper " << when;
        }
        if (ok) {
            ++decoded;
            ASSERT_FALSE(block.open_run) << "trial " << trial;
            ASSERT_TRUE(std::string(out.begin(), out.end()) == block.text) << "trial " << trial;
        } else {
            ++refused;
        }
        if (trial % 4 == 0 || block.open_run) {
            EXPECT_EQ(parallel(data, 1), ref) << "trial " << trial;
        }
        open_runs += block.open_run;
    }
    EXPECT_GT(decoded, 60u);
    EXPECT_GT(refused, 60u);
    EXPECT_GT(open_runs, 5u);
}

// ---- the parse on several threads ------------------------------------------------

// `data` in pieces of `piece` bytes, then a failure after `fail_at` bytes
// (none when it is past the end); it tells `hint` as its size. `lossy`: the
// read that would pass `fail_at` fails with nothing, as a decoder that finds
// a fault inside what it was asked for, so the text before the failure
// depends on the lengths of the reads (and the source counts as decoding).
class FailingSource final : public ByteSource {
public:
    FailingSource(std::string data, size_t piece, size_t fail_at, uint64_t hint = 0, bool lossy = false)
        : data_(std::move(data)), piece_(piece), fail_at_(fail_at), hint_(hint), lossy_(lossy) {}
    uint64_t size_hint() const override { return hint_; }
    bool decodes() const override { return lossy_; }
    size_t read(uint8_t* dst, size_t cap) override {
        size_t n = std::min({cap, piece_, data_.size() - at_});
        if (at_ >= fail_at_ || (lossy_ && at_ + n > fail_at_)) throw ReadError("unexpected end of file");
        n = std::min(n, fail_at_ - at_);
        std::memcpy(dst, data_.data() + at_, n);
        at_ += n;
        return n;
    }

private:
    std::string data_;
    size_t piece_, fail_at_, at_ = 0;
    uint64_t hint_;
    bool lossy_;
};

// Every kept message (publish time and a digest of its market changes), or the
// failure.
std::string read_all(const std::string& text, size_t piece, size_t fail_at, const ParseThreads& how,
                     uint64_t hint = 0, bool lossy = false) {
    FailingSource source(text, piece, fail_at, hint, lossy);
    try {
        std::string out;
        for (const ParsedMessage& m : read_prices(source, {}, how).messages)
            out += std::to_string(m.publish_time) + " " + std::to_string(std::hash<std::string>{}(json::dump(m.market_changes))) + "\n";
        return out;
    } catch (const ReadError& e) {
        return std::string("error: ") + e.what();
    }
}

// Lines of every kind the rules tell apart: CRLF, a lone CR, blank lines of
// Unicode spaces, lines that are dropped, one longer than a piece, and no line
// feed at the end.
std::string mixed_lines(int n) {
    std::string text;
    for (int i = 1; i <= n; ++i) {
        std::string pt = std::to_string(i);
        switch (i % 7) {
            case 0: text += R"({"pt":)" + pt + R"(,"mc":[{"id":"1.)" + pt + R"("}]})" "\r\n"; break;
            case 1: text += " \t\xC2\xA0\xE2\x80\x83\r\n"; break;
            case 2: text += R"({"op":"status","pt":)" + pt + "}\n"; break;
            case 3: text += R"({"pt":)" + pt + R"(,"rc":[],"id":"\r"})" "\n"; break;
            case 4: text += R"({"pt":)" + pt + R"(,"mc":[")" + std::string(size_t(i) * 37 % 3000, 'x') + R"("]})" "\n"; break;
            case 5: text += "\n"; break;
            default: text += R"({"pt":)" + pt + R"(,"mc":[1,2.5,-3,null,true]})" "\n"; break;
        }
    }
    return text + R"({"pt":99999,"mc":[]})";
}

// The same messages, and the same first failure in file order (a bad line, bad
// UTF-8, or the source failing), whatever the threads and the size of pieces.
TEST(ParallelParse, SameResultAsOneThread) {
    const std::string good = mixed_lines(400);
    std::vector<std::pair<std::string, std::string>> cases = {{"good", good}};
    for (double where : {0.02, 0.5, 0.97}) {
        size_t at = good.find('\n', size_t(double(good.size()) * where)) + 1;
        cases.emplace_back("bad json at " + std::to_string(at), good.substr(0, at) + "{\"pt\":1,]\n" + good.substr(at));
        cases.emplace_back("bad utf-8 at " + std::to_string(at), good.substr(0, at) + "\xC3(\n" + good.substr(at));
    }
    // An early bad line and a later one: the early one is reported.
    cases.emplace_back("two bad lines", cases[1].second.substr(0, good.size() / 3) + "x\n" +
                                            cases[1].second.substr(good.size() / 3));
    for (const auto& [name, text] : cases) {
        for (size_t fail_at : {text.size() + 1, text.size() / 2, text.size() - 3}) {
            // A source that loses the text of its failing read fails at the same
            // point only if every reader asks for the same lengths.
            for (auto [piece, lossy] : {std::pair{size_t(1) << 20, false}, std::pair{size_t(1) << 20, true},
                                        std::pair{size_t(4096), false}, std::pair{size_t(97), false}}) {
                // A size told before reading (a plain file's) starts the threads at
                // the first read, however short, and makes the reads smaller.
                for (uint64_t hint : {uint64_t(0), uint64_t(text.size()), uint64_t(1) << 40}) {
                    std::string expected = read_all(text, piece, fail_at, ParseThreads{1}, hint, lossy);
                    for (unsigned threads : {2u, 3u}) {
                        for (size_t chunk : {size_t(1), size_t(50), size_t(4000)}) {
                            for (size_t from : {size_t(0), size_t(1) << 20}) {
                                // Without patience, the calling thread parses again every piece it
                                // finds with a worker: either copy may come first.
                                for (long patience : {300L, 0L}) {
                                    ASSERT_EQ(read_all(text, piece, fail_at,
                                                       ParseThreads{threads, chunk, from, patience, from}, hint, lossy),
                                              expected)
                                        << name << ", failing after " << fail_at << " bytes"
                                        << (lossy ? " (losing the failing read)" : "") << ", reads of " << piece << ", "
                                        << threads << " threads, pieces of " << chunk << ", parallel from " << from
                                        << ", patience " << patience << ", size hint " << hint;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

// A line far longer than a piece and than the first read, with a bad line
// before it, in it and after it.
TEST(ParallelParse, ALineLongerThanEveryBuffer) {
    std::string line = R"({"pt":5,"mc":[")" + std::string(size_t(3) << 20, 'y') + R"("]})";
    std::string head = mixed_lines(60) + "\n";
    for (const std::string& text : {head + line + "\n" + head, head + line, "x\n" + head + line,
                                    head + line.substr(0, 2000) + "\t" + line.substr(2000) + "\n" + head,
                                    head + line + "\n" + head + "[}\n"}) {
        std::string expected = read_all(text, size_t(1) << 20, text.size() + 1, ParseThreads{1});
        ASSERT_EQ(read_all(text, size_t(1) << 20, text.size() + 1, ParseThreads{2, 1000, 0}), expected);
        ASSERT_EQ(read_all(text, size_t(1) << 20, text.size() + 1, ParseThreads{3, 1000, 0, 0}), expected);
        ASSERT_EQ(read_all(text, 65536, text.size() - 10, ParseThreads{2, 1000, 0}),
                  read_all(text, 65536, text.size() - 10, ParseThreads{1}));
    }
}

// `inner`'s reads, noting the most threads the process had at any of them.
class ThreadsAtReads final : public ByteSource {
public:
    explicit ThreadsAtReads(ByteSource& inner) : inner_(inner) {}
    uint64_t size_hint() const override { return inner_.size_hint(); }
    bool decodes() const override { return inner_.decodes(); }
    size_t read(uint8_t* dst, size_t cap) override {
        most = std::max(most, thread_count());
        return inner_.read(dst, cap);
    }
    int most = 0;

private:
    ByteSource& inner_;
};

// Text known to be 300 KB starts a parsing thread at its first read when it
// is decoded as it is read, and none when it is not (a plain file's, parsed
// on two threads only from half a megabyte); decoded text known to be
// shorter than 128 KiB starts none either.
TEST(ParallelParse, DecodedTextGoesToAnotherThreadFromLessText) {
    std::string text;
    for (int i = 1; text.size() < 300000; ++i)
        text += R"({"pt":)" + std::to_string(i) + R"(,"mc":[{"id":"1.2","rc":[{"id":7,"atb":[[1.5,2]]}]}]})" "\n";
    const int base = thread_count();
    ASSERT_GT(base, 0);
    for (auto [decodes, hint, workers] : {std::tuple{false, text.size(), 0}, std::tuple{true, text.size(), 1},
                                          std::tuple{true, size_t(100000), 0}}) {
        FailingSource inner(text, 16384, text.size() + 1, hint, decodes);
        ThreadsAtReads source(inner);
        EXPECT_GT(read_prices(source, {}, ParseThreads{2}).messages.size(), 4000u);
        EXPECT_EQ(source.most - base, workers) << (decodes ? "decoded" : "plain") << " text, hint " << hint;
    }
}

}  // namespace
}  // namespace palisar::parse
