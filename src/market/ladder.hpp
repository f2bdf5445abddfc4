// One price ladder of a runner: price levels with a size each, fed by the
// stream's delta lists ([[price, size], ...]) and listed in book order.
//
// Levels are kept in one flat vector sorted by price, so listing never sorts
// and a delta is one binary search plus one write (an insert or erase shifts
// the tail, which for a few hundred levels is a short memmove). A long delta
// list is merged in one pass instead, so a huge image cannot go quadratic.
// bench/README.md has the figures behind this layout. The vector runs from
// the worst price to the best on both sides of the book (a ladder listed
// lowest first keeps its keys with every bit flipped): most deltas fall at or
// next to the best price, where a level that comes or goes then moves only
// the few levels after it, and no step asks which side the ladder is on.
//
// A level is identified by the exact bit pattern of its price as a double:
// 2 and 2.0 are the same level, 0.0 and -0.0 are two levels (listed next to
// each other, in no promised order between them).
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "market/slot.hpp"
#include "json/value.hpp"

namespace palisar::market {

class PriceLadder;

// Told about every listing a ladder gives up (see `PriceLadder::listing`),
// just before the handle is released. The listing reads the levels it was
// made for through `PriceLadder::listed_levels` (until the first change they
// are simply the ladder's). Returns false when the listing could not keep
// what it needs of the levels (out of memory) and `must_let_go` is false: the
// ladder then keeps the listing and its levels and throws std::bad_alloc
// instead of changing. With `must_let_go` (the ladder moves or goes) the hook
// has to let go whatever happens. Process-wide; the module sets it at import
// (detach_price_listing, python/price_listing.hpp, where the whole protocol is
// described). It must not re-enter the ladder, except for listed_levels.
inline bool (*listing_detach_hook)(void* listing, const PriceLadder& ladder,
                                   bool must_let_go) = nullptr;

// Whether a listing still wants the levels it was made for (someone besides
// the ladder holds it, and has not listed it). A wanted listing is not told
// at the ladder's next change: the ladder keeps it, and an undo log of the
// changes from then on, until it is no longer wanted (then it is released
// without being told) or the ladder moves, goes or has logged too much (then
// it is told through listing_detach_hook as above). Without this hook no
// listing is wanted. Process-wide, set with listing_detach_hook.
inline bool (*listing_wanted_hook)(void* listing) = nullptr;

// Asked about a listing kept for its levels, when the ladder has no spare:
// true when nothing but the ladder holds it (so nobody wants it) and the
// module can make it a new listing again. The ladder then gives it up as its
// spare (see `take_spare`) instead of releasing it. Without this hook every
// listing given up is released. Process-wide, set with the others; it must
// not re-enter the ladder.
inline bool (*listing_spare_hook)(void* listing) = nullptr;

class PriceLadder {
public:
    // `descending`: list the highest price first (available to back, lay
    // liability taken); otherwise the lowest first.
    explicit PriceLadder(bool descending) : counted_(descending ? kSign : 0) {}
    // Each level may own an object handle (see `level_objects`), and the
    // ladder its listing, so a ladder is moved, never copied. A move gives the
    // listing up: it points at the ladder it was made for.
    PriceLadder(const PriceLadder&) = delete;
    PriceLadder& operator=(const PriceLadder&) = delete;
    PriceLadder(PriceLadder&& other) noexcept
        : levels_((other.let_listings_go(), std::move(other.levels_))),
          counted_(other.counted_) {
        other.levels_.clear();
    }
    PriceLadder& operator=(PriceLadder&& other) noexcept {
        if (this != &other) {
            let_listings_go();
            other.let_listings_go();
            release_objects();
            levels_ = std::move(other.levels_);
            other.levels_.clear();
            counted_ = other.counted_;
        }
        return *this;
    }
    ~PriceLadder() {
        let_listings_go();
        release_objects();
    }

