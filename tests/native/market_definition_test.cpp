// Market definition: merging definitions into the cache fields, the
// definition runner records, and the runner caches a definition creates.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "market/market.hpp"
#include "market_test_json.hpp"

namespace palisar::market {
namespace {

using testing::Doc;

void define(MarketCache& c, const char* definition) {
    std::string change = std::string(R"({"marketDefinition":)") + definition + "}";
    update(c, Doc(change), 1);
}

// Every key a definition can carry, each with a value unlike the initial one;
// a misspelt key in the reader leaves its field at the initial value.
TEST(MarketDefinition, EveryFieldIsRead) {
    MarketCache c;
    define(c, R"({"status":"SUSPENDED","betDelay":5,"bspReconciled":true,"complete":false,
        "crossMatching":false,"inPlay":true,"runnersVoidable":true,"numberOfWinners":3,
        "eventId":"31573045","eventTypeId":"4","eventName":"A v B","marketType":"MATCH_ODDS",
        "marketTime":"2022-07-11T11:00:00.000Z","countryCode":"GB","venue":"Sheffield",
        "raceType":"Flat","bspMarket":true,"persistenceEnabled":false,"eachWayDivisor":4,
        "timezone":"GMT","turnInPlayEnabled":true,"bettingType":"ODDS","name":"Match Odds",
        "discountAllowed":true,"marketBaseRate":5,"regulators":["MR_INT"],
        "openDate":"2022-07-11T10:00:00.000Z","suspendTime":"2022-07-11T11:30:00.000Z",
        "settledTime":"2022-07-11T13:00:00.000Z","version":4638141907,
        "runners":[{"id":228749,"sortPriority":1,"status":"ACTIVE","hc":-1.5,
                    "adjustmentFactor":55.5,"removalDate":"r","name":"Home","bsp":2.02}]})");
    EXPECT_EQ(c.status, "SUSPENDED");
    EXPECT_EQ(c.bet_delay, 5);
    EXPECT_TRUE(c.bsp_reconciled);
    EXPECT_FALSE(c.complete);
    EXPECT_FALSE(c.cross_matching);
    EXPECT_TRUE(c.in_play);
    EXPECT_TRUE(c.runners_voidable);
    EXPECT_EQ(c.number_of_winners, 3);
    EXPECT_EQ(c.event_id, "31573045");
    EXPECT_EQ(c.event_type_id, "4");
    EXPECT_EQ(c.event_name, "A v B");
    EXPECT_EQ(c.market_type, "MATCH_ODDS");
    EXPECT_EQ(c.market_time, "2022-07-11T11:00:00.000Z");
    EXPECT_EQ(c.country_code, "GB");
    EXPECT_EQ(c.venue, "Sheffield");
    EXPECT_EQ(c.race_type, "Flat");
    EXPECT_TRUE(c.bsp_market);
    EXPECT_FALSE(c.persistence_enabled);
    EXPECT_EQ(c.each_way_divisor, 4.0);
    EXPECT_EQ(c.timezone, "GMT");
    EXPECT_TRUE(c.turn_in_play_enabled);
    EXPECT_EQ(c.betting_type, "ODDS");
    EXPECT_EQ(c.name, "Match Odds");
    EXPECT_TRUE(c.discount_allowed);
    EXPECT_EQ(c.market_base_rate, 5.0);
    EXPECT_EQ(c.regulators, std::vector<std::string>{"MR_INT"});
    EXPECT_EQ(c.open_date, "2022-07-11T10:00:00.000Z");
    EXPECT_EQ(c.suspend_time, "2022-07-11T11:30:00.000Z");
    EXPECT_EQ(c.settled_time, "2022-07-11T13:00:00.000Z");
    EXPECT_EQ(c.version, 4638141907);
    EXPECT_EQ(c.definition_count, 1u);

    ASSERT_EQ(c.definition_runners.size(), 1u);
    const MarketDefinitionRunner& r = c.definition_runners[0];
    EXPECT_EQ(r.selection_id, 228749);
    EXPECT_EQ(r.sort_priority, 1);
    EXPECT_EQ(r.status, "ACTIVE");
    EXPECT_EQ(r.handicap, -1.5);
    EXPECT_EQ(r.adjustment_factor, 55.5);
    EXPECT_EQ(r.removal_date, "r");
    EXPECT_EQ(r.name, "Home");
    EXPECT_EQ(r.bsp, 2.02);

