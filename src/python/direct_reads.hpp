// Direct attribute reads: a class's own property names matched by identity.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace palisar::py {

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

}  // namespace palisar::py
