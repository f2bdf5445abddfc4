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

void apply_market_definition(MarketCache& c, json::Value d) {
    if (!d.is_object()) {
        ++c.definition_count;
        return;
    }
    read_text(d.find("status"), c.status);
    read_low32(d.find("betDelay"), c.bet_delay);
    read_bool(d.find("bspReconciled"), c.bsp_reconciled);
    read_bool(d.find("complete"), c.complete);
    read_bool(d.find("crossMatching"), c.cross_matching);
    read_bool(d.find("inPlay"), c.in_play);
    read_bool(d.find("runnersVoidable"), c.runners_voidable);
    read_low32(d.find("numberOfWinners"), c.number_of_winners);
    read_text(d.find("eventId"), c.event_id);
    read_text(d.find("eventTypeId"), c.event_type_id);
    read_text(d.find("eventName"), c.event_name);
    read_text(d.find("marketType"), c.market_type);
    read_text(d.find("marketTime"), c.market_time);
    read_text(d.find("countryCode"), c.country_code);
    read_text(d.find("venue"), c.venue);
    read_text(d.find("raceType"), c.race_type);
    read_bool(d.find("bspMarket"), c.bsp_market);
    read_bool(d.find("persistenceEnabled"), c.persistence_enabled);
    read_double(d.find("eachWayDivisor"), c.each_way_divisor);
    read_text(d.find("timezone"), c.timezone);
    read_bool(d.find("turnInPlayEnabled"), c.turn_in_play_enabled);
    read_text(d.find("bettingType"), c.betting_type);
    read_text(d.find("name"), c.name);
    read_bool(d.find("discountAllowed"), c.discount_allowed);
    read_double(d.find("marketBaseRate"), c.market_base_rate);
    if (json::Value regulators = d.find("regulators"); regulators.is_array()) {
        // Only the string elements are kept; the list is replaced whole.
        std::vector<std::string> kept;
        for (json::Value e : regulators.items()) {
            std::string_view s;
            if (e.get_string(s)) kept.emplace_back(s);
        }
        c.regulators = std::move(kept);
    }
    read_text(d.find("openDate"), c.open_date);
    read_text(d.find("suspendTime"), c.suspend_time);
    read_text(d.find("settledTime"), c.settled_time);
    read_i64(d.find("version"), c.version);

    ++c.definition_count;

    json::Value runners = d.find("runners");
    if (!runners.is_array()) return;
    std::vector<MarketDefinitionRunner> records;
    for (json::Value e : runners.items()) records.push_back(parse_definition_runner(e));
    c.definition_runners = std::move(records);
    for (json::Value e : runners.items()) apply_definition_runner(c.runners, e);
}

}  // namespace palisar::market
