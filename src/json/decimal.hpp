// Decimal text to double, correctly rounded, independent of the C locale and
// of the C++ library's floating-point from_chars.
#pragma once

namespace palisar::parse {

// Converts [b, e), a JSON number (an optional '-', digits, an optional
// fraction and exponent; not checked here), to the nearest double (ties to
// even) in `out`. Returns false when the value is out of range: `out` is then
// an infinity (too large) or a zero (a nonzero value too small for a
// subnormal), both with the number's sign.
bool decimal_to_double(const char* b, const char* e, double& out);

}  // namespace palisar::parse
