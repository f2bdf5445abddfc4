// Byte sources for a prices file: the plain file, or the file inflated as gzip.
#pragma once

#include <cstddef>
#include <cstdint>
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

// True when the final component of `path` has the extension "gz" or "gzip".
bool has_gzip_extension(std::string_view path);

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Fills up to `cap` bytes of `dst`; returns 0 only at the end of the data.
    // Throws ReadError.
    virtual size_t read(uint8_t* dst, size_t cap) = 0;
};

// Opens `path` (a file-system path, no NUL byte) and picks the decoder by its
// name. Throws ReadError.
std::unique_ptr<ByteSource> open_source(const std::string& path);

// Decodes gzip data held in memory (every member); for tests and tools.
std::unique_ptr<ByteSource> gzip_over(std::unique_ptr<ByteSource> raw);

}  // namespace palisar::parse
