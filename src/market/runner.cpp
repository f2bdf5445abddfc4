#include "market/runner.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>

#include "market/fields.hpp"

namespace palisar::market {

// ---- SpValue ----------------------------------------------------------------

void SpValue::assign(json::Value v) {
    double d;
    std::string_view s;
    if (v.get_double(d)) {
        set_number(d);
    } else if (v.get_string(s)) {
        set_text(s);
    } else {
        set_absent();
    }
}

bool operator==(const SpValue& a, const SpValue& b) {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
        case SpValue::Kind::Number: return a.number_ == b.number_;
        case SpValue::Kind::Text: return a.text_ == b.text_;
        default: return true;
    }
}

// ---- keys -------------------------------------------------------------------

// The handicap keys of the scaled handicaps that handicap_key does not round
// inline.
int64_t handicap_key_outside(double scaled) {
    if (std::isnan(scaled)) return 0;
    const double rounded = std::round(scaled);  // halves away from zero
    constexpr double kTwo63 = 9223372036854775808.0;
    if (rounded >= kTwo63) return INT64_MAX;
    if (rounded < -kTwo63) return INT64_MIN;
    return int64_t(rounded);
}

RunnerCache::RunnerCache(int64_t selection_id_, double handicap_)
    : selection_id(selection_id_), handicap(handicap_), handicap_key(market::handicap_key(handicap_)) {}

// ---- RunnerMap --------------------------------------------------------------

namespace {

constexpr size_t kInitialBuckets = 16;

using detail::mix64;

uint64_t new_seed() {
    static const uint64_t process_seed = [] {
        uint64_t s = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
        try {
            std::random_device rd;
            s ^= (uint64_t(rd()) << 32) ^ uint64_t(rd());
        } catch (...) {
            // No entropy source: the clock alone still varies between runs.
        }
        return s;
    }();
    static std::atomic<uint64_t> counter{0};
    return mix64(process_seed + 0x9E3779B97F4A7C15ULL * ++counter);
}

}  // namespace

RunnerMap::RunnerMap() : seed_(new_seed()) {}

RunnerMap::RunnerMap(RunnerMap&& other) noexcept : seed_(other.seed_) {
    runners_.swap(other.runners_);
    buckets_.swap(other.buckets_);
    order_.swap(other.order_);
    std::swap(active_, other.active_);
    std::swap(size_, other.size_);
}

RunnerMap& RunnerMap::operator=(RunnerMap&& other) noexcept {
    if (this != &other) {
        RunnerMap dropped(std::move(*this));  // our old caches go when this returns
        runners_.swap(other.runners_);
        buckets_.swap(other.buckets_);
        order_.swap(other.order_);
        std::swap(active_, other.active_);
        std::swap(size_, other.size_);
        std::swap(seed_, other.seed_);
    }
    return *this;
}

RunnerMap::~RunnerMap() = default;

void RunnerMap::grow() {
    std::vector<Bucket> bigger(std::max(kInitialBuckets, buckets_.size() * 2));
    buckets_.swap(bigger);
    const size_t mask = buckets_.size() - 1;
    for (RunnerCache& r : runners_) {
        size_t i = bucket_of(r.key());
        while (buckets_[i].runner != nullptr) i = (i + 1) & mask;
        buckets_[i] = Bucket{r.key(), &r};
    }
}

RunnerCache& RunnerMap::create(RunnerKey key, double handicap) {
    if ((size_ + 1) * 2 > buckets_.size()) grow();
    const size_t mask = buckets_.size() - 1;
    size_t i = bucket_of(key);
    while (buckets_[i].runner != nullptr) i = (i + 1) & mask;
    RunnerCache& created = runners_.emplace_back(key.selection_id, handicap);
    buckets_[i] = Bucket{key, &created};
    ++size_;
    ++active_;  // a new runner is "ACTIVE"
    return created;
}

bool RunnerMap::set_status(RunnerCache& runner, std::string_view status) {
    std::string& text = runner.status.text_;
    if (text == status) return false;
    const bool was_active = runner.status.active();
    text.assign(status);
    ++runner.status.version_;
    active_ = active_ - was_active + runner.status.active();
    return true;
}

void RunnerMap::clear() {
    // Detach everything first, then destroy: releasing a held object may run
    // foreign code, which must find the map already empty.
    std::deque<RunnerCache> dropped;
    dropped.swap(runners_);
    order_.clear();
    active_ = 0;
    size_ = 0;
    if (buckets_.size() > kInitialBuckets) {
        std::vector<Bucket>().swap(buckets_);  // a huge table is not kept for the next image
    } else {
        std::fill(buckets_.begin(), buckets_.end(), Bucket{});
    }
}

void RunnerMap::list_new_runners() {
    // runners_ only grows between clears, so the caches not yet listed are
    // exactly its tail.
    const size_t listed = order_.size();
    order_.reserve(runners_.size());  // may fail; the pushes below cannot
    for (size_t i = listed; i < runners_.size(); ++i) order_.push_back(&runners_[i]);
    auto by_key = [](const RunnerCache* a, const RunnerCache* b) { return a->key() < b->key(); };
    auto middle = order_.begin() + std::ptrdiff_t(listed);
    std::sort(middle, order_.end(), by_key);
    std::inplace_merge(order_.begin(), middle, order_.end(), by_key);
}

RunnerCache& upsert_runner(RunnerMap& runners, int64_t selection_id, double handicap) {
    return runners.upsert(selection_id, handicap);
}

// ---- applying runner changes ------------------------------------------------

