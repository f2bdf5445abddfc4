// The fast message path (library parser, tape conversion, envelope rules)
// against the exact parser followed by the same rules on the value tree.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "parse/json.hpp"
#include "value_dump.hpp"

using namespace palisar::json;

namespace {

struct Outcome {
    LineParser::Message kind;
    std::string text;  // dump of the kept changes, or the error
    int64_t publish_time = 0;
};

Outcome fast(LineParser& p, std::string line) {
    line.reserve(line.size() + kLinePadding);
    Arena arena;
    Value changes;
    Outcome o;
    std::string error;
    o.kind = p.parse_message(line, arena, changes, o.publish_time, error);
    if (o.kind == LineParser::Message::Keep) o.text = dump(changes);
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
    const char* files[] = {"/work/shared/data/greyhound-win-1.197931750",
                           "/work/shared/data/greyhound-place-1.197931751",
                           "/work/shared/data/football-match-odds-1.200806927"};
    std::vector<std::string> lines;
    for (const char* f : files) {
        std::ifstream in(f);
        std::string line;
        size_t n = 0;
        while (std::getline(in, line))
            if (n++ % 5 == 0) lines.push_back(line);
    }
    if (lines.empty()) GTEST_SKIP() << "the recorded prices files are not available";
    LineParser p;
    std::mt19937 rng(12345);
    const char junk[] = "{}[],:\"0123456789-.eE tfn\\";
    for (const std::string& line : lines) {
        expect_same(p, line);
        std::string m = line;
        std::uniform_int_distribution<size_t> at(0, m.size() - 1);
        m[at(rng)] = junk[rng() % (sizeof junk - 1)];
        expect_same(p, m);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
