// The one-pass message path (parser, envelope rules) against the exact parser followed by the same rules on the value tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <simdjson.h>
#include <sys/mman.h>

#include "json/parser.hpp"
#include "json/utf8.hpp"
#include "recorded_data.hpp"
#include "value_dump.hpp"

using namespace palisar::json;

namespace {

struct Outcome {
    LineParser::Message kind;
    std::string text;  // dump of the kept changes, or the error
    int64_t publish_time = 0;
    size_t packed_lists = 0, key_ids = 0;  // forms the one-pass path wrote
};

// Counts the packed delta lists and the keys stored as ids under `v`.
void count_forms(Value v, Outcome& o) {
    if (v.is_deltas()) ++o.packed_lists;
    if (v.is_object()) {
        for (Value::Range r = v.elements(); r.b != r.e;) {
            if (tag::is_key(*r.b)) ++o.key_ids;
            Value member(Value(r.b).end());
            count_forms(member, o);
            r.b = member.end();
        }
    } else {
        for (Value e : v.items()) count_forms(e, o);
    }
}

Outcome fast(LineParser& p, std::string line) {
    line.reserve(line.size() + kLinePadding);
    Arena arena;
    Value changes;
    Outcome o;
    std::string error;
    o.kind = p.parse_message(line, arena, changes, o.publish_time, error);
    if (o.kind == LineParser::Message::Keep) {
        o.text = dump(changes);
        count_forms(changes, o);
    }
    if (o.kind == LineParser::Message::Error) o.text = error;
    return o;
}

Outcome exact(const std::string& line) {
    Builder tree, b;
    Outcome o;
    std::string error;
    if (!parse_precise(line, tree, error)) return {LineParser::Message::Error, error, 0};
    o.kind = keep_message(tree.root(), b, o.publish_time) ? LineParser::Message::Keep
                                                           : LineParser::Message::Skip;
    if (o.kind == LineParser::Message::Keep) o.text = dump(b.root());
    return o;
}

void expect_same(LineParser& p, const std::string& line) {
    Outcome a = fast(p, line), b = exact(line);
    ASSERT_EQ(int(a.kind), int(b.kind)) << line;
    EXPECT_EQ(a.text, b.text) << line;
    EXPECT_EQ(a.publish_time, b.publish_time) << line;
}

TEST(LineParser, EnvelopeCases) {
    LineParser p;
    for (const char* line : {
             R"({"pt":5,"mc":[{"id":"1.2","rc":[{"id":1,"atb":[[1.5,2]]}]}]})",
             R"({"pt":5,"mc":[]})",
             R"({"pt":5,"mc":null,"rc":null})",
             R"({"pt":5,"id":"1.2","rc":[{"id":1}]})",
             R"({"pt":5,"marketDefinition":{"status":"OPEN"}})",
             R"({"pt":5,"op":"status"})",
             R"({"pt":0,"mc":[]})",
             R"({"pt":-5,"mc":[]})",
             R"({"pt":"5","mc":[]})",
             R"({"pt":5.0,"mc":[]})",
             R"({"pt":9223372036854775808,"mc":[]})",
             R"({"pt":9223372036854775807,"mc":[1,"x",null]})",
             R"({"mc":[],"pt":1,"pt":0})",
             R"({"pt":1,"mc":{"a":1},"mc":[7]})",
             R"({"pt":1,"mc":[7],"mc":{"a":1},"rc":1})",
             R"({})",
             R"([1,2])",
             R"({"pt":1,"mc":[{"a":-0,"b":-0.0,"c":1e-400,"d":123456789012345678901234567890}]})",
             R"({"pt":1,"mc":[{"s":"\ud83d\ude00 \u00e9\n"}]})",
             R"({"pt":1,"mc":[{"a":[[[[]]]],"b":{}}]})",
         })
        expect_same(p, line);
}

// Numbers on both sides of the edges of the usual shape (at most 18 digits,
// 15 after the point, a mantissa within 53 bits, no exponent), as members and
// in delta pairs, and cut short at a line's end with more of a number after
// it in the padding.
TEST(LineParser, NumbersAtTheEdgesOfTheUsualShapeAgree) {
    LineParser p;
    std::mt19937_64 rng(20261209);
    auto digits = [&](size_t n, int pattern) {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s += pattern == 0 ? '9' : pattern == 1 ? (i == 0 ? '1' : '0') : char('0' + rng() % 10);
        return s;
    };
    auto cut_short = [&](const std::string& line, const char* padding) {
        std::string buffer = line + padding + std::string(kLinePadding, '7');
        Arena arena;
        Value changes;
        int64_t publish_time = 0;
        std::string error;
        auto kind = p.parse_message(std::string_view(buffer.data(), line.size()), arena, changes, publish_time, error);
        Outcome b = exact(line);
        ASSERT_EQ(int(kind), int(b.kind)) << line << " | " << padding;
        EXPECT_EQ(error, b.text) << line << " | " << padding;
    };
    for (size_t whole = 0; whole <= 20; ++whole)
        for (size_t places = 0; places <= 18; ++places)
            for (int pattern = 0; pattern < 3; ++pattern)
                for (const char* tail : {"", "e2", "E-1"}) {
                    std::string n = whole == 0 ? "0" : digits(whole, pattern);
                    if (n.size() > 1 && n[0] == '0') n[0] = '1';
                    if (places) n += "." + digits(places, pattern);
                    n += tail;
                    expect_same(p, R"({"pt":1,"mc":[{"id":"1.2","tv":)" + n + "}]}");
                    expect_same(p, R"({"pt":1,"mc":[{"rc":[{"atb":[[)" + n + "," + n + "]]}]}]}");
                    for (const char* padding : {"5}]}", ".5}]}", "e5}]}", "5,1]]}]}]}"}) {
                        cut_short(R"({"pt":1,"mc":[{"tv":)" + n, padding);
                        cut_short(R"({"pt":1,"mc":[{"rc":[{"atb":[[1.5,)" + n, padding);
                    }
                }
    // Both sides of the largest mantissa the short form holds (2^24 - 1) and
    // of its places (3), as a member, and in pairs as price and as size beside
    // integers and decimals.
    for (const char* n : {"16777215", "16777216", "167772.15", "167772.16", "1677721.5", "1.6777215",
                          "0.16777216", "0", "0.0", "0.000", "0.0000", "9.999", "9.9999", "255", "256",
                          "65535", "65536"}) {
        expect_same(p, std::string(R"({"pt":1,"mc":[{"id":"1.2","tv":)") + n + R"(,"rc":[{"id":)" + n + "}]}]}");
        for (const char* other : {"1.5", "0", "1000"})
            expect_same(p, std::string(R"({"pt":1,"mc":[{"id":"1.2","rc":[{"atb":[[)") + n + "," + other + "],[" + other +
                               "," + n + "]]}]}]}");
    }
}

TEST(LineParser, NestingLimitAppliesToKeysNotKept) {
    LineParser p;
    // A line whose "op" holds `n` nested arrays; the outermost object is level 1.
    auto line = [](size_t n) {
        std::string s = R"({"pt":1,"op":)";
        s.append(n, '[');
        s.append(n, ']');
        s += R"(,"mc":[]})";
        return s;
    };
    expect_same(p, line(127));
    Outcome deep = fast(p, line(128));
    EXPECT_EQ(int(deep.kind), int(LineParser::Message::Error));
    EXPECT_EQ(deep.text, "recursion limit exceeded at line 1 column 141");
    expect_same(p, line(128));
}

TEST(LineParser, InvalidUtf8IsReportedBeforeJsonFaults) {
    LineParser p;
    Outcome o = fast(p, "{\"pt\":1,\"mc\":[\"\xC3\x28\"]}");
    EXPECT_EQ(int(o.kind), int(LineParser::Message::InvalidUtf8));
    o = fast(p, "{\"pt\":1,\"mc\":[\xFF");
    EXPECT_EQ(int(o.kind), int(LineParser::Message::InvalidUtf8));
}

TEST(LineParser, RealFilesAndMutationsAgree) {
    const char* files[] = {"greyhound-win-1.197931750", "greyhound-place-1.197931751",
                           "football-match-odds-1.200806927"};
    std::vector<std::string> lines;
    for (const char* f : files) {
        std::ifstream in(palisar::test_data::recorded_data_dir() + f);
        std::string line;
        size_t n = 0;
        while (std::getline(in, line))
            if (n++ % 5 == 0) lines.push_back(line);
    }
    if (lines.empty()) SKIP_WITHOUT_RECORDED_DATA("the recorded prices files are not available");
    LineParser p;
    std::mt19937 rng(12345);
    const char junk[] = "{}[],:\"0123456789-.eE tfn\\";
    for (const std::string& line : lines) {
        size_t before = p.exact_lines();
        expect_same(p, line);
        EXPECT_EQ(p.exact_lines(), before) << "a recorded line took the exact path: " << line;
        std::string m = line;
        std::uniform_int_distribution<size_t> at(0, m.size() - 1);
        m[at(rng)] = junk[rng() % (sizeof junk - 1)];
        expect_same(p, m);
        if (HasFatalFailure()) return;
    }
}

}  // namespace

