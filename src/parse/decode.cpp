#include "parse/decode.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#if PALISAR_WITH_BZIP2
#include <bzlib.h>
#endif
#if PALISAR_WITH_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

namespace palisar::parse {

namespace {
// strerror_r returns the text (the GNU C library's form) or a status with the
// text in the buffer (the POSIX form, other C libraries): both are taken.
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_text(int status, const char* buf) { return status == 0 ? buf : nullptr; }
}  // namespace

std::string os_error_text(int err) {
    char buf[256];
    const char* text = strerror_text(strerror_r(err, buf, sizeof buf), buf);
    std::string number = std::to_string(err);
    return (text ? std::string(text) : "Unknown error " + number) + " (os error " + number + ")";
}

std::string_view file_extension(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name == "..") return {};
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

bool has_gzip_extension(std::string_view path) {
    std::string_view ext = file_extension(path);
    return ext == "gz" || ext == "gzip";
}

bool has_bzip2_extension(std::string_view path) { return file_extension(path) == "bz2"; }

namespace {

class FileSource final : public ByteSource {
public:
    explicit FileSource(int fd) : fd_(fd) {}
    ~FileSource() override { ::close(fd_); }
    size_t read(uint8_t* dst, size_t cap) override {
        for (;;) {
            ssize_t n = ::read(fd_, dst, cap);
            if (n >= 0) return size_t(n);
            if (errno != EINTR) throw ReadError(os_error_text(errno));
            check_interrupted_call();
        }
    }

private:
    int fd_;
};

[[noreturn, maybe_unused]] void truncated() { throw ReadError("unexpected end of file"); }

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
#if PALISAR_WITH_ISAL
[[noreturn]] void bad_header() { throw ReadError("invalid gzip header"); }

// Inflates every gzip member of the underlying bytes, one after another.
class GzipSource final : public ByteSource {
public:
    explicit GzipSource(std::unique_ptr<ByteSource> raw)
        : in_(std::move(raw)), state_(std::make_unique<inflate_state>()) {
        isal_inflate_init(state_.get());
    }

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

    uint8_t header_byte() {
        if (!in_.ensure(1)) truncated();
        uint8_t b = *in_.pos++;
        header_crc_ = crc32_gzip_refl(header_crc_, &b, 1);
        return b;
    }
    void skip_zero_terminated() {
        while (header_byte() != 0) {
        }
    }

    void read_header() {
        header_crc_ = 0;
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
            uint32_t expected = header_crc_ & 0xFFFF;
            unsigned got = header_byte();
            got |= unsigned(header_byte()) << 8;
            if (got != expected) throw ReadError("corrupt gzip header checksum");
        }
        isal_inflate_reset(state_.get());
        state_->crc_flag = ISAL_GZIP_NO_HDR_VER;
        phase_ = Phase::Body;
    }

    size_t inflate_some(uint8_t* dst, size_t cap) {
        inflate_state* s = state_.get();
        if (!in_.ensure(1)) truncated();
        s->next_in = in_.pos;
        s->avail_in = uint32_t(in_.available());
        s->next_out = dst;
        s->avail_out = uint32_t(cap > UINT32_MAX ? UINT32_MAX : cap);
        int rc = isal_inflate(s);
        in_.pos = s->next_in;
        size_t produced = size_t(s->next_out - dst);
        if (rc == ISAL_INCORRECT_CHECKSUM)
            throw ReadError("corrupt gzip stream does not have a matching checksum");
        if (rc < 0) throw ReadError("corrupt deflate stream");
        if (s->block_state == ISAL_BLOCK_FINISH) {
            // The member is complete. Another one follows only if the next bytes
            // are a gzip magic number; anything else after it is ignored.
            if (in_.ensure(2) && in_.pos[0] == 0x1f && in_.pos[1] == 0x8b) {
                phase_ = Phase::Header;
            } else {
                phase_ = Phase::Done;
            }
        }
        return produced;
    }

