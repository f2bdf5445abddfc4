#include "parse/reader.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>
#include <string.h>
#include <new>
#include <unistd.h>
#include <utility>
#include <time.h>
#include <memory>

#include "json/memory.hpp"
#include "json/parser.hpp"
#include "json/utf8.hpp"
#include "parse/cond_var.hpp"

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

// Parses lines into kept messages, storing their market changes in one arena.
class MessageCollector {
public:
    explicit MessageCollector(json::Arena& arena) : arena_(arena) {}

    void line(const char* data, size_t len, std::vector<ParsedMessage>& out) {
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
        switch (parser_.parse_message(text, arena_, changes, publish_time, error_)) {
            case json::LineParser::Message::Skip: return;
            case json::LineParser::Message::Error: throw ReadError(error_);
            case json::LineParser::Message::InvalidUtf8: invalid_utf8();
            case json::LineParser::Message::Keep: break;
        }
        out.push_back(ParsedMessage{changes, publish_time});
    }

private:
    json::Arena& arena_;
    json::LineParser parser_;
    std::string error_;
};

}  // namespace

bool is_blank_line(std::string_view line) {
    auto p = reinterpret_cast<const unsigned char*>(line.data());
    auto end = p + line.size();
    constexpr uint64_t kSpaces = 0x2020202020202020;
    while (p < end) {
        // Spaces eight at a time: a blank line may be megabytes of them (a
        // small bzip2 file can hold one).
        while (end - p >= 8 && json::detail::load64(p) == kSpaces) p += 8;
        if (p == end) break;
        if (!is_white_space(next_code_point(p))) return false;
    }
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


// Line buffers of the usual size, kept between loads: a caller that loads one
// file after another would otherwise have the system fault in and clear every
// page a load reads into (a tenth of a one-megabyte load's time), and unmap
// it again at the end. Two are kept, what a small file's load goes through.
constexpr size_t kLineBufferBytes = (size_t(1) << 20) + json::kLinePadding;
constinit json::SpareSlots<char, 2> spare_line_buffers;

struct LineBufferFree {
    bool usual = false;  // of kLineBufferBytes: may be kept
    void operator()(char* p) const noexcept {
        if (!usual || !spare_line_buffers.keep(p)) delete[] p;
    }
};
using LineBuffer = std::unique_ptr<char[], LineBufferFree>;

// A buffer of `cap` bytes, contents undefined (a kept one when the size is the usual).
LineBuffer line_buffer(size_t cap) {
    if (cap == kLineBufferBytes) {
        if (char* kept = spare_line_buffers.take()) return LineBuffer(kept, LineBufferFree{true});
        return LineBuffer(new char[cap], LineBufferFree{true});
    }
    return LineBuffer(new char[cap], LineBufferFree{false});
}

// The length of the next read, at most `room`. A text whose size is known or
// guessed (a file's) is read a quarter megabyte at a time, so that the parse
// starts on other threads while the rest is read or decoded, and its first
// reads are shorter still (32 KiB, then doubling), so that those threads get
// their first lines early; any other source is asked for up to a megabyte.
// Both readers read alike, so a source fails at the same point of its text
// whichever reads it.
size_t read_length(const ByteSource& source, size_t room, uint64_t read_so_far) {
    if (!source.size_hint()) return std::min(room, size_t(1) << 20);
    constexpr size_t kFirstRead = size_t(32) << 10;
    return std::min({room, size_t(256) << 10, size_t(std::max<uint64_t>(2 * read_so_far, kFirstRead))});
}

PricesData read_sequential(ByteSource& source, const Poll& poll) {
    PricesData out;
    MessageCollector collector(out.arena);
    constexpr size_t kPad = json::kLinePadding;
    size_t cap = kLineBufferBytes;
    LineBuffer buf = line_buffer(cap);
    size_t head = 0, tail = 0, scan = 0;
    bool eof = false;
    unsigned lines = 0;
    uint64_t unpolled = 0;
    for (;;) {
        const char* nl = static_cast<const char*>(std::memchr(buf.get() + scan, '\n', tail - scan));
        if (nl) {
            size_t end = size_t(nl - buf.get()) + 1;
            collector.line(buf.get() + head, end - head, out.messages);
            head = scan = end;
            if (poll && ++lines % 4096 == 0) poll();
            continue;
        }
        if (eof) {
            if (head < tail) collector.line(buf.get() + head, tail - head, out.messages);
            break;
        }
        // No complete line left: keep the partial one and read more behind it.
        size_t partial = tail - head;
        if (partial + kPad + 4096 > cap) {
            size_t grown = cap * 2;
            if (grown > line_buffer_limit()) throw std::bad_alloc();
            LineBuffer bigger = line_buffer(grown);
            std::memcpy(bigger.get(), buf.get() + head, partial);
            buf = std::move(bigger);
            cap = grown;
        } else if (head > 0) {
            std::memmove(buf.get(), buf.get() + head, partial);
        }
        head = 0;
        scan = tail = partial;
        size_t n = source.read(reinterpret_cast<uint8_t*>(buf.get() + tail),
                               read_length(source, cap - kPad - tail, out.bytes_decoded));
        if (n == 0) eof = true;
        out.bytes_decoded += n;
        tail += n;
        if (poll && (unpolled += n) >= kPollBytes) {
            unpolled = 0;
            poll();
        }
    }
    out.arena.release_unused();
    return out;
}

// ---- the parse on several threads -------------------------------------------------
//
// The calling thread reads the text as the one-thread loop above does (the same
// reads, of the same sizes, so a source fails at the same point of its text),
// and cuts the complete lines of each read into pieces that end at line feeds.
// Pieces wait in a queue, in file order, for a worker or for the calling
// thread, which parses one whenever the window of buffers in flight is full.
// Each thread stores market changes in an arena of its own (taken over by the
// result at the end); each piece keeps its own messages, appended to the
// result in file order. A piece that failed stops the read when its turn
// comes, so the first failure in file order wins; a failure of the source
// comes after every line read before it.

struct Buffer {
    LineBuffer data;
    size_t cap = 0;       // bytes, kLinePadding of them after the text
    unsigned pieces = 0;  // pieces of it not yet moved into the result
};

struct Piece {
    Buffer* buffer = nullptr;
    const char* begin = nullptr;
    size_t len = 0;
    std::vector<ParsedMessage> messages;
    std::exception_ptr failure;
    std::atomic<bool> done = false;  // set under the lock; read without it too
};

// Parses every line of `text` (the last may lack its line feed); `go_on` is
// asked before every line.
template <class GoOn>
void parse_lines(MessageCollector& collector, const char* p, size_t len, std::vector<ParsedMessage>& out,
                 GoOn go_on) {
    const char* end = p + len;
    while (p < end && go_on()) {
        auto nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        size_t n = nl ? size_t(nl - p) + 1 : size_t(end - p);
        collector.line(p, n, out);
        p += n;
    }
}

// After two loads in a row whose workers the system did not run promptly
// (other processes keep the CPUs busy, as in a pool of one process per CPU),
// this many loads that choose their threads themselves parse on the calling
// thread alone; the next tries threads again, and goes back to parsing alone
// at once if its workers wait too. Threads that have to wait for a CPU only
// add their start, their end and the pieces parsed twice. One such load alone
// is no sign: a virtual machine's CPU stolen for a few milliseconds looks the
// same, and sixteen loads on one CPU cost far more than it did.
constexpr unsigned kBusyLoads = 16;
std::atomic<unsigned> busy_loads = 0;
// Whether the workers of the last load with threads were kept waiting.
std::atomic<bool> last_starved = false;

// CPU time of the calling thread so far (its own work and the system's on its
// behalf).
std::chrono::nanoseconds thread_cpu_time() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

class ParallelReader {
public:
    ParallelReader(ByteSource& source, const Poll& poll, const ParseThreads& how, unsigned threads)
        : source_(source), poll_(poll), threads_(threads), piece_bytes_(std::max<size_t>(how.chunk_bytes, 1)),
          parallel_from_(source.decodes() ? how.decoded_parallel_from : how.parallel_from),
          patience_micros_(how.patience_micros), own_(out_.arena) {}
    ~ParallelReader() { stop(); }
    ParallelReader(const ParallelReader&) = delete;
    ParallelReader& operator=(const ParallelReader&) = delete;

    PricesData run() {
        constexpr size_t kPad = json::kLinePadding;
        size_t cap = kLineBufferBytes;
        Buffer* cur = current_ = take_buffer(cap);
        size_t head = 0, tail = 0, scan = 0;
        bool eof = false;
        std::exception_ptr source_failure;
        for (;;) {
            char* buf = cur->data.get();
            if (auto nl = static_cast<const char*>(memrchr(buf + scan, '\n', tail - scan))) {
                size_t end = size_t(nl - buf) + 1;
                emit(cur, head, end);
                head = end;
            }
            scan = tail;
            if (eof) {
                if (head < tail && !source_failure) emit(cur, head, tail);
                break;
            }
            // No complete line left: keep the partial one and read more behind it.
            size_t partial = tail - head;
            if (partial + kPad + 4096 > cap) {
                size_t grown = cap * 2;
                if (grown > line_buffer_limit()) {
                    source_failure = std::make_exception_ptr(std::bad_alloc());
                    eof = true;
                    continue;
                }
                cur = move_partial(cur, head, partial, grown);
                cap = grown;
            } else if (head > 0) {
                if (cur->pieces == 0) std::memmove(buf, buf + head, partial);
                else cur = move_partial(cur, head, partial, cap);
            }
            buf = cur->data.get();
            head = 0;
            scan = tail = partial;
            size_t n = 0;
            // A failure of the source waits for the lines before it; anything
            // else (an interruption) leaves at once.
            try {
                n = source_.read(reinterpret_cast<uint8_t*>(buf + tail),
                                 read_length(source_, cap - kPad - tail, out_.bytes_decoded));
            } catch (const ReadError&) {
                source_failure = std::current_exception();
            } catch (const std::bad_alloc&) {
                source_failure = std::current_exception();
            } catch (const std::length_error&) {
                source_failure = std::current_exception();
            }
            if (n == 0) eof = true;
            out_.bytes_decoded += n;
            tail += n;
            if (poll_ && (unpolled_ += n) >= kPollBytes) {
                unpolled_ = 0;
                poll_();
            }
        }
        {
            std::lock_guard lock(mutex_);
            read_all_ = true;
        }
        cv_.notify_all();
        while (!in_flight_.empty()) progress();
        stop();
        const bool starved = starved_.load(std::memory_order_relaxed);
        if (starved && last_starved.load(std::memory_order_relaxed))
            busy_loads.store(kBusyLoads, std::memory_order_relaxed);
        last_starved.store(starved, std::memory_order_relaxed);
        if (source_failure) std::rethrow_exception(source_failure);
        out_.arena.release_unused();
        for (json::Arena& arena : arenas_) {
            arena.release_unused();
            out_.arena.adopt(std::move(arena));
        }
        return std::move(out_);
    }

private:
    // Hands on the complete lines [from, to) of `buffer`: parsed at once while
    // no thread has started and they are few (and the text is not known to
    // be long), else as pieces.
    void emit(Buffer* buffer, size_t from, size_t to) {
        const char* text = buffer->data.get();
        if (workers_.empty() && in_flight_.empty() && to - from < parallel_from_ &&
            source_.size_hint() < parallel_from_) {
            unsigned lines = 0;
            parse_lines(own_, text + from, to - from, out_.messages, [&] {
                if (poll_ && ++lines % 4096 == 0) poll_();
                return true;
            });
            return;
        }
        // Pieces of piece_bytes_, or fewer bytes when that gives every thread one.
        size_t size = std::max<size_t>(std::min(piece_bytes_, (to - from) / threads_), 1);
        while (from < to) {
            size_t end = to;
            if (to - from > size + size / 2) {
                auto nl = static_cast<const char*>(std::memchr(text + from + size, '\n', to - from - size));
                if (nl) end = size_t(nl - text) + 1;
            }
            dispatch(buffer, text + from, end - from);
            from = end;
        }
    }

    void dispatch(Buffer* buffer, const char* begin, size_t len) {
        std::unique_ptr<Piece> piece = spare_piece();
        piece->buffer = buffer;
        piece->begin = begin;
        piece->len = len;
        ++buffer->pieces;
        Piece* p = piece.get();
        {
            std::lock_guard lock(mutex_);
            in_flight_.push_back(std::move(piece));
            queued_.push_back(p);
        }
        cv_.notify_all();
        if (workers_.empty() && threads_ > 1) start_workers();
    }

    // A buffer of at least `cap` bytes, once fewer than kBuffers hold pieces
    // in flight.
    Buffer* take_buffer(size_t cap) {
        while (busy_ >= kBuffers) progress();
        std::unique_ptr<Buffer> buffer;
        while (!spare_buffers_.empty() && !buffer) {
            buffer = std::move(spare_buffers_.back());
            spare_buffers_.pop_back();
            if (buffer->cap < cap) buffer.reset();
        }
        if (!buffer) {
            buffer = std::make_unique<Buffer>();
            buffer->data = line_buffer(cap);
            buffer->cap = cap;
        }
        Buffer* b = buffer.get();
        buffers_.push_back(std::move(buffer));
        ++busy_;
        return b;
    }

    // Moves the partial line at `head` of `old` to the start of a new buffer.
    Buffer* move_partial(Buffer* old, size_t head, size_t partial, size_t cap) {
        Buffer* fresh = take_buffer(cap);  // `old`, still current, stays out of the spares
        std::memcpy(fresh->data.get(), old->data.get() + head, partial);
        release(old);
        current_ = fresh;
        return fresh;
    }

    // `buffer` is no longer read into: it goes back to the spare ones once
    // none of its pieces is in flight.
    void release(Buffer* buffer) {
        if (buffer->pieces) return;  // given back by the last piece
        for (auto it = buffers_.begin(); it != buffers_.end(); ++it) {
            if (it->get() == buffer) {
                spare_buffers_.push_back(std::move(*it));
                buffers_.erase(it);
                --busy_;
                return;
            }
        }
    }

    void start_workers() {
        arenas_.resize(threads_ - 1);
        for (unsigned i = 0; i + 1 < threads_; ++i) {
            try {
                workers_.emplace_back([this, i, made = std::chrono::steady_clock::now()] { work(arenas_[i], made); });
            } catch (const std::system_error&) {
                break;  // no more threads to be had: go on with those there are
            }
        }
        threads_ = unsigned(workers_.size()) + 1;
    }

    // `made`: when the calling thread started this one.
    void work(json::Arena& arena, std::chrono::steady_clock::time_point made) {
        MessageCollector collector(arena);
        std::chrono::nanoseconds waited{0};  // for a piece or the end
        std::unique_lock lock(mutex_);
        for (;;) {
            const auto wait_from = std::chrono::steady_clock::now();
            cv_.wait(lock, [this] { return stop_ || !queued_.empty() || read_all_; });
            waited += std::chrono::steady_clock::now() - wait_from;
            // Once the text is read and no piece waits, the thread ends at
            // once: the join at the end of the call finds it gone rather than
            // waiting for the system to run it again.
            if (stop_ || queued_.empty()) break;
            Piece* piece = queued_.front();
            queued_.pop_front();
            lock.unlock();
            try {
                parse_lines(collector, piece->begin, piece->len, piece->messages,
                            [this] { return !stop_.load(std::memory_order_relaxed); });
            } catch (...) {
                piece->failure = std::current_exception();
            }
            lock.lock();
            piece->done = true;
            cv_.notify_all();
        }
        // The system did not run this thread promptly when, from its start to
        // its end, it spent longer neither running nor waiting for work than
        // both the patience and the time it ran: it waited for a CPU (at its
        // start, or preempted by other processes). Its own short sleeps (a
        // page fault waiting for the process's memory map) and a long page
        // fault (CPU time) do not count as that.
        const auto ran = thread_cpu_time();
        const auto off = (std::chrono::steady_clock::now() - made) - ran - waited;
        if (off > std::chrono::microseconds(patience_micros_) && off > ran)
            starved_.store(true, std::memory_order_relaxed);
    }

    // Moves the finished pieces at the front into the result (the first that
    // failed throws), then parses a waiting piece. When every piece left is
    // with a worker, it waits a little for the first; if that is still not
    // done (its worker may not be running at all when other processes keep
    // the CPUs busy), it parses that piece itself, and the copy that ends
    // first counts.
    void progress() {
        std::unique_lock lock(mutex_);
        bury();
        while (!in_flight_.empty() && in_flight_.front()->done) {
            std::unique_ptr<Piece> piece = std::move(in_flight_.front());
            in_flight_.pop_front();
            if (piece->failure) std::rethrow_exception(piece->failure);
            out_.messages.insert(out_.messages.end(), piece->messages.begin(), piece->messages.end());
            piece->messages.clear();
            if (--piece->buffer->pieces == 0 && piece->buffer != current_) release(piece->buffer);
            spare_pieces_.push_back(std::move(piece));
        }
        if (in_flight_.empty()) return;
        Piece* piece = in_flight_.front().get();
        bool again = queued_.empty();
        if (again) {
            auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(patience_micros_);
            for (auto now = std::chrono::steady_clock::now(); !piece->done && now < until;
                 now = std::chrono::steady_clock::now())
                cv_.wait_for(lock, long(std::chrono::duration_cast<std::chrono::microseconds>(until - now).count()) + 1);
            if (piece->done) return;
        } else {
            piece = queued_.front();
            queued_.pop_front();
        }
        lock.unlock();
        std::vector<ParsedMessage>& messages = again ? again_.messages : piece->messages;
        std::exception_ptr failure;
        try {
            unsigned lines = 0;
            parse_lines(own_, piece->begin, piece->len, messages, [&] {
                if (poll_ && ++lines % 4096 == 0) poll_();
                return !again || !piece->done.load(std::memory_order_relaxed);
            });
        } catch (const ReadError&) {
            failure = std::current_exception();
        } catch (const std::bad_alloc&) {
            failure = std::current_exception();
        } catch (const std::length_error&) {
            failure = std::current_exception();
        }
        lock.lock();
        if (!again) {
            piece->failure = failure;
            piece->done = true;
            return;
        }
        if (piece->done) {
            again_.messages.clear();  // the worker's copy came first
            return;
        }
        // This copy takes the place of the worker's, which is dropped when it
        // ends; until then its text stays where it is.
        std::unique_ptr<Piece> copy = spare_piece();
        copy->buffer = piece->buffer;
        copy->begin = piece->begin;
        copy->len = piece->len;
        copy->messages.swap(again_.messages);
        copy->failure = failure;
        copy->done = true;
        ++piece->buffer->pieces;
        dropped_.push_back(std::move(in_flight_.front()));
        in_flight_.front() = std::move(copy);
    }

    // Gives back the dropped pieces whose workers are done with them.
    void bury() {
        for (size_t i = 0; i < dropped_.size();) {
            if (!dropped_[i]->done) {
                ++i;
                continue;
            }
            std::unique_ptr<Piece> piece = std::move(dropped_[i]);
            dropped_.erase(dropped_.begin() + ptrdiff_t(i));
            piece->messages.clear();
            if (--piece->buffer->pieces == 0 && piece->buffer != current_) release(piece->buffer);
            spare_pieces_.push_back(std::move(piece));
        }
    }

    std::unique_ptr<Piece> spare_piece() {
        if (spare_pieces_.empty()) return std::make_unique<Piece>();
        std::unique_ptr<Piece> piece = std::move(spare_pieces_.back());
        spare_pieces_.pop_back();
        piece->failure = nullptr;
        piece->done = false;
        return piece;
    }

    void stop() {
        if (workers_.empty()) return;
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

    // Buffers of text that pieces in flight or the reading may use, at most.
    static constexpr size_t kBuffers = 3;

    ByteSource& source_;
    const Poll& poll_;
    unsigned threads_;
    size_t piece_bytes_;
    size_t parallel_from_;
    long patience_micros_;
    PricesData out_;
    MessageCollector own_;  // the calling thread's, storing into out_.arena
    uint64_t unpolled_ = 0;
    std::vector<std::unique_ptr<Buffer>> buffers_;  // read into or holding pieces in flight
    std::vector<std::unique_ptr<Buffer>> spare_buffers_;
    size_t busy_ = 0;  // buffers_.size()
    Buffer* current_ = nullptr;   // the one read into
    std::vector<std::unique_ptr<Piece>> spare_pieces_;
    std::vector<std::unique_ptr<Piece>> dropped_;  // replaced by the calling thread's copy
    Piece again_;                                  // that copy's messages, while it is made

    std::mutex mutex_;
    CondVar cv_;
    std::deque<std::unique_ptr<Piece>> in_flight_;  // in file order
    std::deque<Piece*> queued_;                     // not taken by any thread yet
    std::atomic<bool> stop_ = false;
    bool read_all_ = false;            // no more pieces will come
    std::atomic<bool> starved_ = false;  // a worker was kept waiting for a CPU (see work)
    std::vector<json::Arena> arenas_;  // one per worker
    std::vector<std::thread> workers_;
};

}  // namespace

PricesData read_prices(ByteSource& source, const Poll& poll, const ParseThreads& how) {
    unsigned threads = how.threads;
    if (!threads) {
        threads = usable_cpus();
        unsigned busy = busy_loads.load(std::memory_order_relaxed);
        if (busy && threads > 1) {
            busy_loads.store(busy - 1, std::memory_order_relaxed);
            threads = 1;
        }
    }
    if (threads < 2) return read_sequential(source, poll);
    return ParallelReader(source, poll, how, threads).run();
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
    // bzip2 text is parsed on every CPU too: a file of one or two blocks
    // leaves a CPU idle once its small block is decoded, and on a large file
    // the parse threads only share the CPUs with the decoders.
    return read_prices(*source, poll);
}

}  // namespace palisar::parse
