// The lazy price list: how a runner's price ladder reaches Python as a list of
// PriceSize objects, built only when a snapshot's list is first read.
//
// The objects. A ladder (market::PriceLadder, Python-free) may keep one
// listing: an opaque handle that is here either a PriceListing or, once
// listed, the list itself. Each ExchangePrices field holds the listing of its
// ladder as it was when the snapshot was built.
//
// The states of a PriceListing:
//   shared with the ladder: `ladder` set, and the ladder's current listing.
//     The ladder has not changed since the listing was made; every snapshot
//     built meanwhile gets the same listing (price_listing), and a read lists
//     the ladder's levels with the PriceSize objects the ladder keeps for them.
//   kept by the ladder: `ladder` set, no longer its current listing. The
//     ladder was about to change while a snapshot still held the listing
//     unread (listing_wanted_hook said so): it kept the listing, and logs
//     from then on each level as it was before a change, so that
//     PriceLadder::listed_levels rebuilds the levels as listed.
//   detached with a copy: `ladder` null, `levels` holding the levels as they
//     were. A kept listing copied them when read, or before the ladder moved,
//     went or had logged too much; a shared one before its ladder changed
//     with no undo log to keep it (listing_wanted_hook not set) or went. In
//     each case the ladder called detach_price_listing
//     (market::listing_detach_hook) and then let go of its reference. A
//     listing nobody else holds copies nothing: the ladder's release frees it.
//   listed: `list` built, no copy, `ladder` null. Final.
//   spare: as made, held by nothing but its ladder, which gave it up unread
//     (the snapshots that held it are gone). The ladder keeps one such as its
//     spare, and price_listing hands it out as the ladder's next listing
//     instead of making one (PriceLadder::take_spare).
//
// The transitions:
//   (none) -> shared: price_listing, for a ladder with no listing. An empty
//     ladder gets an empty list instead (as cheap as a listing); in the
//     free-threaded build the new listing is listed at once.
//   shared -> listed: listed_prices (the first read). The ladder then keeps
//     the list in place of the listing, so later snapshots get the list itself.
//   shared -> kept: before the ladder's levels change, while it is wanted.
//   shared or kept -> detached: detach_price_listing, before the ladder's
//     levels change (shared and not wanted), moves or goes, or when its log
//     is too long (kept).
//   kept -> detached -> listed: listed_prices copies the levels first (new
//     PriceSize objects: the ladder's are for its current levels), then lists.
//     The ladder releases the listing at a later change (no longer wanted).
//   detached -> listed: listed_prices, from the copy.
//   Copy failure (out of memory): before a change (or before an image drops
//     the runner, PriceLadder::give_up_listing), the hook returns false; the
//     ladder keeps the listing and its levels and throws std::bad_alloc before
//     changing anything, which the entry point raises as MemoryError (see
//     Guarded in errors.hpp). A kept listing read raises MemoryError and stays
//     kept. When the ladder only bounds its log, the listing stays kept. When
//     the ladder moves or goes with its iterator it must let go: `levels_lost`
//     is set and the listing's first read raises MemoryError.
//
// Who holds which reference:
//   - the ladder: one strong reference to its listing (the PriceListing, or
//     the list once listed) and one to each listing it keeps, given back
//     through market::object_release_hook;
//     and one to each level's PriceSize while that level is unchanged; and
//     one to its spare listing;
//   - each ExchangePrices field: one to the listing until its first read, then
//     one to the list (exchange_prices_list swaps them);
//   - the PriceListing: one to its list once built; `ladder` is a plain
//     pointer, valid only while the ladder still holds the listing (the hook
//     clears it before the ladder gives it up).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "market/ladder.hpp"
#include "python/types.hpp"

namespace palisar::py {

// The levels a listing copied from its ladder: each level's key and size as
// the ladder stores them (from the worst price to the best), in memory from
// the interpreter's allocator.
class CopiedLevels {
public:
    CopiedLevels() = default;
    CopiedLevels(CopiedLevels&& o) noexcept
        : levels_(std::exchange(o.levels_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          descending_(o.descending_) {}
    CopiedLevels& operator=(CopiedLevels&&) = delete;
    ~CopiedLevels() { clear(); }

    // The levels `ladder` lists for `listing` (see PriceLadder::listed_levels).
    // False when the memory cannot be had.
    bool copy(const market::PriceLadder& ladder, const void* listing) {
        clear();
        descending_ = ladder.descending();
        try {
            return ladder.listed_levels(
                listing,
                [&](size_t n) {
                    if (n == 0) return true;
                    levels_ = PyMem_New(Level, n);
                    size_ = levels_ ? n : 0;
                    return levels_ != nullptr;
                },
                [&](size_t i, uint64_t key, double size) { levels_[i] = Level{key, size}; });
        } catch (const std::bad_alloc&) {
            clear();
            return false;
        }
    }
    void clear() {
        if (levels_) PyMem_Free(std::exchange(levels_, nullptr));  // most listings never copy
        size_ = 0;
    }
    size_t size() const { return size_; }
    // The i-th level in book order.
    double price(size_t i) const { return market::PriceLadder::listed_price(at(i).key, descending_); }
    double size_at(size_t i) const { return at(i).size; }

private:
    struct Level {
        uint64_t key;
        double size;
    };
    const Level& at(size_t i) const { return levels_[size_ - 1 - i]; }
    Level* levels_ = nullptr;
    size_t size_ = 0;
    bool descending_ = false;
};

// The list of one ladder's levels, listed on first read (see the top of this
// file). Python code never sees this class.
struct PriceListing {
    static constexpr const char* kName = "builtins.PriceListing";
    static constexpr const char* kDoc = "The levels of a price ladder, listed on first read";
    static inline PyTypeObject* type = nullptr;
    static PyGetSetDef* properties();
    static std::vector<PyType_Slot> slots() { return {}; }

    market::PriceLadder* ladder;  // while the ladder has the listed levels
    CopiedLevels levels;          // the levels as they were, once the ladder moved on
    bool levels_lost;             // the copy could not be made (out of memory)
    Ref list;                     // once built
};

// The ladder's listing (a new reference), made when the ladder has none: a
// PriceListing, or for an empty ladder an empty list.
PyObject* price_listing(market::PriceLadder& ladder);
// A new reference to the listing's list, built on the first call (a list is
// its own listing).
PyObject* listed_prices(PyObject* listing);
// A new reference to the list of an ExchangePrices field, which holds the
// list itself from then on.
PyObject* exchange_prices_list(Held& field);
// Installed as market::listing_detach_hook.
bool detach_price_listing(void* listing, const market::PriceLadder& ladder, bool must_let_go);
// Installed as market::listing_wanted_hook.
bool price_listing_wanted(void* listing);
// Installed as market::listing_spare_hook: a listing only its ladder holds,
// neither listed nor copied, which price_listing can hand out again.
bool price_listing_spare(void* listing);


}  // namespace palisar::py
