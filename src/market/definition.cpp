#include "market/definition.hpp"

#include <vector>

#include "market/fields.hpp"
#include "market/market.hpp"
#include "market/runner.hpp"

namespace palisar::market {

using namespace fields;

MarketDefinitionRunner parse_definition_runner(json::Value element) {
    MarketDefinitionRunner r;
    if (!element.is_object()) return r;
    read_i64(element.find("id"), r.selection_id);
    read_low32(element.find("sortPriority"), r.sort_priority);
    read_text(element.find("status"), r.status);
    read_double(element.find("hc"), r.handicap);
    read_double(element.find("adjustmentFactor"), r.adjustment_factor);
    read_text(element.find("removalDate"), r.removal_date);
    read_text(element.find("name"), r.name);
    read_double(element.find("bsp"), r.bsp);
    return r;
}

namespace {

enum DefinitionKey : size_t {
    kStatus,
    kBetDelay,
    kBspReconciled,
    kComplete,
    kCrossMatching,
    kInPlay,
    kRunnersVoidable,
    kNumberOfWinners,
    kEventId,
    kEventTypeId,
    kEventName,
    kMarketType,
    kMarketTime,
    kCountryCode,
    kVenue,
    kRaceType,
    kBspMarket,
    kPersistenceEnabled,
    kEachWayDivisor,
    kTimezone,
    kTurnInPlayEnabled,
    kBettingType,
    kName,
    kDiscountAllowed,
    kMarketBaseRate,
    kRegulators,
    kOpenDate,
    kSuspendTime,
    kSettledTime,
    kVersion,
    kRunners,
    kDefinitionKeys
};
// Same order as DefinitionKey.
constexpr std::string_view kDefinitionKeyNames[kDefinitionKeys] = {
    "status", "betDelay", "bspReconciled", "complete", "crossMatching", "inPlay",
    "runnersVoidable", "numberOfWinners", "eventId", "eventTypeId", "eventName", "marketType",
    "marketTime", "countryCode", "venue", "raceType", "bspMarket", "persistenceEnabled",
    "eachWayDivisor", "timezone", "turnInPlayEnabled", "bettingType", "name", "discountAllowed",
    "marketBaseRate", "regulators", "openDate", "suspendTime", "settledTime", "version",
    "runners"};

}  // namespace

void apply_market_definition(MarketCache& c, json::Value d) {
    if (!d.is_object()) {
        ++c.definition_count;
        return;
    }
    json::Value v[kDefinitionKeys];
    find_all(d, kDefinitionKeyNames, v);
    // Counted first: a failure part way leaves the fields read so far, and a
    // definition object that shows them.
    ++c.definition_count;

    read_text(v[kStatus], c.status);
    read_low32(v[kBetDelay], c.bet_delay);
    read_bool(v[kBspReconciled], c.bsp_reconciled);
    read_bool(v[kComplete], c.complete);
    read_bool(v[kCrossMatching], c.cross_matching);
    read_bool(v[kInPlay], c.in_play);
    read_bool(v[kRunnersVoidable], c.runners_voidable);
    read_low32(v[kNumberOfWinners], c.number_of_winners);
    read_text(v[kEventId], c.event_id);
    read_text(v[kEventTypeId], c.event_type_id);
    read_text(v[kEventName], c.event_name);
    read_text(v[kMarketType], c.market_type);
    read_text(v[kMarketTime], c.market_time);
    read_text(v[kCountryCode], c.country_code);
    read_text(v[kVenue], c.venue);
    read_text(v[kRaceType], c.race_type);
    read_bool(v[kBspMarket], c.bsp_market);
    read_bool(v[kPersistenceEnabled], c.persistence_enabled);
    read_double(v[kEachWayDivisor], c.each_way_divisor);
    read_text(v[kTimezone], c.timezone);
    read_bool(v[kTurnInPlayEnabled], c.turn_in_play_enabled);
    read_text(v[kBettingType], c.betting_type);
    read_text(v[kName], c.name);
    read_bool(v[kDiscountAllowed], c.discount_allowed);
    read_double(v[kMarketBaseRate], c.market_base_rate);
    if (v[kRegulators].is_array()) {
        // Only the string elements are kept; the list is replaced whole.
        std::vector<std::string> kept;
        for (json::Value e : v[kRegulators].items()) {
            std::string_view s;
            if (e.get_string(s)) kept.emplace_back(s);
        }
        c.regulators = std::move(kept);
    }
    read_text(v[kOpenDate], c.open_date);
    read_text(v[kSuspendTime], c.suspend_time);
    read_text(v[kSettledTime], c.settled_time);
    read_i64(v[kVersion], c.version);

    const json::Value runners = v[kRunners];
    if (!runners.is_array()) return;
    std::vector<MarketDefinitionRunner> records;
    for (json::Value e : runners.items()) records.push_back(parse_definition_runner(e));
    c.definition_runners = std::move(records);
    for (json::Value e : runners.items()) apply_definition_runner(c.runners, e);
}

}  // namespace palisar::market
