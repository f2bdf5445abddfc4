// Market cache: the order in which one market change is applied, the
// market-level keys, images and the runner counts.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "market/market.hpp"
#include "market_test_json.hpp"

namespace palisar::market {
namespace {

using testing::Doc;

void apply(MarketCache& c, const char* change, int64_t pt = 1) { update(c, Doc(change), pt); }

TEST(MarketUpdate, NonObjectChangeOnlyMovesPublishTimeAndRecounts) {
    for (const char* change : {"5", "[1,2]", "null", "\"img\"", "true"}) {
        MarketCache c("1.23");
        apply(c, R"({"rc":[{"id":1},{"id":2,"status":"REMOVED"}],"tv":3})", 10);
        // Counts are recomputed for any change; make them stale to see it.
        c.number_of_runners = 99;
        c.number_of_active_runners = 99;
        apply(c, change, 20);
        EXPECT_EQ(c.publish_time_epoch, 20);
        EXPECT_EQ(c.number_of_runners, 2);
        EXPECT_EQ(c.number_of_active_runners, 1);
        EXPECT_EQ(c.total_matched, 3.0);
        EXPECT_EQ(c.definition_count, 0u);
        EXPECT_EQ(c.market_id, "1.23");
    }
}

TEST(MarketUpdate, ImageEmptiesRunnersOnly) {
    MarketCache c;
    apply(c, R"({"rc":[{"id":1},{"id":2},{"id":3}],"status":"SUSPENDED","tv":50,"version":4,
                 "marketDefinition":{"venue":"V","runners":[{"id":1}]}})");
    ASSERT_EQ(c.number_of_runners, 3);
    apply(c, R"({"img":true})", 2);
    EXPECT_TRUE(c.runners.empty());
    EXPECT_EQ(c.number_of_runners, 0);
    EXPECT_EQ(c.number_of_active_runners, 0);
    EXPECT_EQ(c.status, "SUSPENDED");
    EXPECT_EQ(c.total_matched, 50.0);
    EXPECT_EQ(c.version, 4);
    EXPECT_EQ(c.venue, "V");
    EXPECT_EQ(c.definition_runners.size(), 1u);
    EXPECT_EQ(c.definition_count, 1u);
}

TEST(MarketUpdate, OnlyLiteralTrueIsAnImage) {
    MarketCache c;
    apply(c, R"({"rc":[{"id":1}]})");
    for (const char* change : {R"({"img":false})", R"({"img":1})", R"({"img":"true"})", R"({"img":null})"}) {
        apply(c, change);
        EXPECT_EQ(c.number_of_runners, 1) << change;
    }
}

TEST(MarketUpdate, ImageRebuildsRunnersFromThisChangeOnly) {
    MarketCache c;
    apply(c, R"({"rc":[{"id":1,"ltp":5,"atb":[[2,3]]},{"id":2},{"id":3}]})");
    RunnerCache* old_one = c.runners.find({1, 0});
    old_one->cached_runner.stamp = 77;  // a marker that must not survive
    apply(c, R"({"img":true,"marketDefinition":{"runners":[{"id":1},{"id":4}]},
                 "rc":[{"id":5,"ltp":2}]})");
    EXPECT_EQ(c.number_of_runners, 3);
    EXPECT_EQ(c.runners.find({2, 0}), nullptr);
    EXPECT_EQ(c.runners.find({3, 0}), nullptr);
    const RunnerCache* one = c.runners.find({1, 0});
    ASSERT_NE(one, nullptr);
    EXPECT_FALSE(one->last_price_traded.has_value());
    EXPECT_TRUE(one->available_to_back.empty());
    EXPECT_EQ(one->cached_runner.stamp, 0u);
    EXPECT_EQ(one->change_count, 1u);  // from its definition runner
    ASSERT_NE(c.runners.find({5, 0}), nullptr);
    EXPECT_EQ(c.runners.find({5, 0})->last_price_traded, 2.0);
}

TEST(MarketUpdate, TopLevelValuesWinOverTheDefinition) {
    MarketCache c;
    apply(c, R"({"status":"SUSPENDED","betDelay":3,"inPlay":false,"version":9,"complete":false,
                 "bspReconciled":false,"crossMatching":false,"runnersVoidable":false,
                 "marketDefinition":{"status":"OPEN","betDelay":5,"inPlay":true,"version":8,
                   "complete":true,"bspReconciled":true,"crossMatching":true,"runnersVoidable":true}})");
    EXPECT_EQ(c.status, "SUSPENDED");
    EXPECT_EQ(c.bet_delay, 3);
    EXPECT_FALSE(c.in_play);
    EXPECT_EQ(c.version, 9);
    EXPECT_FALSE(c.complete);
    EXPECT_FALSE(c.bsp_reconciled);
    EXPECT_FALSE(c.cross_matching);
    EXPECT_FALSE(c.runners_voidable);
}

