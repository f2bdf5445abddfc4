// Owned references to Python objects, and the two kinds of held field.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace palisar::py {

// Whether the calling thread holds the interpreter: false while a daemon
// thread that the exiting interpreter refused the lock is being unwound
// through our frames (no Python call may be made then).
inline bool interpreter_held() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Releases a reference, unless the thread is being unwound without the
// interpreter (see interpreter_held): the object is then left to the exiting
// process. (That happens only while the interpreter finalizes, which is
// cheaper to ask first.)
inline void release_ref(PyObject* o) {
    if (o && (!interpreter_finalizing() || interpreter_held())) Py_DECREF(o);
}

// An owned strong reference.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) { return Ref(Py_XNewRef(o)); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { release_ref(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    PyObject* new_ref() const { return Py_XNewRef(p_); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// A field of an object's record goes with the object's dealloc, or with the
// record being built, both with the interpreter held: it is released without
// asking whether the interpreter is (see release_ref).
template <class Tag>
struct FieldRef {
    Ref ref;
    FieldRef() = default;
    FieldRef(Ref r) noexcept : ref(std::move(r)) {}
    FieldRef(FieldRef&&) noexcept = default;
    FieldRef& operator=(FieldRef&&) noexcept = default;
    ~FieldRef() { Py_XDECREF(ref.release()); }
};
// A held Python object field: every read returns this same object.
using Held = FieldRef<struct HeldTag>;
// An optional held object: None when empty.
using OptionalHeld = FieldRef<struct OptionalHeldTag>;

// Gives the empty `list` the n new references in `items` (from PyMem_New,
// which it takes over): a list filled without its allocator zeroing the items
// first. False, with the internal error raised and the references released,
// when the free-threaded build's copy cannot be made.
bool adopt_items(Ref& list, PyObject** items, Py_ssize_t n);
// Item arrays (from PyMem_New) for Gathered. A few given back are kept for
// the next: every step gathers its runners, and most books give theirs back
// unread. Used with the interpreter held.
struct ItemArrays {
    static PyObject** take(size_t n, size_t& capacity) {
#ifndef Py_GIL_DISABLED
        for (size_t i = kept; i-- > 0;) {
            if (spare[i].capacity >= n && spare[i].capacity <= 2 * n + 8) {
                capacity = spare[i].capacity;
                PyObject** items = spare[i].items;
                spare[i] = spare[--kept];
                return items;
            }
        }
#endif
        capacity = n;
        return PyMem_New(PyObject*, n);
    }
    static void give(PyObject** items, [[maybe_unused]] size_t capacity) {
#ifndef Py_GIL_DISABLED
        if (kept < kKept) {
            spare[kept++] = Spare{items, capacity};
            return;
        }
#endif
        PyMem_Free(items);
    }

private:
    struct Spare {
        PyObject** items;
        size_t capacity;
    };
    static constexpr size_t kKept = 4;
    static inline Spare spare[kKept] = {};
    static inline size_t kept = 0;
};
// New references gathered for adopt_items, released with their array unless
// handed over (release).
struct Gathered {
    Gathered() = default;
    explicit Gathered(size_t n) {
        if (n > 0) items = ItemArrays::take(n, capacity);
    }
    Gathered(Gathered&& o) noexcept
        : items(std::exchange(o.items, nullptr)), count(std::exchange(o.count, 0)),
          capacity(std::exchange(o.capacity, 0)) {}
    Gathered& operator=(Gathered&& o) noexcept {
        Gathered old(std::move(*this));
        items = std::exchange(o.items, nullptr);
        count = std::exchange(o.count, 0);
        capacity = std::exchange(o.capacity, 0);
        return *this;
    }
    Gathered(const Gathered&) = delete;
    Gathered& operator=(const Gathered&) = delete;
    ~Gathered() {
        if (!items) return;
        // A thread unwound without the interpreter (see release_ref) leaves
        // the references and their array to the exiting process.
        if (interpreter_finalizing() && !interpreter_held()) return;
        while (count > 0) Py_DECREF(items[--count]);
        ItemArrays::give(items, capacity);
    }
    PyObject** release() {
        count = 0;
        return std::exchange(items, nullptr);
    }
    PyObject** items = nullptr;
    size_t count = 0;
    size_t capacity = 0;  // of items
};

}  // namespace palisar::py