    const RunnerCache* cached = c.runners.find({228749, -150});
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(cached->actual_sp.number(), 2.02);
    EXPECT_EQ(cached->adjustment_factor, 55.5);
    EXPECT_EQ(cached->removal_date, "r");
}

TEST(MarketDefinition, NullOrEmptyOnlyCounts) {
    MarketCache c;
    define(c, R"({"venue":"V","betDelay":2,"runners":[{"id":1}]})");
    for (const char* d : {"null", "{}", "5", "[]", "\"x\""}) define(c, d);
    EXPECT_EQ(c.definition_count, 6u);
    EXPECT_EQ(c.venue, "V");
    EXPECT_EQ(c.bet_delay, 2);
    EXPECT_EQ(c.definition_runners.size(), 1u);
    EXPECT_EQ(c.runners.find({1, 0})->change_count, 1u);
}

TEST(MarketDefinition, MissingOrMistypedKeysKeepEarlierValues) {
    MarketCache c;
    define(c, R"({"venue":"A","eventId":"E","marketBaseRate":5,"eachWayDivisor":4,"numberOfWinners":2})");
    define(c, R"({"name":"N"})");
    define(c, R"({"venue":null,"eventId":31573045,"marketBaseRate":"5","eachWayDivisor":null,
                  "numberOfWinners":2.0})");
    EXPECT_EQ(c.venue, "A");
    EXPECT_EQ(c.event_id, "E");
    EXPECT_EQ(c.market_base_rate, 5.0);
    EXPECT_EQ(c.each_way_divisor, 4.0);
    EXPECT_EQ(c.number_of_winners, 2);
    EXPECT_EQ(c.name, "N");
    define(c, R"({"venue":"B","numberOfWinners":-1})");
    EXPECT_EQ(c.venue, "B");
    EXPECT_EQ(c.number_of_winners, -1);
}