TEST(MarketUpdate, RunnerChangesComeAfterDefinitionRunners) {
    MarketCache c;
    apply(c, R"({"rc":[{"id":1,"status":"ACTIVE"}],
                 "marketDefinition":{"runners":[{"id":1,"status":"REMOVED"}]}})");
    EXPECT_EQ(c.runners.find({1, 0})->status, "ACTIVE");
    EXPECT_EQ(c.number_of_active_runners, 1);
}

// One market-level key with one value, against the cache's initial state.
struct TopLevelCase {
    const char* name;
    const char* change;
    void (*check)(const MarketCache&);
};
class MarketTopLevel : public ::testing::TestWithParam<TopLevelCase> {};

TEST_P(MarketTopLevel, Applies) {
    MarketCache c;
    apply(c, GetParam().change);
    GetParam().check(c);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, MarketTopLevel,
    ::testing::Values(
        TopLevelCase{"tv_integer", R"({"tv":12})", [](const MarketCache& c) { EXPECT_EQ(c.total_matched, 12.0); }},
        TopLevelCase{"tv_null", R"({"tv":null})", [](const MarketCache& c) { EXPECT_EQ(c.total_matched, 0.0); }},
        TopLevelCase{"tv_text", R"({"tv":"12"})", [](const MarketCache& c) { EXPECT_EQ(c.total_matched, 0.0); }},
        TopLevelCase{"bet_delay_double", R"({"betDelay":5.0})", [](const MarketCache& c) { EXPECT_EQ(c.bet_delay, 0); }},
        TopLevelCase{"bet_delay_low_bits", R"({"betDelay":4294967301})",
                     [](const MarketCache& c) { EXPECT_EQ(c.bet_delay, 5); }},
        TopLevelCase{"version", R"({"version":4638141907})", [](const MarketCache& c) { EXPECT_EQ(c.version, 4638141907); }},
        TopLevelCase{"version_too_big", R"({"version":18446744073709551615})",
                     [](const MarketCache& c) { EXPECT_EQ(c.version, 0); }},
        TopLevelCase{"last_match_time", R"({"lastMatchTime":1657018212979})",
                     [](const MarketCache& c) { EXPECT_EQ(c.last_match_time, 1657018212979); }},
        TopLevelCase{"status_number", R"({"status":1})", [](const MarketCache& c) { EXPECT_EQ(c.status, "OPEN"); }},
        // Definition-only fields are not read from the top level.
        TopLevelCase{"definition_only_keys", R"({"numberOfWinners":3,"venue":"V","marketBaseRate":2})",
                     [](const MarketCache& c) {
                         EXPECT_EQ(c.number_of_winners, 1);
                         EXPECT_FALSE(c.venue.has_value());
                         EXPECT_EQ(c.market_base_rate, 0.0);
                     }},
        TopLevelCase{"rc_not_array", R"({"rc":{"id":1}})", [](const MarketCache& c) { EXPECT_TRUE(c.runners.empty()); }},
        TopLevelCase{"rc_skips_bad_elements", R"({"rc":[1,null,{"id":1.0},{"id":2}]})",
                     [](const MarketCache& c) { EXPECT_EQ(c.number_of_runners, 1); }}),
    [](const ::testing::TestParamInfo<TopLevelCase>& info) { return std::string(info.param.name); });

TEST(MarketUpdate, NullNeverClearsAnEarlierValue) {
    MarketCache c;
    apply(c, R"({"tv":5,"lastMatchTime":7,"status":"CLOSED","version":3})");
    apply(c, R"({"tv":null,"lastMatchTime":null,"status":null,"version":null})");
    EXPECT_EQ(c.total_matched, 5.0);
    EXPECT_EQ(c.last_match_time, 7);
    EXPECT_EQ(c.status, "CLOSED");
    EXPECT_EQ(c.version, 3);
}

