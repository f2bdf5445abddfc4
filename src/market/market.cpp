#include "market/market.hpp"

#include "market/fields.hpp"

namespace palisar::market {

using namespace fields;

void update(MarketCache& c, json::Value change, int64_t publish_time) {
    c.publish_time_epoch = publish_time;
    if (change.is_object()) {
        // An image rebuilds the runners from this change only; market and
        // definition fields, and every counter, are kept.
        if (change.find("img").is_true()) c.runners.clear();

        if (json::Value definition = change.find("marketDefinition"); definition.valid()) {
            apply_market_definition(c, definition);
        }

        // Top-level values come after the definition and win over it.
        read_text(change.find("status"), c.status);
        read_low32(change.find("betDelay"), c.bet_delay);
        read_bool(change.find("bspReconciled"), c.bsp_reconciled);
        read_bool(change.find("complete"), c.complete);
        read_bool(change.find("crossMatching"), c.cross_matching);
        read_bool(change.find("inPlay"), c.in_play);
        read_bool(change.find("runnersVoidable"), c.runners_voidable);
        read_double(change.find("tv"), c.total_matched);
        read_i64(change.find("version"), c.version);
        read_i64(change.find("lastMatchTime"), c.last_match_time);

        for (json::Value rc : change.find("rc").items()) apply_runner_change(c.runners, rc);
    }

    int32_t active = 0;
    for (const RunnerCache& r : c.runners) active += r.status == "ACTIVE";
    c.number_of_runners = int32_t(c.runners.size());
    c.number_of_active_runners = active;
}

void MarketCache::update(json::Value change, int64_t publish_time) {
    market::update(*this, change, publish_time);
}

}  // namespace palisar::market
