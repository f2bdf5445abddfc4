// Parsing one line of a prices file into the compact value tree.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "value.hpp"

namespace palisar::json {

// Deepest nesting of arrays and objects that a line may have; the outermost
// container is level 1.
inline constexpr size_t kMaxDepth = 128;

// The exact parser: accepts precisely the JSON texts a line may hold and, for
// any other text, describes the first fault as "<description> at line 1 column N"
// (N is the 1-based byte position inside the line; for a text that ends too
// early, the line's length). On success `out` holds the encoded value (it is
// cleared first). Integers that do not fit 64 bits become doubles.
bool parse_precise(std::string_view line, Builder& out, std::string& error);

}  // namespace palisar::json

namespace simdjson::dom {
class parser;
}

namespace palisar::json {

// Extra readable bytes that must follow a line handed to `LineParser::parse`.
inline constexpr size_t kLinePadding = 64;

// Parses lines with the fast library parser and falls back to the exact parser
// for any line it refuses or cannot represent as we need.
class LineParser {
public:
    LineParser();
    ~LineParser();
    LineParser(const LineParser&) = delete;
    LineParser& operator=(const LineParser&) = delete;

    // `line` must be followed by kLinePadding readable bytes. On failure
    // `error` holds the full description with its position.
    bool parse(std::string_view line, Builder& out, std::string& error);

private:
    std::unique_ptr<simdjson::dom::parser> fast_;
};

}  // namespace palisar::json
