// Reading a prices file into the kept stream messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "parse/decode.hpp"
#include "json/value.hpp"

namespace palisar::parse {

// One kept stream message.
struct ParsedMessage {
    json::Value market_changes;  // always an array
    int64_t publish_time;        // milliseconds since the epoch, > 0
};

// Everything a replay needs from a file: the messages and the storage their
// market changes live in.
struct PricesData {
    json::Arena arena;
    std::vector<ParsedMessage> messages;
    uint64_t bytes_decoded = 0;
};

// Called every few thousand lines; may throw to abandon the read.
using Poll = std::function<void()>;

// True for a line that is empty or holds only Unicode White_Space characters.
bool is_blank_line(std::string_view line);

// How read_prices shares the parse between threads.
struct ParseThreads {
    // Threads that parse, the calling one included; 0: one per CPU the
    // process may run on.
    unsigned threads = 0;
    // The text is cut into pieces of about this many bytes, each ending at a
    // line feed (a longer line makes a longer piece).
    size_t chunk_bytes = size_t(64) << 10;
    // Until a thread has started, the lines of a read shorter than this are
    // parsed on the calling thread at once, unless the source's size hint
    // says the text is at least this long: for less, a thread would not pay
    // for itself (it saves about a millisecond on 1 MB when the other CPU is
    // free, and its start and end can cost as much when it is not).
    size_t parallel_from = size_t(512) << 10;
    // When every piece left is with a worker, the calling thread waits this
    // long for the first before it parses that piece itself (the copy that
    // ends first counts): a few times what a piece takes.
    long patience_micros = 300;
    // `parallel_from` for text that is decoded as it is read (a compressed
    // file's, see ByteSource::decodes): a thread that parses while the
    // calling one decodes pays for itself on far less text.
    size_t decoded_parallel_from = size_t(128) << 10;
};

// Reads, decodes and parses every line of `source`. Throws ReadError. The
// result and the failure (the first in file order) do not depend on how
// many threads parse.
PricesData read_prices(ByteSource& source, const Poll& poll = {}, const ParseThreads& how = {});

// Opens `path` (its decoder, if any, chosen by its extension: see open_source)
// and reads it whole.
PricesData read_prices_file(const std::string& path, const Poll& poll = {});

}  // namespace palisar::parse