namespace {

// Random lines in the shape of stream messages, built from pieces that are
// valid, borderline or faulty, for a differential run of the two paths.
class LineMaker {
public:
    explicit LineMaker(uint32_t seed) : rng_(seed) {}

    std::string line() {
        clean_ = chance(2);  // half the lines hold no deliberate fault
        std::string s = space() + "{";
        size_t members = pick(5);
        for (size_t i = 0; i < members; ++i) {
            if (i) s += "," + space();
            static const char* keys[] = {"op", "pt", "mc", "clk", "rc", "marketDefinition", "p\\u0074", "id"};
            const char* key = keys[pick(8)];
            s += "\"" + std::string(key) + "\"" + space() + ":" + space();
            if (key[0] == 'p' && !chance(4))
                s += std::to_string(1 + pick(2000000000000));
            else if (chance(2))
                s += changes();
            else
                s += value(1);
        }
        s += space() + "}" + space();
        if (!clean_ && chance(6)) mutate(s);
        return s;
    }

private:
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool chance(size_t one_in) { return pick(one_in) == 0; }

    // An array of market changes with runner changes and ladders.
    std::string changes() {
        std::string s = "[";
        size_t n = pick(3);
        for (size_t i = 0; i < n; ++i) {
            s += std::string(i ? "," : "") + "{\"id\":" + string() + ",\"rc\":[";
            size_t runners = pick(4);
            for (size_t r = 0; r < runners; ++r) {
                s += std::string(r ? "," : "") + "{\"id\":" + number() + ",\"atb\":[";
                size_t levels = pick(4);
                for (size_t l = 0; l < levels; ++l)
                    s += std::string(l ? "," : "") + "[" + number() + "," + space() + number() + "]";
                s += "]," + string() + ":" + value(4) + "}";
            }
            s += "]}";
        }
        return s + "]";
    }

