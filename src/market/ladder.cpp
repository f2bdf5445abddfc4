#include "market/ladder.hpp"

#include <algorithm>

namespace palisar::market {

namespace {

// Reads one delta, its price as price_key (not yet as stored). False when the
// element is to be skipped: not an array, or fewer than two items. Items
// after the size are ignored.
bool read_delta(json::Value delta, uint64_t& key, bool& store, double& size) {
    if (*delta.data() == json::tag::Pair) {  // an element of a packed list
        const uint8_t* q = delta.data() + 1;
        key = PriceLadder::price_key(json::detail::pair_number(q));
        size = json::detail::pair_number(q);
        store = size != 0.0;
        return true;
    }
    if (!delta.is_array()) return false;
    json::Value::Range items = delta.elements();
    json::Value::ArrayIter it = items.begin();
    if (it == items.end()) return false;
    json::Value price_value = *it;
    ++it;
    if (it == items.end()) return false;
    double price = 0.0;  // a price that is not a number addresses 0.0
    price_value.get_double(price);
    key = PriceLadder::price_key(price);
    // NaN != 0.0, so a NaN size is stored like any other.
    store = (*it).get_double(size) && size != 0.0;
    return true;
}

}  // namespace

// The search takes steps of halving powers of two: each is a shift, a compare
// and an add, with no length or middle to work out. The answer lies in
// [base, base + step] throughout; a first step of the largest power of two
// that fits leaves a range of exactly that length. Each step adds its width
// masked by the comparison: where the price falls is as good as random, and
// a branch the compiler would otherwise make of it guesses wrong half the
// time.
const PriceLadder::Level* PriceLadder::lower_bound(uint64_t key) const {
    const size_t n = levels_.size();
    const Level* const first = levels_.data();
    if (n == 0) return first;
    const size_t step = std::bit_floor(n);
    auto below = [key](const Level* l) { return size_t(0) - size_t(l->key < key); };  // all ones or zero
    // Steps kept in bytes, so that each is a shift (a power of two times the
    // level's size halves exactly).
    const char* b = reinterpret_cast<const char*>(first) + ((n - step) * sizeof(Level) & below(first + step - 1));
    for (size_t bytes = step * sizeof(Level); bytes > sizeof(Level);) {
        bytes /= 2;
        b += bytes & below(reinterpret_cast<const Level*>(b + bytes) - 1);
    }
    const Level* base = reinterpret_cast<const Level*>(b);
    return base + (base->key < key);
}

// Most deltas fall on the best price (half of them and more) or next to it:
// the best level, the last, is looked at first, and the search runs only for
// a price short of it.
inline const PriceLadder::Level* PriceLadder::position(uint64_t key) const {
    const Level* const first = levels_.data();
    const Level* const end = first + levels_.size();
    if (first == end) return first;
    if (end[-1].key <= key) return end - (end[-1].key == key);
    return lower_bound(key);
}

// Mostly a level that is there gets another size (or the same one), which is
// handled here; a level that comes or goes moves the tail, out of line.
// `unlisted`: the ladder is known to have no listing (a change in this update
// has given it up), which saves a test that would guess wrong at the first
// change of every update.
template <bool unlisted>
inline bool PriceLadder::apply_one(uint64_t key, bool store, double size) {
    Level* const pos = const_cast<Level*>(position(key));  // one of levels_
    if (pos == levels_.data() + levels_.size() || pos->key != key)
        return store && insert_level(size_t(pos - levels_.data()), key, size);
    if (!store) return erase_level(size_t(pos - levels_.data()));
    if (pos->size == size) return false;
    drop_listing<unlisted>();
    log_change(key, pos->size);
    pos->size = size;
    release(std::exchange(pos->object, nullptr));
    return true;
}

bool PriceLadder::insert_level(size_t at, uint64_t key, double size) {
    // Room first, so that nothing changes when memory runs out.
    if (levels_.size() == levels_.capacity()) levels_.reserve(std::max<size_t>(1, 2 * levels_.size()));
    drop_listing();
    log_change(key, 0.0);
    levels_.insert(levels_.begin() + std::ptrdiff_t(at), Level{key, size});
    return true;
}

bool PriceLadder::erase_level(size_t at) {
    auto pos = levels_.begin() + std::ptrdiff_t(at);
    drop_listing();
    log_change(pos->key, pos->size);
    release(pos->object);
    levels_.erase(pos);
    return true;
}

// Sorts the remaining deltas by price (keeping their order within one price)
// and merges them with the levels in a single pass. Each price's deltas are
// replayed in list order against that price's level, so the outcome and the
// change flag are those of applying the list one delta at a time.
bool PriceLadder::apply_merged(json::Value::ArrayIter first, json::Value::ArrayIter last) {
    struct Pending {
        uint64_t key;
        size_t seq;
        double size;
        bool store;
    };
    thread_local std::vector<Pending> pending;
    thread_local std::vector<Level> merged;
    thread_local std::vector<void*> dropped;
    thread_local std::vector<Undo> before;  // each level that ends changed, as it was
    pending.clear();
    dropped.clear();
    before.clear();
    size_t seq = 0;
    for (; first != last; ++first) {
        Pending p{0, seq++, 0.0, false};
        if (read_delta(*first, p.key, p.store, p.size)) {
            p.key ^= flip();
            pending.push_back(p);
        }
    }
    std::sort(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) {
        return a.key != b.key ? a.key < b.key : a.seq < b.seq;
    });