TEST(MarketCounts, OnlyExactActiveCounts) {
    MarketCache c;
    apply(c, R"({"rc":[{"id":1},{"id":2,"status":"active"},{"id":3,"status":"REMOVED"},
                       {"id":4,"status":"ACTIVE "},{"id":5,"hc":1}]})");
    EXPECT_EQ(c.number_of_runners, 5);
    EXPECT_EQ(c.number_of_active_runners, 2);
    apply(c, R"({"rc":[{"id":3,"status":"ACTIVE"}]})");
    EXPECT_EQ(c.number_of_active_runners, 3);
}

TEST(MarketCounts, KeptCountMatchesARecountOverRandomChanges) {
    // Statuses from runner changes and definition runners, new runners, images.
    const char* const statuses[] = {"", R"(,"status":"ACTIVE")", R"(,"status":"active")", R"(,"status":null)"};
    std::mt19937 rng(20241208);
    auto runners = [&](std::string list) {
        for (unsigned n = rng() % 4; n > 0; --n) list += R"({"id":)" + std::to_string(rng() % 12) + statuses[rng() % 4] + "},";
        return list + R"({"id":0}])";
    };
    MarketCache c;
    for (int step = 0; step < 3000; ++step) {
        std::string change = (rng() % 40 ? "{" : R"({"img":true,)") + (R"("rc":)" + runners("["));
        if (rng() % 6 == 0) change += R"(,"marketDefinition":{"runners":)" + runners("[") + "}";
        apply(c, (change += "}").c_str());
        int32_t active = 0;
        for (const RunnerCache& r : c.runners) active += r.status.text() == "ACTIVE";
        ASSERT_EQ(c.number_of_active_runners, active) << change;
    }
}

TEST(MarketCounts, DefinitionOmittingARunnerKeepsIt) {
    MarketCache c;
    apply(c, R"({"marketDefinition":{"runners":[{"id":1},{"id":2}],"numberOfActiveRunners":9}})");
    apply(c, R"({"marketDefinition":{"runners":[{"id":2}],"numberOfRunners":1}})");
    EXPECT_EQ(c.number_of_runners, 2);
    EXPECT_EQ(c.number_of_active_runners, 2);
    EXPECT_NE(c.runners.find({1, 0}), nullptr);
}

TEST(MarketUpdate, RunnerChangesForOneRunnerApplyInOrder) {
    MarketCache c;
    apply(c, R"({"rc":[{"id":1,"atb":[[2,5]],"ltp":2},{"id":1,"atb":[[2,0],[3,1]],"ltp":3}]})");
    const RunnerCache* r = c.runners.find({1, 0});
    EXPECT_EQ(r->available_to_back.to_price_sizes(), (std::vector<std::pair<double, double>>{{3, 1}}));
    EXPECT_EQ(r->last_price_traded, 3.0);
    EXPECT_EQ(r->change_count, 2u);
    EXPECT_EQ(r->available_to_back.change_count(), 2u);
}

// A change of another market is not applied at all, not even its publish
// time; one without a usable id ("", a number) is.
TEST(MarketUpdate, ChangeForAnotherMarketIsNotApplied) {
    MarketCache c("1.1");
    EXPECT_FALSE(update(c, Doc(R"({"id":"1.2","tv":4,"rc":[{"id":1}]})"), 5));
    EXPECT_EQ(c.market_id, "1.1");
    EXPECT_EQ(c.total_matched, 0.0);
    EXPECT_EQ(c.number_of_runners, 0);
    EXPECT_EQ(c.publish_time_epoch, 0);
    for (const char* change : {R"({"id":"1.1","tv":4})", R"({"id":"","tv":4})", R"({"id":7,"tv":4})"}) {
        EXPECT_TRUE(update(c, Doc(change), 6)) << change;
        EXPECT_EQ(c.total_matched, 4.0) << change;
        c.total_matched = 0.0;
    }
    // Ids of every length around the word compare's, one byte different at
    // each place, are other markets; the same id is this one.
    for (size_t n = 1; n <= 20; ++n) {
        std::string own(n, '1');
        MarketCache d(own);
        for (size_t i = 0; i < n; ++i) {
            std::string other = own;
            other[i] = '2';
            EXPECT_FALSE(update(d, Doc(R"({"id":")" + other + R"(","tv":4})"), 5)) << other;
        }
        EXPECT_FALSE(update(d, Doc(R"({"id":")" + own + R"(1","tv":4})"), 5)) << own;
        EXPECT_TRUE(update(d, Doc(R"({"id":")" + own + R"(","tv":4})"), 5)) << own;
        EXPECT_EQ(d.total_matched, 4.0) << own;
    }
}

}  // namespace
}  // namespace palisar::market
