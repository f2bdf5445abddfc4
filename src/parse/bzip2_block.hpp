// One bzip2 block decoded without libbz2, for the blocks that are well-formed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace palisar::parse {

class Bzip2BlockDecoder {
public:
    Bzip2BlockDecoder() = default;
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
    bool decode(const uint8_t* data, size_t size, uint64_t begin, uint64_t end, int level, size_t max_text,
                std::vector<uint8_t>& text);

    // The stored CRC of the last block decode() looked at.
    uint32_t stored_crc() const { return stored_crc_; }

    // The inverse transform's links, the block's bytes (then, reused, the
    // bytes of the walked chains) and the chains' bookkeeping: about 4.7 MB
    // for a block of level 9.
    struct Scratch {
        std::unique_ptr<uint32_t[]> links;
        std::unique_ptr<uint8_t[]> bytes;
        std::unique_ptr<uint32_t[]> chains;
        size_t size = 0;
    };

private:
    Scratch scratch_;
    uint32_t stored_crc_ = 0;
};

// The CRC bzip2 keeps of a block's text (MSB-first CRC-32), continuing `crc`
// (start with 0xFFFFFFFF, finish with ~).
uint32_t bzip2_crc_update(uint32_t crc, const uint8_t* p, size_t n);

}  // namespace palisar::parse
