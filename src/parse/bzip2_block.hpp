// One bzip2 block decoded without libbz2, for the blocks that are well-formed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace palisar::parse {

// A share of one block's work that a second thread may take: see
// Bzip2BlockDecoder::decode.
class Bzip2Share {
public:
    // Run once by the thread that takes the share; returns when its part is done.
    virtual void help() = 0;

protected:
    ~Bzip2Share() = default;

private:
    friend class Bzip2Offers;
    bool taken_ = false, finished_ = false;  // under the lock of the Bzip2Offers'
};

// Shares offered and not yet taken, for a Bzip2Helpers to keep under a mutex
// of its own; `finished` (a condition variable) tells a withdrawing thread
// that the share it waits for is done.
class Bzip2Offers {
public:
    bool empty() const { return queue_.empty(); }
    void add(Bzip2Share& share) { queue_.push_back(&share); }
    // Takes the first share and helps with it, `lock` given up meanwhile.
    template <class Cv>
    void help_first(std::unique_lock<std::mutex>& lock, Cv& finished) {
        Bzip2Share* share = queue_.front();
        queue_.pop_front();
        share->taken_ = true;
        lock.unlock();
        share->help();
        lock.lock();
        share->finished_ = true;
        finished.notify_all();
    }
    // Takes `share` back, or, when a thread has taken it, waits until its
    // help is done.
    template <class Cv>
    void withdraw(Bzip2Share& share, std::unique_lock<std::mutex>& lock, Cv& finished) {
        if (!share.taken_) {
            queue_.erase(std::find(queue_.begin(), queue_.end(), &share));
            return;
        }
        while (!share.finished_) finished.wait(lock);
    }

private:
    std::deque<Bzip2Share*> queue_;
};

// The threads a decoding thread may hand a share of its block to.
class Bzip2Helpers {
public:
    // Makes `share` available to a thread with nothing else to do, which then
    // calls share.help().
    virtual void offer(Bzip2Share& share) = 0;
    // Takes the offer back; when a thread has taken it already, returns once
    // that thread's help() has returned.
    virtual void withdraw(Bzip2Share& share) = 0;

protected:
    ~Bzip2Helpers() = default;
};

// Gives back a bzip2 decoder's links: a mapping of their own (on huge pages)
// of `mapped` bytes, or memory from malloc when `mapped` is 0.
struct Bzip2LinksRelease {
    size_t mapped = 0;
    void operator()(uint32_t* p) const noexcept;
};

class Bzip2BlockDecoder {
public:
    Bzip2BlockDecoder();
    Bzip2BlockDecoder(const Bzip2BlockDecoder&) = delete;
    Bzip2BlockDecoder& operator=(const Bzip2BlockDecoder&) = delete;
    // Hands the scratch arrays to the next decoder (see Scratch).
    ~Bzip2BlockDecoder();

    // Decodes the block whose bits are [begin, end) of `data` (`size` readable
    // bytes): its 48-bit block magic, then the block up to where the next magic
    // starts. `level` is the stream header's block-size digit. True only when
    // every part of the block is well-formed, the block ends exactly at `end`,
    // the text is at most `max_text` bytes and its CRC matches the stored one;
    // `text` then holds the text. False on anything else (a randomised block, a
    // count or table out of range, a bad CRC, truncation...), with `text`
    // unspecified: the block is then for libbz2 to decode or to reject.
    //
    // With `helpers`, a block of at least `share_from` bytes (before the
    // run-length pass) offers the links and the chain walk to another thread:
    // whatever part of them that thread takes on before this one has done
    // them, it does. The result is the same whoever does what.
    bool decode(const uint8_t* data, size_t size, uint64_t begin, uint64_t end, int level, size_t max_text,
                std::vector<uint8_t>& text, Bzip2Helpers* helpers = nullptr, uint32_t share_from = 0);

    // The stored CRC of the last block decode() looked at.
    uint32_t stored_crc() const { return stored_crc_; }

    // The inverse transform's links, the block's bytes (then, reused, the
    // bytes of the walked chains), the chains' bookkeeping and the byte
    // counts at the cuts between parts of the block: about 4.8 MB for a block
    // of level 9.
    struct Scratch {
        using Links = std::unique_ptr<uint32_t[], Bzip2LinksRelease>;
        Links links;
        std::unique_ptr<uint8_t[]> bytes;
        std::unique_ptr<uint32_t[]> chains;
        std::unique_ptr<uint32_t[]> cuts;
        size_t size = 0;
    };

private:
    // The block's selectors and Huffman tables (about 75 KB): kept with the
    // decoder rather than on the stack, since a thread's stack may be as
    // small as 32 KiB.
    struct Tables;
    std::unique_ptr<Tables> tables_;
    Scratch scratch_;
    uint32_t stored_crc_ = 0;
};

// The CRC bzip2 keeps of a block's text (MSB-first CRC-32), continuing `crc`
// (start with 0xFFFFFFFF, finish with ~).
uint32_t bzip2_crc_update(uint32_t crc, const uint8_t* p, size_t n);

#ifdef PALISAR_BZIP2_STAGE_TIMES
// Built for bench/bz2_blocks.cpp only: nanoseconds spent in each stage of
// decode(), summed over the calls (the tables and symbols, the links, the
// chain walk, joining the chains with the run-length pass, the CRC).
enum Bzip2Stage { kStageSymbols, kStageLinks, kStageWalk, kStageJoin, kStageCrc, kStages };
extern uint64_t bzip2_stage_nanos[kStages];
#endif

}  // namespace palisar::parse