    bool changed = false;
    merged.clear();
    merged.reserve(levels_.size() + pending.size());
    dropped.reserve(pending.size());
    before.reserve(pending.size());
    size_t i = 0, j = 0;
    const size_t n_levels = levels_.size(), n_pending = pending.size();
    while (j < n_pending) {
        const uint64_t key = pending[j].key;
        while (i < n_levels && levels_[i].key < key) merged.push_back(levels_[i++]);
        bool present = false, existed = false;
        double current = 0.0;
        void* object = nullptr;
        if (i < n_levels && levels_[i].key == key) {
            existed = present = true;
            object = levels_[i].object;
            current = levels_[i++].size;
        }
        const double original = current;
        for (; j < n_pending && pending[j].key == key; ++j) {
            const Pending& p = pending[j];
            if (p.store) {
                if (!present || !(current == p.size)) changed = true;
                present = true;
                current = p.size;
            } else if (present) {
                changed = true;
                present = false;
            }
        }
        // A level whose size ends as it was keeps its object; the others give
        // theirs up once the new levels are in place.
        if (existed && !(present && current == original)) {
            dropped.push_back(std::exchange(object, nullptr));
            before.push_back(Undo{key, original});
        } else if (!existed && present) {
            before.push_back(Undo{key, 0.0});
        }
        if (present) merged.push_back(Level{key, current, object});
    }
    // Copy (not swap) so the ladder never inherits an oversized scratch buffer.
    // Everything that can fail comes before the first change: a failed
    // allocation leaves the ladder as it was.
    if (changed) {
        merged.insert(merged.end(), levels_.begin() + std::ptrdiff_t(i), levels_.end());
        if (merged.size() > levels_.capacity()) levels_.reserve(merged.size());
        drop_listing(before.size());
        for (const Undo& u : before) log_change(u.key, u.size);
        levels_.assign(merged.begin(), merged.end());
        for (void* object : dropped) release(object);
    }
    if (pending.capacity() > (size_t(1) << 16)) {
        pending = {};
        merged = {};
        dropped = {};
        before = {};
    }
    return changed;
}

bool PriceLadder::update_generic(json::Value deltas) {
    json::Value::Range items = deltas.items();
    bool changed = false;
    json::Value::ArrayIter it = items.begin();
    try {
        for (size_t n = 0; it != items.end() && n < kDirectDeltas; ++it, ++n) {
            uint64_t key;
            bool store;
            double size = 0.0;
            if (read_delta(*it, key, store, size)) changed |= apply_one<false>(key ^ flip(), store, size);
        }
        if (it != items.end()) changed |= apply_merged(it, items.end());
    } catch (...) {
        // Out of memory part way: the deltas applied so far stay, and count.
        if (changed) count_change();
        throw;
    }
    if (changed) count_change();
    return changed;
}

