// UTF-8 validation of a line of bytes.
#pragma once

#include <cstddef>

namespace palisar::parse {

// True when the `len` bytes at `data` are well-formed UTF-8: no overlong
// forms, no surrogates (U+D800-U+DFFF), nothing above U+10FFFF, no sequence
// cut off at the end. Runs of ASCII are skipped eight bytes at a time.
bool valid_utf8(const char* data, size_t len);

}  // namespace palisar::parse