    std::string space() {
        static const char* spaces[] = {"", "", "", " ", "\t", "\r\n ", "\f", "\xC2\xA0"};
        return chance(5) ? spaces[pick(clean_ ? 6 : 8)] : "";
    }

    std::string value(size_t level) {
        switch (pick(level > 6 ? 4 : 7)) {
            case 0: return number();
            case 1: return string();
            case 2: {
                static const char* words[] = {"true", "false", "null", "tru", "nul", "falsey", "NaN"};
                return words[pick(!clean_ && chance(8) ? 7 : 3)];
            }
            case 3: return number();
            case 4:
            case 5: {
                std::string s = "[" + space();
                size_t n = pick(5);
                for (size_t i = 0; i < n; ++i) s += (i ? "," + space() : "") + value(level + 1);
                if (!clean_ && chance(40)) s += ",";
                return s + space() + "]";
            }
            default: {
                std::string s = "{";
                size_t n = pick(4);
                for (size_t i = 0; i < n; ++i) {
                    if (i) s += ",";
                    s += string() + space() + ":" + value(level + 1);
                }
                return s + "}";
            }
        }
    }

    std::string digits(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += char('0' + pick(10));
        return s;
    }

    std::string number() {
        static const char* faulty[] = {"1.", ".5", "-", "+1", "01", "1e", "1e+", "00.5", "1e400", "-1e400"};
        if (!clean_ && chance(20)) return faulty[pick(sizeof faulty / sizeof *faulty)];
        static const char* fixed[] = {
            "-0", "-0.0", "0.000", "-0.00e3", "0", "9223372036854775807", "9223372036854775808", "-9223372036854775808",
            "-9223372036854775809", "18446744073709551615", "18446744073709551616",
            "9999999999999999999", "99999999999999999999", "1e-400", "5e-324",
            "9007199254740993.5", "9007199254740992", "0.1", "0.30000000000000004", "1.7976931348623157e308",
            "123456789012345.67", "1234567890123456.7", "0.0000000000000001", "0.000000000000001",
            "4.35", "1.15", "2.675", "1000", "1.01E2", "-1.5e-3",
        };
        if (chance(4)) return fixed[pick(sizeof fixed / sizeof *fixed)];
        std::string s = chance(4) ? "-" : "";
        size_t whole = 1 + pick(chance(10) ? 21 : 5);
        std::string w = digits(whole);
        if (w.size() > 1 && w[0] == '0' && (clean_ || !chance(20))) w[0] = '1';
        s += w;
        if (chance(2)) s += "." + digits(1 + pick(chance(8) ? 20 : 3));
        if (chance(12)) s += std::string(chance(2) ? "e" : "E") + (chance(2) ? "-" : "") + digits(1 + pick(3));
        return s;
    }