// A packed list (the common case): each pair decodes in place, and the cursor
// moves past it.
bool PriceLadder::update_packed(const uint8_t* list) {
    const unsigned w = *list & 0x0F;
    const uint8_t* q = list + 1 + w;
    const uint8_t* const end = q + (w == 1 ? list[1] : json::detail::read_le(list + 1, w));
    const uint64_t flip = this->flip();
    bool changed = false;
    try {
        size_t n = 0;
        auto apply = [&]<bool unlisted>() {
            ++q;  // the pair's tag
            const uint64_t key = price_key(json::detail::pair_number(q)) ^ flip;
            const double size = json::detail::pair_number(q);
            changed |= apply_one<unlisted>(key, size != 0.0, size);
            ++n;
        };
        // Up to the first change, which gives up the listing if there is one.
        while (q != end && n < kDirectDeltas && !changed) apply.template operator()<false>();
        while (q != end && n < kDirectDeltas) apply.template operator()<true>();
        if (q != end) changed |= apply_merged(json::Value::ArrayIter(q), json::Value::ArrayIter(end));
    } catch (...) {
        if (changed) count_change();
        throw;
    }
    if (changed) count_change();
    return changed;
}

// ---- listings kept for their levels -------------------------------------------

const PriceLadder::Kept* PriceLadder::find_kept(const void* listing) const {
    if (!log_) return nullptr;
    for (const Kept& k : log_->kept)
        if (k.listing == listing) return &k;
    return nullptr;
}

void PriceLadder::sync_log() noexcept {
    if (log_ && log_->kept.empty())
        log_.reset();
    else if (log_)
        log_->room = log_room(0);
}

// Room for logging before prepare_change is needed again: up to the bound,
// and at least `changes` (already reserved; past the bound only when the
// listings there could not copy their levels).
size_t PriceLadder::log_room(size_t changes) const noexcept {
    const std::vector<Undo>& undo = log_->undo;
    const size_t limit = std::min(undo.capacity(), log_bound());
    return std::max(limit > undo.size() ? limit - undo.size() : 0, changes);
}

namespace {

// While tell_kept runs on this thread: whose levels the scratch holds.
struct Rebuilt {
    const PriceLadder* ladder = nullptr;
    const void* listing = nullptr;
};
thread_local Rebuilt rebuilt;

// Undoes one logged change on levels ascending by key (room reserved).
template <class Entry>
void undo_one(std::vector<Entry>& levels, const Entry& e) noexcept {
    auto it = std::lower_bound(levels.begin(), levels.end(), e.key,
                               [](const Entry& l, uint64_t k) { return l.key < k; });
    const bool there = it != levels.end() && it->key == e.key;
    if (e.size == 0.0) {
        if (there) levels.erase(it);
    } else if (there) {
        it->size = e.size;
    } else {
        levels.insert(it, e);
    }
}

}  // namespace

std::vector<PriceLadder::Undo>& PriceLadder::scratch(bool second) {
    thread_local std::vector<Undo> levels[2];
    return levels[second];
}

void PriceLadder::rebuild(std::vector<Undo>& levels, size_t since, size_t oldest) const {
    const std::vector<Undo>& undo = log_->undo;
    const size_t need = levels_.size() + (undo.size() - oldest);
    if (levels.capacity() > (size_t(1) << 16) && need < (size_t(1) << 12)) levels = {};
    levels.clear();
    levels.reserve(need);
    for (const Level& l : levels_) levels.push_back(Undo{l.key, l.size});
    for (size_t i = undo.size(); i > since; --i) undo_one(levels, undo[i - 1]);
}

const std::vector<PriceLadder::Undo>* PriceLadder::levels_as_kept(const void* listing) const {
    if (rebuilt.ladder == this && rebuilt.listing == listing) return &scratch(false);
    const Kept* kept = find_kept(listing);
    if (!kept) return nullptr;
    // (A listing told in a batch that reads another one gets its own.)
    std::vector<Undo>& levels = scratch(rebuilt.ladder != nullptr);
    rebuild(levels, kept->since, kept->since);
    return &levels;
}

