#include "parse/reader.hpp"

#include <cstring>
#include <new>
#include <unistd.h>
#include <utility>
#include <memory>

#include "json/parser.hpp"
#include "json/utf8.hpp"

namespace palisar::parse {

namespace {

// Decodes one UTF-8 sequence of an already validated line.
char32_t next_code_point(const unsigned char*& p) {
    unsigned char c = *p++;
    if (c < 0x80) return c;
    if (c < 0xE0) return char32_t((c & 0x1F) << 6 | (*p++ & 0x3F));
    if (c < 0xF0) {
        char32_t v = char32_t((c & 0x0F) << 12 | (p[0] & 0x3F) << 6 | (p[1] & 0x3F));
        p += 2;
        return v;
    }
    char32_t v = char32_t((c & 0x07) << 18 | (p[0] & 0x3F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F));
    p += 3;
    return v;
}

bool is_white_space(char32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

[[noreturn]] void invalid_utf8() { throw ReadError("stream did not contain valid UTF-8"); }

class MessageCollector {
public:
    explicit MessageCollector(PricesData& out) : out_(out) {}

    void line(const char* data, size_t len) {
        std::string_view text(data, len);
        if (!text.empty() && text.back() == '\n') {
            text.remove_suffix(1);
            if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        }
        // A line that starts like an object is checked for UTF-8 by the parser;
        // any other is checked here, before the blank test reads its characters.
        if (text.empty() || text.front() != '{') {
            if (!valid_utf8(data, len)) invalid_utf8();
            if (is_blank_line(text)) return;
        }
        int64_t publish_time;
        json::Value changes;
        switch (parser_.parse_message(text, out_.arena, changes, publish_time, error_)) {
            case json::LineParser::Message::Skip: return;
            case json::LineParser::Message::Error: throw ReadError(error_);
            case json::LineParser::Message::InvalidUtf8: invalid_utf8();
            case json::LineParser::Message::Keep: break;
        }
        out_.messages.push_back(ParsedMessage{changes, publish_time});
    }

private:
    PricesData& out_;
    json::LineParser parser_;
    std::string error_;
};

}  // namespace

bool is_blank_line(std::string_view line) {
    auto p = reinterpret_cast<const unsigned char*>(line.data());
    auto end = p + line.size();
    while (p < end)
        if (!is_white_space(next_code_point(p))) return false;
    return true;
}

namespace {

// Bytes read between two looks at pending signals, whatever the lines: a line
// that never ends (a stream without line feeds) is interruptible too.
constexpr uint64_t kPollBytes = uint64_t(4) << 20;

// The largest line buffer: half the machine's memory. A longer line cannot be
// held (its buffer grows by doubling, and the old one is copied into the new):
// it fails as out of memory, before the machine runs out of it.
size_t line_buffer_limit() {
    static const size_t limit = [] {
        long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
        return pages > 0 && page > 0 ? size_t(pages) / 2 * size_t(page) : SIZE_MAX;
    }();
    return limit;
}

}  // namespace

PricesData read_prices(ByteSource& source, const Poll& poll) {
    PricesData out;
    MessageCollector collector(out);
    constexpr size_t kPad = json::kLinePadding;
    size_t cap = (size_t(1) << 20) + kPad;
    auto buf = std::make_unique_for_overwrite<char[]>(cap);
    size_t head = 0, tail = 0, scan = 0;
    bool eof = false;
    unsigned lines = 0;
    uint64_t unpolled = 0;
    for (;;) {
        const char* nl = static_cast<const char*>(std::memchr(buf.get() + scan, '\n', tail - scan));
        if (nl) {
            size_t end = size_t(nl - buf.get()) + 1;
            collector.line(buf.get() + head, end - head);
            head = scan = end;
            if (poll && ++lines % 4096 == 0) poll();
            continue;
        }
        if (eof) {
            if (head < tail) collector.line(buf.get() + head, tail - head);
            break;
        }
        // No complete line left: keep the partial one and read more behind it.
        size_t partial = tail - head;
        if (partial + kPad + 4096 > cap) {
            size_t grown = cap * 2;
            if (grown > line_buffer_limit()) throw std::bad_alloc();
            auto bigger = std::make_unique_for_overwrite<char[]>(grown);
            std::memcpy(bigger.get(), buf.get() + head, partial);
            buf = std::move(bigger);
            cap = grown;
        } else if (head > 0) {
            std::memmove(buf.get(), buf.get() + head, partial);
        }
        head = 0;
        scan = tail = partial;
        size_t n = source.read(reinterpret_cast<uint8_t*>(buf.get() + tail), cap - kPad - tail);
        if (n == 0) eof = true;
        out.bytes_decoded += n;
        tail += n;
        if (poll && (unpolled += n) >= kPollBytes) {
            unpolled = 0;
            poll();
        }
    }
    return out;
}

PricesData read_prices_file(const std::string& path, const Poll& poll) {
    // Blocking calls interrupted by a signal look at it (a FIFO without a
    // writer blocks in open(), one whose writer stays silent in read()).
    struct CheckScope {
        const std::function<void()>* saved;
        explicit CheckScope(const Poll& p) : saved(std::exchange(interrupted_call_check, &p)) {}
        ~CheckScope() { interrupted_call_check = saved; }
    } scope(poll);
    std::unique_ptr<ByteSource> source = open_source(path);
    return read_prices(*source, poll);
}

}  // namespace palisar::parse
