// A reuse slot: one owned, opaque object handle plus the stamp it was built at.
//
// The cache keeps the last objects the snapshot builder made (a runner object,
// a price list, a definition object) so that it can hand them out again while
// the matching change counter has not moved. The cache itself never looks
// inside: it only owns one reference to the object and gives it back through
// `object_release_hook` when the slot is reset, replaced, or destroyed with its
// runner cache or market cache. The module sets the hook once at import (to
// its reference-count decrement); native code may set it to anything with the
// same signature. With no hook set, held objects are simply forgotten.
#pragma once

#include <cstdint>

namespace palisar::market {

// Called exactly once for every object a slot gives up. Process-wide.
inline void (*object_release_hook)(void*) = nullptr;

struct ObjectSlot {
    void* object = nullptr;  // owned reference, or null
    uint64_t stamp = 0;      // counter value the object was built at

    ObjectSlot() = default;
    ObjectSlot(const ObjectSlot&) = delete;
    ObjectSlot& operator=(const ObjectSlot&) = delete;
    ObjectSlot(ObjectSlot&& other) noexcept : object(other.object), stamp(other.stamp) {
        other.object = nullptr;
        other.stamp = 0;
    }
    ObjectSlot& operator=(ObjectSlot&& other) noexcept {
        if (this != &other) {
            void* old = object;
            object = other.object;
            stamp = other.stamp;
            other.object = nullptr;
            other.stamp = 0;
            release(old);
        }
        return *this;
    }
    ~ObjectSlot() { release(object); }

    // True when an object is held and was built at `counter`.
    bool fresh(uint64_t counter) const { return object != nullptr && stamp == counter; }

    // Takes over one reference to `obj` (may be null) and releases the old one.
    // The slot is updated before the old object is released, so a release that
    // re-enters the cache finds a consistent slot.
    void replace(void* obj, uint64_t new_stamp) noexcept {
        void* old = object;
        object = obj;
        stamp = new_stamp;
        release(old);
    }
    // Releases the held object, if any, and clears the stamp.
    void reset() noexcept { replace(nullptr, 0); }

private:
    static void release(void* obj) noexcept {
        if (obj != nullptr && object_release_hook != nullptr) object_release_hook(obj);
    }
};

}  // namespace palisar::market
