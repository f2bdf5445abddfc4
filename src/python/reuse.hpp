// Reuse of released instances' memory while an iterator is alive.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <iterator>

namespace palisar::py {

// Memory of released instances, kept for the next ones: a snapshot step
// releases about as many runners, price objects and books as it makes. Kept
// only while an iterator is alive, and given back when the last one goes, so
// that no kept block holds an otherwise empty memory pool once replays are
// over. The interpreter lock guards it.
struct Reuse {
    static inline int live_iterators = 0;
    static inline void (*releasers[16])() = {};
    static inline int releaser_count = 0;
    static void release_all() {
        for (int i = 0; i < releaser_count; ++i) releasers[i]();
    }
};

// Counts the iterator that holds it alive.
struct ReuseScope {
    ReuseScope() { ++Reuse::live_iterators; }
    ~ReuseScope() {
        if (--Reuse::live_iterators == 0) Reuse::release_all();
    }
    // A copy is one more scope (records are built from forwarded arguments).
    ReuseScope(const ReuseScope&) : ReuseScope() {}
    ReuseScope& operator=(const ReuseScope&) = delete;
};

template <class R>
struct FreeList {
    static constexpr int kCapacity = 64;
    static inline PyObject* items[kCapacity];
    static inline int count = 0;
    static inline bool registered = false;

    // Keeps `o` (its record destroyed, its type released), or returns false.
    static bool keep(PyObject* o) {
        if (Reuse::live_iterators == 0 || count == kCapacity) return false;
        if (!registered) {
            if (Reuse::releaser_count == int(std::size(Reuse::releasers))) return false;
            Reuse::releasers[Reuse::releaser_count++] = &release;
            registered = true;
        }
        items[count++] = o;
        return true;
    }
    static void release() {
        while (count > 0) PyObject_Free(items[--count]);
    }
};

}  // namespace palisar::py
