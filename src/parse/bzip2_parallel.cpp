// bzip2 decoded on several cores. The blocks of a bzip2 stream are
// independent: each starts with a 48-bit block magic, bit-aligned, and carries
// the CRC of its text. The compressed stream is cut at the magics, and each
// block is re-wrapped as a standalone stream (stream header, the block's bits
// realigned to a byte, an end-of-stream marker whose combined CRC is that
// block's CRC) and decoded by libbz2 on a worker. A well-formed block is
// decoded by our own block decoder instead, which is faster; any block it
// turns down goes to libbz2 as before. A magic can also occur by
// chance inside compressed data; such a cut fails its CRC, and so does
// anything corrupt or truncated. Then the stream is decoded again from its
// start by the sequential decoder, which skips the text already handed out and
// reports the first fault exactly as it always does. The same happens to a
// block that decodes to far more text than market data does (a bomb), so that
// the blocks in flight stay small.
//
// A thread with no block left to take helps one being decoded: the decoder
// offers a share of each large block (its links and chain walk), and a worker
// waiting for work, or the calling thread waiting for the next block in
// order, takes it. A file of one large block and a small one (a market
// of about 1 MB) is then not one block on one CPU while the other waits.
#include "parse/decode.hpp"

#include "parse/bzip2_block.hpp"

#if PALISAR_WITH_BZIP2

#include <bzlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "parse/cond_var.hpp"

namespace palisar::parse {

namespace {

constexpr uint64_t kBlockMagic = 0x314159265359;
constexpr uint64_t kEndMagic = 0x177245385090;
constexpr size_t kPad = 8;  // zero bytes behind the data, for 64-bit loads
// A block of market text decodes to about its block size (at most 900 kB);
// one that runs to more is mostly runs of a byte, which the calling thread
// decodes fast enough alone. Refusing it bounds the window of blocks in flight
// (a block may otherwise decode to about 46 MB).
constexpr size_t kMaxBlockText = 8 << 20;
constexpr size_t kSpareText = 2 << 20;

class MemorySource final : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : p_(data), left_(size) {}
    size_t read(uint8_t* dst, size_t cap) override {
        size_t n = std::min(cap, left_);
        std::memcpy(dst, p_, n);
        p_ += n;
        left_ -= n;
        return n;
    }

private:
    const uint8_t* p_;
    size_t left_;
};

// One entry of the decoding order: a block, the end of a stream, the place
// from which only the sequential decoder can go on, or the end of the data.
struct Item {
    enum Kind { Block, StreamEnd, Sequential, End } kind;
    size_t stream_start = 0;  // byte offset of the stream's header
    uint64_t begin = 0, end = 0;  // a block's bits
    uint32_t crc = 0;  // the stored block CRC, or the stream's combined CRC
    int level = 9;
    // Set by the worker that decodes a block.
    enum State { Waiting, Running, Ok, Failed } state = Waiting;
    std::vector<uint8_t> text;

    static Item make(Kind kind, size_t stream_start, uint64_t begin = 0, uint64_t end = 0,
                     uint32_t crc = 0, int level = 9) {
        Item item{};
        item.kind = kind;
        item.stream_start = stream_start;
        item.begin = begin;
        item.end = end;
        item.crc = crc;
        item.level = level;
        return item;
    }
};

uint32_t load32_be(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

uint64_t load64_be(const uint8_t* p) { return uint64_t(load32_be(p)) << 32 | load32_be(p + 4); }

class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
    void put(uint64_t value, unsigned bits) {  // bits <= 32
        acc_ = acc_ << bits | (value & ((uint64_t(1) << bits) - 1));
        n_ += bits;
        while (n_ >= 8) {
            n_ -= 8;
            out_.push_back(uint8_t(acc_ >> n_));
        }
    }
    void flush() {
        if (n_) out_.push_back(uint8_t(acc_ << (8 - n_)));
        n_ = 0;
    }

private:
    std::vector<uint8_t>& out_;
    uint64_t acc_ = 0;
    unsigned n_ = 0;
};

class ParallelBzip2Source final : public ByteSource, private Bzip2Helpers {
public:
    ParallelBzip2Source(std::unique_ptr<ByteSource> raw, unsigned threads, size_t parallel_from, uint32_t share_from)
        : raw_(std::move(raw)), threads_(threads), parallel_from_(std::max<size_t>(parallel_from, 4096)),
          share_from_(share_from) {}
    ~ParallelBzip2Source() override { stop_workers(); }
    ParallelBzip2Source(const ParallelBzip2Source&) = delete;
    ParallelBzip2Source& operator=(const ParallelBzip2Source&) = delete;
    bool decodes() const override { return true; }

