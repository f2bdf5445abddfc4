#include "market/market.hpp"

#include <cstring>

#include "market/fields.hpp"

namespace palisar::market {

using namespace fields;

namespace {

enum ChangeKey : size_t {
    kId,
    kImg,
    kMarketDefinition,
    kStatus,
    kBetDelay,
    kBspReconciled,
    kComplete,
    kCrossMatching,
    kInPlay,
    kRunnersVoidable,
    kTv,
    kVersion,
    kLastMatchTime,
    kRc,
    kChangeKeys
};
// Same order as ChangeKey.
constexpr std::string_view kChangeKeyNames[kChangeKeys] = {
    "id",     "img",    "marketDefinition", "status", "betDelay", "bspReconciled", "complete", "crossMatching",
    "inPlay", "runnersVoidable",  "tv",     "version",  "lastMatchTime", "rc"};
constexpr auto kChangeSlots = json::member_slots(kChangeKeyNames);

// The map keeps its count of "ACTIVE" runners as statuses change.
void count_runners(MarketCache& c) {
    c.number_of_runners = int32_t(c.runners.size());
    c.number_of_active_runners = int32_t(c.runners.active_count());
}

// Whether a change's market id is the cache's: on every step, with ids of a
// dozen bytes, which two overlapping word loads on each side compare.
bool same_id(std::string_view id, const std::string& market_id) {
    const size_t n = id.size();
    if (n != market_id.size()) return false;
    if (n < 8 || n > 16) return std::memcmp(id.data(), market_id.data(), n) == 0;
    const char* a = id.data();
    const char* b = market_id.data();
    return ((json::detail::load64(a) ^ json::detail::load64(b)) |
            (json::detail::load64(a + n - 8) ^ json::detail::load64(b + n - 8))) == 0;
}

// The top-level fields, read only when one of them is sent.
constexpr uint64_t kFieldKeys = (uint64_t(1) << (kLastMatchTime + 1)) - (uint64_t(1) << kStatus);

void apply_change(MarketCache& c, const json::Value (&v)[kChangeKeys], uint64_t present) {
    // An image rebuilds the runners from this change only; market and
    // definition fields, and every counter, are kept. The listings that
    // snapshots hold keep their levels first, or the step fails here with
    // nothing changed.
    if (v[kImg].is_true()) {
        for (RunnerCache& r : c.runners) r.give_up_listings();
        c.runners.clear();
    }

    if (v[kMarketDefinition].valid()) apply_market_definition(c, v[kMarketDefinition]);

    // Top-level values come after the definition and win over it.
    if (present & kFieldKeys) {
        read_text(v[kStatus], c.status);
        read_low32(v[kBetDelay], c.bet_delay);
        read_bool(v[kBspReconciled], c.bsp_reconciled);
        read_bool(v[kComplete], c.complete);
        read_bool(v[kCrossMatching], c.cross_matching);
        read_bool(v[kInPlay], c.in_play);
        read_bool(v[kRunnersVoidable], c.runners_voidable);
        read_double(v[kTv], c.total_matched);
        read_i64(v[kVersion], c.version);
        read_i64(v[kLastMatchTime], c.last_match_time);
    }

    for (json::Value rc : v[kRc].items()) apply_runner_change(c.runners, rc);
}

}  // namespace

bool update(MarketCache& c, json::Value change, int64_t publish_time) {
    json::Value v[kChangeKeys];
    uint64_t present = 0;
    if (change.is_object()) {
        present = find_all(change, kChangeSlots, v);
        std::string_view id;
        if (v[kId].get_string(id) && !id.empty() && !same_id(id, c.market_id)) return false;
    }
    c.publish_time_epoch = publish_time;
    if (change.is_object()) {
        try {
            apply_change(c, v, present);
        } catch (...) {
            // Out of memory part way: what was applied stays, and the counts agree with it.
            count_runners(c);
            throw;
        }
    }
    count_runners(c);
    return true;
}

bool MarketCache::update(json::Value change, int64_t publish_time) {
    return market::update(*this, change, publish_time);
}

}  // namespace palisar::market
