// The exact line parser: error texts and positions, decoded values, and a
// differential run against the fast library parser on real prices lines.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "json/decimal.hpp"
#include "json/parser.hpp"
#include "recorded_data.hpp"
#include "value_dump.hpp"

using namespace palisar::json;

namespace {

std::string rep(std::string_view s, size_t n) {
    std::string r;
    for (size_t i = 0; i < n; ++i) r += s;
    return r;
}

const std::string kUnknown = "<unknown>";

std::string dump(simdjson::dom::element e) {
    using T = simdjson::dom::element_type;
    std::string r;
    switch (e.type()) {
        case T::NULL_VALUE: return "null";
        case T::BOOL: return bool(e) ? "true" : "false";
        case T::INT64: return (int64_t(e) < 0 ? "i" : "u") + std::to_string(int64_t(e));
        case T::UINT64: return "u" + std::to_string(uint64_t(e));
        case T::DOUBLE: return num("d", double(e));
        case T::STRING: return str(std::string_view(e));
        case T::ARRAY:
            for (simdjson::dom::element c : simdjson::dom::array(e)) r += (r.empty() ? "" : ",") + dump(c);
            return "[" + r + "]";
        case T::OBJECT:
            for (simdjson::dom::key_value_pair kv : simdjson::dom::object(e))
                r += (r.empty() ? "" : ",") + std::string(kv.key) + ":" + dump(kv.value);
            return "{" + r + "}";
        default:  // kinds of later library versions (big integers)
            return kUnknown;
    }
}

struct Case {
    std::string input;
    std::string expected;  // error message, or dump of the value
};
// Long inputs are shortened so that test names stay readable.
void PrintTo(const Case& c, std::ostream* os) {
    if (c.input.size() <= 40) *os << testing::PrintToString(c.input);
    else *os << testing::PrintToString(c.input.substr(0, 32)) << "...(" << c.input.size() << " bytes)";
}
std::string index_name(const testing::TestParamInfo<Case>& info) { return std::to_string(info.index); }

class PreciseError : public testing::TestWithParam<Case> {};
TEST_P(PreciseError, Message) {
    Builder b;
    std::string error;
    EXPECT_FALSE(parse_precise(GetParam().input, b, error));
    EXPECT_EQ(error, GetParam().expected);
}

#define AT(text, col) text " at line 1 column " #col
const std::string kCtl = "control character (\\u0000-\\u001F) found while parsing a string";

INSTANTIATE_TEST_SUITE_P(Precise, PreciseError, testing::Values(
    // structure
    Case{"x", AT("expected value", 1)}, Case{"", AT("EOF while parsing a value", 0)},
    Case{" \t", AT("EOF while parsing a value", 2)}, Case{"{} x", AT("trailing characters", 4)},
    Case{"{", AT("EOF while parsing an object", 1)}, Case{"[1,", AT("EOF while parsing a value", 3)},
    Case{"{1:2}", AT("key must be a string", 2)}, Case{"\xEF\xBB\xBF{}", AT("expected value", 1)},
    Case{"{}\xC2\xA0", AT("trailing characters", 3)}, Case{"[1]\v", AT("trailing characters", 4)},
    Case{"\f1", AT("expected value", 1)}, Case{"1 2", AT("trailing characters", 3)},
    Case{"[]]", AT("trailing characters", 3)}, Case{"[", AT("EOF while parsing a list", 1)},
    Case{"[1 ", AT("EOF while parsing a list", 3)}, Case{"[1 2]", AT("expected `,` or `]`", 4)},
    Case{"[1,]", AT("trailing comma", 4)}, Case{"[1, ]", AT("trailing comma", 5)},
    Case{"[,1]", AT("expected value", 2)}, Case{"[}", AT("expected value", 2)},
    Case{"{]", AT("key must be a string", 2)}, Case{"{\"a\":1,}", AT("trailing comma", 8)},
    Case{"{\"a\" 1}", AT("expected `:`", 6)}, Case{"{\"a\"", AT("EOF while parsing an object", 4)},
    Case{"{\"a\":", AT("EOF while parsing a value", 5)}, Case{"{\"a\":1", AT("EOF while parsing an object", 6)},
    Case{"{\"a\":1 \"b\":2}", AT("expected `,` or `}`", 8)}, Case{"{\"a\":1,2}", AT("key must be a string", 8)},
    Case{"{\"a\":1,", AT("EOF while parsing a value", 7)}, Case{"{\"a\":1]", AT("expected `,` or `}`", 7)},
    Case{rep("[", 129) + rep("]", 129), AT("recursion limit exceeded", 129)},
    Case{rep("{\"a\":", 128) + "[]", AT("recursion limit exceeded", 641)},
    Case{rep("[", 10000), AT("recursion limit exceeded", 129)},
    // literals
    Case{"tru", AT("EOF while parsing a value", 3)}, Case{"trux", AT("expected ident", 4)},
    Case{"nul1", AT("expected ident", 4)}, Case{"[fals]", AT("expected ident", 6)},
    Case{"True", AT("expected value", 1)}, Case{"NaN", AT("expected value", 1)},
    Case{"truex", AT("trailing characters", 5)},
    // numbers
    Case{"01", AT("invalid number", 2)}, Case{"-01", AT("invalid number", 3)},
    Case{"+1", AT("expected value", 1)}, Case{".5", AT("expected value", 1)},
    Case{"1.", AT("EOF while parsing a value", 2)}, Case{"[1.]", AT("invalid number", 4)},
    Case{"1.e5", AT("invalid number", 3)}, Case{"1e", AT("EOF while parsing a value", 2)},
    Case{"1e+", AT("EOF while parsing a value", 3)}, Case{"1ex", AT("invalid number", 3)},
    Case{"-", AT("EOF while parsing a value", 1)}, Case{"-x", AT("invalid number", 2)},
    Case{"-Infinity", AT("invalid number", 2)}, Case{"0x10", AT("trailing characters", 2)},
    Case{"1e400", AT("number out of range", 5)}, Case{"[-1e400]", AT("number out of range", 7)},
    Case{"1.8e308", AT("number out of range", 7)}, Case{"1e99999999999999999999", AT("number out of range", 22)},
    Case{"0.0000001e316", AT("number out of range", 13)},
    Case{"1" + std::string(400, '0'), "number out of range at line 1 column 401"},
    // strings
    Case{"\"abc", AT("EOF while parsing a string", 4)}, Case{"\"\\", AT("EOF while parsing a string", 2)},
    Case{"\"a\\x\"", AT("invalid escape", 4)}, Case{"\"\\u12G4\"", AT("invalid escape", 6)},
    Case{"\"\\u12\"", AT("invalid escape", 6)}, Case{"\"\\u12", AT("EOF while parsing a string", 5)},
    Case{"\"\\ud800\"", AT("unexpected end of hex escape", 8)},
    Case{"\"\\ud800\\n\"", AT("unexpected end of hex escape", 9)},
    Case{"\"\\ud800", AT("EOF while parsing a string", 7)},
    Case{"\"\\udc00\"", AT("invalid unicode code point", 7)},
    Case{"\"\\ud800\\u0041\"", AT("lone leading surrogate in hex escape", 13)},
    Case{"\"\\ud800\\ud800\"", AT("lone leading surrogate in hex escape", 13)},
    Case{"\"a\tb\"", kCtl + " at line 1 column 3"}, Case{"\"\x01\"", kCtl + " at line 1 column 2"},
    Case{"\"a\\n\x1F\"", kCtl + " at line 1 column 5"},
    Case{"\"" + rep("x", 20) + "\n\"", kCtl + " at line 1 column 22"},
    Case{"{\"a\\q\":1}", AT("invalid escape", 5)}, Case{"\"abc\"x", AT("trailing characters", 6)}),
    index_name);

class PreciseValue : public testing::TestWithParam<Case> {};
TEST_P(PreciseValue, Decoded) {
    Builder b;
    std::string error;
    ASSERT_TRUE(parse_precise(GetParam().input, b, error)) << error;
    Value v(b.data());
    EXPECT_EQ(dump(v), GetParam().expected);
    EXPECT_EQ(v.encoded_size(), b.size());
}

INSTANTIATE_TEST_SUITE_P(Precise, PreciseValue, testing::Values(
    Case{"0", "u0"}, Case{"-0", "u0"}, Case{" \t\r\n7\r\n\t ", "u7"}, Case{"-1", "i-1"},
    Case{"18446744073709551615", "u18446744073709551615"},
    Case{"18446744073709551616", "d1.8446744073709552e+19"},
    Case{"-9223372036854775808", "i-9223372036854775808"},
    Case{"-9223372036854775809", "d-9.2233720368547758e+18"},
    Case{"123456789012345678901234567890", "d1.2345678901234568e+29"},
    Case{"1" + std::string(299, '0'), "d1.0000000000000001e+299"},
    Case{"1.5", "d1.5"}, Case{"-0.0", "d-0"}, Case{"-0e7", "d-0"}, Case{"1E2", "d100"},
    Case{"2.5e+3", "d2500"}, Case{"1e-2", "d0.01"}, Case{"0.1", "d0.10000000000000001"},
    Case{"1e-400", "d0"}, Case{"-1e-400", "d-0"}, Case{"0e99999999999999999999", "d0"},
    Case{"1000000e-330", "d0"},
    Case{"1.7976931348623157e308", "d1.7976931348623157e+308"},
    Case{"2.4703282292062328e-324", "d4.9406564584124654e-324"},
    Case{"9007199254740993.0", "d9007199254740992"},
    Case{"9007199254740993.0000000000000000000000001", "d9007199254740994"},
    Case{"0." + std::string(400, '0') + "1", "d0"}, Case{"-0." + std::string(400, '0') + "1", "d-0"},
    Case{"0." + std::string(300, '0') + "1", "d1.0000000000000001e-301"},
    Case{"1" + std::string(400, '0') + "e-399", "d10"},
    Case{"true", "true"}, Case{"false", "false"}, Case{"null", "null"},
    Case{"\"\"", "\"\""}, Case{"\"a/b\"", "\"a/b\""},
    Case{"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\"\\x5C/\\x08\\x0C\\x0A\\x0D\\x09\""},
    Case{"\"\\u00e9\\u20AC\\u0000\"", "\"\\xC3\\xA9\\xE2\\x82\\xAC\\x00\""},
    Case{"\"\\ud83d\\ude00!\"", "\"\\xF0\\x9F\\x98\\x80!\""},
    Case{"\"\xC3\xA9\xE2\x82\xAC\"", "\"\\xC3\\xA9\\xE2\\x82\\xAC\""},
    Case{"\"" + rep("ab", 20) + "\\n" + rep("cd", 20) + "\"", "\"" + rep("ab", 20) + "\\x0A" + rep("cd", 20) + "\""},
    Case{"[]", "[]"}, Case{"{}", "{}"}, Case{"{\t\"a\"\r:\n1\t}", "{a:u1}"}, Case{" [ 1 , [ ] , { } , \"x\" ] ", "[u1,[],{},\"x\"]"},
    Case{"{\"a\":1,\"a\":[true,null],\"\\u0062\":-2.5}", "{a:u1,a:[true,null],b:d-2.5}"},
    Case{rep("[", 128) + rep("]", 128), rep("[", 128) + rep("]", 128)},
    Case{rep("{\"k\":", 127) + "[1]" + rep("}", 127), rep("{k:", 127) + "[u1]" + rep("}", 127)}),
    index_name);

// The conversion of decimal text against the C++ library's from_chars and the C
// library's strtod, bit for bit, on edge cases and a large random set: numbers
// of 1 to 30 digits with a point anywhere and exponents across the whole range
// (the subnormals, the halfway cases, both ends), and doubles written back in
// 17 digits and in their shortest form.
TEST(Decimal, AgreesBitForBitWithFromCharsAndStrtod) {
    std::vector<std::string> cases = {
        "0", "-0", "0.0", "0e999999", "1", "-1", "9007199254740992", "9007199254740993",
        "9007199254740995", "1e22", "1e23", "-1e-22", "1.7976931348623157e308", "1.7976931348623158e308",
        "1.7976931348623159e308", "1e309", "2.2250738585072011e-308", "2.2250738585072012e-308",
        "4.9406564584124654e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "1e-400",
        "0.1", "0.30000000000000004", "123456789012345678901234567890", "1" + std::string(400, '0') + "e-399",
        "0." + std::string(300, '0') + "1", "8.98846567431158e307", "4503599627370496.5",
        "4503599627370497.5", "7.2057594037927933e16", "1e99999999999999999999"};
    std::mt19937_64 rng(20261208);
    auto pick = [&](uint64_t n) { return rng() % n; };
    for (int i = 0; i < 300000; ++i) {
        std::string s = pick(2) ? "-" : "";
        size_t n = 1 + pick(pick(4) ? 20 : 30);
        std::string digits;
        for (size_t k = 0; k < n; ++k) digits += char('0' + pick(10));
        digits[0] = char('1' + pick(9));
        size_t point = pick(n + 1);
        if (point < n) digits.insert(point, point == 0 ? "0." : ".");
        s += digits;
        if (pick(3)) {
            s += 'e';
            s += std::to_string(int(pick(700)) - 350);
        }
        cases.push_back(s);
        double d;
        uint64_t bits = rng();
        std::memcpy(&d, &bits, 8);
        if (!std::isfinite(d)) continue;
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", d);
        cases.push_back(buf);
        cases.emplace_back(buf, std::to_chars(buf, buf + sizeof buf, d).ptr);
    }
    size_t out_of_range = 0;
    for (const std::string& s : cases) {
        const char* b = s.data();
        const char* e = b + s.size();
        double mine = 0, theirs = 0;
        bool in_range = palisar::parse::decimal_to_double(b, e, mine);
        auto r = std::from_chars(b, e, theirs);
        ASSERT_EQ(in_range, r.ec == std::errc()) << s;
        out_of_range += !in_range;
        if (!in_range) theirs = std::strtod(s.c_str(), nullptr);  // from_chars leaves it unset
        ASSERT_EQ(std::bit_cast<uint64_t>(mine), std::bit_cast<uint64_t>(theirs)) << s;
        ASSERT_EQ(std::bit_cast<uint64_t>(mine), std::bit_cast<uint64_t>(std::strtod(s.c_str(), nullptr))) << s;
    }
    EXPECT_GT(out_of_range, cases.size() / 100);
}

TEST(Precise, RepeatedKeyLastWinsAndBuilderIsCleared) {
    Builder b;
    std::string error;
    ASSERT_TRUE(parse_precise("[1,2,3]", b, error));
    ASSERT_TRUE(parse_precise(R"({"pt":1,"mc":[],"pt":2})", b, error)) << error;
    Value v(b.data());
    int64_t pt = 0;
    ASSERT_TRUE(v.find("pt").get_i64(pt));
    EXPECT_EQ(pt, 2);
    EXPECT_TRUE(v.find("mc").is_array());
    EXPECT_FALSE(v.find("x").valid());
    EXPECT_EQ(v.encoded_size(), b.size());
}

// ---- differential run against the fast library parser -------------------

std::string mutate(std::string s, std::mt19937& rng) {
    static const char kChars[] = "{}[]\",:-+.0123456789eE \t\\/ubfnrtxa\x01\x1F";
    static const char* kSnippets[] = {"\\u00e9",  "\\ud83d\\ude00", "\\ud800", "\\udc00", "\\n", "\\x",
                                      "1e400",    "1e-400",         "-0",      "01",      "1.",  ".5",
                                      "-9223372036854775809", "18446744073709551616", "9.999e307",
                                      "123456789012345678901234567890", "0.1e-5", "tru", "null", ",]"};
    auto pick = [&](size_t n) { return size_t(std::uniform_int_distribution<size_t>(0, n - 1)(rng)); };
    if (s.empty()) return s;
    size_t at = pick(s.size());
    switch (pick(5)) {
        case 0: s[at] = kChars[pick(sizeof kChars - 1)]; break;
        case 1: s.erase(at, 1); break;
        case 2: s.insert(at, 1, kChars[pick(sizeof kChars - 1)]); break;
        case 3: s.resize(at); break;
        default: s.insert(at, kSnippets[pick(std::size(kSnippets))]); break;
    }
    return s;
}

// Whether valid JSON `line` holds an integer literal outside 64 bits (below
// INT64_MIN or above UINT64_MAX), found by scanning the text itself.
bool holds_big_integer(std::string_view line) {
    for (size_t i = 0; i < line.size();) {
        char c = line[i];
        if (c == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i) i += line[i] == '\\';
            ++i;
            continue;
        }
        if (c != '-' && (c < '0' || c > '9')) {
            ++i;
            continue;
        }
        size_t end = line.find_first_not_of("-+.eE0123456789", i);
        std::string_view tok = line.substr(i, end == std::string_view::npos ? line.size() - i : end - i);
        i += tok.size();
        if (tok.find_first_of(".eE") != std::string_view::npos) continue;
        uint64_t u;
        int64_t s;
        auto r = tok[0] == '-' ? std::from_chars(tok.data(), tok.data() + tok.size(), s).ec
                               : std::from_chars(tok.data(), tok.data() + tok.size(), u).ec;
        if (r == std::errc::result_out_of_range) return true;
    }
    return false;
}

