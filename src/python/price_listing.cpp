// The lazy price list: the states, transitions and references are described
// at the top of price_listing.hpp.
#include "python/price_listing.hpp"

#include "python/classes.hpp"

namespace palisar::py {

PyGetSetDef* PriceListing::properties() {
    static PyGetSetDef defs[] = {kEndOfProperties};
    return defs;
}

PyObject* price_listing(market::PriceLadder& ladder) {
    if (void* kept = ladder.listing()) return Py_NewRef(static_cast<PyObject*>(kept));
    // An empty ladder is listed at once: its list costs no more than a listing.
    PyObject* listing;
    if (ladder.empty()) {
        listing = checked(PyList_New(0));
    } else if (void* spare = ladder.take_spare()) {
        // A listing of this ladder that nobody held any more (price_listing_spare):
        // only its ladder needs setting again.
        listing = static_cast<PyObject*>(spare);
        record_of<PriceListing>(listing).ladder = &ladder;
    } else {
        listing = make<PriceListing>(&ladder, CopiedLevels{}, false, Ref{});
    }
    if (!listing) return nullptr;
    ladder.set_listing(Py_NewRef(listing));
#ifdef Py_GIL_DISABLED
    // Without the interpreter lock a reader could meet the ladder half-way
    // through an update: list it now, while the iterator holds it.
    PyObject* list = listed_prices(listing);
    Py_DECREF(listing);
    return list;
#else
    return listing;
#endif
}

// Gives the empty `list` the n new references in `items` (from PyMem_New).
bool adopt_items(Ref& list, PyObject** items, Py_ssize_t n) {
#ifndef Py_GIL_DISABLED
    // The list allocator would have zeroed the array first; it takes ours as it is.
    auto* l = reinterpret_cast<PyListObject*>(list.get());
    l->ob_item = items;
    l->allocated = n;
    Py_SET_SIZE(l, n);
    return true;
#else
    // The free-threaded build keeps item arrays in a form of its own.
    PyObject* full = PyList_New(n);
    if (full) {
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(full, i, items[i]);
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(items[i]);
    }
    PyMem_Free(items);
    if (!full) {
        internal_error();
        return false;
    }
    list = Ref::steal(full);
    return true;
#endif
}

PyObject* listed_prices(PyObject* self) {
    if (Py_TYPE(self) != PriceListing::type) return Py_NewRef(self);  // a list already
    PriceListing& l = record_of<PriceListing>(self);
    if (l.list) return l.list.new_ref();
    // Making the list may run the garbage collector and through it any code,
    // the iterator that owns the ladder included: the levels are read only
    // once the list exists.
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return internal_error();
    if (l.list) return l.list.new_ref();
    if (l.levels_lost) return PyErr_NoMemory();
    if (l.ladder && l.ladder->listing() != self) {
        // Kept by a ladder that has moved on: the levels as listed, from its log.
        if (!l.levels.copy(*l.ladder, self)) return PyErr_NoMemory();
        l.ladder = nullptr;
    }
    const Py_ssize_t n = Py_ssize_t(l.ladder ? l.ladder->size() : l.levels.size());
    if (n > 0) {
        Gathered items{size_t(n)};
        if (!items.items) return PyErr_NoMemory();
        if (l.ladder) {
            // Each level keeps the PriceSize made for it until its size changes
            // or it goes, so an unchanged level is the same (immutable) object
            // in successive lists.
            auto make_level = [](double price, double size) {
                return static_cast<void*>(make<PriceSize>(price, size));
            };
            auto take = [](void* o) { Py_INCREF(static_cast<PyObject*>(o)); };
            items.count = l.ladder->level_objects(reinterpret_cast<void**>(items.items), make_level, take);
            if (items.count < size_t(n)) return nullptr;
        } else {
            for (size_t i = 0; i < size_t(n); ++i) {
                PyObject* level = make<PriceSize>(l.levels.price(i), l.levels.size_at(i));
                if (!level) return nullptr;
                items.items[items.count++] = level;
            }
        }
        if (!adopt_items(list, items.release(), n)) return nullptr;
    }
    l.list = std::move(list);
    l.levels.clear();
    PyObject* result = l.list.new_ref();
    // The ladder has nothing left to keep the listing for: until it changes,
    // it hands out the list itself. (The caller holds `self`, so it outlives
    // the ladder's reference.)
    if (market::PriceLadder* ladder = std::exchange(l.ladder, nullptr))
        ladder->set_listing(Py_NewRef(result));
    return result;
}

bool detach_price_listing(void* object, const market::PriceLadder& ladder, bool must_let_go) {
    PyObject* self = static_cast<PyObject*>(object);
    if (Py_TYPE(self) != PriceListing::type) return true;  // a list already
    PriceListing& l = record_of<PriceListing>(self);
    // Held by a snapshot besides the ladder and not listed yet: keep the levels.
    // When they cannot be copied, the change that is coming fails instead (the
    // listing stays the ladder's); only a ladder that goes with its iterator
    // leaves the listing without them.
    if (!l.list && Py_REFCNT(self) > 1 && !l.levels.copy(ladder, self)) {
        if (!must_let_go) return false;
        l.levels_lost = true;
    }
    l.ladder = nullptr;
    return true;
}

bool price_listing_spare(void* object) {
    PyObject* self = static_cast<PyObject*>(object);
    if (Py_TYPE(self) != PriceListing::type || Py_REFCNT(self) != 1) return false;
    const PriceListing& l = record_of<PriceListing>(self);
    // As made: no list, no copy.
    return !l.list && l.levels.size() == 0 && !l.levels_lost;
}

bool price_listing_wanted(void* object) {
    PyObject* self = static_cast<PyObject*>(object);
    return Py_TYPE(self) == PriceListing::type && !record_of<PriceListing>(self).list && Py_REFCNT(self) > 1;
}

PyObject* exchange_prices_list(Held& field) {
    PyObject* list = listed_prices(field.ref.get());
    // From now on the list stands for its listing here too.
    if (list && field.ref.get() != list) field.ref = Ref::borrow(list);
    return list;
}

}  // namespace palisar::py