namespace {

// The keys of a runner change, looked up in one pass over its members.
enum ChangeKey : unsigned {
    kId,
    kHc,
    kStatus,
    kAdjustmentFactor,
    kLtp,
    kTv,
    kRemovalDate,
    kSpb,
    kSpl,
    kAtb,
    kAtl,
    kTrd,
    kSpn,
    kSpf,
    kChangeKeys
};

// Same order as ChangeKey.
constexpr std::string_view kChangeKeyNames[kChangeKeys] = {
    "id", "hc", "status", "adjustmentFactor", "ltp", "tv", "removalDate",
    "spb", "spl", "atb", "atl", "trd", "spn", "spf"};
constexpr auto kChangeSlots = json::member_slots(kChangeKeyNames);

// The runner named by an element's "id" (an integer that fits signed 64 bits)
// and "hc" (any number, else 0.0); null when the element names none. Inlined
// into every runner change.
[[gnu::always_inline]] inline RunnerCache* identify(RunnerMap& runners, json::Value id, json::Value hc) {
    int64_t selection_id;
    if (!id.get_i64(selection_id)) return nullptr;
    // Most runners have no handicap, whose key is 0.
    double handicap = 0.0;
    if (!hc.get_double(handicap)) return &runners.upsert(RunnerKey{selection_id, 0}, 0.0);
    return &runners.upsert(selection_id, handicap);
}

// Sets an optional double when it is absent or holds a different value
// (compared as doubles, so -0.0 after 0.0 is no change).
bool set_if_different(std::optional<double>& field, json::Value v) {
    double d;
    if (!v.get_double(d)) return false;
    if (field && *field == d) return false;
    field = d;
    return true;
}

bool set_if_different(std::optional<std::string>& field, json::Value v) {
    std::string_view s;
    if (!v.get_string(s)) return false;
    if (field) {
        if (*field == s) return false;
        field->assign(s);
    } else {
        field.emplace(s);
    }
    return true;
}

bool set_status(RunnerMap& runners, RunnerCache& r, json::Value v) {
    std::string_view s;
    return v.get_string(s) && runners.set_status(r, s);
}

bool ladder_update(PriceLadder& ladder, json::Value v) { return v.is_array() && ladder.update(v); }

}  // namespace

void apply_runner_change(RunnerMap& runners, json::Value change) {
    // One pass over the members: the last value of each key, and a bit for
    // each key sent. Only the keys sent are read below (most changes send an
    // id and a ladder or two).
    const uint8_t* at[kChangeKeys + 1];
    uint32_t sent = 0;
    change.for_each_member_id([&](unsigned id, json::Value v) {
        const unsigned slot = kChangeSlots[id];
        at[slot] = v.data();
        sent |= uint32_t(1) << slot;
    });
    auto value = [&](ChangeKey k) { return (sent >> k) & 1 ? json::Value(at[k]) : json::Value(); };

    RunnerCache* named = identify(runners, value(kId), value(kHc));
    if (named == nullptr) return;
    RunnerCache& r = *named;

    // Out of memory part way, what was applied stays and counts as a change.
    try {
        bool changed = false;
        constexpr uint32_t kFields = (uint32_t(1) << kStatus) | (uint32_t(1) << kAdjustmentFactor) |
                                     (uint32_t(1) << kLtp) | (uint32_t(1) << kTv) |
                                     (uint32_t(1) << kRemovalDate);
        if (sent & kFields) {
            changed |= set_status(runners, r, value(kStatus));
            changed |= set_if_different(r.adjustment_factor, value(kAdjustmentFactor));
            changed |= set_if_different(r.last_price_traded, value(kLtp));
            double tv;
            if (value(kTv).get_double(tv) && !(r.total_matched == tv)) {
                r.total_matched = tv;
                changed = true;
            }
            if (sent & (uint32_t(1) << kRemovalDate))
                changed |= set_if_different(r.removal_date, value(kRemovalDate));
        }
        // The starting-price ladders are fed crosswise.
        changed |= ladder_update(r.lay_liability_taken, value(kSpb));
        changed |= ladder_update(r.back_stake_taken, value(kSpl));
        changed |= ladder_update(r.available_to_back, value(kAtb));
        changed |= ladder_update(r.available_to_lay, value(kAtl));
        changed |= ladder_update(r.traded_volume, value(kTrd));
        // Projected starting prices count as a change whenever they are sent.
        if (sent & (uint32_t(1) << kSpn)) {
            r.near_price.assign(value(kSpn));
            changed = true;
        }
        if (sent & (uint32_t(1) << kSpf)) {
            r.far_price.assign(value(kSpf));
            changed = true;
        }
        if (changed) ++r.change_count;
    } catch (...) {
        ++r.change_count;
        throw;
    }
}

void apply_definition_runner(RunnerMap& runners, json::Value definition_runner) {
    if (!definition_runner.is_object()) return;
    using namespace fields;
    json::Value v[kRunnerKeys];
    find_all(definition_runner, kRunnerSlots, v);
    RunnerCache* r = identify(runners, v[kRunnerId], v[kRunnerHc]);
    if (r == nullptr) return;
    ++r->change_count;  // first: a failure below leaves a change counted
    set_status(runners, *r, v[kRunnerStatus]);
    r->actual_sp.assign(v[kRunnerBsp]);  // a missing "bsp" makes it absent
    set_if_different(r->adjustment_factor, v[kRunnerAdjustmentFactor]);
    set_if_different(r->removal_date, v[kRunnerRemovalDate]);
}

}  // namespace palisar::market
