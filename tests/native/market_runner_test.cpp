// Runner caches: identity, change counting, starting-price values, the runner
// map's listing order, and release of the objects held in reuse slots.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "market/market.hpp"
#include "market/runner.hpp"
#include "market_test_json.hpp"

namespace palisar::market {
namespace {

using testing::Doc;
using testing::Parsed;
using Levels = std::vector<std::pair<double, double>>;

// `parsed`: as the line parser stores the text (keys as ids, packed lists).
void apply(RunnerMap& m, const char* change, bool parsed = false) {
    if (parsed) apply_runner_change(m, Parsed(change));
    else apply_runner_change(m, Doc(change));
}
void apply_def(RunnerMap& m, const char* runner) { apply_definition_runner(m, Doc(runner)); }

// ---- handicap keys -------------------------------------------------------------

struct HandicapCase {
    double handicap;
    int64_t key;
};
class HandicapKey : public ::testing::TestWithParam<HandicapCase> {};

TEST_P(HandicapKey, RoundsHalfAwayAndSaturates) {
    EXPECT_EQ(handicap_key(GetParam().handicap), GetParam().key) << GetParam().handicap;
}

INSTANTIATE_TEST_SUITE_P(
    Values, HandicapKey,
    ::testing::Values(HandicapCase{0.0, 0}, HandicapCase{-0.0, 0}, HandicapCase{0.25, 25},
                      HandicapCase{-1.5, -150}, HandicapCase{0.005, 1}, HandicapCase{-0.005, -1},
                      HandicapCase{1.005, 100},  // 1.005 * 100 is just below 100.5
                      HandicapCase{0.004, 0},
                      HandicapCase{2.675, 268},  // the product is exactly 267.5
                      HandicapCase{-2.675, -268},
                      HandicapCase{std::nan(""), 0}, HandicapCase{1e300, INT64_MAX},
                      HandicapCase{-1e300, INT64_MIN},
                      HandicapCase{std::numeric_limits<double>::infinity(), INT64_MAX},
                      HandicapCase{-std::numeric_limits<double>::infinity(), INT64_MIN},
                      HandicapCase{1e16, 1000000000000000000}, HandicapCase{9.3e16, INT64_MAX},
                      HandicapCase{-9.3e16, INT64_MIN}));

// ---- identity ------------------------------------------------------------------

TEST(RunnerIdentity, IdOnlyCreatesFreshRunner) {
    RunnerMap m;
    apply(m, R"({"id":5})");
    ASSERT_EQ(m.size(), 1u);
    const RunnerCache* r = m.find({5, 0});
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->status, "ACTIVE");
    EXPECT_EQ(r->change_count, 0u);
    EXPECT_EQ(r->handicap, 0.0);
    EXPECT_TRUE(r->near_price.is_absent());
    EXPECT_FALSE(r->last_price_traded.has_value());
    EXPECT_TRUE(r->available_to_back.empty());
}

TEST(RunnerIdentity, UnusableIdsAreIgnoredWithTheirPrices) {
    RunnerMap m;
    for (const char* change : {R"({"id":5.0,"atb":[[2,3]]})", R"({"id":"5","ltp":2})",
                               R"({"atb":[[2,3]]})", R"({"id":9223372036854775808,"tv":1})",
                               R"({"id":null,"spn":1})", R"([{"id":5}])", R"(5)"}) {
        apply(m, change);
        apply_def(m, change);
    }
    EXPECT_EQ(m.size(), 0u);
}

TEST(RunnerIdentity, HandicapsWithTheSameKeyShareACache) {
    RunnerMap m;
    apply(m, R"({"id":5,"hc":0.001,"ltp":2})");
    apply(m, R"({"id":5,"hc":0.004,"ltp":3})");
    apply(m, R"({"id":5,"hc":"x","tv":7})");  // not a number: handicap 0.0, same key
    ASSERT_EQ(m.size(), 1u);
    const RunnerCache* r = m.find({5, 0});
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->handicap, 0.001);
    EXPECT_EQ(r->last_price_traded, 3.0);
    EXPECT_EQ(r->total_matched, 7.0);
    EXPECT_EQ(r->change_count, 3u);