    size_t read(uint8_t* dst, size_t cap) override {
        if (!loaded_) load();
        for (;;) {
            if (sequential_) return read_sequential(dst, cap);
            if (front_ && served_ < front_->text.size()) {
                size_t n = std::min(cap, front_->text.size() - served_);
                std::memcpy(dst, front_->text.data() + served_, n);
                served_ += n;
                return n;
            }
            if (!next_item()) return 0;
        }
    }

private:
    // ---- the calling thread: reading, cutting, handing out in order ----------

    void load() {
        loaded_ = true;
        size_t cap = parallel_from_;
        data_.resize(cap + kPad);
        for (;;) {
            size_t n = raw_->read(data_.data() + size_, cap - size_);
            if (n == 0) break;
            size_ += n;
            if (size_ == cap) {
                cap *= 2;
                data_.resize(cap + kPad);
            }
        }
        std::fill(data_.begin() + ptrdiff_t(size_), data_.end(), 0);
        raw_.reset();
        // A small file (about a block) gets no threads: the calling thread
        // decodes its blocks itself, as with one CPU, with the block decoder
        // rather than libbz2 over the whole stream (half the time).
        if (size_ < parallel_from_) threads_ = 1;
    }

    // Moves to the next item in file order; false at the end of the data.
    bool next_item() {
        if (front_) {
            std::lock_guard lock(mutex_);
            // The text's memory serves a later block (fresh memory costs the
            // kernel a page of zeros per page); a few, of a block's size.
            if (spare_.size() < window() && front_->text.capacity() <= kSpareText)
                spare_.push_back(std::move(front_->text));
            order_.pop_front();
            front_ = nullptr;
        }
        fill_window();
        Item* item;
        {
            std::lock_guard lock(mutex_);
            item = &order_.front();
        }
        switch (item->kind) {
            case Item::End: return false;
            case Item::Sequential:
                start_sequential(item->stream_start, produced_in_stream_);
                return true;
            case Item::StreamEnd:
                if (item->crc != combined_) {
                    start_sequential(item->stream_start, produced_in_stream_);
                } else {
                    combined_ = 0;
                    produced_in_stream_ = 0;
                    std::lock_guard lock(mutex_);
                    order_.pop_front();
                }
                return true;
            case Item::Block:
                wait_for(*item);
                if (item->state != Item::Ok) {
                    start_sequential(item->stream_start, produced_in_stream_);
                    return true;
                }
                combined_ = (combined_ << 1 | combined_ >> 31) ^ item->crc;
                produced_in_stream_ += item->text.size();
                front_ = item;
                served_ = 0;
                return true;
        }
        return false;
    }

    // Cuts blocks ahead of the reader until the window is full.
    void fill_window() {
        while (!cut_done_ && blocks_in_window_() < window()) cut_next();
    }

    size_t blocks_in_window_() {
        std::lock_guard lock(mutex_);
        return order_.size();
    }

    void push(Item item) {
        bool block = item.kind == Item::Block;
        if (item.kind == Item::Sequential || item.kind == Item::End) cut_done_ = true;
        {
            std::lock_guard lock(mutex_);
            order_.push_back(std::move(item));
            if (block) todo_.push_back(&order_.back());
        }
        if (block) {
            if (workers_.empty()) start_workers();
            work_cv_.notify_one();
        }
    }

    bool header_at(size_t at) const {
        const uint8_t* p = data_.data() + at;
        return size_ - at >= 4 && p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9';
    }

