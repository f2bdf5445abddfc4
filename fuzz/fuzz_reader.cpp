// Coverage-guided fuzzing of the reader and the market cache (libFuzzer).
//
// One input is the bytes of a prices file. Each run:
// 1. reads it as a plain file through an in-memory source that hands the
//    bytes out in small chunks (the chunk size follows from the input), and
//    again in one piece: both reads must agree exactly (same error text, or
//    the same messages);
// 2. compares, line by line, the one-pass message path of the line parser with
//    the exact parser followed by the same envelope rules;
// 3. reads the bytes as gzip, bzip2 and zstd data (almost always corrupt: it
//    must fail with a ReadError, never crash; bzip2 also block by block on one
//    and on two threads, which must keep whatever the sequential decoder keeps
//    when both succeed), and reads the plain bytes compressed into one or two
//    gzip members, bzip2 streams (on one and on two threads) and zstd frames,
//    which must give the same result as the plain read; the bzip2 streams
//    again with one byte changed where the input says: block by block they
//    load exactly when the sequential decoder loads them, and the same; and
//    the bytes as a bzip2 block's last column, which our block decoder must
//    decode as libbz2 does or refuse, and answer the same with a second
//    thread taking its share of the block (at once, beside it, too late);
//    on two threads every block is offered for sharing;
// 4. replays every kept message through the market cache, as the iterator
//    does, and after each message lists every runner and every ladder,
//    checking the order and the counts.
// Any disagreement aborts, and libFuzzer keeps the input.
#include <bzlib.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bzip2_column.hpp"
#include "market/market.hpp"
#include "parse/decode.hpp"
#include "json/parser.hpp"
#include "parse/reader.hpp"
#include "value_dump.hpp"

using namespace palisar;

namespace {

[[noreturn]] void fail(const char* what, const std::string& a = {}, const std::string& b = {}) {
    std::fprintf(stderr, "fuzz_reader: %s\n", what);
    if (!a.empty()) std::fprintf(stderr, "  first:  %.400s\n", a.c_str());
    if (!b.empty()) std::fprintf(stderr, "  second: %.400s\n", b.c_str());
    std::abort();
}
#define CHECK(cond) ((cond) ? (void)0 : fail("check failed: " #cond))

// Hands out a buffer in pieces of at most `chunk` bytes.
class MemorySource final : public parse::ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size, size_t chunk)
        : data_(data), left_(size), chunk_(chunk) {}
    size_t read(uint8_t* dst, size_t cap) override {
        size_t n = std::min({cap, chunk_, left_});
        if (n) std::memcpy(dst, data_, n);
        data_ += n;
        left_ -= n;
        return n;
    }

private:
    const uint8_t* data_;
    size_t left_;
    size_t chunk_;
};

// What a read produced, as comparable text.
struct Outcome {
    bool ok = false;
    std::string error;
    std::vector<std::string> messages;  // "<pt> <dump of the market changes>"
    parse::PricesData data;
};

Outcome read_with(std::unique_ptr<parse::ByteSource> source, bool keep_data) {
    Outcome o;
    try {
        parse::PricesData data = parse::read_prices(*source);
        o.ok = true;
        for (const parse::ParsedMessage& m : data.messages) {
            CHECK(m.publish_time > 0);
            CHECK(m.market_changes.is_array());
            o.messages.push_back(std::to_string(m.publish_time) + " " + json::dump(m.market_changes));
        }
        if (keep_data) o.data = std::move(data);
    } catch (const parse::ReadError& e) {
        o.error = e.what();
        if (o.error.empty()) fail("a read error without a description");
    }
    return o;
}

void expect_same(const Outcome& a, const Outcome& b, const char* what) {
    if (a.ok != b.ok) fail(what, a.ok ? "loaded" : a.error, b.ok ? "loaded" : b.error);
    if (!a.ok) {
        if (a.error != b.error) fail(what, a.error, b.error);
        return;
    }
    if (a.messages.size() != b.messages.size())
        fail(what, std::to_string(a.messages.size()), std::to_string(b.messages.size()));
    for (size_t i = 0; i < a.messages.size(); ++i)
        if (a.messages[i] != b.messages[i]) fail(what, a.messages[i], b.messages[i]);
}

