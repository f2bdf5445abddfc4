// Decoding a bzip2 file on one thread: libbz2 alone against palisar's own
// block decoder (the blocks found at their magics, each decoded and its CRC
// checked, the combined CRC of each stream checked too). Both texts are
// compared once; then the two run interleaved, --runs times each, and the
// medians of the wall-clock times are printed with their ratio. The text is
// thrown away as it comes (one block, or one 1 MiB buffer, at a time).
//
//   bz2_blocks FILE.bz2 [RUNS [own|own2|libbz2]]
//
// With a third argument only that side runs, RUNS times, and the median
// time of one run is printed (for comparing builds, and for perf stat or
// callgrind: cycles and instructions of one side at a time). `own2` is our
// decoder with a second thread that takes a share of every block (the links
// and the chain walk). Built with -DPALISAR_BZIP2_STAGE_TIMES, our decoder
// also prints the median time of each stage (on the decoding thread).
//
// Build and run: see bench/README.md.

#include <bzlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "parse/bzip2_block.hpp"

using palisar::parse::Bzip2BlockDecoder;
using palisar::parse::Bzip2Helpers;
using palisar::parse::Bzip2Offers;
using palisar::parse::Bzip2Share;

namespace {

constexpr uint64_t kBlockMagic = 0x314159265359, kEndMagic = 0x177245385090;

uint64_t bits48(const std::vector<uint8_t>& d, uint64_t bit) {
    uint64_t v = 0;
    for (int k = 0; k < 7; ++k) {
        size_t i = size_t(bit / 8) + size_t(k);
        v = v << 8 | (i < d.size() ? d[i] : 0);
    }
    return v >> (8 - bit % 8) & 0xFFFFFFFFFFFF;
}

struct Block {
    uint64_t begin, end;
    int level;
    bool last_of_stream;
    uint32_t stream_crc;
};

// The blocks of every stream, found once (the load finds them faster, with a
// table; here the search is not timed).
std::vector<Block> find_blocks(const std::vector<uint8_t>& d) {
    std::vector<Block> blocks;
    size_t stream = 0;
    while (stream + 4 <= d.size() && d[stream] == 'B' && d[stream + 1] == 'Z' && d[stream + 2] == 'h') {
        int level = d[stream + 3] - '0';
        uint64_t bit = (stream + 4) * 8, limit = d.size() * 8;
        while (bits48(d, bit) == kBlockMagic) {
            uint64_t next = bit + 48;
            while (next + 48 <= limit) {
                uint64_t m = bits48(d, next);
                if (m == kBlockMagic || m == kEndMagic) break;
                ++next;
            }
            blocks.push_back({bit, next, level, false, 0});
            bit = next;
        }
        if (bits48(d, bit) != kEndMagic || blocks.empty()) throw std::runtime_error("bad end of stream");
        blocks.back().last_of_stream = true;
        blocks.back().stream_crc = uint32_t(bits48(d, bit + 48) >> 16);
        stream = size_t((bit + 80 + 7) / 8);
    }
    return blocks;
}

// One thread that takes every share offered (`own2`: a block's links and
// walk on two threads, as the load shares them with an idle thread).
class Helper final : public Bzip2Helpers {
public:
    Helper() : thread_([this] { loop(); }) {}
    ~Helper() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void offer(Bzip2Share& share) override {
        std::lock_guard lock(mutex_);
        offered_.add(share);
        cv_.notify_all();
    }
    void withdraw(Bzip2Share& share) override {
        std::unique_lock lock(mutex_);
        offered_.withdraw(share, lock, cv_);
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [&] { return stop_ || !offered_.empty(); });
            if (stop_) return;
            offered_.help_first(lock, cv_);
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    Bzip2Offers offered_;
    bool stop_ = false;
    std::thread thread_;
};

// Calls sink(text) for each block.
template <class Sink>
void own(const std::vector<uint8_t>& d, const std::vector<Block>& blocks, Bzip2BlockDecoder& dec,
         std::vector<uint8_t>& text, Sink sink, Bzip2Helpers* helpers = nullptr) {
    uint32_t combined = 0;
    for (const Block& b : blocks) {
        if (!dec.decode(d.data(), d.size(), b.begin, b.end, b.level, size_t(64) << 20, text, helpers))
            throw std::runtime_error("own decoder refused a block at bit " + std::to_string(b.begin));
        combined = (combined << 1 | combined >> 31) ^ dec.stored_crc();
        sink(text);
        if (b.last_of_stream) {
            if (combined != b.stream_crc) throw std::runtime_error("bad combined CRC");
            combined = 0;
        }
    }
}

template <class Sink>
void libbz2(const std::vector<uint8_t>& d, std::vector<uint8_t>& buf, Sink sink) {
    size_t at = 0;
    while (at < d.size()) {
        bz_stream z{};
        BZ2_bzDecompressInit(&z, 0, 0);
        z.next_in = const_cast<char*>(reinterpret_cast<const char*>(d.data() + at));
        z.avail_in = unsigned(d.size() - at);
        int rc;
        do {
            z.next_out = reinterpret_cast<char*>(buf.data());
            z.avail_out = unsigned(buf.size());
            rc = BZ2_bzDecompress(&z);
            sink(buf.data(), buf.size() - z.avail_out);
        } while (rc == BZ_OK);
        if (rc != BZ_STREAM_END) throw std::runtime_error("libbz2 failed");
        at = d.size() - z.avail_in;
        BZ2_bzDecompressEnd(&z);
        if (at + 4 > d.size() || d[at] != 'B' || d[at + 1] != 'Z' || d[at + 2] != 'h') break;
    }
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE.bz2 [RUNS [own|libbz2]]\n", argv[0]);
        return 2;
    }
    int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    std::ifstream f(argv[1], std::ios::binary);
    std::vector<uint8_t> d((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::vector<Block> blocks = find_blocks(d);
    Bzip2BlockDecoder dec;
    std::vector<uint8_t> text, buf(1 << 20);

    const std::string only = argc > 3 ? argv[3] : "";
    std::unique_ptr<Helper> helper;
    if (only == "own2") {
        helper = std::make_unique<Helper>();
        std::string a, b;
        own(d, blocks, dec, text, [&](const std::vector<uint8_t>& t) { a.append(t.begin(), t.end()); });
        own(d, blocks, dec, text, [&](const std::vector<uint8_t>& t) { b.append(t.begin(), t.end()); },
            helper.get());
        if (a != b) {
            std::fprintf(stderr, "texts differ on one and on two threads\n");
            return 1;
        }
    }
    if (!only.empty()) {
        size_t n = 0;
        std::vector<double> times;
#ifdef PALISAR_BZIP2_STAGE_TIMES
        std::vector<double> stages[palisar::parse::kStages];
#endif
        for (int r = 0; r < runs; ++r) {
#ifdef PALISAR_BZIP2_STAGE_TIMES
            std::fill(std::begin(palisar::parse::bzip2_stage_nanos), std::end(palisar::parse::bzip2_stage_nanos), 0);
#endif
            auto t0 = std::chrono::steady_clock::now();
            if (only == "own" || only == "own2")
                own(d, blocks, dec, text, [&](const std::vector<uint8_t>& t) { n += t.size(); }, helper.get());
            else
                libbz2(d, buf, [&](const uint8_t*, size_t k) { n += k; });
            times.push_back(seconds_since(t0));
#ifdef PALISAR_BZIP2_STAGE_TIMES
            for (int k = 0; k < palisar::parse::kStages; ++k)
                stages[k].push_back(double(palisar::parse::bzip2_stage_nanos[k]) * 1e-9);
#endif
        }
        std::printf("%s: %zu bytes of text, median %.6f s\n", only.c_str(), n, median(times));
#ifdef PALISAR_BZIP2_STAGE_TIMES
        if (only != "libbz2") {
            static const char* const names[] = {"tables and symbols", "links", "chain walk",
                                                "join and run-length pass", "CRC"};
            for (int k = 0; k < palisar::parse::kStages; ++k)
                std::printf("  %-26s median %.6f s\n", names[k], median(stages[k]));
        }
#endif
        return 0;
    }
    std::string a, b;
    own(d, blocks, dec, text, [&](const std::vector<uint8_t>& t) { a.append(t.begin(), t.end()); });
    libbz2(d, buf, [&](const uint8_t* p, size_t n) { b.append(reinterpret_cast<const char*>(p), n); });
    if (a != b) {
        std::fprintf(stderr, "texts differ: %zu and %zu bytes\n", a.size(), b.size());
        return 1;
    }
    std::printf("%s: %zu compressed bytes, %zu bytes of text, the same from both\n", argv[1], d.size(), a.size());

    std::vector<double> t_own, t_lib;
    size_t total = 0;
    for (int r = 0; r < runs; ++r) {
        for (int k = 0; k < 2; ++k) {
            auto t0 = std::chrono::steady_clock::now();
            if ((k == 0) == (r % 2 == 0)) {
                own(d, blocks, dec, text, [&](const std::vector<uint8_t>& t) { total += t.size(); });
                t_own.push_back(seconds_since(t0));
            } else {
                libbz2(d, buf, [&](const uint8_t*, size_t n) { total += n; });
                t_lib.push_back(seconds_since(t0));
            }
        }
    }
    double o = median(t_own), l = median(t_lib);
    std::printf("median of %d: libbz2 %.3f s (%.1f MB/s of text), own %.3f s (%.1f MB/s), own/libbz2 %.3f\n", runs,
                l, a.size() / l / 1e6, o, a.size() / o / 1e6, o / l);
    return total == 2 * size_t(runs) * a.size() ? 0 : 1;
}
