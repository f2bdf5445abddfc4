// The reader and the decoders over a source that hands its bytes out in short
// pieces, as a pipe does. Found by fuzzing: with one-byte reads, the gzip
// decoder took the end of the input for a member boundary and dropped every
// member after the first.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "parse/decode.hpp"
#include "parse/reader.hpp"

namespace palisar::parse {
namespace {

class PieceSource final : public ByteSource {
public:
    PieceSource(std::string data, size_t piece) : data_(std::move(data)), piece_(piece) {}
    size_t read(uint8_t* dst, size_t cap) override {
        size_t n = std::min({cap, piece_, data_.size() - at_});
        std::memcpy(dst, data_.data() + at_, n);
        at_ += n;
        return n;
    }

private:
    std::string data_;
    size_t piece_;
    size_t at_ = 0;
};

void put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char(v >> (8 * i));
}

// One gzip member holding `text` in a single stored (uncompressed) block.
std::string stored_member(const std::string& text) {
    std::string m("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    m += '\x01';  // final block, stored
    uint16_t len = uint16_t(text.size());
    m += char(len & 0xFF);
    m += char(len >> 8);
    m += char(~len & 0xFF);
    m += char((~len >> 8) & 0xFF);
    m += text;
    put32(m, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(text.data()), uInt(text.size()))));
    put32(m, uint32_t(text.size()));
    return m;
}

std::vector<int64_t> publish_times(std::unique_ptr<ByteSource> source) {
    std::vector<int64_t> out;
    for (const ParsedMessage& m : read_prices(*source).messages) out.push_back(m.publish_time);
    return out;
}

TEST(ShortReads, EveryGzipMemberIsReadWhateverThePieceSize) {
    const std::string first = R"({"pt":1,"mc":[{"id":"1.2"}]})" "\n";
    const std::string second = R"({"pt":2,"mc":[{"id":"1.2"}]})" "\n";
    const std::string third = R"({"pt":3,"mc":[{"id":"1.2"}]})";
    const std::string file = stored_member(first) + stored_member(second) + stored_member(third);
    for (size_t piece : {1, 2, 3, 7, 16, 4096}) {
        EXPECT_EQ(publish_times(gzip_over(std::make_unique<PieceSource>(file, piece))),
                  (std::vector<int64_t>{1, 2, 3}))
            << "pieces of " << piece << " bytes";
    }
}

TEST(ShortReads, LinesAcrossPiecesOfThePlainText) {
    std::string text;
    for (int i = 1; i <= 50; ++i) text += R"({"pt":)" + std::to_string(i) + R"(,"mc":[]})" "\r\n";
    std::vector<int64_t> expected(50);
    for (int i = 0; i < 50; ++i) expected[size_t(i)] = i + 1;
    for (size_t piece : {1, 2, 5, 31}) {
        EXPECT_EQ(publish_times(std::make_unique<PieceSource>(text, piece)), expected)
            << "pieces of " << piece << " bytes";
    }
}

}  // namespace
}  // namespace palisar::parse