// The one-pass path of the line parser against the exact parser, on one line.
void compare_line_parsers(json::LineParser& parser, std::string_view line) {
    std::string padded(line);
    padded.reserve(line.size() + json::kLinePadding);
    json::Arena arena;
    json::Value fast_changes;
    std::string fast_error;
    int64_t fast_pt = 0;
    auto kind = parser.parse_message(padded, arena, fast_changes, fast_pt, fast_error);
    if (kind == json::LineParser::Message::InvalidUtf8) return;  // the exact parser expects UTF-8

    json::Builder tree, exact_changes;
    std::string exact_error;
    int64_t exact_pt = 0;
    if (!json::parse_precise(line, tree, exact_error)) {
        if (kind != json::LineParser::Message::Error) fail("only the exact parser failed", exact_error, padded);
        if (fast_error != exact_error) fail("the parsers describe a fault differently", fast_error, exact_error);
        return;
    }
    if (kind == json::LineParser::Message::Error) fail("only the fast parser failed", fast_error, padded);
    bool keep = json::keep_message(tree.root(), exact_changes, exact_pt);
    if (keep != (kind == json::LineParser::Message::Keep)) fail("the envelope rules disagree", padded);
    if (!keep) return;
    if (fast_pt != exact_pt) fail("the publish times disagree", padded);
    std::string a = json::dump(fast_changes), b = json::dump(exact_changes.root());
    if (a != b) fail("the kept market changes disagree", a, b);
}

void compare_lines(const uint8_t* data, size_t size) {
    static json::LineParser parser;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        compare_line_parsers(parser, line);
    }
}