    // Applies a delta list (the JSON array under the ladder's stream key) in
    // order. Each element must be an array of at least two items, [price, size,
    // ...]; anything else is skipped. A non-number price means 0.0. A size that
    // is a number other than zero is stored (negative and NaN sizes included);
    // a zero or non-number size removes the level. Returns whether any level
    // changed; `change_count` then rises by one for the whole call. A value that
    // is not an array changes nothing.
    bool update(json::Value deltas) {
        return deltas.is_deltas() ? update_packed(deltas.data()) : update_generic(deltas);
    }

    // Number of the last `update` calls that changed something.
    uint64_t change_count() const { return counted_ & ~kSign; }
    bool descending() const { return counted_ >> 63; }
    size_t size() const { return levels_.size(); }
    bool empty() const { return levels_.empty(); }

    // Size stored at exactly this price, or nullptr.
    const double* find(double price) const;

    // Calls f(price, size) for every level in book order. Allocates nothing.
    template <class F>
    void for_each_level(F&& f) const {
        for (auto it = levels_.rbegin(); it != levels_.rend(); ++it) f(price_of(it->key), it->size);
    }
    // Writes every level's object handle into out[0, size()) in book order,
    // calling take(handle) on each as it is written. A level that has none
    // first gets make(price, size); a null result stops the walk. Returns the
    // number of handles written (size() unless make failed). The level keeps
    // the handle it got: the snapshot builder keeps one reference to the
    // object it made for the level there. The handle is given up through
    // `object_release_hook` when the level's size changes, when the level
    // goes, and with the ladder.
    template <class Make, class Take>
    size_t level_objects(void** out, Make&& make, Take&& take) {
        const size_t n = levels_.size();
        Level* const levels = levels_.data();
        for (size_t i = 0; i < n; ++i) {
            Level& l = levels[n - 1 - i];
            if (!l.object && !(l.object = make(price_of(l.key), l.size))) return i;
            take(out[i] = l.object);
        }
        return n;
    }
    // The object that lists the ladder as it stands (an owned handle, or
    // null): the snapshot builder keeps its list of the levels here, so that
    // every snapshot until the next change shares it (the lazy price list of
    // python/price_listing.hpp). Before its levels first change (an update
    // that changes nothing keeps it) the ladder stops handing it out: a
    // listing that is still wanted (listing_wanted_hook) is kept, with an undo
    // log from which `listed_levels` rebuilds its levels; any other is given
    // up, telling `listing_detach_hook` first. Every listing kept is given up
    // so when the ladder moves or goes.
    void* listing() const { return listing_; }
    // Takes over one reference to `object`, giving up the current listing
    // first (the listings kept for their levels stay).
    void set_listing(void* object) {
        let_listing_go();
        listing_ = object;
    }
    // The spare listing (an owned handle, see listing_spare_hook), or null;
    // the ladder no longer has it. (The spare goes with the undo log, which
    // is there in the usual case: a listing kept.)
    void* take_spare() { return log_ ? std::exchange(log_->spare, nullptr) : nullptr; }
    // Gives up the listing and every listing kept, as a move would but ahead
    // of one that cannot fail (the ladder about to go with its runner). Throws
    // std::bad_alloc, keeping the listings not yet given up, when one cannot
    // keep its levels.
    void give_up_listing();
    // Whether `listing` is the current listing or one kept for its levels.
    bool lists(const void* listing) const;
    // The levels as they were when `listing` was made (the current levels for
    // the current listing or any handle the ladder does not know): calls
    // start(n) once with their number, then, unless it returned false,
    // emit(i, key, size) for each as stored (i from 0 to n - 1): from the
    // worst price to the best, the reverse of book order, each key as the
    // ladder keeps it (listed_price turns it into its price; a copy that is
    // never read never does). Returns start's result. May throw
    // std::bad_alloc (scratch memory).
    template <class Start, class Emit>
    bool listed_levels(const void* listing, Start&& start, Emit&& emit) const;

