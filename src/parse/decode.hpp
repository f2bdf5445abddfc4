// Byte sources for a prices file: the plain file, or the file decoded as gzip
// or bzip2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

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
};

// Opens `path` (a file-system path, no NUL byte) and picks the decoder by its
// extension: gzip for "gz" and "gzip", bzip2 for "bz2", none otherwise (the
// content is never inspected). Throws ReadError.
std::unique_ptr<ByteSource> open_source(const std::string& path);

// Decodes gzip data held in memory (every member); for tests and tools.
std::unique_ptr<ByteSource> gzip_over(std::unique_ptr<ByteSource> raw);

// Decodes the bzip2 streams of `raw`, one after another: after the end of a
// stream, the next bytes start another stream only if they are a stream header
// ("BZh" and a block-size digit 1-9); anything else after a complete stream is
// ignored, as the bzip2 tool does with trailing garbage. Decoder failures throw
// ReadError ("invalid bzip2 header", "corrupt bzip2 data", "unexpected end of
// file"); running out of memory throws std::bad_alloc.
std::unique_ptr<ByteSource> bzip2_over(std::unique_ptr<ByteSource> raw);

}  // namespace palisar::parse