    uint64_t bits48(uint64_t bit) const {
        return load64_be(data_.data() + bit / 8) >> (16 - bit % 8) & 0xFFFFFFFFFFFF;
    }
    uint32_t bits32(uint64_t bit) const { return uint32_t(bits48(bit) >> 16); }

    // The first block or end-of-stream magic at or after `from`, or UINT64_MAX.
    uint64_t find_magic(uint64_t from) const {
        // A magic starting `s` bits into byte i covers all of bytes i + 1 and
        // i + 2; only 16 values of each can start one, and the tables give the
        // shifts for which they do (both must agree: about one byte in 4,000
        // of compressed data, rather than one in 16, is looked at closer).
        static const auto shifts = [] {
            std::array<std::array<uint8_t, 256>, 2> t{};
            for (unsigned s = 0; s < 8; ++s) {
                for (uint64_t m : {kBlockMagic, kEndMagic}) {
                    t[0][(m >> (32 + s)) & 0xFF] |= uint8_t(1u << s);
                    t[1][(m >> (24 + s)) & 0xFF] |= uint8_t(1u << s);
                }
            }
            return t;
        }();
        const uint64_t limit = uint64_t(size_) * 8;
        if (limit + 7 < 48) return UINT64_MAX;
        const size_t last = size_t((limit + 7 - 48) / 8);  // the last byte a magic can start in
        const uint8_t* d = data_.data();
        auto shifts_at = [&](size_t i) { return unsigned(shifts[0][d[i + 1]] & shifts[1][d[i + 2]]); };
        auto magic_at = [&](size_t i, unsigned cand) {
            const uint64_t w = load64_be(d + i);
            for (unsigned s = 0; s < 8; ++s) {
                if (!(cand >> s & 1)) continue;
                const uint64_t m = w >> (16 - s) & 0xFFFFFFFFFFFF;
                const uint64_t at = uint64_t(i) * 8 + s;
                if ((m == kBlockMagic || m == kEndMagic) && at >= from && at + 48 <= limit) return at;
            }
            return UINT64_MAX;
        };
        size_t i = from / 8;
        // Eight bytes at a time, with one branch: nearly always none of them
        // is a candidate.
        for (; i + 8 <= last + 1; i += 8) {
            unsigned any = 0;
            for (size_t k = 0; k < 8; ++k) any |= shifts_at(i + k);
            if (!any) [[likely]]
                continue;
            for (size_t k = 0; k < 8; ++k)
                if (const unsigned cand = shifts_at(i + k))
                    if (const uint64_t at = magic_at(i + k, cand); at != UINT64_MAX) return at;
        }
        for (; i <= last; ++i)
            if (const unsigned cand = shifts_at(i))
                if (const uint64_t at = magic_at(i, cand); at != UINT64_MAX) return at;
        return UINT64_MAX;
    }

    void cut_next() {
        const uint64_t limit = uint64_t(size_) * 8;
        if (!in_stream_) {
            if (!header_at(stream_start_)) {
                // Before the first stream, the sequential decoder reports the
                // fault; after a complete stream, anything else is ignored.
                push(Item::make(first_stream_ ? Item::Sequential : Item::End, stream_start_));
                return;
            }
            level_ = data_[stream_start_ + 3] - '0';
            bit_ = (uint64_t(stream_start_) + 4) * 8;
            in_stream_ = true;
        }
        uint64_t magic = bit_ + 48 <= limit ? bits48(bit_) : 0;
        if (magic == kBlockMagic && bit_ + 80 <= limit) {
            uint64_t next = find_magic(bit_ + 48);
            if (next == UINT64_MAX) {
                push(Item::make(Item::Sequential, stream_start_));
                return;
            }
            Item item = Item::make(Item::Block, stream_start_, bit_, next, bits32(bit_ + 48), level_);
            bit_ = next;
            push(std::move(item));
        } else if (magic == kEndMagic && bit_ + 80 <= limit) {
            push(Item::make(Item::StreamEnd, stream_start_, 0, 0, bits32(bit_ + 48)));
            stream_start_ = size_t((bit_ + 80 + 7) / 8);
            in_stream_ = false;
            first_stream_ = false;
        } else {
            push(Item::make(Item::Sequential, stream_start_));
        }
    }

