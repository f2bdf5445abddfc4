// What the two gzip decoders share (ISA-L's inflate in decode.cpp, zlib's in
// gzip_zlib.cpp; a build has one of them): the window over the compressed
// bytes, and the member framing. Members are decoded one after another: each
// header is read and checked here, the deflate data and the member's trailer
// by the inflater; another member follows only if the next bytes are a gzip
// magic number, and anything else after a member is ignored.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "parse/decode.hpp"

namespace palisar::parse {

[[noreturn]] inline void truncated() { throw ReadError("unexpected end of file"); }

// The compressed bytes under a decoder: a window [pos, end) over a buffer that
// is refilled from the underlying source.
class CompressedInput {
public:
    explicit CompressedInput(std::unique_ptr<ByteSource> raw)
        : raw_(std::move(raw)), buf_(std::make_unique_for_overwrite<uint8_t[]>(kSize)) {
        pos = end = buf_.get();
    }
    size_t available() const { return size_t(end - pos); }
    // Keeps the unread bytes and appends more; false at the end of the input.
    bool refill() {
        if (eof_) return false;
        size_t keep = available();
        std::memmove(buf_.get(), pos, keep);
        pos = buf_.get();
        end = pos + keep;
        size_t n = raw_->read(end, kSize - keep);
        if (n == 0) {
            eof_ = true;
            return false;
        }
        end += n;
        return true;
    }
    // At least `n` unread bytes, unless the input ends first.
    bool ensure(size_t n) {
        while (available() < n)
            if (!refill()) return false;
        return true;
    }

    uint8_t* pos;
    uint8_t* end;

private:
    static constexpr size_t kSize = 256 * 1024;
    std::unique_ptr<ByteSource> raw_;
    std::unique_ptr<uint8_t[]> buf_;
    bool eof_ = false;
};

// The members of a gzip file, inflated by an Inflater, which provides:
//   static uint32_t crc(uint32_t crc, const uint8_t* p, size_t n);  // CRC-32
//   void start_member();  // a member's deflate data begins
//   // Inflates into dst from in (which holds at least one byte); sets
//   // `member_done` once the member's trailer is read and checked.
//   size_t inflate(CompressedInput& in, uint8_t* dst, size_t cap, bool& member_done);
template <class Inflater>
class GzipMembers final : public ByteSource {
public:
    explicit GzipMembers(std::unique_ptr<ByteSource> raw) : in_(std::move(raw)) {}
    bool decodes() const override { return true; }

    size_t read(uint8_t* dst, size_t cap) override {
        for (;;) {
            switch (phase_) {
                case Phase::Done: return 0;
                case Phase::Header:
                    read_header();
                    break;
                case Phase::Body: {
                    if (!in_.ensure(1)) truncated();
                    bool member_done = false;
                    size_t n = inflater_.inflate(in_, dst, cap, member_done);
                    if (member_done) phase_ = magic_follows() ? Phase::Header : Phase::Done;
                    if (n) return n;
                    break;
                }
            }
        }
    }

private:
    enum class Phase { Header, Body, Done };

    bool magic_follows() { return in_.ensure(2) && in_.pos[0] == 0x1f && in_.pos[1] == 0x8b; }

    uint8_t header_byte() {
        if (!in_.ensure(1)) truncated();
        uint8_t b = *in_.pos++;
        header_crc_ = Inflater::crc(header_crc_, &b, 1);
        return b;
    }
    void skip_zero_terminated() {
        while (header_byte() != 0) {
        }
    }

    void read_header() {
        header_crc_ = 0;
        if (header_byte() != 0x1f || header_byte() != 0x8b) throw ReadError("invalid gzip header");
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
            uint32_t expected = header_crc_ & 0xFFFF;
            unsigned got = header_byte();
            got |= unsigned(header_byte()) << 8;
            if (got != expected) throw ReadError("corrupt gzip header checksum");
        }
        inflater_.start_member();
        phase_ = Phase::Body;
    }

    CompressedInput in_;
    Inflater inflater_;
    uint32_t header_crc_ = 0;
    Phase phase_ = Phase::Header;
};

}  // namespace palisar::parse
