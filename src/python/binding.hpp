// The binding layer: references, access counters, the internal error, and the
// declaration of Python classes from plain C++ records.
//
// A class is a record type R with
//   static constexpr const char* kName;   // "builtins.<Name>"
//   static constexpr const char* kDoc;    // class docstring
//   static inline PyTypeObject* type;     // set once by create_type<R>()
//   static PyGetSetDef* properties();     // built with prop<&R::field>(...)
//   static std::vector<PyType_Slot> slots();  // extra special methods (may be empty)
// Instances are `Instance<R>`: the object header followed by the record, built
// in place by `make<R>(...)` and destroyed by the shared deallocator.
// Fields are plain (converted into a fresh object on every read) or held (a
// `Held` reference, handed out as the same object on every read): the C++ type
// of the field decides, through the `to_python` overloads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace palisar::market {
class SpValue;
}

namespace palisar::py {

// (price, size) levels as the order-book cache lists them.
using PairList = std::vector<std::pair<double, double>>;
// An immutable pair list that successive objects may share.
using SharedPairs = std::shared_ptr<const PairList>;

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

// A held Python object field: every read returns this same object.
struct Held {
    Ref ref;
};
// An optional held object: None when empty.
struct OptionalHeld {
    Ref ref;
};

// The exception for interpreter calls that must not fail: derived from
// BaseException, so that `except Exception` does not swallow it.
PyObject* internal_error_type();
// Prints the pending error to standard error, raises the internal error and
// returns nullptr.
PyObject* internal_error();

// Access counter of instances that refuse overlapping reads and writes.
struct AccessCounter {
    // > 0: that many shared accesses; -1: one exclusive access.
    mutable intptr_t state = 0;
};

class SharedAccess {
public:
    explicit SharedAccess(const AccessCounter& c) : c_(&c) {
        if (c.state < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            c_ = nullptr;
        } else {
            ++c.state;
        }
    }
    ~SharedAccess() {
        if (c_) --c_->state;
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    bool ok() const { return c_ != nullptr; }

private:
    const AccessCounter* c_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(const AccessCounter& c) : c_(&c) {
        if (c.state != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            c_ = nullptr;
        } else {
            c.state = -1;
        }
    }
    ~ExclusiveAccess() {
        if (c_) c_->state = 0;
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    bool ok() const { return c_ != nullptr; }

private:
    const AccessCounter* c_;
};

// Records whose instances carry an access counter derive from this.
struct AccessChecked {
    AccessCounter access;
};

template <class R>
struct Instance {
    PyObject_HEAD
    R record;
};

template <class R>
R& record_of(PyObject* self) {
    return reinterpret_cast<Instance<R>*>(self)->record;
}

template <class R>
bool is_instance(PyObject* o) {
    return Py_TYPE(o) == R::type;
}

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

// Allocates an instance of R and builds its record in place from `args`.
// Returns a new reference, or nullptr with the internal error raised. A record
// that cannot be built (std::bad_alloc from copying a text) gives its memory
// back before the exception goes on.
template <class R, class... A>
PyObject* make(A&&... args) {
    PyObject* o;
    if (FreeList<R>::count > 0) {
        o = FreeList<R>::items[--FreeList<R>::count];
        PyObject_Init(o, R::type);  // takes a reference to the type, as allocation does
    } else {
        o = R::type->tp_alloc(R::type, 0);
        if (!o) return internal_error();
    }
    try {
        new (&reinterpret_cast<Instance<R>*>(o)->record) R{std::forward<A>(args)...};
    } catch (...) {
        R::type->tp_free(o);
        Py_DECREF(R::type);
        throw;
    }
    return o;
}

// ---- entry points ---------------------------------------------------------------

// Every function the interpreter calls goes through this: a C++ allocation
// that fails below it (std::bad_alloc, or std::length_error for a size past
// what a container can hold) raises MemoryError here rather than unwinding
// into the interpreter. The code below leaves every record consistent when it
// throws, so the objects stay usable. (Not noexcept: the unwinding of a thread
// that the exiting interpreter ends must pass.)
template <auto F>
struct Guarded;
template <class Ret, class... Args, Ret (*F)(Args...)>
struct Guarded<F> {
    static Ret call(Args... args) {
        try {
            return F(args...);
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
        PyErr_NoMemory();
        if constexpr (std::is_pointer_v<Ret>) {
            return nullptr;
        } else {
            return Ret(-1);
        }
    }
};
template <auto F>
inline constexpr auto guarded = &Guarded<F>::call;

// ---- conversion of field values ------------------------------------------

inline PyObject* checked(PyObject* o) { return o ? o : internal_error(); }

inline PyObject* to_python(int64_t v) { return checked(PyLong_FromLongLong(v)); }
inline PyObject* to_python(int32_t v) { return checked(PyLong_FromLong(v)); }
inline PyObject* to_python(double v) { return checked(PyFloat_FromDouble(v)); }
inline PyObject* to_python(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
PyObject* to_python(const std::string& s);
inline PyObject* to_python(const Held& h) { return Py_NewRef(h.ref.get()); }
inline PyObject* to_python(const OptionalHeld& h) { return Py_NewRef(h.ref ? h.ref.get() : Py_None); }
// Defined with the classes that need them (a price list builds PriceSize objects).
PyObject* to_python(const market::SpValue& v);
PyObject* to_python(const PairList& pairs);
inline PyObject* to_python(const SharedPairs& pairs) { return to_python(*pairs); }
PyObject* to_python(const std::vector<std::string>& texts);
template <class T>
PyObject* to_python(const std::optional<T>& v) {
    return v ? to_python(*v) : Py_NewRef(Py_None);
}

// "'<type name>' object cannot be converted to '<target>'"
PyObject* conversion_error(PyObject* obj, const char* target);
// Re-words a pending TypeError as "argument '<name>': <message>", keeping its cause.
void reword_argument_error(const char* name);

// ---- properties ---------------------------------------------------------------

template <class R, auto Member>
PyObject* field_getter_body(PyObject* self, void*) {
    R& rec = record_of<R>(self);
    if constexpr (std::is_base_of_v<AccessChecked, R>) {
        SharedAccess access(rec.access);
        if (!access.ok()) return nullptr;
        return to_python(rec.*Member);
    } else {
        return to_python(rec.*Member);
    }
}

template <class R, auto Member>
inline constexpr getter field_getter = guarded<&field_getter_body<R, Member>>;

// A property computed by `Fn(const R&)`, under shared access where R has it.
template <class R, auto Fn>
PyObject* computed_getter_body(PyObject* self, void*) {
    R& rec = record_of<R>(self);
    if constexpr (std::is_base_of_v<AccessChecked, R>) {
        SharedAccess access(rec.access);
        if (!access.ok()) return nullptr;
        return Fn(rec);
    } else {
        return Fn(rec);
    }
}
template <class R, auto Fn>
inline constexpr getter computed_getter = guarded<&computed_getter_body<R, Fn>>;

PyObject* none_getter(PyObject*, void*);
PyObject* true_getter(PyObject*, void*);
PyObject* empty_list_getter(PyObject*, void*);

inline constexpr const char* kNoDoc = "";

template <class R, auto Member>
constexpr PyGetSetDef prop(const char* name, const char* doc = kNoDoc) {
    return PyGetSetDef{name, field_getter<R, Member>, nullptr, doc, nullptr};
}
template <class R, auto Fn>
constexpr PyGetSetDef computed(const char* name, const char* doc = kNoDoc) {
    return PyGetSetDef{name, computed_getter<R, Fn>, nullptr, doc, nullptr};
}
constexpr PyGetSetDef constant(const char* name, getter get) {
    return PyGetSetDef{name, get, nullptr, kNoDoc, nullptr};
}
inline constexpr PyGetSetDef kEndOfProperties{nullptr, nullptr, nullptr, nullptr, nullptr};

// Setter for an optional signed 32-bit field: None clears it; other values go
// through `__index__`; deletion is refused. The value is converted before
// exclusive access to the instance is taken.
template <class R, auto Member>
int optional_i32_setter(PyObject* self, PyObject* value, void* closure) {
    const char* name = static_cast<const char*>(closure);
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    std::optional<int32_t> converted;
    if (value != Py_None) {
        PyObject* index = PyNumber_Index(value);
        if (!index) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) reword_argument_error(name);
            return -1;
        }
        long long v = PyLong_AsLongLong(index);
        Py_DECREF(index);
        if (v == -1 && PyErr_Occurred()) return -1;
        if (v < INT32_MIN || v > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return -1;
        }
        converted = int32_t(v);
    }
    R& rec = record_of<R>(self);
    ExclusiveAccess access(rec.access);
    if (!access.ok()) return -1;
    rec.*Member = converted;
    return 0;
}

template <class R, auto Member>
constexpr PyGetSetDef writable_optional_i32(const char* name, const char* doc) {
    return PyGetSetDef{name, field_getter<R, Member>, optional_i32_setter<R, Member>, doc,
                       const_cast<char*>(name)};
}

// ---- types ---------------------------------------------------------------------

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*);

template <class R>
void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    record_of<R>(self).~R();
    if (!FreeList<R>::keep(self)) tp->tp_free(self);
    Py_DECREF(tp);
}

// Attribute reads that go straight to the property's getter. The interpreter
// does not specialise reads through getset descriptors, so every read of, say,
// `runner.ex` would look the name up in the type and call the descriptor; the
// names of the class's own properties are matched here by identity (attribute
// names in code are interned, as are the descriptor names), and their getter
// called directly. The result is the one the generic read gives: the table is
// used only while the type's version tag is the one it was built at (any
// change to the class changes it), and every other name, or a name that is an
// equal but distinct string, takes the generic read.
template <class R>
struct DirectReads {
    struct Entry {
        PyObject* name;  // interned, owned; null: an empty slot
        getter get;
        void* closure;
    };
    // Open addressing on the name's address, at most half full.
    static inline std::vector<Entry> table;
    static inline size_t mask = 0;
    static inline unsigned int version = 0;