template <class Tell>
size_t PriceLadder::tell_kept(Tell&& tell) noexcept {
    const std::vector<Kept>& kept = log_->kept;
    const std::vector<Undo>& undo = log_->undo;
    // One working copy, taken back change by change from the newest listing
    // to the oldest. Without memory for it, each listing rebuilds its own
    // (or fails to).
    std::vector<Undo>& working = scratch(false);
    bool batch = true;
    try {
        rebuild(working, kept.back().since, kept.front().since);
    } catch (const std::bad_alloc&) {
        batch = false;
    }
    size_t at = kept.back().since, i = kept.size();
    rebuilt.ladder = batch ? this : nullptr;
    while (i > 0) {
        if (batch)
            for (; at > kept[i - 1].since; --at) undo_one(working, undo[at - 1]);
        rebuilt.listing = kept[i - 1].listing;
        if (!tell(i - 1)) break;
        --i;
    }
    rebuilt = Rebuilt{};
    return i;
}

bool PriceLadder::lists(const void* listing) const {
    return listing && (listing == listing_ || find_kept(listing));
}

void PriceLadder::release_unwanted(bool always) noexcept {
    std::vector<Kept>& kept = log_->kept;
    std::vector<Undo>& undo = log_->undo;
    // Mostly one listing, that of the snapshot before, which its caller let go.
    if (kept.size() == 1 && !(listing_wanted_hook && listing_wanted_hook(kept[0].listing))) {
        let_unwanted_go(kept[0].listing);
        log_.reset();
        return;
    }
    if (!always && kept.size() < 2 * log_->swept) return;
    size_t w = 0;
    for (size_t r = 0; r < kept.size(); ++r) {
        if (listing_wanted_hook && listing_wanted_hook(kept[r].listing))
            kept[w++] = kept[r];
        else
            let_unwanted_go(kept[r].listing);
    }
    kept.resize(w);
    log_->swept = w;
    if (w == 0) {
        undo.clear();
    } else if (const size_t first = kept[0].since; first > 0) {
        // Nobody reads the entries before the oldest listing kept.
        undo.erase(undo.begin(), undo.begin() + std::ptrdiff_t(first));
        for (Kept& k : kept) k.since -= first;
    }
    sync_log();
}

void PriceLadder::bound_log() noexcept {
    release_unwanted(true);
    if (!log_) return;
    std::vector<Kept>& kept = log_->kept;
    // Every listing is told while the log still serves it (the batch reads
    // only the entries); those that copied their levels go.
    tell_kept([&](size_t i) {
        if (!listing_detach_hook || listing_detach_hook(kept[i].listing, *this, false))
            release(std::exchange(kept[i].listing, nullptr));
        return true;
    });
    size_t w = 0;
    for (size_t r = 0; r < kept.size(); ++r)
        if (kept[r].listing) kept[w++] = kept[r];
    kept.resize(w);
    log_->swept = w;
    if (w == 0) log_->undo.clear();
    sync_log();
}

void PriceLadder::prepare_change(size_t changes) {
    // Mostly: the one listing kept is the snapshot before's, which its caller
    // let go, and the current one is held by the snapshot just made. This
    // case is kept apart from the rest, which takes a far larger frame. The
    // current listing is kept without asking whether anyone wants it: one
    // that nobody does only costs the log of one change list more, and goes
    // at the next change like any other kept listing nobody wants.
    Log* const log = log_.get();
    if (log && listing_ && listing_wanted_hook && log->kept.size() == 1 &&
        log->undo.capacity() >= changes) {
        // The one kept goes, unless someone still wants it: no usual case.
        if (!let_newest_kept_go()) return prepare_any_change(changes);
        Kept& kept = log->kept[0];
        kept.listing = std::exchange(listing_, nullptr);
        kept.since = 0;
        log->undo.clear();
        // log_room(changes) with the log empty, written out: calling it (out
        // of line) cost this path about 13 instructions more each time.
        const size_t room = std::min(log->undo.capacity(), log_bound());
        log->room = std::max(room, changes);
        return;
    }
    prepare_kept_change(changes);
}