    apply(m, R"({"id":5,"hc":-1.5})");
    apply(m, R"({"id":6,"hc":0.25})");
    EXPECT_NE(m.find({5, -150}), nullptr);
    EXPECT_NE(m.find({6, 25}), nullptr);
    EXPECT_EQ(m.size(), 3u);
}

// ---- change counting ------------------------------------------------------------

// Applies `first` then `second` to runner 1 and checks how much the second
// one raised change_count.
struct CountCase {
    const char* name;
    const char* first;
    const char* second;
    uint64_t second_counts;
};
class RunnerChangeCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(RunnerChangeCount, SecondChange) {
    for (bool parsed : {false, true}) {
        RunnerMap m;
        apply(m, GetParam().first, parsed);
        const uint64_t before = m.find({1, 0})->change_count;
        apply(m, GetParam().second, parsed);
        EXPECT_EQ(m.find({1, 0})->change_count - before, GetParam().second_counts) << (parsed ? "parsed" : "generic");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunnerChangeCount,
    ::testing::Values(
        CountCase{"ltp_repeated", R"({"id":1,"ltp":3.5})", R"({"id":1,"ltp":3.5})", 0},
        CountCase{"ltp_moved", R"({"id":1,"ltp":3.5})", R"({"id":1,"ltp":3.6})", 1},
        CountCase{"ltp_null", R"({"id":1,"ltp":3.5})", R"({"id":1,"ltp":null})", 0},
        CountCase{"tv_repeated", R"({"id":1,"tv":10})", R"({"id":1,"tv":10})", 0},
        CountCase{"tv_zero_on_new_runner", R"({"id":1})", R"({"id":1,"tv":0})", 0},
        CountCase{"status_same", R"({"id":1})", R"({"id":1,"status":"ACTIVE"})", 0},
        CountCase{"status_case", R"({"id":1})", R"({"id":1,"status":"active"})", 1},
        CountCase{"adjustment_first", R"({"id":1})", R"({"id":1,"adjustmentFactor":0})", 1},
        CountCase{"adjustment_same", R"({"id":1,"adjustmentFactor":12.5})",
                  R"({"id":1,"adjustmentFactor":12.5})", 0},
        CountCase{"removal_first", R"({"id":1})", R"({"id":1,"removalDate":"2022-01-01"})", 1},
        CountCase{"removal_same", R"({"id":1,"removalDate":"x"})", R"({"id":1,"removalDate":"x"})", 0},
        CountCase{"spn_repeated", R"({"id":1,"spn":2.5})", R"({"id":1,"spn":2.5})", 1},
        CountCase{"ladder_unchanged", R"({"id":1,"atb":[[2,5]]})", R"({"id":1,"atb":[[2,5]]})", 0},
        CountCase{"ladder_not_array", R"({"id":1})", R"({"id":1,"atb":{"2":5},"atl":7,"trd":null})", 0},
        CountCase{"ladder_empty", R"({"id":1})", R"({"id":1,"atb":[],"spb":[]})", 0},
        CountCase{"several_keys_count_once", R"({"id":1})",
                  R"({"id":1,"ltp":2,"tv":3,"atb":[[2,1]],"atl":[[3,1]],"trd":[[2,3]],"spn":1,"spf":2})", 1},
        CountCase{"unknown_keys", R"({"id":1})", R"({"id":1,"bsp":3,"name":"x","hc":0})", 0},
        CountCase{"unlisted_keys", R"({"id":1})", R"({"id":1,"x":3,"a\u0074c":[[2,1]],"atb ":[[2,1]]})", 0},
        CountCase{"escaped_key_is_the_key", R"({"id":1})", R"({"id":1,"\u0061tb":[[2,1]]})", 1}),
    [](const ::testing::TestParamInfo<CountCase>& info) { return std::string(info.param.name); });

// Signed zeros compare equal as doubles: a -0.0 after 0.0 is not written.
TEST(RunnerChangeCountZeros, NegativeZeroAfterZeroIsNoChange) {
    RunnerMap m;
    apply(m, R"({"id":1,"ltp":0,"adjustmentFactor":0,"tv":0.5})");
    apply(m, R"({"id":1,"tv":0})");
    const RunnerCache* r = m.find({1, 0});
    const uint64_t before = r->change_count;
    for (const char* key : {"ltp", "tv", "adjustmentFactor"}) {
        json::Builder b;
        b.begin_object();
        b.key("id");
        b.uint(1);
        b.key(key);
        b.number(-0.0);
        b.end_container();
        apply_runner_change(m, json::Value(b.data()));
    }
    EXPECT_EQ(r->change_count, before);
    EXPECT_FALSE(std::signbit(*r->last_price_traded));
    EXPECT_FALSE(std::signbit(r->total_matched));
    EXPECT_FALSE(std::signbit(*r->adjustment_factor));
}

// Runner changes as the tests write them (generic) and as the line parser
// stores them (keys as ids, packed lists) give the same runner.
class RunnerChangeForms : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(StoredForms, RunnerChangeForms, ::testing::Values(false, true));

TEST_P(RunnerChangeForms, FieldsAndLaddersLandWhereTheyBelong) {
    RunnerMap m;
    apply(m, R"({"id":1,"status":"REMOVED","adjustmentFactor":12.5,"ltp":3.5,"tv":100.25,
                 "removalDate":"2022-07-11T10:00:00.000Z",
                 "spb":[[1.5,1],[2.5,2]],"spl":[[1.5,3],[2.5,4]],
                 "atb":[[1.5,5],[2.5,6]],"atl":[[1.5,7],[2.5,8]],"trd":[[1.5,9],[2.5,10]],
                 "spn":4.5,"spf":"Infinity"})",
          GetParam());
    const RunnerCache* r = m.find({1, 0});
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->status, "REMOVED");
    EXPECT_EQ(r->adjustment_factor, 12.5);
    EXPECT_EQ(r->last_price_traded, 3.5);
    EXPECT_EQ(r->total_matched, 100.25);
    EXPECT_EQ(r->removal_date, "2022-07-11T10:00:00.000Z");
    // "spb" feeds the lay liability taken (highest first), "spl" the back
    // stake taken (lowest first).
    EXPECT_EQ(r->lay_liability_taken.to_price_sizes(), (Levels{{2.5, 2}, {1.5, 1}}));
    EXPECT_EQ(r->back_stake_taken.to_price_sizes(), (Levels{{1.5, 3}, {2.5, 4}}));
    EXPECT_EQ(r->available_to_back.to_price_sizes(), (Levels{{2.5, 6}, {1.5, 5}}));
    EXPECT_EQ(r->available_to_lay.to_price_sizes(), (Levels{{1.5, 7}, {2.5, 8}}));
    EXPECT_EQ(r->traded_volume.to_price_sizes(), (Levels{{1.5, 9}, {2.5, 10}}));
    EXPECT_TRUE(r->near_price.is_number());
    EXPECT_EQ(r->near_price.number(), 4.5);
    EXPECT_TRUE(r->far_price.is_text());
    EXPECT_EQ(r->far_price.text(), "Infinity");
    EXPECT_TRUE(r->actual_sp.is_absent());
    EXPECT_EQ(r->change_count, 1u);
    // Only the ladders that changed move their own counters.
    apply(m, R"({"id":1,"atl":[[1.5,7.5]]})", GetParam());
    EXPECT_EQ(r->available_to_lay.change_count(), 2u);
    EXPECT_EQ(r->available_to_back.change_count(), 1u);
    EXPECT_EQ(r->change_count, 2u);
}

