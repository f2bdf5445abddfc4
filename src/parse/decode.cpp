#include "parse/decode.hpp"

#include "parse/gzip_members.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
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

unsigned usable_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    int n = CPU_COUNT(&set);
    return n > 0 ? unsigned(n) : 1;
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
    explicit FileSource(int fd) : fd_(fd) {
        struct stat st;
        if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) size_ = uint64_t(st.st_size);
    }
    ~FileSource() override { ::close(fd_); }
    uint64_t size_hint() const override { return size_; }
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
    uint64_t size_ = 0;
};

#if PALISAR_WITH_ISAL
// ISA-L's inflate, which also reads and checks each member's trailer.
class IsalInflater {
public:
    IsalInflater() : state_(std::make_unique_for_overwrite<inflate_state>()) { isal_inflate_init(state_.get()); }

    static uint32_t crc(uint32_t crc, const uint8_t* p, size_t n) { return crc32_gzip_refl(crc, p, n); }

    void start_member() {
        isal_inflate_reset(state_.get());
        state_->crc_flag = ISAL_GZIP_NO_HDR_VER;
    }

    size_t inflate(CompressedInput& in, uint8_t* dst, size_t cap, bool& member_done) {
        inflate_state* s = state_.get();
        s->next_in = in.pos;
        s->avail_in = uint32_t(in.available() > UINT32_MAX ? UINT32_MAX : in.available());
        s->next_out = dst;
        s->avail_out = uint32_t(cap > UINT32_MAX ? UINT32_MAX : cap);
        int rc = isal_inflate(s);
        in.pos = s->next_in;
        if (rc == ISAL_INCORRECT_CHECKSUM)
            throw ReadError("corrupt gzip stream does not have a matching checksum");
        if (rc < 0) throw ReadError("corrupt deflate stream");
        member_done = s->block_state == ISAL_BLOCK_FINISH;
        return size_t(s->next_out - dst);
    }

private:
    std::unique_ptr<inflate_state> state_;
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
    bool decodes() const override { return true; }

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
    return std::make_unique<GzipMembers<IsalInflater>>(std::move(raw));
}
#endif

namespace {

// A decoder's text with a size guessed from the compressed file's: the
// readers only choose their threads and read sizes by it.
class GuessedSize final : public ByteSource {
public:
    GuessedSize(std::unique_ptr<ByteSource> inner, uint64_t size) : inner_(std::move(inner)), size_(size) {}
    size_t read(uint8_t* dst, size_t cap) override { return inner_->read(dst, cap); }
    uint64_t size_hint() const override { return size_; }
    bool decodes() const override { return inner_->decodes(); }

private:
    std::unique_ptr<ByteSource> inner_;
    uint64_t size_;
};

// Prices text compresses far more than this: a guess of the text's size that
// is below it for any file worth parsing on several threads.
constexpr uint64_t kLeastCompression = 4;

std::unique_ptr<ByteSource> guess_size(std::unique_ptr<ByteSource> decoder, uint64_t compressed) {
    if (!compressed) return decoder;
    return std::make_unique<GuessedSize>(std::move(decoder), compressed * kLeastCompression);
}

}  // namespace

std::unique_ptr<ByteSource> open_source(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        throw ReadError("file name contained an unexpected NUL byte");
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && check_interrupted_call());
    if (fd < 0) throw ReadError(os_error_text(errno));
    std::unique_ptr<ByteSource> file = std::make_unique<FileSource>(fd);
    const uint64_t size = file->size_hint();
    if (has_gzip_extension(path)) return guess_size(gzip_over(std::move(file)), size);
    // bzip2 decoding has a thread on every CPU already: its text gets no
    // guessed size, so parse threads start only once one read brings 128 KiB
    // of lines (ParseThreads: a block's text mostly does).
    if (has_bzip2_extension(path)) return bzip2_parallel_over(std::move(file));
    if (has_zstd_extension(path)) return guess_size(zstd_over(std::move(file)), size);
    return file;
}

}  // namespace palisar::parse
