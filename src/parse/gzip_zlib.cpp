// gzip decoding with zlib, for builds without ISA-L: the same members, the same
// rule for what follows a member and the same error texts as the ISA-L decoder
// in decode.cpp. The member header and trailer are read here; zlib inflates the
// raw deflate data between them.
#include "parse/decode.hpp"

#if !PALISAR_WITH_ISAL
#include <zlib.h>

#include <climits>
#include <cstring>
#include <new>

namespace palisar::parse {

namespace {

[[noreturn]] void truncated() { throw ReadError("unexpected end of file"); }
[[noreturn]] void bad_header() { throw ReadError("invalid gzip header"); }

class ZlibGzipSource final : public ByteSource {
public:
    explicit ZlibGzipSource(std::unique_ptr<ByteSource> raw)
        : raw_(std::move(raw)), buf_(std::make_unique_for_overwrite<uint8_t[]>(kSize)) {
        pos_ = end_ = buf_.get();
        int rc = inflateInit2(&z_, -MAX_WBITS);
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        if (rc != Z_OK) throw ReadError("gzip decoder initialisation failed");
    }
    ~ZlibGzipSource() override { inflateEnd(&z_); }
    ZlibGzipSource(const ZlibGzipSource&) = delete;
    ZlibGzipSource& operator=(const ZlibGzipSource&) = delete;

    size_t read(uint8_t* dst, size_t cap) override {
        for (;;) {
            switch (phase_) {
                case Phase::Done: return 0;
                case Phase::Header:
                    read_header();
                    break;
                case Phase::Body: {
                    size_t n = inflate_some(dst, cap);
                    if (n) return n;
                    break;
                }
            }
        }
    }

private:
    enum class Phase { Header, Body, Done };
    static constexpr size_t kSize = 256 * 1024;

    size_t available() const { return size_t(end_ - pos_); }
    // At least `n` unread bytes, unless the input ends first.
    bool ensure(size_t n) {
        while (available() < n) {
            if (eof_) return false;
            size_t keep = available();
            std::memmove(buf_.get(), pos_, keep);
            pos_ = buf_.get();
            end_ = pos_ + keep;
            size_t got = raw_->read(end_, kSize - keep);
            if (got == 0) eof_ = true;
            end_ += got;
        }
        return true;
    }

    uint8_t header_byte() {
        if (!ensure(1)) truncated();
        uint8_t b = *pos_++;
        header_crc_ = crc32(header_crc_, &b, 1);
        return b;
    }
    void skip_zero_terminated() {
        while (header_byte() != 0) {
        }
    }

    void read_header() {
        header_crc_ = crc32(0, nullptr, 0);
        if (header_byte() != 0x1f || header_byte() != 0x8b) bad_header();
        if (header_byte() != 8) throw ReadError("unsupported gzip compression method");
        uint8_t flags = header_byte();
        if (flags & 0xE0) throw ReadError("invalid gzip header flags");
        for (int i = 0; i < 6; ++i) header_byte();  // mtime, extra flags, os
        if (flags & 0x04) {
            unsigned len = header_byte();
            len |= unsigned(header_byte()) << 8;
            while (len--) header_byte();
        }
        if (flags & 0x08) skip_zero_terminated();
        if (flags & 0x10) skip_zero_terminated();
        if (flags & 0x02) {
            uLong expected = header_crc_ & 0xFFFF;
            unsigned got = header_byte();
            got |= unsigned(header_byte()) << 8;
            if (got != expected) throw ReadError("corrupt gzip header checksum");
        }
        if (inflateReset(&z_) != Z_OK) throw ReadError("gzip decoder initialisation failed");
        data_crc_ = crc32(0, nullptr, 0);
        data_size_ = 0;
        phase_ = Phase::Body;
    }

    size_t inflate_some(uint8_t* dst, size_t cap) {
        if (!ensure(1)) truncated();
        z_.next_in = pos_;
        z_.avail_in = uInt(available() > UINT_MAX ? UINT_MAX : available());
        z_.next_out = dst;
        z_.avail_out = uInt(cap > UINT_MAX ? UINT_MAX : cap);
        int rc = inflate(&z_, Z_NO_FLUSH);
        pos_ = z_.next_in;
        size_t produced = size_t(z_.next_out - dst);
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) throw ReadError("corrupt deflate stream");
        data_crc_ = crc32_z(data_crc_, dst, produced);
        data_size_ += produced;
        if (rc == Z_STREAM_END) {
            // The trailer: the CRC-32 and the size (modulo 2^32) of the data.
            if (!ensure(8)) truncated();
            uint32_t crc = 0, size = 0;
            for (int i = 3; i >= 0; --i) {
                crc = crc << 8 | pos_[i];
                size = size << 8 | pos_[4 + i];
            }
            pos_ += 8;
            if (crc != uint32_t(data_crc_) || size != uint32_t(data_size_))
                throw ReadError("corrupt gzip stream does not have a matching checksum");
            // Another member follows only if the next bytes are a gzip magic
            // number; anything else after it is ignored.
            phase_ = ensure(2) && pos_[0] == 0x1f && pos_[1] == 0x8b ? Phase::Header : Phase::Done;
        }
        return produced;
    }

    std::unique_ptr<ByteSource> raw_;
    std::unique_ptr<uint8_t[]> buf_;
    uint8_t* pos_;
    uint8_t* end_;
    bool eof_ = false;
    z_stream z_{};
    uLong header_crc_ = 0;
    uLong data_crc_ = 0;
    uint64_t data_size_ = 0;
    Phase phase_ = Phase::Header;
};

}  // namespace

std::unique_ptr<ByteSource> gzip_over(std::unique_ptr<ByteSource> raw) {
    return std::make_unique<ZlibGzipSource>(std::move(raw));
}

}  // namespace palisar::parse
#endif  // !PALISAR_WITH_ISAL
