// The zstd decoder: every frame of the file, skippable frames passed over.
#include "parse/decode.hpp"

#if PALISAR_WITH_ZSTD
#include <zstd.h>
#include <zstd_errors.h>

#include <cstring>
#include <new>
#endif

namespace palisar::parse {

bool has_zstd_extension(std::string_view path) { return file_extension(path) == "zst"; }

#if PALISAR_WITH_ZSTD

namespace {

// A frame may ask for a window of at most 1 << kWindowLogMax bytes (128 MiB,
// what the zstd tool accepts without being told otherwise); a larger one is
// refused before anything is allocated for it.
constexpr int kWindowLogMax = 27;

bool frame_magic(const uint8_t* p) {
    uint32_t m = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return m == 0xFD2FB528u || (m & 0xFFFFFFF0u) == 0x184D2A50u;
}

class ZstdSource final : public ByteSource {
public:
    explicit ZstdSource(std::unique_ptr<ByteSource> raw)
        : raw_(std::move(raw)), buf_(std::make_unique_for_overwrite<uint8_t[]>(kSize)) {
        ctx_ = ZSTD_createDCtx();
        if (!ctx_) throw std::bad_alloc();
        ZSTD_DCtx_setParameter(ctx_, ZSTD_d_windowLogMax, kWindowLogMax);
    }
    ~ZstdSource() override { ZSTD_freeDCtx(ctx_); }
    ZstdSource(const ZstdSource&) = delete;
    ZstdSource& operator=(const ZstdSource&) = delete;
    bool decodes() const override { return true; }

    size_t read(uint8_t* dst, size_t cap) override {
        while (!done_) {
            if (in_.pos == in_.size && !refill(1)) {
                // The input ended inside a frame (or before the first one).
                throw ReadError("unexpected end of file");
            }
            ZSTD_outBuffer out{dst, cap, 0};
            size_t rc = ZSTD_decompressStream(ctx_, &out, &in_);
            if (ZSTD_isError(rc)) fail(rc);
            if (rc == 0) {
                // A frame is complete. Another follows only if the next bytes
                // are a frame magic number; anything else after it is ignored.
                done_ = !(refill(4) && frame_magic(buf_.get() + in_.pos));
            }
            if (out.pos) return out.pos;
        }
        return 0;
    }

private:
    static constexpr size_t kSize = 256 * 1024;

    // At least `n` unread bytes, unless the input ends first.
    bool refill(size_t n) {
        while (in_.size - in_.pos < n) {
            if (eof_) return false;
            size_t keep = in_.size - in_.pos;
            std::memmove(buf_.get(), buf_.get() + in_.pos, keep);
            size_t got = raw_->read(buf_.get() + keep, kSize - keep);
            if (got == 0) eof_ = true;
            in_.src = buf_.get();
            in_.pos = 0;
            in_.size = keep + got;
        }
        return true;
    }

    [[noreturn]] static void fail(size_t rc) {
        switch (ZSTD_getErrorCode(rc)) {
            case ZSTD_error_prefix_unknown: throw ReadError("invalid zstd header");
            case ZSTD_error_checksum_wrong:
                throw ReadError("corrupt zstd stream does not have a matching checksum");
            case ZSTD_error_frameParameter_windowTooLarge:
                throw ReadError("zstd frame asks for a window larger than 128 MiB");
            case ZSTD_error_memory_allocation: throw std::bad_alloc();
            default: throw ReadError("corrupt zstd data");
        }
    }

    std::unique_ptr<ByteSource> raw_;
    std::unique_ptr<uint8_t[]> buf_;
    ZSTD_inBuffer in_{nullptr, 0, 0};
    ZSTD_DCtx* ctx_ = nullptr;
    bool eof_ = false;
    bool done_ = false;
};

}  // namespace

std::unique_ptr<ByteSource> zstd_over(std::unique_ptr<ByteSource> raw) {
    return std::make_unique<ZstdSource>(std::move(raw));
}

#else

std::unique_ptr<ByteSource> zstd_over(std::unique_ptr<ByteSource>) {
    throw ReadError("cannot read zstd files: palisar was built without the zstd library (libzstd)");
}

#endif

}  // namespace palisar::parse