// As above with older listings kept too (snapshots the caller holds on to):
// the current listing takes the place of the newest kept one, which nobody
// wants any more, and the log stays for the older ones, within its bound.
void PriceLadder::prepare_kept_change(size_t changes) {
    Log* const log = log_.get();
    if (!log || !listing_ || !listing_wanted_hook || log->kept.size() < 2 ||
        log->undo.capacity() - log->undo.size() < changes ||
        log->undo.size() + changes > log_bound())
        return prepare_any_change(changes);
    if (!let_newest_kept_go()) return prepare_any_change(changes);
    Kept& kept = log->kept.back();
    kept.listing = std::exchange(listing_, nullptr);
    kept.since = log->undo.size();
    log->room = log_room(changes);
}

void PriceLadder::prepare_any_change(size_t changes) {
    if (log_ && listing_) release_unwanted(false);
    if (log_ && log_->undo.size() + changes > log_bound()) bound_log();
    const bool keep = listing_ && listing_wanted_hook && listing_wanted_hook(listing_);
    if (keep || log_) {
        // Room first, for the listing and for what the change logs.
        std::unique_ptr<Log> made;
        Log& log = log_ ? *log_ : *(made = std::make_unique<Log>());
        if (log.undo.capacity() - log.undo.size() < changes)
            log.undo.reserve(std::max({log.undo.size() + changes, 2 * log.undo.capacity(), size_t(16)}));
        if (keep && log.kept.size() == log.kept.capacity())
            log.kept.reserve(std::max<size_t>(4, 2 * log.kept.size()));
        if (made) log_ = std::move(made);
    }
    if (keep) {
        log_->kept.push_back(Kept{std::exchange(listing_, nullptr), log_->undo.size()});
    } else if (listing_) {
        if (listing_detach_hook && !listing_detach_hook(listing_, *this, false)) throw std::bad_alloc();
        release(std::exchange(listing_, nullptr));
    }
    if (log_) log_->room = log_room(changes);
}

void PriceLadder::give_up_listing() {
    if (log_) {
        std::vector<Kept>& kept = log_->kept;
        // Newest first; those told before one that cannot keep its levels go.
        const size_t left = tell_kept([&](size_t i) {
            return !listing_detach_hook || listing_detach_hook(kept[i].listing, *this, false);
        });
        for (size_t i = left; i < kept.size(); ++i) release(kept[i].listing);
        kept.resize(left);
        log_->swept = std::min(log_->swept, left);
        sync_log();
        if (left > 0) throw std::bad_alloc();
    }
    if (listing_) {
        if (listing_detach_hook && !listing_detach_hook(listing_, *this, false)) throw std::bad_alloc();
        release(std::exchange(listing_, nullptr));
    }
}

void PriceLadder::let_listings_go() noexcept {
    let_listing_go();
    if (!log_) return;
    std::vector<Kept>& kept = log_->kept;
    if (listing_detach_hook)
        tell_kept([&](size_t i) { return listing_detach_hook(kept[i].listing, *this, true), true; });
    for (const Kept& k : kept) release(k.listing);
    log_.reset();
}

const double* PriceLadder::find(double price) const {
    const uint64_t key = stored_key(price);
    const Level* pos = lower_bound(key);
    return pos != levels_.data() + levels_.size() && pos->key == key ? &pos->size : nullptr;
}

void PriceLadder::to_price_sizes(std::vector<std::pair<double, double>>& out) const {
    out.clear();
    out.reserve(levels_.size());
    for_each_level([&](double price, double size) { out.emplace_back(price, size); });
}

std::vector<std::pair<double, double>> PriceLadder::to_price_sizes() const {
    std::vector<std::pair<double, double>> out;
    to_price_sizes(out);
    return out;
}

}  // namespace palisar::market
