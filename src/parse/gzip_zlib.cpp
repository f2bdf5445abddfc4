// gzip decoding with zlib, for builds without ISA-L: the members are framed as
// for ISA-L (gzip_members.hpp), with the same error texts; zlib inflates the
// raw deflate data, and the trailer is checked here.
#include "parse/decode.hpp"

#if !PALISAR_WITH_ISAL
#include <zlib.h>

#include <climits>
#include <new>

#include "parse/gzip_members.hpp"

namespace palisar::parse {

namespace {

class ZlibInflater {
public:
    ZlibInflater() {
        int rc = inflateInit2(&z_, -MAX_WBITS);
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        if (rc != Z_OK) throw ReadError("gzip decoder initialisation failed");
    }
    ~ZlibInflater() { inflateEnd(&z_); }
    ZlibInflater(const ZlibInflater&) = delete;
    ZlibInflater& operator=(const ZlibInflater&) = delete;

    static uint32_t crc(uint32_t crc, const uint8_t* p, size_t n) { return uint32_t(crc32_z(crc, p, n)); }

    void start_member() {
        if (inflateReset(&z_) != Z_OK) throw ReadError("gzip decoder initialisation failed");
        data_crc_ = 0;
        data_size_ = 0;
    }

    size_t inflate(CompressedInput& in, uint8_t* dst, size_t cap, bool& member_done) {
        z_.next_in = in.pos;
        z_.avail_in = uInt(in.available() > UINT_MAX ? UINT_MAX : in.available());
        z_.next_out = dst;
        z_.avail_out = uInt(cap > UINT_MAX ? UINT_MAX : cap);
        int rc = ::inflate(&z_, Z_NO_FLUSH);
        in.pos = z_.next_in;
        size_t produced = size_t(z_.next_out - dst);
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) throw ReadError("corrupt deflate stream");
        data_crc_ = crc(data_crc_, dst, produced);
        data_size_ += produced;
        if (rc == Z_STREAM_END) {
            // The trailer: the CRC-32 and the size (modulo 2^32) of the data.
            if (!in.ensure(8)) truncated();
            uint32_t stored_crc = 0, size = 0;
            for (int i = 3; i >= 0; --i) {
                stored_crc = stored_crc << 8 | in.pos[i];
                size = size << 8 | in.pos[4 + i];
            }
            in.pos += 8;
            if (stored_crc != data_crc_ || size != uint32_t(data_size_))
                throw ReadError("corrupt gzip stream does not have a matching checksum");
            member_done = true;
        }
        return produced;
    }

private:
    z_stream z_{};
    uint32_t data_crc_ = 0;
    uint64_t data_size_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> gzip_over(std::unique_ptr<ByteSource> raw) {
    return std::make_unique<GzipMembers<ZlibInflater>>(std::move(raw));
}

}  // namespace palisar::parse
#endif  // !PALISAR_WITH_ISAL