// `data` as gzip members: split at `cut` into two members when 0 < cut < size.
std::string gzip(const uint8_t* data, size_t size, size_t cut) {
    std::string out;
    auto member = [&](const uint8_t* p, size_t n) {
        z_stream z{};
        if (deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
        std::string buf(deflateBound(&z, uLong(n)) + 32, '\0');
        z.next_in = const_cast<Bytef*>(p);
        z.avail_in = uInt(n);
        z.next_out = reinterpret_cast<Bytef*>(buf.data());
        z.avail_out = uInt(buf.size());
        if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
        buf.resize(z.total_out);
        deflateEnd(&z);
        out += buf;
    };
    if (cut > 0 && cut < size) {
        member(data, cut);
        member(data + cut, size - cut);
    } else {
        member(data, size);
    }
    return out;
}

// `data` as bzip2 streams: split at `cut` into two streams when 0 < cut < size.
std::string bzip2(const uint8_t* data, size_t size, size_t cut) {
    std::string out;
    auto stream = [&](const uint8_t* p, size_t n) {
        unsigned len = unsigned(n + n / 100 + 700);
        std::string buf(len, '\0');
        if (BZ2_bzBuffToBuffCompress(buf.data(), &len, reinterpret_cast<char*>(const_cast<uint8_t*>(p)),
                                     unsigned(n), 1, 0, 0) != BZ_OK)
            std::abort();
        buf.resize(len);
        out += buf;
    };
    if (cut > 0 && cut < size) {
        stream(data, cut);
        stream(data + cut, size - cut);
    } else {
        stream(data, size);
    }
    return out;
}

// `data` as zstd frames: split at `cut` into two frames when 0 < cut < size.
std::string zstd(const uint8_t* data, size_t size, size_t cut) {
    std::string out;
    auto frame = [&](const uint8_t* p, size_t n) {
        std::string buf(ZSTD_compressBound(n), '\0');
        size_t len = ZSTD_compress(buf.data(), buf.size(), p, n, 1);
        if (ZSTD_isError(len)) std::abort();
        buf.resize(len);
        out += buf;
    };
    if (cut > 0 && cut < size) {
        frame(data, cut);
        frame(data + cut, size - cut);
    } else {
        frame(data, size);
    }
    return out;
}

// Replays the kept messages as the iterator does and checks the cache after each.
void replay(const parse::PricesData& data) {
    std::unique_ptr<market::MarketCache> cache;
    std::vector<std::pair<double, double>> levels;
    for (const parse::ParsedMessage& m : data.messages) {
        for (json::Value item : m.market_changes.items()) {
            if (!cache) {
                std::string_view id;
                if (!item.find("id").get_string(id) || id.empty()) continue;
                cache = std::make_unique<market::MarketCache>(std::string(id));
            }
            market::update(*cache, item, m.publish_time);
        }
        if (!cache) continue;
        CHECK(cache->publish_time_epoch > 0);
        const auto& order = cache->runners.runners_in_order();
        CHECK(order.size() == cache->runners.size());
        CHECK(size_t(cache->number_of_runners) == cache->runners.size());
        CHECK(cache->number_of_active_runners >= 0 &&
              cache->number_of_active_runners <= cache->number_of_runners);
        int32_t active = 0;
        for (size_t i = 0; i < order.size(); ++i) {
            const market::RunnerCache& r = *order[i];
            active += r.status.text() == "ACTIVE";
            if (i > 0) CHECK(order[i - 1]->key() < r.key());
            CHECK(cache->runners.find(r.key()) == &r);
            for (const market::PriceLadder* ladder :
                 {&r.available_to_back, &r.available_to_lay, &r.traded_volume, &r.back_stake_taken,
                  &r.lay_liability_taken}) {
                ladder->to_price_sizes(levels);
                CHECK(levels.size() == ladder->size());
                for (size_t k = 0; k < levels.size(); ++k) {
                    CHECK(levels[k].second != 0.0);
                    CHECK(ladder->find(levels[k].first) != nullptr);
                    if (k == 0) continue;
                    uint64_t prev = market::PriceLadder::price_key(levels[k - 1].first);
                    uint64_t cur = market::PriceLadder::price_key(levels[k].first);
                    CHECK(ladder->descending() ? prev > cur : prev < cur);
                }
            }
        }
        CHECK(cache->number_of_active_runners == active);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Chunk sizes from 1 byte up to 4 KiB, chosen by the input's length and last byte.
    size_t chunk = size ? 1 + (size * 131 + data[size - 1]) % 4096 : 1;
    Outcome plain = read_with(std::make_unique<MemorySource>(data, size, chunk), true);
    Outcome whole = read_with(std::make_unique<MemorySource>(data, size, SIZE_MAX), false);
    expect_same(plain, whole, "chunked and whole reads disagree");

    compare_lines(data, size);

    // Raw bytes as gzip and as bzip2: may fail, must not crash.
    read_with(parse::gzip_over(std::make_unique<MemorySource>(data, size, chunk)), false);
    Outcome one = read_with(parse::bzip2_over(std::make_unique<MemorySource>(data, size, chunk)), false);
    Outcome two = read_with(parse::bzip2_parallel_over(std::make_unique<MemorySource>(data, size, chunk), 2, 0, 0), false);
    // Text of a block that fails its CRC may reach the reader from one thread
    // before the failure does, and a line of it fail first: only agreeing
    // successes are compared.
    if (one.ok && two.ok) expect_same(one, two, "bzip2 on one and on two threads disagree");
    Outcome blocks = read_with(parse::bzip2_parallel_over(std::make_unique<MemorySource>(data, size, chunk), 1, 0), false);
    if (one.ok && blocks.ok) expect_same(one, blocks, "bzip2 sequentially and block by block disagree");
    read_with(parse::zstd_over(std::make_unique<MemorySource>(data, size, chunk)), false);

    // The input as a bzip2 block's last column (after three bytes of origPtr):
    // however its rotations link up, our block decoder gives libbz2's text
    // or refuses the block.
    if (size > 3 && size <= (size_t(1) << 16)) {
        const std::string column(reinterpret_cast<const char*>(data) + 3, size - 3);
        const test_data::ColumnBlock block =
            test_data::block_of_column(column, uint32_t(data[0] << 16 | data[1] << 8 | data[2]) % column.size());
        std::string lib(block.text.size() + 300, '\0');
        unsigned len = unsigned(lib.size());
        const int rc = BZ2_bzBuffToBuffDecompress(lib.data(), &len, const_cast<char*>(block.data.data()),
                                                  unsigned(block.data.size()), 0, 0);
        CHECK(block.open_run ? rc != BZ_OK : rc == BZ_OK && std::string_view(lib.data(), len) == block.text);
        static parse::Bzip2BlockDecoder decoder;
        std::vector<uint8_t> out, shared;
        const bool ok = decoder.decode(reinterpret_cast<const uint8_t*>(block.data.data()), block.data.size(), 32,
                                       block.end, 9, size_t(1) << 24, out);
        if (ok)
            CHECK(!block.open_run && std::string_view(reinterpret_cast<const char*>(out.data()), out.size()) == block.text);
        using test_data::ForcedHelper;
        for (ForcedHelper::When when : {ForcedHelper::kAtOnce, ForcedHelper::kBeside, ForcedHelper::kLate}) {
            ForcedHelper helper(when);
            CHECK(decoder.decode(reinterpret_cast<const uint8_t*>(block.data.data()), block.data.size(), 32,
                                 block.end, 9, size_t(1) << 24, shared, &helper, 0) == ok);
            CHECK(!ok || shared == out);
        }
    }

    if (size <= (size_t(1) << 16)) {
        std::string packed = gzip(data, size, size ? data[0] * size / 256 : 0);
        auto bytes = reinterpret_cast<const uint8_t*>(packed.data());
        Outcome inflated =
            read_with(parse::gzip_over(std::make_unique<MemorySource>(bytes, packed.size(), chunk)), false);
        expect_same(plain, inflated, "plain and gzip reads disagree");

        std::string bz = bzip2(data, size, size ? data[size / 2] * size / 256 : 0);
        bytes = reinterpret_cast<const uint8_t*>(bz.data());
        Outcome unpacked =
            read_with(parse::bzip2_over(std::make_unique<MemorySource>(bytes, bz.size(), chunk)), false);
        expect_same(plain, unpacked, "plain and bzip2 reads disagree");
        Outcome threads = read_with(
            parse::bzip2_parallel_over(std::make_unique<MemorySource>(bytes, bz.size(), chunk), 2, 0, 0), false);
        expect_same(plain, threads, "plain and bzip2 reads on two threads disagree");
        if (size) {
            size_t at = (size_t(data[0]) << 16 | size_t(data[size / 3]) << 8 | data[size - 1]) % bz.size();
            bz[at] = char(bz[at] ^ (1 + data[size / 2] % 255));
            bytes = reinterpret_cast<const uint8_t*>(bz.data());
            Outcome seq = read_with(parse::bzip2_over(std::make_unique<MemorySource>(bytes, bz.size(), chunk)), false);
            for (unsigned n : {1u, 2u}) {
                Outcome got = read_with(
                    parse::bzip2_parallel_over(std::make_unique<MemorySource>(bytes, bz.size(), chunk), n, 0, 0), false);
                CHECK(got.ok == seq.ok);
                if (seq.ok) expect_same(seq, got, "a changed bzip2 stream decoded differently block by block");
            }
        }

        std::string zs = zstd(data, size, size ? data[size / 3] * size / 256 : 0);
        bytes = reinterpret_cast<const uint8_t*>(zs.data());
        Outcome unzst =
            read_with(parse::zstd_over(std::make_unique<MemorySource>(bytes, zs.size(), chunk)), false);
        expect_same(plain, unzst, "plain and zstd reads disagree");
    }

    if (plain.ok) replay(plain.data);
    return 0;
}