    // A level as stored.
    struct Level {
        uint64_t key;  // price_key(price) ^ flip(): ascending from the worst price to the best
        double size;
        void* object = nullptr;  // owned handle, see level_objects
    };
    // Replaces the contents of `out` with the levels in book order (reuses its capacity).
    void to_price_sizes(std::vector<std::pair<double, double>>& out) const;
    std::vector<std::pair<double, double>> to_price_sizes() const;

    // Sort key for a price: unsigned order of the result is the numeric order
    // of the prices (with -0.0 just below 0.0), and it maps one-to-one onto the
    // price's bit pattern.
    static uint64_t price_key(double price) {
        uint64_t b = std::bit_cast<uint64_t>(price);
        return (b >> 63) ? ~b : (b | kSign);
    }
    static double key_price(uint64_t key) {
        return std::bit_cast<double>((key >> 63) ? (key & ~kSign) : ~key);
    }
    // The price of a key that listed_levels gave, on a ladder listed highest
    // first (`descending`) or lowest first.
    static double listed_price(uint64_t key, bool descending) { return key_price(key ^ flip_of(descending)); }

private:
    static constexpr uint64_t kSign = uint64_t(1) << 63;
    // What a price's key is XORed with as stored: nothing on a ladder listed
    // highest first, every bit on one listed lowest first, so that the vector
    // ascends towards the best price either way.
    static constexpr uint64_t flip_of(bool descending) { return uint64_t(descending) - 1; }
    uint64_t flip() const { return flip_of(descending()); }
    uint64_t stored_key(double price) const { return price_key(price) ^ flip(); }
    double price_of(uint64_t stored) const { return listed_price(stored, descending()); }
    static void release(void* object) {
        if (object && object_release_hook) object_release_hook(object);
    }
    // Gives up a listing nobody wants: kept as the spare when there is none
    // and the module can reuse it, else released.
    void let_unwanted_go(void* listing) {
        if (log_ && !log_->spare && listing_spare_hook && listing_spare_hook(listing))
            log_->spare = listing;
        else
            release(listing);
    }
    // The same for the newest kept listing, whoever holds it (with the log
    // and listing_wanted_hook there): as the spare (which also tells that
    // nobody wants it), or released when nobody wants it. False, with the
    // listing kept, when someone does.
    bool let_newest_kept_go() {
        void* const listing = log_->kept.back().listing;
        if (!log_->spare && listing_spare_hook && listing_spare_hook(listing))
            log_->spare = listing;
        else if (!listing_wanted_hook(listing))
            release(listing);
        else
            return false;
        return true;
    }
    // Before a change: throws std::bad_alloc, with nothing changed, when the
    // listing cannot keep its levels or there is no room to log `changes`
    // more level changes. After it, `log_change` may be called that often.
    // `unlisted`: the ladder is known to have no listing.
    template <bool unlisted = false>
    void drop_listing(size_t changes = 1) {
        if ((!unlisted && listing_) || (log_ && log_->room < changes)) prepare_change(changes);
    }
    void prepare_change(size_t changes);
    [[gnu::noinline]] void prepare_kept_change(size_t changes);
    [[gnu::noinline]] void prepare_any_change(size_t changes);
    // Records the level at `key` as it is just before a change: its size, or
    // zero when there is none (noexcept: the room was made by drop_listing).
    void log_change(uint64_t key, double size) noexcept {
        if (log_) {
            --log_->room;
            log_->undo.push_back(Undo{key, size});
        }
    }
    // After the kept listings or the log changed: drops the log when no
    // listing is kept, or sets its room.
    void sync_log() noexcept;
    size_t log_room(size_t changes) const noexcept;
    // The most entries the undo log holds: twice the ladder's size and some
    // slack. Past that the listings it serves copy their levels, so that one
    // snapshot kept forever costs a copy rather than a log without end.
    size_t log_bound() const noexcept { return 2 * levels_.size() + 64; }
    void let_listing_go() noexcept {
        if (void* l = std::exchange(listing_, nullptr)) {
            if (listing_detach_hook) listing_detach_hook(l, *this, true);
            release(l);
        }
    }
    // On a move and with the ladder: every listing is told and given up.
    void let_listings_go() noexcept;
    // Releases the kept listings no longer wanted; drops the log when none is
    // left. Unless `always`, looks at more than one only when their number
    // has doubled since the last look, so that holding every snapshot costs
    // no look at every listing on every change.
    void release_unwanted(bool always) noexcept;
    // Gives up every kept listing that can keep its levels (the log is too long).
    void bound_log() noexcept;
    void release_objects() {
        for (Level& l : levels_) release(std::exchange(l.object, nullptr));
    }
    // Delta lists longer than this are applied by sorting and merging.
    static constexpr size_t kDirectDeltas = 48;