    void wait_for(Item& item) {
        std::unique_lock lock(mutex_);
        while (item.state != Item::Ok && item.state != Item::Failed) {
            // Help rather than wait: decode the next block nobody has taken,
            // or take a share of one being decoded.
            if (!todo_.empty()) {
                run_next(lock, own_);
            } else if (!shares_.empty()) {
                shares_.help_first(lock, done_cv_);
            } else {
                done_cv_.wait(lock);
            }
        }
    }

    void start_sequential(size_t stream_start, uint64_t skip) {
        stop_workers();
        order_.clear();
        spare_.clear();
        front_ = nullptr;
        sequential_ = bzip2_over(std::make_unique<MemorySource>(data_.data() + stream_start, size_ - stream_start));
        skip_ = skip;
    }

    size_t read_sequential(uint8_t* dst, size_t cap) {
        while (skip_) {
            size_t n = sequential_->read(dst, size_t(std::min<uint64_t>(cap, skip_)));
            if (n == 0) return 0;
            skip_ -= n;
        }
        return sequential_->read(dst, cap);
    }

    // ---- the workers ----------------------------------------------------------

    void start_workers() {
        // The calling thread decodes too while it waits: threads_ - 1 more.
        for (unsigned i = 1; i < threads_; ++i) {
            try {
                workers_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;  // fewer threads: the calling thread still gets through
            }
        }
    }