// Copies and moves (as a runner object takes them), over a target of every
// kind, keep the kind and its value.
void expect_copies_keep(const SpValue& v) {
    SpValue targets[3];
    targets[1].set_number(9.0);
    targets[2].set_text("was a text");
    for (SpValue& t : targets) {
        SpValue copied = t, moved = t, source = v, other = v;
        copied = v;
        moved = std::move(source);
        SpValue built(std::move(other));
        for (const SpValue* c : {&copied, &moved, &built}) {
            EXPECT_EQ(c->kind(), v.kind());
            EXPECT_TRUE(*c == v);
            if (v.is_number()) {
                EXPECT_EQ(c->number(), v.number());
            }
        }
    }
}

TEST(RunnerChange, StartingPriceValueKinds) {
    RunnerMap m;
    apply(m, R"({"id":1,"spn":2.5,"spf":3})");
    const RunnerCache* r = m.find({1, 0});
    EXPECT_EQ(r->far_price.number(), 3.0);
    expect_copies_keep(r->far_price);
    apply(m, R"({"id":1,"spn":null,"spf":"NaN"})");
    EXPECT_TRUE(r->near_price.is_absent());
    EXPECT_EQ(r->far_price.text(), "NaN");
    expect_copies_keep(r->near_price);
    expect_copies_keep(r->far_price);
    apply(m, R"({"id":1,"spn":true,"spf":[1]})");
    EXPECT_TRUE(r->near_price.is_absent());
    EXPECT_TRUE(r->far_price.is_absent());
    // A value that was a text and is no longer one copies as what it is now.
    expect_copies_keep(r->far_price);
    apply(m, R"({"id":1,"spn":{"a":1},"spf":-7})");
    EXPECT_TRUE(r->near_price.is_absent());
    EXPECT_EQ(r->far_price.number(), -7.0);
    expect_copies_keep(r->far_price);
    EXPECT_EQ(r->change_count, 4u);
}

