#include "json.hpp"

#include <simdjson.h>

#include <cstring>

static_assert(palisar::json::kLinePadding >= simdjson::SIMDJSON_PADDING);

namespace palisar::json {

namespace {

// The fast parser's document is a "tape" of 64-bit words: a type character in
// the top byte and a payload below it. Containers hold the index just past
// their closing word; strings an offset into the string buffer (a 32-bit
// length, then the bytes); numbers keep their value in the following word.
class Tape {
public:
    explicit Tape(const simdjson::dom::document& doc)
        : words_(doc.tape.get()), strings_(doc.string_buf.get()) {}

    char type(size_t i) const { return char(words_[i] >> 56); }
    uint64_t payload(size_t i) const { return words_[i] & 0x00FFFFFFFFFFFFFFull; }
    // Index of the word after the value at `i`.
    size_t after(size_t i) const {
        switch (type(i)) {
            case '[':
            case '{': return size_t(uint32_t(payload(i)));
            case 'l':
            case 'u':
            case 'd': return i + 2;
            default: return i + 1;
        }
    }
    std::string_view string(size_t i) const {
        const uint8_t* p = strings_ + payload(i);
        uint32_t len;
        std::memcpy(&len, p, 4);
        return std::string_view(reinterpret_cast<const char*>(p + 4), len);
    }
    uint64_t next_word(size_t i) const { return words_[i + 1]; }

    // Copies the value at `i` into the value tree; returns the index after it,
    // or 0 when it nests deeper than allowed (`depth` containers enclose it).
    size_t convert(size_t i, Builder& out, size_t depth) const {
        switch (type(i)) {
            case '[':
            case '{': {
                if (depth >= kMaxDepth) return 0;
                bool object = type(i) == '{';
                size_t end = after(i), j = i + 1;
                object ? out.begin_object() : out.begin_array();
                while (j + 1 < end) {  // the closing word sits at end - 1
                    if (object) {
                        out.key(string(j));
                        ++j;
                    }
                    j = convert(j, out, depth + 1);
                    if (!j) return 0;
                }
                out.end_container();
                return end;
            }
            case '"': out.string(string(i)); return i + 1;
            case 'l': out.sint(int64_t(next_word(i))); return i + 2;
            case 'u': out.uint(next_word(i)); return i + 2;
            case 'd': {
                double d;
                uint64_t bits = next_word(i);
                std::memcpy(&d, &bits, 8);
                out.number(d);
                return i + 2;
            }
            case 't': out.boolean(true); return i + 1;
            case 'f': out.boolean(false); return i + 1;
            case 'n': out.null(); return i + 1;
            default: return 0;
        }
    }

    // "pt" when it is an integer that fits a signed 64-bit value, else 0.
    int64_t publish_time(size_t i) const {
        if (type(i) == 'l') return int64_t(next_word(i));
        if (type(i) == 'u' && next_word(i) <= uint64_t(INT64_MAX)) return int64_t(next_word(i));
        return 0;
    }

private:
    const uint64_t* words_;
    const uint8_t* strings_;
};

// The document root: word 0 is the root marker, the value follows.
constexpr size_t kRoot = 1;

}  // namespace

bool keep_message(Value top, Builder& changes, int64_t& publish_time) {
    if (!top.is_object() || top.elements().empty()) return false;
    int64_t pt = 0;
    top.find("pt").get_i64(pt);
    if (pt < 1) return false;
    Value mc = top.find("mc");
    changes.clear();
    if (mc.is_array()) {
        changes.raw(mc.data(), mc.encoded_size());
    } else if (top.find("marketDefinition") || top.find("rc")) {
        changes.begin_array();
        changes.raw(top.data(), top.encoded_size());
        changes.end_container();
    } else {
        return false;
    }
    publish_time = pt;
    return true;
}

LineParser::Message LineParser::parse_message(std::string_view line, Builder& changes,
                                              int64_t& publish_time, std::string& error) {
    simdjson::dom::element root;
    if (!fast_->parse(line.data(), line.size(), false).get(root)) {
        Tape tape(fast_->doc);
        if (tape.type(kRoot) != '{') return Message::Skip;
        // Only the market changes are converted; the last of a repeated key wins.
        size_t end = tape.after(kRoot), pt = 0, mc = 0;
        bool bare = false;
        for (size_t j = kRoot + 1; j + 1 < end; j = tape.after(j + 1)) {
            std::string_view key = tape.string(j);
            if (key == "pt") pt = j + 1;
            else if (key == "mc") mc = j + 1;
            else if (key == "marketDefinition" || key == "rc") bare = true;
        }
        if (!pt) return Message::Skip;  // also an empty object
        int64_t time = tape.publish_time(pt);
        if (time < 1) return Message::Skip;
        changes.clear();
        bool converted;
        if (mc && tape.type(mc) == '[') {
            converted = tape.convert(mc, changes, 1) != 0;
        } else if (bare) {
            changes.begin_array();
            converted = tape.convert(kRoot, changes, 0) != 0;
            changes.end_container();
        } else {
            return Message::Skip;
        }
        if (converted) {
            publish_time = time;
            return Message::Keep;
        }
    }
    // Refused (a fault, a number beyond 64 bits, too deep): the exact parser
    // decides, and describes the fault precisely. The fast parser checks UTF-8
    // as it goes; the exact one expects it checked.
    if (!simdjson::validate_utf8(line.data(), line.size())) return Message::InvalidUtf8;
    if (!parse_precise(line, tree_, error)) return Message::Error;
    return keep_message(tree_.root(), changes, publish_time) ? Message::Keep : Message::Skip;
}

LineParser::LineParser() : fast_(std::make_unique<simdjson::dom::parser>()) {
    // The fast parser refuses exactly what nests deeper than we allow, so the
    // parts of a line that are not converted are held to the limit too.
    if (fast_->allocate(1 << 16, kMaxDepth)) throw std::bad_alloc();
}
LineParser::~LineParser() = default;

bool LineParser::parse(std::string_view line, Builder& out, std::string& error) {
    simdjson::dom::element root;
    if (!fast_->parse(line.data(), line.size(), false).get(root)) {
        out.clear();
        if (Tape(fast_->doc).convert(kRoot, out, 0)) return true;
    }
    // Refused (a fault, a number beyond 64 bits, too deep): the exact parser
    // decides, and describes the fault precisely.
    return parse_precise(line, out, error);
}

}  // namespace palisar::json