    void stop_workers() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            todo_.clear();
        }
        work_cv_.notify_all();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
        stop_ = false;
    }

    void work() {
        Bzip2BlockDecoder decoder;
        std::unique_lock lock(mutex_);
        for (;;) {
            work_cv_.wait(lock, [this] { return stop_ || !todo_.empty() || !shares_.empty(); });
            if (stop_) return;
            if (!todo_.empty())
                run_next(lock, decoder);
            else
                shares_.help_first(lock, done_cv_);
        }
    }

    void offer(Bzip2Share& share) override {
        std::lock_guard lock(mutex_);
        shares_.add(share);
        work_cv_.notify_one();
        done_cv_.notify_all();
    }

    void withdraw(Bzip2Share& share) override {
        std::unique_lock lock(mutex_);
        shares_.withdraw(share, lock, done_cv_);
    }

    // Decodes the first block nobody has taken, with the lock given up meanwhile.
    void run_next(std::unique_lock<std::mutex>& lock, Bzip2BlockDecoder& decoder) {
        Item* job = todo_.front();
        todo_.pop_front();
        job->state = Item::Running;
        if (!spare_.empty()) {
            job->text = std::move(spare_.back());
            spare_.pop_back();
        }
        lock.unlock();
        bool ok = decode_block(*job, decoder);
        lock.lock();
        job->state = ok ? Item::Ok : Item::Failed;
        done_cv_.notify_all();
    }

    // Decodes one block; false when it does not verify.
    bool decode_block(Item& job, Bzip2BlockDecoder& decoder) {
        Bzip2Helpers* helpers = threads_ > 1 ? this : nullptr;
        if (decoder.decode(data_.data(), size_, job.begin, job.end, job.level, kMaxBlockText, job.text, helpers,
                           share_from_) &&
            decoder.stored_crc() == job.crc)
            return true;
        std::vector<uint8_t>().swap(job.text);
        return decode_block_libbz2(job);
    }

    // Decodes one block as a standalone stream with libbz2.
    bool decode_block_libbz2(Item& job) const {
        std::vector<uint8_t> in;
        uint64_t bits = job.end - job.begin;
        in.reserve(size_t(bits / 8) + 16);
        in.insert(in.end(), {'B', 'Z', 'h', uint8_t('0' + job.level)});
        const uint8_t* src = data_.data() + job.begin / 8;
        unsigned shift = unsigned(job.begin % 8);
        size_t whole = size_t(bits / 8);
        size_t at = in.size();
        in.resize(at + whole);
        if (shift == 0) {
            std::memcpy(in.data() + at, src, whole);
        } else {
            for (size_t j = 0; j < whole; ++j)
                in[at + j] = uint8_t(src[j] << shift | src[j + 1] >> (8 - shift));
        }
        BitWriter w(in);
        if (unsigned rest = unsigned(bits % 8)) w.put(uint8_t(src[whole] << shift | src[whole + 1] >> (8 - shift)) >> (8 - rest), rest);
        w.put(kEndMagic >> 16, 32);
        w.put(kEndMagic & 0xFFFF, 16);
        w.put(job.crc, 32);
        w.flush();

        bz_stream z{};
        if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return false;
        z.next_in = reinterpret_cast<char*>(in.data());
        z.avail_in = unsigned(in.size());
        std::vector<uint8_t>& out = job.text;
        bool ok = false;
        try {
            out.resize(size_t(job.level) * 100000 + 4096);
            size_t filled = 0;
            for (;;) {
                if (filled == out.size()) {
                    if (filled >= kMaxBlockText) break;
                    out.resize(std::min(out.size() * 2, kMaxBlockText));
                }
                z.next_out = reinterpret_cast<char*>(out.data() + filled);
                size_t room = std::min<size_t>(out.size() - filled, UINT_MAX);
                z.avail_out = unsigned(room);
                int rc = BZ2_bzDecompress(&z);
                filled += room - z.avail_out;
                if (rc == BZ_STREAM_END) {
                    ok = z.avail_in == 0;
                    break;
                }
                if (rc != BZ_OK || (z.avail_in == 0 && z.avail_out != 0)) break;
                if (stop_flag()) break;
            }
            out.resize(filled);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        BZ2_bzDecompressEnd(&z);
        if (!ok) std::vector<uint8_t>().swap(out);
        return ok;
    }

    bool stop_flag() const {
        std::lock_guard lock(mutex_);
        return stop_;
    }

    std::unique_ptr<ByteSource> raw_;
    unsigned threads_;  // the calling thread included; 1 for a small file
    const size_t parallel_from_;  // fewer compressed bytes: the calling thread alone
    const uint32_t share_from_;   // smaller blocks are not shared
    size_t window() const { return 2 * size_t(threads_) + 1; }
    std::vector<uint8_t> data_;  // the whole compressed file, then kPad zero bytes
    size_t size_ = 0;
    bool loaded_ = false;

    // Cutting.
    size_t stream_start_ = 0;
    uint64_t bit_ = 0;
    int level_ = 9;
    bool in_stream_ = false, first_stream_ = true, cut_done_ = false;

    // Handing out.
    Item* front_ = nullptr;
    size_t served_ = 0;
    uint32_t combined_ = 0;
    uint64_t produced_in_stream_ = 0;
    std::unique_ptr<ByteSource> sequential_;
    uint64_t skip_ = 0;

    // Shared with the workers, under mutex_.
    mutable std::mutex mutex_;
    CondVar work_cv_, done_cv_;
    std::deque<Item> order_;  // in file order; deque keeps addresses stable
    std::deque<Item*> todo_;  // blocks nobody decodes yet
    Bzip2Offers shares_;  // shares of blocks being decoded that nobody has taken
    std::vector<std::vector<uint8_t>> spare_;  // text buffers handed out, for reuse
    std::vector<std::thread> workers_;
    bool stop_ = false;
    Bzip2BlockDecoder own_;  // the calling thread's, when it decodes a block itself
};

}  // namespace

std::unique_ptr<ByteSource> bzip2_parallel_over(std::unique_ptr<ByteSource> raw, unsigned threads,
                                                size_t parallel_from, uint32_t share_from) {
    if (threads == 0) threads = usable_cpus();
    return std::make_unique<ParallelBzip2Source>(std::move(raw), threads, parallel_from, share_from);
}

}  // namespace palisar::parse

#else  // without libbz2, .bz2 files are refused as bzip2_over refuses them

namespace palisar::parse {

std::unique_ptr<ByteSource> bzip2_parallel_over(std::unique_ptr<ByteSource> raw, unsigned, size_t, uint32_t) {
    return bzip2_over(std::move(raw));
}

}  // namespace palisar::parse

#endif  // PALISAR_WITH_BZIP2
