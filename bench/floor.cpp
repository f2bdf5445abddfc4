// The native floor of loading a prices file, and the decoders side by side.
//
//   floor FILE            inflate (when the name says gzip) and parse every
//                         line with the libraries the module uses, keeping
//                         nothing; prints seconds and MB/s of decoded text
//   floor --decoders FILE.gz   inflate the whole file with zlib, ISA-L (both
//                         streaming) and libdeflate (whole buffer)
//   floor --inflate-only FILE  inflate (or read) only
//   floor --reader FILE   the module's own reader (read_prices_file), keeping
//                         every market change, without Python
//
// Build (from the repository root; bench/run.py does the same into bench/out):
//
//   g++ -std=c++20 -O3 -DNDEBUG -Wall -Wextra -Isrc bench/floor.cpp src/parse/*.cpp src/json/*.cpp -lsimdjson -lisal -ldeflate -lz -lbz2 -o floor
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <simdjson.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "parse/decode.hpp"
#include "parse/reader.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::vector<uint8_t> slurp(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Streams `source` through 1 MiB chunks, parsing each complete line.
size_t parse_lines(palisar::parse::ByteSource& source, bool parse) {
    simdjson::dom::parser parser;
    std::vector<char> buf((1 << 20) + 64);
    size_t head = 0, tail = 0, total = 0, lines = 0;
    for (;;) {
        char* nl = static_cast<char*>(std::memchr(buf.data() + head, '\n', tail - head));
        if (nl) {
            size_t len = size_t(nl - (buf.data() + head));
            if (parse && len) {
                simdjson::dom::element e;
                if (parser.parse(buf.data() + head, len, false).get(e)) std::abort();
            }
            ++lines;
            head += len + 1;
            continue;
        }
        size_t partial = tail - head;
        if (partial + 64 + 4096 > buf.size()) buf.resize(buf.size() * 2);
        std::memmove(buf.data(), buf.data() + head, partial);
        head = 0;
        tail = partial;
        size_t n = source.read(reinterpret_cast<uint8_t*>(buf.data() + tail), buf.size() - 64 - tail);
        if (n == 0) break;
        tail += n;
        total += n;
    }
    (void)lines;
    return total;
}

int decoders(const char* path) {
    std::vector<uint8_t> gz = slurp(path);
    std::vector<uint8_t> out(1 << 20);
    // zlib, streaming
    auto t = Clock::now();
    z_stream z{};
    inflateInit2(&z, 16 + 15);
    z.next_in = gz.data();
    z.avail_in = uInt(gz.size());
    size_t total = 0;
    int rc;
    do {
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        rc = inflate(&z, Z_NO_FLUSH);
        total += out.size() - z.avail_out;
    } while (rc == Z_OK);
    inflateEnd(&z);
    double tz = seconds_since(t);
    // ISA-L, streaming (the module's decoder)
    t = Clock::now();
    auto source = palisar::parse::gzip_over(nullptr);
    (void)source;
    inflate_state s;
    isal_inflate_init(&s);
    s.crc_flag = ISAL_GZIP;
    s.next_in = gz.data();
    s.avail_in = uint32_t(gz.size());
    size_t total_isal = 0;
    do {
        s.next_out = out.data();
        s.avail_out = uint32_t(out.size());
        if (isal_inflate(&s) < 0) std::abort();
        total_isal += out.size() - s.avail_out;
    } while (s.block_state != ISAL_BLOCK_FINISH);
    double ti = seconds_since(t);
    // libdeflate, whole buffer
    t = Clock::now();
    std::vector<uint8_t> whole(total + 1);
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    size_t got = 0;
    if (libdeflate_gzip_decompress(d, gz.data(), gz.size(), whole.data(), whole.size(), &got) !=
        LIBDEFLATE_SUCCESS)
        std::abort();
    libdeflate_free_decompressor(d);
    double td = seconds_since(t);
    std::printf("decoded %.1f MB\n", total / 1e6);
    std::printf("zlib (streaming)        %7.0f MB/s\n", total / tz / 1e6);
    std::printf("ISA-L (streaming)       %7.0f MB/s\n", total_isal / ti / 1e6);
    std::printf("libdeflate (whole file) %7.0f MB/s\n", got / td / 1e6);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--decoders") == 0) return decoders(argv[2]);
    bool parse = true;
    const char* path = argv[argc - 1];
    if (argc == 3 && std::strcmp(argv[1], "--inflate-only") == 0) parse = false;
    if (argc < 2) {
        std::fprintf(stderr, "usage: floor [--decoders|--inflate-only|--reader] FILE\n");
        return 2;
    }
    if (argc == 3 && std::strcmp(argv[1], "--reader") == 0) {
        auto t = Clock::now();
        palisar::parse::PricesData data = palisar::parse::read_prices_file(path);
        double secs = seconds_since(t);
        std::printf("%.6f seconds %.1f MB %zu messages %.1f MB kept\n", secs, data.bytes_decoded / 1e6,
                    data.messages.size(), data.arena.bytes_used() / 1e6);
        return 0;
    }
    auto t = Clock::now();
    auto source = palisar::parse::open_source(path);
    size_t bytes = parse_lines(*source, parse);
    double secs = seconds_since(t);
    std::printf("%.6f seconds %.1f MB %.0f MB/s\n", secs, bytes / 1e6, bytes / secs / 1e6);
    return 0;
}