TEST_P(RunnerChangeForms, LastDuplicateKeyWins) {
    RunnerMap m;
    apply(m, R"({"id":1,"ltp":2,"ltp":3,"id":2,"atb":[[2,1]],"\u0061tb":[[3,1]],"\u006ctp":4})", GetParam());
    EXPECT_EQ(m.find({1, 0}), nullptr);
    ASSERT_NE(m.find({2, 0}), nullptr);
    EXPECT_EQ(m.find({2, 0})->last_price_traded, 4.0);
    EXPECT_EQ(m.find({2, 0})->available_to_back.to_price_sizes(), (Levels{{3, 1}}));
}

// ---- definition runners ------------------------------------------------------------

TEST(DefinitionRunner, CountsEveryTimeAndResetsStartingPrice) {
    RunnerMap m;
    apply_def(m, R"({"id":1,"bsp":4.2})");
    const RunnerCache* r = m.find({1, 0});
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->change_count, 1u);
    EXPECT_EQ(r->actual_sp.number(), 4.2);
    apply_def(m, R"({"id":1})");
    EXPECT_TRUE(r->actual_sp.is_absent());
    EXPECT_EQ(r->change_count, 2u);
    apply_def(m, R"({"id":1})");  // nothing differs, still counts
    EXPECT_EQ(r->change_count, 3u);
    apply_def(m, R"({"id":1,"bsp":"NaN"})");
    EXPECT_EQ(r->actual_sp.text(), "NaN");
    apply_def(m, R"({"id":1,"bsp":false})");
    EXPECT_TRUE(r->actual_sp.is_absent());
}

