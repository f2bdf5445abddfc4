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

    // Copies the value at `i` into the value tree at `out`, which has room for
    // it; returns the index after it, or 0 when it nests deeper than allowed
    // (`depth` containers enclose it).
    size_t convert(size_t i, uint8_t*& out, size_t depth) const {
        char t = type(i);
        if (t != '[' && t != '{') return scalar(i, out);
        if (depth >= kMaxDepth) return 0;
        bool object = t == '{';
        size_t end = after(i), j = i + 1;
        uint8_t* at = out;
        uint8_t* p = encode::open(out, object ? tag::Object : tag::Array);
        while (j + 1 < end) {  // the closing word sits at end - 1
            if (object) {
                std::string_view key = string(j++);
                p = encode::string_padded(p, key.data(), key.size());
            }
            char c = type(j);
            if (c == '[' || c == '{') {
                j = convert(j, p, depth + 1);
                if (!j) return 0;
            } else {
                j = scalar(j, p);
            }
        }
        out = encode::close(at, p);
        return end;
    }

    // A value that is not a container.
    size_t scalar(size_t i, uint8_t*& out) const {
        switch (type(i)) {
            case '"': {
                std::string_view text = string(i);
                out = encode::string_padded(out, text.data(), text.size());
                return i + 1;
            }
            case 'l': out = encode::sint(out, int64_t(next_word(i))); return i + 2;
            case 'u': out = encode::uint(out, next_word(i)); return i + 2;
            case 'd': {
                double d;
                uint64_t bits = next_word(i);
                std::memcpy(&d, &bits, 8);
                out = encode::number(out, d);
                return i + 2;
            }
            case 't': out = encode::boolean(out, true); return i + 1;
            case 'f': out = encode::boolean(out, false); return i + 1;
            default: out = encode::null(out); return i + 1;
        }
    }

    // Room enough for the encoding of any value of a document parsed from
    // `text_size` bytes: never more than three bytes per byte of text (the worst
    // case being a short number stored as a double), plus the length fields of
    // containers that pass 255 bytes and the padding of short strings.
    static size_t bound(size_t text_size) { return 3 * text_size + 64; }

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

LineParser::Message LineParser::parse_message(std::string_view line, Arena& arena, Value& changes,
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
        // Written in place into the arena.
        uint8_t* start = arena.reserve(Tape::bound(line.size()));
        uint8_t* p = start;
        bool converted;
        if (mc && tape.type(mc) == '[') {
            converted = tape.convert(mc, p, 1) != 0;
        } else if (bare) {
            p = encode::open(start, tag::Array);
            converted = tape.convert(kRoot, p, 0) != 0;
            p = encode::close(start, p);
        } else {
            return Message::Skip;
        }
        if (converted) {
            changes = Value(arena.commit(p));
            publish_time = time;
            return Message::Keep;
        }
    }
    // Refused (a fault, a number beyond 64 bits, too deep): the exact parser
    // decides, and describes the fault precisely. The fast parser checks UTF-8
    // as it goes; the exact one expects it checked.
    if (!simdjson::validate_utf8(line.data(), line.size())) return Message::InvalidUtf8;
    if (!parse_precise(line, tree_, error)) return Message::Error;
    if (!keep_message(tree_.root(), kept_, publish_time)) return Message::Skip;
    changes = Value(arena.store(kept_.data(), kept_.size()));
    return Message::Keep;
}

LineParser::LineParser() : fast_(std::make_unique<simdjson::dom::parser>()) {
    // The fast parser refuses exactly what nests deeper than we allow, so the
    // parts of a line that are not converted are held to the limit too.
    if (fast_->allocate(1 << 16, kMaxDepth)) throw std::bad_alloc();
}
LineParser::~LineParser() = default;

}  // namespace palisar::json