    std::string string() {
        static const char* pieces[] = {
            // valid
            "a", "atb", "trd", "1.234567", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "\\\"", "\\\\", "\\/", "\\b",
            "\\f", "\\n", "\\r", "\\t", "\\u0041", "\\u00e9", "\\u20AC", "\\ud83d\\ude00", "\xC3\xA9",
            "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x7F", "\\u0000", " ",
            // faulty
            "\\ud83d", "\\ude00", "\\ud83dx", "\\u12", "\\x", "\xC3\x28", "\xFF", "\x01",
        };
        const size_t choices = clean_ ? 23 : sizeof pieces / sizeof *pieces;
        std::string s = "\"";
        size_t n = pick(chance(4) ? 12 : 4);
        for (size_t i = 0; i < n; ++i) s += pieces[chance(3) ? pick(choices) : pick(5)];
        return !clean_ && chance(60) ? s : s + "\"";
    }

    void mutate(std::string& s) {
        static const char junk[] = "{}[],:\"0123456789-.eE tfn\\\x80";
        size_t at = pick(s.size());
        switch (pick(3)) {
            case 0: s[at] = junk[pick(sizeof junk - 1)]; break;
            case 1: s.erase(at, 1); break;
            default: s.resize(at); break;
        }
    }

    std::mt19937_64 rng_;
    bool clean_ = false;
};

TEST(LineParser, RandomLinesAgreeWithTheExactParser) {
    LineParser p;
    LineMaker make(20261208);
    size_t kept = 0, errors = 0, packed = 0, key_ids = 0;
    const size_t n = 60000;
    for (size_t i = 0; i < n; ++i) {
        std::string line = make.line();
        Outcome a = fast(p, line);
        // Invalid UTF-8 is reported first; the exact parser is only ever
        // handed checked lines.
        if (!simdjson::validate_utf8(line.data(), line.size())) {
            ASSERT_EQ(int(a.kind), int(LineParser::Message::InvalidUtf8)) << line;
            continue;
        }
        Outcome b = exact(line);
        ASSERT_EQ(int(a.kind), int(b.kind)) << line;
        ASSERT_EQ(a.text, b.text) << line;
        ASSERT_EQ(a.publish_time, b.publish_time) << line;
        kept += a.kind == LineParser::Message::Keep;
        errors += a.kind == LineParser::Message::Error;
        packed += a.packed_lists != 0;
        key_ids += a.key_ids != 0;
    }
    // The mix holds every outcome.
    std::printf("kept %zu, faulty %zu, left to the exact parser %zu of %zu\n", kept, errors,
                p.exact_lines(), n);
    EXPECT_GT(kept, n / 20);
    EXPECT_GT(errors, n / 20);
    // Kept lines in the stored forms the readers dispatch on.
    EXPECT_GT(packed, n / 600);
    EXPECT_GT(key_ids, n / 200);
}

// The UTF-8 check against simdjson's: every sequence of one to three bytes and
// random ones of four to twelve, each alone and after 1-15 ASCII bytes (so that
// it meets the eight-byte skip at every offset), and followed by ASCII text.
TEST(Utf8, AgreesWithTheReferenceValidator) {
    std::mt19937_64 rng(7);
    size_t valid = 0, checked = 0;
    auto check = [&](const std::string& seq) {
        for (size_t lead : {size_t(0), size_t(1 + rng() % 15)}) {
            std::string s = std::string(lead, 'a') + seq + (rng() & 1 ? "" : "bcdefghijk");
            bool ref = simdjson::validate_utf8(s.data(), s.size());
            ASSERT_EQ(palisar::parse::valid_utf8(s.data(), s.size()), ref) << testing::PrintToString(s);
            valid += ref;
            ++checked;
        }
    };
    for (unsigned a = 0; a < 256; ++a) {
        check(std::string(1, char(a)));
        for (unsigned b = 0; b < 256; ++b) {
            check({char(a), char(b)});
            if (a >= 0xE0 || a < 0x80)  // three bytes after a lead that needs them or an ASCII byte
                for (unsigned c = 0x70; c < 0xC8; ++c) check({char(a), char(b), char(c)});
        }
    }
    // Random sequences biased towards lead and continuation bytes.
    for (int i = 0; i < 400000; ++i) {
        std::string s(4 + rng() % 9, '\0');
        for (char& ch : s) ch = char(rng() % 4 == 0 ? rng() % 256 : 0x80 + (rng() % 0x78));
        if (rng() % 2) s[0] = char(0xF0 + rng() % 8);
        check(s);
    }
    EXPECT_GT(valid, checked / 20);
}

// Every known key maps to its own id, through both lookups; texts next to
// them (one byte more or less, another byte at either end) map to another
// known key only when they are that key.
TEST(KnownKeys, LookupsAgreeAndMissNearTexts) {
    auto padded_id = [](const std::string& k) {
        std::string buf = k;
        buf.append(kLinePadding, 'z');
        return key_id_padded(buf.data(), k.size());
    };
    for (unsigned id = 0; id < kKeyCount; ++id) {
        const std::string k(kKeyNames[id]);
        EXPECT_EQ(key_id(k), id) << k;
        EXPECT_EQ(padded_id(k), id) << k;
        for (std::string near : {k + "s", k.substr(0, k.size() - 1), "x" + k.substr(1),
                                 k.substr(0, k.size() - 1) + "x", k.substr(1)}) {
            const unsigned got = key_id(near);
            EXPECT_EQ(padded_id(near), got) << near;
            if (got != kKeyCount) {
                EXPECT_EQ(kKeyNames[got], near);
            }
        }
    }
    EXPECT_EQ(key_id(""), kKeyCount);
    EXPECT_EQ(key_id("i"), kKeyCount);
}

TEST(LineParser, PlainLinesTakeTheOnePassPath) {
    LineParser p;
    for (const char* line : {
             R"({"op":"mcm","clk":"AHgA","pt":1700000000123,"mc":[{"id":"1.2","rc":[{"atb":[[1.01,25.5],[1000,0]],"id":7,"hc":-0.25}]}]})",
             R"( {"pt":5 , "mc" : [ { "s" : "caf\u00e9 \"quoted\" \ud83d\ude00 long long long string" } ] } )",
             R"({"pt":5,"mc":[-0,-0.0,1e5,1.5E-3,9223372036854775807,-9223372036854775808,18446744073709551615]})",
             // envelope keys with escapes and bytes outside ASCII; pairs with space everywhere
             "{\"p\\u0074\":5,\"\\u006dc\":[{\"atb\":[ [ 1.5 , 2 ] ,[3,4 ] ]}],\"caf\xC3\xA9\":1}",
         }) {
        size_t before = p.exact_lines();
        expect_same(p, line);
        EXPECT_EQ(p.exact_lines(), before) << line;
    }
}

}  // namespace

