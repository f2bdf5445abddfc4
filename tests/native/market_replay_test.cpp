// Replays the recorded prices files through the market cache alone and checks
// it, after every message, against invariants and against a plain reference
// model built straight from the parsed JSON.

#include <gtest/gtest.h>
#include <simdjson.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>

#include "market/market.hpp"
#include "market_test_json.hpp"
#include "recorded_data.hpp"

namespace palisar::market {
namespace {

// The reference: ladders as ordered maps by price bit pattern, plus the few
// runner values that are easy to track on the side.
struct RefLadder {
    std::map<uint64_t, double> levels;
    uint64_t change_count = 0;
};
struct RefRunner {
    RefLadder ladders[5];  // atb, atl, trd, spb, spl
    std::string status = "ACTIVE";
    std::optional<double> ltp;
    double tv = 0.0;
};
const char* const kLadderKeys[5] = {"atb", "atl", "trd", "spb", "spl"};

void ref_ladder_update(RefLadder& l, simdjson::dom::array deltas) {
    bool changed = false;
    for (simdjson::dom::element d : deltas) {
        simdjson::dom::array pair;
        if (d.get(pair) || pair.size() < 2) continue;
        double price = 0.0, size = 0.0;
        if (pair.at(0).get(price)) price = 0.0;
        const bool store = !pair.at(1).get(size) && size != 0.0;
        const uint64_t bits = std::bit_cast<uint64_t>(price);
        auto it = l.levels.find(bits);
        if (store) {
            if (it == l.levels.end() || it->second != size) changed = true;
            l.levels[bits] = size;
        } else if (it != l.levels.end()) {
            l.levels.erase(it);
            changed = true;
        }
    }
    if (changed) ++l.change_count;
}

const PriceLadder& ladder_of(const RunnerCache& r, int k) {
    switch (k) {
        case 0: return r.available_to_back;
        case 1: return r.available_to_lay;
        case 2: return r.traded_volume;
        case 3: return r.lay_liability_taken;
        default: return r.back_stake_taken;
    }
}

void check_invariants(MarketCache& c) {
    ASSERT_EQ(size_t(c.number_of_runners), c.runners.size());
    int32_t active = 0;
    for (const RunnerCache& r : c.runners) active += r.status == "ACTIVE";
    ASSERT_EQ(c.number_of_active_runners, active);
    const std::vector<RunnerCache*>& order = c.runners.runners_in_order();
    ASSERT_EQ(order.size(), c.runners.size());
    for (size_t i = 1; i < order.size(); ++i) ASSERT_LT(order[i - 1]->key(), order[i]->key());
    for (const RunnerCache* r : order) {
        for (int k = 0; k < 5; ++k) {
            const PriceLadder& l = ladder_of(*r, k);
            bool first = true;
            double last = 0.0;
            l.for_each_level([&](double price, double size) {
                EXPECT_NE(size, 0.0);
                if (!first) {
                    EXPECT_TRUE(l.descending() ? last > price : last < price);
                }
                first = false;
                last = price;
            });
        }
    }
}

// Every runner and ladder of the cache equals the reference.
void compare_with_reference(const MarketCache& c, const std::map<RunnerKey, RefRunner>& ref, size_t& levels) {
    ASSERT_EQ(c.runners.size(), ref.size());
    for (const auto& [key, rr] : ref) {
        const RunnerCache* r = c.runners.find(key);
        ASSERT_NE(r, nullptr) << key.selection_id;
        EXPECT_EQ(r->status, rr.status);
        EXPECT_EQ(r->last_price_traded, rr.ltp);
        EXPECT_EQ(r->total_matched, rr.tv);
        for (int k = 0; k < 5; ++k) {
            const PriceLadder& l = ladder_of(*r, k);
            const RefLadder& expected = rr.ladders[k];
            EXPECT_EQ(l.change_count(), expected.change_count) << kLadderKeys[k];
            ASSERT_EQ(l.size(), expected.levels.size()) << kLadderKeys[k];
            for (const auto& [bits, size] : expected.levels) {
                const double* got = l.find(std::bit_cast<double>(bits));
                ASSERT_NE(got, nullptr);
                EXPECT_EQ(*got, size);
            }
            levels += l.size();
        }
    }
}

class RecordedReplay : public ::testing::TestWithParam<const char*> {};

TEST_P(RecordedReplay, MatchesReferenceAndKeepsInvariants) {
    const std::string path = test_data::recorded_data_dir() + GetParam();
    if (!std::filesystem::exists(path)) SKIP_WITHOUT_RECORDED_DATA(path << " not present");

    std::ifstream in(path);
    simdjson::dom::parser parser;
    json::Builder builder;
    std::optional<MarketCache> cache;
    std::map<RunnerKey, RefRunner> ref;
    uint64_t definitions = 0;
    int64_t last_pt = 0;
    size_t messages = 0, changes = 0, levels_compared = 0;
    std::string line;
    while (std::getline(in, line)) {
        simdjson::dom::element msg;
        ASSERT_FALSE(parser.parse(line).get(msg)) << "line " << messages + 1;
        int64_t pt;
        simdjson::dom::array mc;
        if (msg["pt"].get(pt) || msg["mc"].get(mc)) continue;
        ++messages;
        for (simdjson::dom::element item : mc) {
            std::string_view id;
            if (!cache && !item["id"].get(id)) cache.emplace(std::string(id));
            if (!cache) continue;
            builder.clear();
            testing::encode_element(item, builder);
            update(*cache, json::Value(builder.data()), pt);
            ++changes;
            last_pt = pt;

            // The same change, applied to the reference.
            bool img = false;
            if (!item["img"].get(img) && img) ref.clear();
            simdjson::dom::element def;
            if (!item["marketDefinition"].get(def)) {
                ++definitions;
                simdjson::dom::array runners;
                if (!def["runners"].get(runners)) {
                    for (simdjson::dom::element r : runners) {
                        int64_t sel;
                        if (r["id"].get(sel)) continue;
                        double hc = 0.0;
                        if (r["hc"].get(hc)) hc = 0.0;
                        RefRunner& rr = ref[RunnerKey{sel, std::llround(hc * 100.0)}];
                        std::string_view status;
                        if (!r["status"].get(status)) rr.status = status;
                    }
                }
            }
            simdjson::dom::array rcs;
            if (!item["rc"].get(rcs)) {
                for (simdjson::dom::element r : rcs) {
                    int64_t sel;
                    if (r["id"].get(sel)) continue;
                    double hc = 0.0;
                    if (r["hc"].get(hc)) hc = 0.0;
                    RefRunner& rr = ref[RunnerKey{sel, std::llround(hc * 100.0)}];
                    std::string_view status;
                    if (!r["status"].get(status)) rr.status = status;
                    double v;
                    if (!r["ltp"].get(v)) rr.ltp = v;
                    if (!r["tv"].get(v)) rr.tv = v;
                    for (int k = 0; k < 5; ++k) {
                        simdjson::dom::array deltas;
                        if (!r[kLadderKeys[k]].get(deltas)) ref_ladder_update(rr.ladders[k], deltas);
                    }
                }
            }
        }
        if (!cache) continue;
        check_invariants(*cache);
        if (messages % 64 == 0) compare_with_reference(*cache, ref, levels_compared);
        if (::testing::Test::HasFatalFailure()) return;
    }
    ASSERT_TRUE(cache.has_value());
    EXPECT_GT(messages, 0u);
    EXPECT_EQ(cache->publish_time_epoch, last_pt);
    EXPECT_EQ(cache->definition_count, definitions);
    EXPECT_GT(cache->definition_count, 0u);

    compare_with_reference(*cache, ref, levels_compared);
    // The recorded markets end closed with empty books, so count the levels
    // compared on the way.
    EXPECT_GT(levels_compared, 0u);
    RecordProperty("market_changes", int(changes));
}

INSTANTIATE_TEST_SUITE_P(Files, RecordedReplay,
                         ::testing::Values("football-match-odds-1.200806927", "greyhound-place-1.197931751",
                                           "greyhound-win-1.197931750"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

}  // namespace
}  // namespace palisar::market
