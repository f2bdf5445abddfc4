// Byte sources for a prices file: the plain file, or the file decoded as gzip,
// bzip2 or zstd.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// The libraries the build decodes with: gzip with ISA-L (else zlib, in
// gzip_zlib.cpp), bzip2 with libbz2 (else .bz2 files are refused). Both are
// on unless the build says otherwise.
#ifndef PALISAR_WITH_ISAL
#define PALISAR_WITH_ISAL 1
#endif
#ifndef PALISAR_WITH_BZIP2
#define PALISAR_WITH_BZIP2 1
#endif

namespace palisar::parse {

// A failure of reading a prices file; what() is the text the caller sees.
class ReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "<the system's text for errno> (os error <errno>)".
std::string os_error_text(int err);

// The extension of the final component of `path` (a trailing "/" ignored): the
// text after its last ".", or empty when the component is "..", has no "." or
// has only a leading one.
std::string_view file_extension(std::string_view path);

// True when the extension of `path` is exactly "gz" or "gzip".
bool has_gzip_extension(std::string_view path);

// True when the extension of `path` is exactly "bz2".
bool has_bzip2_extension(std::string_view path);

// True when the extension of `path` is exactly "zst".
bool has_zstd_extension(std::string_view path);
// Run when a blocking open() or read() of a prices file was interrupted by a
// signal, before the call is retried: it looks at pending signals and may
// throw to abandon the read. Set per thread (read_prices_file sets it for the
// time of its read); none means a plain retry.
inline thread_local const std::function<void()>* interrupted_call_check = nullptr;
// Runs the check; true (the call is to be retried) unless it throws.
inline bool check_interrupted_call() {
    if (interrupted_call_check && *interrupted_call_check) (*interrupted_call_check)();
    return true;
}

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Fills up to `cap` bytes of `dst`; returns 0 only at the end of the data.
    // Throws ReadError.
    virtual size_t read(uint8_t* dst, size_t cap) = 0;
    // The bytes the reads will give in all, when known before reading (the
    // size of a plain regular file) or guessed (from a compressed file's);
    // 0 when not known. A hint only: the reads decide.
    virtual uint64_t size_hint() const { return 0; }
    // Whether the text is decoded as it is read (a compressed file's): the
    // readers then start parsing on other threads from less text (see
    // ParseThreads), the parse having the decoding to overlap.
    virtual bool decodes() const { return false; }
};

// Opens `path` (a file-system path, no NUL byte) and picks the decoder by its
// extension: gzip for "gz" and "gzip", bzip2 for "bz2", zstd for "zst", none
// otherwise (the content is never inspected). Throws ReadError, also for a
// "bz2" or "zst" file in a build without its library (the text names it).
std::unique_ptr<ByteSource> open_source(const std::string& path);

// Decodes the gzip data of `raw`, every member of it: the decoder open_source
// puts over a "gz" or "gzip" file.
std::unique_ptr<ByteSource> gzip_over(std::unique_ptr<ByteSource> raw);

// Decodes the bzip2 streams of `raw`, one after another: after the end of a
// stream, the next bytes start another stream only if they are a stream header
// ("BZh" and a block-size digit 1-9); anything else after a complete stream is
// ignored, as the bzip2 tool does with trailing garbage. Decoder failures throw
// ReadError ("invalid bzip2 header", "corrupt bzip2 data", "unexpected end of
// file"); running out of memory throws std::bad_alloc.
std::unique_ptr<ByteSource> bzip2_over(std::unique_ptr<ByteSource> raw);

// The bzip2 decoder above, with the blocks of each stream decoded on `threads`
// threads (the calling one included; 0: one per CPU the process may run on),
// while the text still comes out in file order. The compressed data is read
// whole first; with one thread, and for files of fewer than `parallel_from`
// compressed bytes (about one block of bzip2 -9 market text), the calling
// thread decodes the blocks itself. Well-formed blocks are decoded by
// our own block decoder, the others by libbz2; a thread with nothing else to
// do takes a share of a block of at least `share_from` bytes being decoded.
// The threads end with the source. Results and failures are those of
// bzip2_over.
std::unique_ptr<ByteSource> bzip2_parallel_over(std::unique_ptr<ByteSource> raw, unsigned threads = 0,
                                                size_t parallel_from = 48 * 1024, uint32_t share_from = 64 * 1024);

// The number of CPUs in this process's affinity mask (at least 1).
unsigned usable_cpus();

// Decodes the zstd frames of `raw`, one after another; skippable frames are
// passed over. After a complete frame, the next bytes start another frame only
// if they are a frame magic number; anything else after it is ignored. Failures
// throw ReadError ("invalid zstd header", "corrupt zstd data", "corrupt zstd
// stream does not have a matching checksum", "unexpected end of file", and a
// refusal of frames asking for a window beyond 128 MiB). In a build without
// libzstd it throws a ReadError naming the missing library.
std::unique_ptr<ByteSource> zstd_over(std::unique_ptr<ByteSource> raw);

}  // namespace palisar::parse