    static size_t slot_of(PyObject* name) { return (reinterpret_cast<uintptr_t>(name) >> 4) & mask; }

    static PyObject* getattro(PyObject* self, PyObject* name) {
        if (Py_TYPE(self)->tp_version_tag == version) {
            for (size_t i = slot_of(name);; i = (i + 1) & mask) {
                const Entry& e = table[i];
                if (e.name == name) return e.get(self, e.closure);
                if (!e.name) break;
            }
        }
        return PyObject_GenericGetAttr(self, name);
    }

    // Installs the direct reads on `type` (the slot only: no __getattribute__
    // appears in the class's namespace). Leaves the type as it is when a
    // version tag cannot be had.
    static bool install(PyTypeObject* type) {
        size_t n = 0;
        for (PyGetSetDef* d = R::properties(); d->name; ++d) ++n;
        if (n == 0) return true;
        size_t size = 4;
        while (size < 2 * n) size *= 2;
        table.assign(size, Entry{nullptr, nullptr, nullptr});
        mask = size - 1;
        for (PyGetSetDef* d = R::properties(); d->name; ++d) {
            PyObject* name = PyUnicode_InternFromString(d->name);
            if (!name) return false;
            size_t i = slot_of(name);
            while (table[i].name) i = (i + 1) & mask;
            table[i] = Entry{name, d->get, d->closure};
        }
        if (!PyUnstable_Type_AssignVersionTag(type)) return true;
        version = type->tp_version_tag;
        if (version != 0) type->tp_getattro = &getattro;
        return true;
    }
};

// Creates R's heap type once; later calls return the same type.
template <class R>
PyTypeObject* create_type() {
    if (R::type) return R::type;
    std::vector<PyType_Slot> slots = {
        {Py_tp_doc, const_cast<char*>(R::kDoc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<R>)},
        {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
        {Py_tp_getset, R::properties()},
    };
    for (const PyType_Slot& s : R::slots()) slots.push_back(s);
    slots.push_back({0, nullptr});
    PyType_Spec spec{R::kName, int(sizeof(Instance<R>)), 0, Py_TPFLAGS_DEFAULT, slots.data()};
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type && !DirectReads<R>::install(type)) Py_CLEAR(type);
    R::type = type;
    return type;
}

}  // namespace palisar::py
