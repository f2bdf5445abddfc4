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
    json::Value v[kRunnerKeys];
    find_all(element, kRunnerSlots, v);
    read_i64(v[kRunnerId], r.selection_id);
    read_low32(v[kRunnerSortPriority], r.sort_priority);
    read_text(v[kRunnerStatus], r.status);
    read_double(v[kRunnerHc], r.handicap);
    read_double(v[kRunnerAdjustmentFactor], r.adjustment_factor);
    read_text(v[kRunnerRemovalDate], r.removal_date);
    read_text(v[kRunnerName], r.name);
    read_double(v[kRunnerBsp], r.bsp);
    return r;
}

namespace {

enum DefinitionKey : size_t {
#define PALISAR_KEY_ENUM(kind, member, key, initial, exported) k_##member,
    PALISAR_MARKET_DEFINITION(PALISAR_KEY_ENUM)
#undef PALISAR_KEY_ENUM
    kDefinitionKeys
};
constexpr std::string_view kDefinitionKeyNames[kDefinitionKeys] = {
#define PALISAR_KEY_NAME(kind, member, key, initial, exported) key,
    PALISAR_MARKET_DEFINITION(PALISAR_KEY_NAME)
#undef PALISAR_KEY_NAME
};
constexpr auto kDefinitionSlots = json::member_slots(kDefinitionKeyNames);

// One reader per kind of field.
inline void read_field(json::Value v, std::string& out) { read_text(v, out); }
inline void read_field(json::Value v, std::optional<std::string>& out) { read_text(v, out); }
inline void read_field(json::Value v, bool& out) { read_bool(v, out); }
inline void read_field(json::Value v, int32_t& out) { read_low32(v, out); }
inline void read_field(json::Value v, int64_t& out) { read_i64(v, out); }
inline void read_field(json::Value v, double& out) { read_double(v, out); }
inline void read_field(json::Value v, std::optional<double>& out) { read_double(v, out); }
void read_field(json::Value v, std::vector<std::string>& out) {
    if (!v.is_array()) return;
    // Only the string elements are kept; the list is replaced whole.
    std::vector<std::string> kept;
    for (json::Value e : v.items()) {
        std::string_view s;
        if (e.get_string(s)) kept.emplace_back(s);
    }
    out = std::move(kept);
}

}  // namespace

void apply_market_definition(MarketCache& c, json::Value d) {
    if (!d.is_object()) {
        ++c.definition_count;
        return;
    }
    json::Value v[kDefinitionKeys];
    find_all(d, kDefinitionSlots, v);
    // Counted first: a failure part way leaves the fields read so far, and a
    // definition object that shows them.
    ++c.definition_count;

#define PALISAR_READ_FIELD(kind, member, key, initial, exported) \
    PALISAR_IF_FIELD(kind, read_field(v[k_##member], c.member);)
    PALISAR_MARKET_DEFINITION(PALISAR_READ_FIELD)
#undef PALISAR_READ_FIELD

    const json::Value runners = v[k_runners];
    if (!runners.is_array()) return;
    std::vector<MarketDefinitionRunner> records;
    for (json::Value e : runners.items()) records.push_back(parse_definition_runner(e));
    c.definition_runners = std::move(records);
    for (json::Value e : runners.items()) apply_definition_runner(c.runners, e);
}

}  // namespace palisar::market