TEST(DefinitionRunner, WritesOnlyItsOwnFields) {
    RunnerMap m;
    apply(m, R"({"id":1,"ltp":3,"tv":5,"spn":2,"atb":[[2,1]],"adjustmentFactor":10})");
    const RunnerCache* r = m.find({1, 0});
    apply_def(m, R"({"id":1,"status":"REMOVED","adjustmentFactor":20,"removalDate":"d",
                     "ltp":9,"tv":9,"spn":9,"atb":[[2,0]],"hc":0})");
    EXPECT_EQ(r->status, "REMOVED");
    EXPECT_EQ(r->adjustment_factor, 20.0);
    EXPECT_EQ(r->removal_date, "d");
    EXPECT_EQ(r->last_price_traded, 3.0);
    EXPECT_EQ(r->total_matched, 5.0);
    EXPECT_EQ(r->near_price.number(), 2.0);
    EXPECT_EQ(r->available_to_back.size(), 1u);
    // Mistyped values leave the fields alone.
    apply_def(m, R"({"id":1,"status":null,"adjustmentFactor":"x","removalDate":5})");
    EXPECT_EQ(r->status, "REMOVED");
    EXPECT_EQ(r->adjustment_factor, 20.0);
    EXPECT_EQ(r->removal_date, "d");
    // A later runner change can make it active again.
    apply(m, R"({"id":1,"status":"ACTIVE"})");
    EXPECT_EQ(r->status, "ACTIVE");
}

// ---- runner map --------------------------------------------------------------------

bool sorted_by_key(const std::vector<RunnerCache*>& order) {
    for (size_t i = 1; i < order.size(); ++i)
        if (!(order[i - 1]->key() < order[i]->key())) return false;
    return true;
}

TEST(RunnerMapOrder, ListsInKeyOrderAcrossInsertsAndClears) {
    RunnerMap m;
    std::mt19937_64 rng(7);
    std::map<RunnerKey, const RunnerCache*> expected;
    for (int round = 0; round < 50; ++round) {
        const int inserts = int(rng() % 20);
        for (int i = 0; i < inserts; ++i) {
            const int64_t id = int64_t(rng() % 60) - 30;
            const double hc = double(int64_t(rng() % 5) - 2) * 0.25;
            RunnerCache& r = m.upsert(id, hc);
            expected.emplace(r.key(), &r);
        }
        if (round % 17 == 16) {
            m.clear();
            expected.clear();
        }
        const std::vector<RunnerCache*>& order = m.runners_in_order();
        ASSERT_EQ(order.size(), expected.size());
        ASSERT_EQ(m.size(), expected.size());
        size_t i = 0;
        for (const auto& [key, ptr] : expected) {
            ASSERT_EQ(order[i], ptr) << "round " << round << " position " << i;
            ++i;
        }
    }
}

TEST(RunnerMapOrder, ManyRunnersStayAddressableAndOrdered) {
    // 100,000 runners, listed every 1,000 inserts; caches never move.
    RunnerMap m;
    std::mt19937_64 rng(99);
    const RunnerCache* first = &m.upsert(42, 0.0);
    size_t listed = 0;
    for (int i = 0; i < 100000; ++i) {
        m.upsert(int64_t(rng() >> 1), double(int(rng() % 9) - 4) * 0.5);
        if (i % 1000 == 999) listed += m.runners_in_order().size();
    }
    EXPECT_GT(listed, 0u);
    EXPECT_EQ(m.find({42, 0}), first);
    EXPECT_EQ(first->selection_id, 42);
    const std::vector<RunnerCache*>& order = m.runners_in_order();
    EXPECT_EQ(order.size(), m.size());
    EXPECT_TRUE(sorted_by_key(order));
    for (const RunnerCache* r : order) ASSERT_EQ(m.find(r->key()), r);
}

// ---- reuse slots -------------------------------------------------------------------

std::map<void*, int> g_released;
void count_release(void* p) { ++g_released[p]; }

class SlotRelease : public ::testing::Test {
protected:
    void SetUp() override {
        g_released.clear();
        object_release_hook = &count_release;
    }
    void TearDown() override { object_release_hook = nullptr; }
    // Distinct fake handles.
    void* obj(size_t i) { return &tokens_[i]; }
    char tokens_[64] = {};
};

