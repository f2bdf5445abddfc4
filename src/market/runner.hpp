// Runner caches: everything known about one runner (a selection at one
// handicap) of the market being replayed, and the map that holds them.
//
// Runner changes (elements of a market change's "rc") and definition runners
// (elements of a market definition's "runners") name a runner by "id" and
// "hc"; the first one to name a runner creates its cache.
#pragma once

#include <compare>
#include <cstdint>
#include <deque>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <initializer_list>
#include <vector>

#include "market/ladder.hpp"
#include "market/slot.hpp"
#include "json/value.hpp"

namespace palisar::market {

// A starting-price value: a number, a text (the stream sent a string, such as
// "NaN" or "Infinity"), or absent (null, a boolean, an array or an object).
class SpValue {
public:
    enum class Kind : uint8_t { Absent, Number, Text };

    SpValue() = default;
    // A copy or move takes the text only for a Text: a runner object copies
    // three of these per change, and the text is rare.
    SpValue(const SpValue& o) : kind_(o.kind_), number_(o.number_) {
        if (o.kind_ == Kind::Text) text_ = o.text_;
    }
    SpValue(SpValue&& o) noexcept : kind_(o.kind_), number_(o.number_) {
        if (o.kind_ == Kind::Text) text_ = std::move(o.text_);
    }
    SpValue& operator=(const SpValue& o) {
        if (o.kind_ == Kind::Text) text_ = o.text_;
        kind_ = o.kind_;
        number_ = o.number_;
        return *this;
    }
    SpValue& operator=(SpValue&& o) noexcept {
        if (o.kind_ == Kind::Text) text_ = std::move(o.text_);
        kind_ = o.kind_;
        number_ = o.number_;
        return *this;
    }

    Kind kind() const { return kind_; }
    bool is_absent() const { return kind_ == Kind::Absent; }
    bool is_number() const { return kind_ == Kind::Number; }
    bool is_text() const { return kind_ == Kind::Text; }
    double number() const { return number_; }         // meaningful for Number only
    const std::string& text() const { return text_; }  // meaningful for Text only

    void set_absent() { kind_ = Kind::Absent; }
    void set_number(double d) {
        kind_ = Kind::Number;
        number_ = d;
    }
    void set_text(std::string_view s) {
        kind_ = Kind::Text;
        text_.assign(s);
    }
    // Number for any JSON number, Text for a string, Absent for anything else
    // (an invalid cursor, i.e. a missing key, included).
    void assign(json::Value v);

    friend bool operator==(const SpValue& a, const SpValue& b);

private:
    Kind kind_ = Kind::Absent;
    double number_ = 0.0;
    std::string text_;  // keeps its capacity while the value is not a text
};

int64_t handicap_key_outside(double scaled);

// Handicap key: the handicap times 100 (double arithmetic), rounded half away
// from zero, saturated to the signed 64-bit range; NaN gives 0.
inline int64_t handicap_key(double handicap) {
    const double scaled = handicap * 100.0;
    // Below 2^52 in size the truncation and what it cut off are exact, so the
    // rounding needs no library call. NaN, infinities and huge values go on.
    constexpr double kTwo52 = 4503599627370496.0;
    if (scaled > -kTwo52 && scaled < kTwo52) {
        const int64_t whole = int64_t(scaled);
        const double rest = scaled - double(whole);
        return whole + int64_t(rest >= 0.5) - int64_t(rest <= -0.5);
    }
    return handicap_key_outside(scaled);
}

namespace detail {
inline uint64_t mix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}
}  // namespace detail

class RunnerMap;

// A runner's status text. Only the runner map writes it, so that the map's
// count of runners whose status is exactly "ACTIVE" stays right.
class RunnerStatus {
public:
    const std::string& text() const { return text_; }
    bool active() const { return text_ == kActive; }
    // Rises with every change of the text (wrapping around is harmless: it is
    // only compared with a recent value).
    uint32_t version() const { return version_; }
    friend bool operator==(const RunnerStatus& a, std::string_view b) { return a.text_ == b; }
    friend std::ostream& operator<<(std::ostream& os, const RunnerStatus& s) { return os << s.text_; }

private:
    friend class RunnerMap;
    static constexpr std::string_view kActive = "ACTIVE";
    std::string text_{kActive};
    uint32_t version_ = 0;
};

struct RunnerKey {
    int64_t selection_id = 0;
    int64_t handicap_key = 0;
    friend auto operator<=>(const RunnerKey&, const RunnerKey&) = default;
};

struct RunnerCache {
    RunnerCache(int64_t selection_id, double handicap);
    RunnerCache(const RunnerCache&) = delete;
    RunnerCache& operator=(const RunnerCache&) = delete;
    RunnerCache(RunnerCache&&) = default;
    RunnerCache& operator=(RunnerCache&&) = default;

    RunnerKey key() const { return RunnerKey{selection_id, handicap_key}; }

