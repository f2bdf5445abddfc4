// The market definition: the metadata block a market change may carry under
// "marketDefinition". It is not kept as an object of its own: each definition
// is merged key by key into fields of the MarketCache, and its "runners" array
// is kept as a list of MarketDefinitionRunner records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "json/value.hpp"

namespace palisar::market {

struct MarketCache;

// One element of a definition's "runners" array, as the stream gave it.
struct MarketDefinitionRunner {
    int64_t selection_id = 0;                 // "id", integer
    int32_t sort_priority = 0;                // "sortPriority", integer, low 32 bits
    std::string status = "ACTIVE";            // "status", text
    double handicap = 0.0;                    // "hc", any number
    std::optional<double> adjustment_factor;  // "adjustmentFactor", any number
    std::optional<std::string> removal_date;  // "removalDate", text
    std::optional<std::string> name;          // "name", text
    std::optional<double> bsp;                // "bsp", numbers only (a text gives absent)

    friend bool operator==(const MarketDefinitionRunner&, const MarketDefinitionRunner&) = default;
};

// Reads one element of a definition's "runners" array. Anything that is not
// an object, and every key missing or of another type, gives the defaults.
MarketDefinitionRunner parse_definition_runner(json::Value element);

// Merges the value found under a market change's "marketDefinition" into the
// cache: raises `definition_count` for any value (null included); for an
// object, overwrites each definition field whose key holds a value of the
// accepted type, and when it has a "runners" array, replaces
// `definition_runners` and applies each element to the runner caches.
void apply_market_definition(MarketCache& cache, json::Value definition);

}  // namespace palisar::market