    // The first level whose key is not below `key` (the end when none is).
    const Level* lower_bound(uint64_t key) const;
    // The same, looking at the best level first.
    const Level* position(uint64_t key) const;
    template <bool unlisted>
    bool apply_one(uint64_t key, bool store, double size);
    [[gnu::noinline]] bool insert_level(size_t at, uint64_t key, double size);
    [[gnu::noinline]] bool erase_level(size_t at);
    bool apply_merged(json::Value::ArrayIter first, json::Value::ArrayIter last);
    bool update_packed(const uint8_t* list);  // a packed list (the parser's common form)
    bool update_generic(json::Value deltas);  // any other value

    // A level before a change, in the undo log. A stored size is never zero,
    // so zero stands for no level.
    struct Undo {
        uint64_t key;
        double size;
    };
    // A listing still wanted after the ladder moved on: owned handle, and the
    // length of the log when it was the current listing.
    struct Kept {
        void* listing;
        size_t since;
    };
    struct Log {
        std::vector<Undo> undo;  // oldest first
        std::vector<Kept> kept;  // ascending `since`, never empty
        size_t room = 0;         // changes that can be logged before prepare_change
        size_t swept = 0;        // kept.size() after the last look for unwanted ones
        void* spare = nullptr;   // owned handle, see take_spare; released with the log
        Log() = default;
        Log(const Log&) = delete;
        Log& operator=(const Log&) = delete;
        ~Log() { release(spare); }
    };
    const Kept* find_kept(const void* listing) const;
    // The levels of a kept listing, rebuilt from the current ones and the log
    // (scratch memory of the thread, valid until the next call); null for a
    // listing not kept. May throw std::bad_alloc.
    const std::vector<Undo>* levels_as_kept(const void* listing) const;
    // Calls tell(i) for each kept listing i, newest first, with its levels
    // rebuilt for levels_as_kept in one backward pass over the log, until
    // tell returns false. Returns the number of listings not told.
    template <class Tell>
    size_t tell_kept(Tell&& tell) noexcept;
    static std::vector<Undo>& scratch(bool second);
    // Fills `levels` with the levels as they were at log position `since`,
    // with room for undoing down to `oldest`.
    void rebuild(std::vector<Undo>& levels, size_t since, size_t oldest) const;

    std::vector<Level> levels_;  // ascending by key
    void* listing_ = nullptr;    // owned handle, see listing
    std::unique_ptr<Log> log_;   // while some listing is kept: every change is logged
    // (A ladder per runner and book side: the order takes the counter's top
    // bit, which a count never reaches, so that counting is one addition.)
    uint64_t counted_;
    void count_change() { ++counted_; }
};

template <class Start, class Emit>
bool PriceLadder::listed_levels(const void* listing, Start&& start, Emit&& emit) const {
    if (const std::vector<Undo>* rebuilt = listing == listing_ ? nullptr : levels_as_kept(listing)) {
        if (!start(rebuilt->size())) return false;
        for (size_t i = 0; i < rebuilt->size(); ++i) emit(i, (*rebuilt)[i].key, (*rebuilt)[i].size);
        return true;
    }
    const size_t n = levels_.size();
    if (!start(n)) return false;
    for (size_t i = 0; i < n; ++i) emit(i, levels_[i].key, levels_[i].size);
    return true;
}

}  // namespace palisar::market