    int64_t selection_id;
    double handicap;       // as received by the change that created the cache
    int64_t handicap_key;  // handicap_key(handicap)
    // "ACTIVE" at creation. (The version below takes the padding at its end.)
    [[no_unique_address]] RunnerStatus status;
    // The status version the cached runner's status was made at (its str
    // serves the next runner while the version is the same; see
    // cached_runner).
    uint32_t cached_status_version = 0;
    std::optional<double> adjustment_factor;
    std::optional<double> last_price_traded;
    double total_matched = 0.0;
    std::optional<std::string> removal_date;
    SpValue near_price;
    SpValue far_price;
    SpValue actual_sp;  // from a definition runner's "bsp" only
    PriceLadder available_to_back{true};     // "atb"
    PriceLadder available_to_lay{false};     // "atl"
    PriceLadder back_stake_taken{false};     // "spl"
    PriceLadder lay_liability_taken{true};   // "spb"
    PriceLadder traded_volume{false};        // "trd"
    // See PriceLadder::give_up_listing.
    void give_up_listings() {
        for (PriceLadder* l : {&available_to_back, &available_to_lay, &back_stake_taken,
                               &lay_liability_taken, &traded_volume})
            l->give_up_listing();
    }
    // Rises once per runner change that changed something and once per
    // definition runner naming this runner.
    uint64_t change_count = 0;

    // Reuse slot of the snapshot builder, going with `change_count`; the
    // update code never touches it. (The lists of the ladders are kept by
    // the ladders themselves, see `PriceLadder::listing`.)
    ObjectSlot cached_runner;
};

// The market's runner caches by runner key.
//
// Caches never move once created (their addresses stay valid until the map is
// emptied or destroyed; moving the map keeps them too, and leaves the source
// empty and usable). Lookup is an open-addressing hash table with a
// per-map random seed, so a file cannot line its keys up into one probe chain.
// The listing order is maintained lazily: runners created since the last
// listing are sorted among themselves and merged in, so listing costs
// O(n + k log k) for k new runners and nothing extra when none were added.
class RunnerMap {
public:
    RunnerMap();
    RunnerMap(const RunnerMap&) = delete;
    RunnerMap& operator=(const RunnerMap&) = delete;
    RunnerMap(RunnerMap&&) noexcept;
    RunnerMap& operator=(RunnerMap&&) noexcept;
    ~RunnerMap();

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The caches whose status is exactly "ACTIVE", kept up to date as they
    // are created, change status and are dropped.
    size_t active_count() const { return active_; }

    // Sets a runner's status; true when the text differs from the old one.
    bool set_status(RunnerCache& runner, std::string_view status);

    RunnerCache* find(RunnerKey key) { return const_cast<RunnerCache*>(std::as_const(*this).find(key)); }
    const RunnerCache* find(RunnerKey key) const {
        if (buckets_.empty()) return nullptr;
        const size_t mask = buckets_.size() - 1;
        for (size_t i = bucket_of(key);; i = (i + 1) & mask) {
            const Bucket& b = buckets_[i];
            if (b.runner == nullptr) return nullptr;
            if (b.key == key) return b.runner;
        }
    }
    // The cache for (selection_id, handicap_key(handicap)), created with its
    // initial values (and this handicap) when missing.
    RunnerCache& upsert(int64_t selection_id, double handicap) {
        return upsert(RunnerKey{selection_id, handicap_key(handicap)}, handicap);
    }
    // The same with the key worked out (`key.handicap_key` is handicap_key(handicap)).
    RunnerCache& upsert(RunnerKey key, double handicap) {
        // Every change names a runner: finding one is inline, creating it is not.
        if (RunnerCache* found = find(key)) return *found;
        return create(key, handicap);
    }

    // Drops every runner cache (releasing the objects in their slots).
    void clear();

    // Every runner cache in ascending (selection id, handicap key) order. The
    // vector is the map's own: each call brings it up to date (sorting only
    // the caches created since the previous call), and the pointers in it stay
    // valid until the map is emptied or destroyed.
    const std::vector<RunnerCache*>& runners_in_order() {
        if (order_.size() < size_) list_new_runners();  // size_ counts runners_
        return order_;
    }

    // Unordered iteration (creation order) over the caches.
    auto begin() { return runners_.begin(); }
    auto end() { return runners_.end(); }
    auto begin() const { return runners_.begin(); }
    auto end() const { return runners_.end(); }

private:
    struct Bucket {
        RunnerKey key;
        RunnerCache* runner;  // null: empty bucket
    };
    size_t bucket_of(RunnerKey key) const {
        // Most runners have no handicap: their key's second half is not mixed
        // in (mixing in a zero would only map one seeded hash onto another).
        uint64_t h = detail::mix64(seed_ ^ uint64_t(key.selection_id));
        if (key.handicap_key != 0) h = detail::mix64(h ^ uint64_t(key.handicap_key));
        return size_t(h) & (buckets_.size() - 1);
    }
    void grow();
    RunnerCache& create(RunnerKey key, double handicap);  // `key` is not in the map
    void list_new_runners();  // adds the caches created since, in order

    std::deque<RunnerCache> runners_;  // creation order; stable addresses
    std::vector<Bucket> buckets_;      // power-of-two size, at most half full; empty until first use
    std::vector<RunnerCache*> order_;  // sorted listing of runners_[0, order_.size())
    size_t active_ = 0;                // caches whose status is "ACTIVE"
    size_t size_ = 0;                  // runners_.size(), which a deque counts slowly
    uint64_t seed_;
};

// Returns the runner cache for this selection id and handicap, creating it.
RunnerCache& upsert_runner(RunnerMap& runners, int64_t selection_id, double handicap);

// Applies one element of a market change's "rc" array. Elements that are not
// objects or have no integer "id" are skipped.
void apply_runner_change(RunnerMap& runners, json::Value change);

// Applies one element of a market definition's "runners" array to the runner
// caches: status, actual starting price, adjustment factor, removal date.
void apply_definition_runner(RunnerMap& runners, json::Value definition_runner);

}  // namespace palisar::market