    CompressedInput in_;
    std::unique_ptr<inflate_state> state_;
    uint32_t header_crc_ = 0;
    Phase phase_ = Phase::Header;
};
#endif  // PALISAR_WITH_ISAL (else gzip_zlib.cpp)

#if PALISAR_WITH_BZIP2
// Decodes every bzip2 stream of the underlying bytes, one after another.
class Bzip2Source final : public ByteSource {
public:
    explicit Bzip2Source(std::unique_ptr<ByteSource> raw) : in_(std::move(raw)) {}
    ~Bzip2Source() override { end_stream(); }
    Bzip2Source(const Bzip2Source&) = delete;
    Bzip2Source& operator=(const Bzip2Source&) = delete;

    size_t read(uint8_t* dst, size_t cap) override {
        if (cap > UINT_MAX) cap = UINT_MAX;
        while (!done_) {
            if (!active_) begin_stream();
            if (!in_.ensure(1)) truncated();
            stream_.next_in = reinterpret_cast<char*>(in_.pos);
            stream_.avail_in = unsigned(in_.available());
            stream_.next_out = reinterpret_cast<char*>(dst);
            stream_.avail_out = unsigned(cap);
            int rc = BZ2_bzDecompress(&stream_);
            in_.pos = reinterpret_cast<uint8_t*>(stream_.next_in);
            size_t produced = size_t(reinterpret_cast<uint8_t*>(stream_.next_out) - dst);
            if (rc == BZ_STREAM_END) {
                end_stream();
                done_ = !stream_header_follows();
            } else if (rc != BZ_OK) {
                fail(rc);
            }
            if (produced) return produced;
        }
        return 0;
    }

private:
    bool stream_header_follows() {
        if (!in_.ensure(4)) return false;
        const uint8_t* p = in_.pos;
        return p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9';
    }

    void begin_stream() {
        stream_ = bz_stream{};
        int rc = BZ2_bzDecompressInit(&stream_, 0, 0);
        if (rc == BZ_MEM_ERROR) throw std::bad_alloc();
        if (rc != BZ_OK) throw ReadError("bzip2 decoder initialisation failed");
        active_ = true;
    }
    void end_stream() {
        if (active_) BZ2_bzDecompressEnd(&stream_);
        active_ = false;
    }

    [[noreturn]] static void fail(int rc) {
        switch (rc) {
            case BZ_DATA_ERROR_MAGIC: throw ReadError("invalid bzip2 header");
            case BZ_DATA_ERROR: throw ReadError("corrupt bzip2 data");
            case BZ_MEM_ERROR: throw std::bad_alloc();
            default: throw ReadError("bzip2 decoder error " + std::to_string(rc));
        }
    }

    CompressedInput in_;
    bz_stream stream_{};
    bool active_ = false;
    bool done_ = false;
};
#endif  // PALISAR_WITH_BZIP2

}  // namespace

std::unique_ptr<ByteSource> bzip2_over(std::unique_ptr<ByteSource> raw) {
#if PALISAR_WITH_BZIP2
    return std::make_unique<Bzip2Source>(std::move(raw));
#else
    (void)raw;
    throw ReadError("cannot read bzip2 files: palisar was built without the bzip2 library (libbz2)");
#endif
}

#if PALISAR_WITH_ISAL
std::unique_ptr<ByteSource> gzip_over(std::unique_ptr<ByteSource> raw) {
    return std::make_unique<GzipSource>(std::move(raw));
}
#endif

std::unique_ptr<ByteSource> open_source(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        throw ReadError("file name contained an unexpected NUL byte");
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && check_interrupted_call());
    if (fd < 0) throw ReadError(os_error_text(errno));
    std::unique_ptr<ByteSource> file = std::make_unique<FileSource>(fd);
    if (has_gzip_extension(path)) return pipelined(gzip_over(std::move(file)));
    if (has_bzip2_extension(path)) return bzip2_parallel_over(std::move(file));
    if (has_zstd_extension(path)) return pipelined(zstd_over(std::move(file)));
    return file;
}

}  // namespace palisar::parse
