// Python classes declared from plain C++ records: instances, their creation,
// the conversion of field values, properties and the type objects.
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
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/access.hpp"
#include "python/direct_reads.hpp"
#include "python/errors.hpp"
#include "python/pairs.hpp"
#include "python/ref.hpp"
#include "python/reuse.hpp"

// The cache's starting-price value, one of the plain values converted below.
namespace palisar::market {
class SpValue;
}

namespace palisar::py {

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

// Builds an R whose fields `fill` sets one by one, by name: no two fields can
// be swapped by their order. A failure part way releases the object.
template <class R, class F>
PyObject* make_filled(F&& fill) {
    PyObject* o = make<R>();
    if (!o) return nullptr;
    try {
        fill(record_of<R>(o));
    } catch (...) {
        Py_DECREF(o);
        throw;
    }
    return o;
}

// ---- conversion of field values ------------------------------------------

inline PyObject* to_python(int64_t v) { return checked(PyLong_FromLongLong(v)); }
inline PyObject* to_python(int32_t v) { return checked(PyLong_FromLong(v)); }
inline PyObject* to_python(double v) { return checked(PyFloat_FromDouble(v)); }
inline PyObject* to_python(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
PyObject* to_python(const std::string& s);
inline PyObject* to_python(const Held& h) { return Py_NewRef(h.ref.get()); }
inline PyObject* to_python(const OptionalHeld& h) { return Py_NewRef(h.ref ? h.ref.get() : Py_None); }
// Defined with the classes that need them (a price list builds PriceSize objects);
// declared here, ahead of the property templates that call them.
PyObject* to_python(const market::SpValue& v);
PyObject* to_python(const PairList& pairs);
inline PyObject* to_python(const SharedPairs& pairs) { return to_python(*pairs); }
PyObject* to_python(const std::vector<std::string>& texts);
template <class T>
PyObject* to_python(const std::optional<T>& v) {
    return v ? to_python(*v) : Py_NewRef(Py_None);
}

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