// An arena's first mapped block goes back to a small cache when the arena
// goes, for the next arena to start with: arenas alive together never share
// one, and each reads back what it stored, whatever order they go in.
TEST(Arena, KeptBlocksAreNeverShared) {
    std::mt19937 rng(11);
    for (int round = 0; round < 20; ++round) {
        std::vector<std::unique_ptr<Arena>> arenas;
        std::vector<const uint8_t*> stored;
        for (uint8_t k = 0; k < 3; ++k) {
            const std::vector<uint8_t> bytes(100 << 10, uint8_t(round * 3 + k));
            arenas.push_back(std::make_unique<Arena>());
            arenas.back()->store(bytes.data(), 1000);  // the small first block
            stored.push_back(arenas.back()->store(bytes.data(), bytes.size()));  // a mapped one
        }
        for (uint8_t k = 0; k < 3; ++k) {
            const std::vector<uint8_t> bytes(100 << 10, uint8_t(round * 3 + k));
            EXPECT_EQ(std::memcmp(stored[k], bytes.data(), bytes.size()), 0) << round << " " << int(k);
        }
        std::shuffle(arenas.begin(), arenas.end(), rng);
    }
}

// An arena that goes without release_unused (its load failed) still trims the
// tail of a block it hands on: pages written through a reservation it never
// committed do not stay resident in the kept block.
TEST(Arena, AKeptBlockKeepsOnlyWhatWasStored) {
    constexpr size_t kBlockBytes = size_t(2) << 20, kPage = 4096;
    uintptr_t base;
    {
        Arena arena;
        const std::vector<uint8_t> bytes(100 << 10, 7);
        arena.store(bytes.data(), 1000);  // the small first block
        const uint8_t* stored = arena.store(bytes.data(), bytes.size());  // the first mapped one
        base = reinterpret_cast<uintptr_t>(stored) & ~uintptr_t(kBlockBytes - 1);
        uint8_t* room = arena.reserve(size_t(1) << 20);  // written, never committed
        std::memset(room, 1, size_t(1) << 20);
    }
    // From past what was stored to the end of what was written.
    const uintptr_t from = base + (size_t(256) << 10), to = base + (size_t(1) << 20);
    std::vector<unsigned char> resident((to - from) / kPage);
    if (mincore(reinterpret_cast<void*>(from), to - from, resident.data()) != 0) {
        ASSERT_EQ(errno, ENOMEM);  // not kept: the block went back to the system
        return;
    }
    EXPECT_EQ(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; }), 0);
}