TEST(Precise, BigIntegerScanFindsOnlyIntegersBeyond64Bits) {
    EXPECT_TRUE(holds_big_integer(R"({"a":[1,18446744073709551616]})"));
    EXPECT_TRUE(holds_big_integer("-9223372036854775809"));
    EXPECT_FALSE(holds_big_integer(R"({"a":18446744073709551615,"b":-9223372036854775808})"));
    EXPECT_FALSE(holds_big_integer(R"(["18446744073709551616\"1e400",1.8446744073709551616e19])"));
}

TEST(Precise, AgreesWithFastParserOnRealLinesAndMutations) {
    const std::string dir = palisar::test_data::recorded_data_dir();
    std::vector<std::string> lines;
    for (const char* name : {"football-match-odds-1.200806927", "greyhound-place-1.197931751",
                             "greyhound-win-1.197931750"}) {
        std::ifstream in(dir + name);
        std::string line;
        size_t stride = name[0] == 'f' ? 8 : 1;  // the football file is large
        for (size_t i = 0; std::getline(in, line); ++i)
            if (i % stride == 0) lines.push_back(line);
    }
    if (lines.empty()) SKIP_WITHOUT_RECORDED_DATA("no prices files under " << dir);
    if (lines.size() > 3000) lines.resize(3000);

    std::mt19937 rng(20240419);
    simdjson::dom::parser fast;
    Builder b;
    std::string error;
    size_t accepted = 0, rejected = 0, originals = lines.size();
    for (size_t n = 0; n < originals * 3; ++n) {
        bool original = n < originals;
        std::string line = original ? lines[n] : mutate(lines[n % originals], rng);
        if (!original && n % 7 == 0) line = mutate(line, rng);
        if (!simdjson::validate_utf8(line)) continue;
        bool mine = parse_precise(line, b, error);
        simdjson::dom::element root;
        auto code = fast.parse(line).get(root);
        if (original) {
            ASSERT_TRUE(mine) << error << "\n" << line.substr(0, 200);
        }
        std::string theirs = code ? "" : dump(root);
        if (!code && theirs.find(kUnknown) == std::string::npos) {
            ASSERT_TRUE(mine) << error << "\n" << line;
            ASSERT_EQ(dump(Value(b.data())), theirs) << line;
            ++accepted;
        } else {
            // The only lines the fast parser may refuse (or give a kind of its
            // own) while this one accepts hold integers beyond 64 bits; which
            // error it reports for them depends on its version.
            if (mine) {
                ASSERT_TRUE(holds_big_integer(line)) << simdjson::error_message(code) << "\n" << line;
            } else {
                ASSERT_NE(error.find(" at line 1 column "), std::string::npos);
            }
            rejected += !mine;
        }
    }
    EXPECT_GT(accepted, originals);
    EXPECT_GT(rejected, originals / 2);
}

