// Parsing one line of a prices file into the compact value tree.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "json/value.hpp"

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

// The envelope rules of `LineParser::parse_message` on a parsed line.
bool keep_message(Value top, Builder& changes, int64_t& publish_time);

// Extra readable bytes that must follow a line handed to
// `LineParser::parse_message`.
inline constexpr size_t kLinePadding = 64;

// Parses lines in one pass straight into the value tree and falls back to the
// exact parser for any line that pass refuses.
class LineParser {
public:
    LineParser();
    ~LineParser();
    LineParser(const LineParser&) = delete;
    LineParser& operator=(const LineParser&) = delete;

    enum class Message { Skip, Keep, Error, InvalidUtf8 };
    // Parses a stream message and applies the envelope rules: a message is
    // kept when it is an object with a "pt" integer of at least 1 and either an
    // "mc" array or, failing that, a "marketDefinition" or "rc" key (a bare
    // market change). For a kept message, `changes` is the array of its market
    // changes (the bare change wrapped in a one-element array), stored in
    // `arena`, and `publish_time` its "pt". The line need not have been checked
    // for UTF-8: InvalidUtf8 says it is not valid UTF-8 (before any JSON fault).
    Message parse_message(std::string_view line, Arena& arena, Value& changes,
                          int64_t& publish_time, std::string& error);
    // How many lines the one-pass path left to the exact parser so far.
    size_t exact_lines() const { return exact_lines_; }

private:
    // The one-pass path: a message, or nothing when the line is left to the
    // exact parser.
    std::optional<Message> parse_fast(std::string_view line, Arena& arena, Value& changes,
                                      int64_t& publish_time);

    std::unique_ptr<uint8_t[]> scratch_;  // members other than "mc" are parsed here
    size_t scratch_size_ = 0;
    size_t exact_lines_ = 0;
    Builder tree_;
    Builder kept_;
};

}  // namespace palisar::json