TEST_F(SlotRelease, ReplaceMoveAndDestroyReleaseOnce) {
    {
        ObjectSlot a;
        a.replace(obj(0), 1);
        a.replace(obj(1), 2);  // releases obj(0)
        EXPECT_EQ(g_released[obj(0)], 1);
        EXPECT_TRUE(a.fresh(2));
        EXPECT_FALSE(a.fresh(1));
        ObjectSlot b(std::move(a));  // no release, ownership moves
        EXPECT_EQ(g_released.count(obj(1)), 0u);
        EXPECT_EQ(a.object, nullptr);
        ObjectSlot c;
        c.replace(obj(2), 5);
        c = std::move(b);  // releases obj(2), takes obj(1)
        EXPECT_EQ(g_released[obj(2)], 1);
        EXPECT_EQ(c.object, obj(1));
        EXPECT_EQ(c.stamp, 2u);
    }
    EXPECT_EQ(g_released[obj(1)], 1);
    EXPECT_EQ(g_released.size(), 3u);
}

TEST_F(SlotRelease, ImageAndCacheDropReleaseEveryHeldObjectOnce) {
    {
        MarketCache cache("1.1");
        update(cache, Doc(R"({"rc":[{"id":1},{"id":2},{"id":3,"hc":1}]})"), 1);
        size_t n = 0;
        for (RunnerCache* r : cache.runners.runners_in_order()) {
            r->cached_runner.replace(obj(n++), 1);
            r->available_to_back.set_listing(obj(n++));
            r->available_to_lay.set_listing(obj(n++));
            r->traded_volume.set_listing(obj(n++));
        }
        cache.cached_definition.replace(obj(n++), 1);
        // Updates that do not empty the map release nothing.
        update(cache, Doc(R"({"rc":[{"id":1,"ltp":2}],"img":false,"marketDefinition":{}})"), 2);
        EXPECT_TRUE(g_released.empty());

        update(cache, Doc(R"({"img":true,"rc":[{"id":1}]})"), 3);
        EXPECT_EQ(g_released.size(), 12u);
        for (size_t i = 0; i < 12; ++i) EXPECT_EQ(g_released[obj(i)], 1) << i;
        EXPECT_EQ(g_released.count(obj(12)), 0u);  // the definition object survives an image

        // The fresh runner 1 has empty slots; fill one and drop the cache.
        cache.runners.find({1, 0})->available_to_back.set_listing(obj(20));
    }
    EXPECT_EQ(g_released[obj(12)], 1);
    EXPECT_EQ(g_released[obj(20)], 1);
    EXPECT_EQ(g_released.size(), 14u);
    for (const auto& [p, times] : g_released) EXPECT_EQ(times, 1);
}

TEST_F(SlotRelease, MovingACacheKeepsRunnersInPlaceAndReleasesOnce) {
    {
        MarketCache a("1.1");
        update(a, Doc(R"({"rc":[{"id":1},{"id":2}]})"), 1);
        RunnerCache* one = a.runners.find({1, 0});
        one->cached_runner.replace(obj(0), 1);
        MarketCache b(std::move(a));
        EXPECT_EQ(b.runners.find({1, 0}), one);
        EXPECT_TRUE(a.runners.empty());
        update(a, Doc(R"({"rc":[{"id":3}]})"), 2);  // the moved-from cache still works
        EXPECT_EQ(a.number_of_runners, 1);

        MarketCache c("1.2");
        update(c, Doc(R"({"rc":[{"id":9}]})"), 1);
        c.runners.find({9, 0})->available_to_lay.set_listing(obj(1));
        c = std::move(b);
        EXPECT_EQ(g_released[obj(1)], 1);
        EXPECT_EQ(g_released.count(obj(0)), 0u);
        EXPECT_EQ(c.runners.find({1, 0}), one);
        EXPECT_EQ(c.runners.runners_in_order().size(), 2u);
    }
    EXPECT_EQ(g_released[obj(0)], 1);
    EXPECT_EQ(g_released.size(), 2u);
}

}  // namespace
}  // namespace palisar::market