struct IntegerCase {
    const char* value;
    int32_t bet_delay;
    int64_t version;
};
class DefinitionIntegers : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(DefinitionIntegers, IntegerRule) {
    MarketCache c;
    c.bet_delay = 7;
    c.version = 7;
    define(c, (std::string(R"({"betDelay":)") + GetParam().value + R"(,"version":)" + GetParam().value + "}").c_str());
    EXPECT_EQ(c.bet_delay, GetParam().bet_delay);
    EXPECT_EQ(c.version, GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DefinitionIntegers,
    ::testing::Values(IntegerCase{"5", 5, 5}, IntegerCase{"5.0", 7, 7}, IntegerCase{"\"5\"", 7, 7},
                      IntegerCase{"true", 7, 7}, IntegerCase{"null", 7, 7},
                      IntegerCase{"4294967301", 5, 4294967301}, IntegerCase{"-1", -1, -1},
                      IntegerCase{"9223372036854775807", -1, INT64_MAX},
                      IntegerCase{"9223372036854775808", 7, 7},
                      IntegerCase{"18446744073709551615", 7, 7},
                      IntegerCase{"-9223372036854775808", 0, INT64_MIN},
                      // every width of a stored integer, one to eight bytes
                      IntegerCase{"200", 200, 200},
                      IntegerCase{"40000", 40000, 40000},
                      IntegerCase{"1000000", 1000000, 1000000},
                      IntegerCase{"3000000000", -1294967296, 3000000000},
                      IntegerCase{"281474976710655", -1, 281474976710655},
                      IntegerCase{"72057594037927935", -1, 72057594037927935},
                      IntegerCase{"-300", -300, -300},
                      IntegerCase{"-70000", -70000, -70000},
                      IntegerCase{"-5000000000", -705032704, -5000000000},
                      IntegerCase{"-72057594037927936", 0, -72057594037927936}));

TEST(MarketDefinition, RegulatorsKeepStringsAndAreReplacedWhole) {
    MarketCache c;
    define(c, R"({"regulators":["A",1,null,"B",["C"]]})");
    EXPECT_EQ(c.regulators, (std::vector<std::string>{"A", "B"}));
    define(c, R"({"regulators":"A"})");
    EXPECT_EQ(c.regulators, (std::vector<std::string>{"A", "B"}));
    define(c, R"({"regulators":["C"]})");
    EXPECT_EQ(c.regulators, (std::vector<std::string>{"C"}));
    define(c, R"({"regulators":[]})");
    EXPECT_TRUE(c.regulators.empty());
}

TEST(MarketDefinition, RunnerListIsReplacedButCachesStay) {
    MarketCache c;
    define(c, R"({"runners":[{"id":1},{"id":2}]})");
    define(c, R"({"venue":"V"})");
    EXPECT_EQ(c.definition_runners.size(), 2u);
    define(c, R"({"runners":{"id":3}})");
    EXPECT_EQ(c.definition_runners.size(), 2u);
    EXPECT_EQ(c.runners.find({3, 0}), nullptr);
    define(c, R"({"runners":[]})");
    EXPECT_TRUE(c.definition_runners.empty());
    EXPECT_EQ(c.number_of_runners, 2);
}

TEST(MarketDefinition, RunnerRecordsKeepArrayOrderAndDuplicates) {
    MarketCache c;
    define(c, R"({"runners":[{"id":9,"sortPriority":1},{"id":3,"sortPriority":2},{"id":9,"sortPriority":3}]})");
    ASSERT_EQ(c.definition_runners.size(), 3u);
    EXPECT_EQ(c.definition_runners[0].selection_id, 9);
    EXPECT_EQ(c.definition_runners[1].selection_id, 3);
    EXPECT_EQ(c.definition_runners[2].sort_priority, 3);
    EXPECT_EQ(c.number_of_runners, 2);
    EXPECT_EQ(c.runners.find({9, 0})->change_count, 2u);
}

TEST(MarketDefinition, RunnerElementsTakeTheLastOfARepeatedKey) {
    MarketCache c;
    define(c, R"({"runners":[{"id":4,"status":"ACTIVE","hc":1,"sortPriority":1,"name":"a","id":5,)"
              R"("\u0073tatus":"REMOVED","sortPriority":2,"bsp":3,"bsp":"NaN","name":"b","hc":2,)"
              R"("adjustmentFactor":1,"adjustmentFactor":7.5}]})");
    ASSERT_EQ(c.definition_runners.size(), 1u);
    const MarketDefinitionRunner& r = c.definition_runners[0];
    EXPECT_EQ(r.selection_id, 5);
    EXPECT_EQ(r.status, "REMOVED");
    EXPECT_EQ(r.sort_priority, 2);
    EXPECT_EQ(r.handicap, 2.0);
    EXPECT_EQ(r.name, "b");
    EXPECT_FALSE(r.bsp.has_value());
    EXPECT_EQ(r.adjustment_factor, 7.5);
    EXPECT_EQ(c.runners.find({4, handicap_key(1.0)}), nullptr);
    const RunnerCache* cached = c.runners.find({5, handicap_key(2.0)});
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(cached->status.text(), "REMOVED");
    EXPECT_EQ(cached->actual_sp.text(), "NaN");
    EXPECT_EQ(cached->adjustment_factor, 7.5);
}

TEST(MarketDefinition, UnusableRunnerElementsGiveDefaultRecordsAndNoCache) {
    MarketCache c;
    define(c, R"({"runners":[7,{"id":5.0,"hc":"x"},null,"s"]})");
    ASSERT_EQ(c.definition_runners.size(), 4u);
    for (const MarketDefinitionRunner& r : c.definition_runners) EXPECT_EQ(r, MarketDefinitionRunner{});
    EXPECT_EQ(c.definition_runners[0].status, "ACTIVE");
    EXPECT_TRUE(c.runners.empty());
}

TEST(MarketDefinition, RunnerRecordTypeRules) {
    MarketDefinitionRunner r = parse_definition_runner(
        Doc(R"({"id":1,"status":null,"sortPriority":2.5,"hc":"1","name":7,"bsp":"NaN",
                "adjustmentFactor":null,"removalDate":false})"));
    EXPECT_EQ(r.selection_id, 1);
    EXPECT_EQ(r.status, "ACTIVE");
    EXPECT_EQ(r.sort_priority, 0);
    EXPECT_EQ(r.handicap, 0.0);
    EXPECT_FALSE(r.name || r.bsp || r.adjustment_factor || r.removal_date);
    EXPECT_EQ(parse_definition_runner(Doc(R"({"sortPriority":4294967298,"hc":3})")).sort_priority, 2);
    EXPECT_EQ(parse_definition_runner(Doc(R"({"id":9223372036854775808})")).selection_id, 0);

    // The record drops a text "bsp"; the runner cache keeps it as text.
    MarketCache c;
    define(c, R"({"runners":[{"id":1,"bsp":"NaN"}]})");
    EXPECT_FALSE(c.definition_runners[0].bsp.has_value());
    EXPECT_EQ(c.runners.find({1, 0})->actual_sp.text(), "NaN");
}

}  // namespace
}  // namespace palisar::market
