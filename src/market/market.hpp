// The whole replayed state of one market: market-level values, the merged
// market definition, and the runner caches. `update` applies one market change
// (one element of a stream message's "mc" list).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "market/definition.hpp"
#include "market/definition_fields.hpp"
#include "market/runner.hpp"
#include "market/slot.hpp"
#include "json/value.hpp"

namespace palisar::market {

struct MarketCache {
    MarketCache() = default;
    explicit MarketCache(std::string id) : market_id(std::move(id)) {}
    MarketCache(const MarketCache&) = delete;
    MarketCache& operator=(const MarketCache&) = delete;
    MarketCache(MarketCache&&) = default;
    MarketCache& operator=(MarketCache&&) = default;

    // Same as the free function update(*this, change, publish_time).
    bool update(json::Value change, int64_t publish_time);

    // Set at creation; update only compares it with a change's "id".
    std::string market_id;

    // Market-level values that only market changes and the runners give.
    std::optional<int64_t> last_match_time;
    int64_t publish_time_epoch = 0;
    double total_matched = 0.0;
    int32_t number_of_runners = 0;         // every runner cache
    int32_t number_of_active_runners = 0;  // runner caches whose status is "ACTIVE"

    // The definition's fields (market/definition_fields.hpp). Some of them are
    // also set by the market change itself: status, betDelay, bspReconciled,
    // complete, crossMatching, inPlay, runnersVoidable, version.
#define PALISAR_DECLARE_FIELD(kind, member, key, initial, exported) \
    PALISAR_IF_FIELD(kind, PALISAR_FIELD_TYPE_##kind member = initial;)
    PALISAR_MARKET_DEFINITION(PALISAR_DECLARE_FIELD)
#undef PALISAR_DECLARE_FIELD
    std::vector<MarketDefinitionRunner> definition_runners;
    // Rises by one for every market change carrying "marketDefinition".
    uint64_t definition_count = 0;

    // Runner caches by (selection id, handicap key); `runners.runners_in_order()`
    // lists them in ascending key order.
    RunnerMap runners;

    // Reuse slot of the snapshot builder for the definition object, stamped
    // with `definition_count`. The update code never touches it.
    ObjectSlot cached_definition;
};

// Applies one market change, in this order: publish time; for an object,
// "img" true empties the runner map; "marketDefinition"; the market-level
// keys of the change itself; each runner change of "rc"; then, for any
// change, the runner counts are brought up to date. A change of another
// market (an "id" that is a non-empty text other than `market_id`) is not
// applied at all, and false is returned; true otherwise.
bool update(MarketCache& cache, json::Value change, int64_t publish_time);

}  // namespace palisar::market