// Every stored form reads back as written and ends where its writer stopped:
// integers of every width (either sign), strings short and long, numbers,
// literals and known keys, each followed by bytes that must not be read.
TEST(Values, EveryFormReadsBackAndEndsWhereItWasWritten) {
    std::mt19937_64 rng(20261209);
    uint8_t buf[64];
    auto check_end = [&](const uint8_t* end, const char* what) {
        EXPECT_EQ(Value(buf).end(), end) << what;
        EXPECT_EQ(Value(buf).encoded_size(), size_t(end - buf)) << what;
    };
    for (unsigned width = 1; width <= 8; ++width) {
        for (int k = 0; k < 200; ++k) {
            // A magnitude of exactly `width` bytes, below 2^63.
            uint64_t m = (rng() >> (64 - 8 * width)) | (uint64_t(1) << (8 * width - 1));
            if (width == 8) m = (m & ~(uint64_t(1) << 63)) | (uint64_t(1) << 62);
            for (int64_t v : {int64_t(m), -int64_t(m) - 1}) {
                std::memset(buf, 0xEE, sizeof buf);
                const uint8_t* end = encode::sint(buf, v);
                ASSERT_EQ(size_t(end - buf), 1 + width) << v;
                int64_t got = 0;
                ASSERT_TRUE(Value(buf).get_i64(got)) << v;
                EXPECT_EQ(got, v);
                check_end(end, "integer");
            }
        }
    }
    for (size_t n = 0; n <= 40; ++n) {
        std::string text(n, 'x');
        for (size_t i = 0; i < n; ++i) text[i] = char('a' + rng() % 26);
        std::memset(buf, 0xEE, sizeof buf);
        const uint8_t* end = encode::string(buf, text.data(), text.size());
        std::string_view got;
        ASSERT_TRUE(Value(buf).get_string(got));
        EXPECT_EQ(got, text);
        check_end(end, "string");
    }
    for (double d : {0.0, 2.5, 1.01, -3.75, 1e300, 0.1 + 0.2}) {
        std::memset(buf, 0xEE, sizeof buf);
        const uint8_t* end = encode::number(buf, d);
        double got = 0;
        ASSERT_TRUE(Value(buf).get_double(got));
        EXPECT_EQ(got, d);
        check_end(end, "number");
    }
    for (uint8_t t : {tag::Null, tag::False, tag::True, uint8_t(tag::Key | 3)}) {
        std::memset(buf, 0xEE, sizeof buf);
        buf[0] = t;
        check_end(buf + 1, "literal or key");
    }
    // Short numbers: every length (0-3 bytes) and number of places (0-3), as
    // any reader takes them and as a pair's reader does, which reads the
    // bytes before the number rather than any after it.
    for (unsigned width = 0; width <= 3; ++width)
        for (unsigned places = 0; places <= 3; ++places)
            for (int k = 0; k < 50; ++k) {
                const uint64_t m = width == 0 ? 0 : (rng() >> (64 - 8 * width)) | (uint64_t(1) << (8 * width - 1));
                std::memset(buf, 0xEE, sizeof buf);
                uint8_t* at = buf + 8;
                const uint8_t* end = encode::short_number(at, m, places);
                ASSERT_EQ(size_t(end - at), 1 + width) << m;
                std::memset(const_cast<uint8_t*>(end), 0xEE, 8);
                const Value v(at);
                const double expected = double(m) / detail::kPow10[places];
                double got = -1;
                EXPECT_TRUE(v.is_number());
                EXPECT_EQ(int(v.kind()), int(places ? Kind::Double : Kind::UInt)) << m << " " << places;
                ASSERT_TRUE(v.get_double(got));
                EXPECT_EQ(got, expected) << m << " " << places;
                int64_t i = -1;
                EXPECT_EQ(v.get_i64(i), places == 0) << m;
                if (places == 0) {
                    EXPECT_EQ(i, int64_t(m));
                }
                EXPECT_EQ(v.end(), end);
                const uint8_t* q = at;
                EXPECT_EQ(detail::pair_number(q), expected) << m << " " << places;
                EXPECT_EQ(q, end);
            }
}

}  // namespace
