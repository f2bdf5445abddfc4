#include "python/types.hpp"

#include <cstring>

namespace palisar::py {

PyObject* none_getter(PyObject*, void*) { return Py_NewRef(Py_None); }
PyObject* true_getter(PyObject*, void*) { return Py_NewRef(Py_True); }
PyObject* empty_list_getter(PyObject*, void*) { return checked(PyList_New(0)); }

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* name = PyType_GetName(type);
    if (!name) return internal_error();
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
    Py_DECREF(name);
    return nullptr;
}

PyObject* to_python(const std::string& s) {
    // Most texts are ASCII: copied straight into a compact str, without the
    // UTF-8 decoder.
    const size_t n = s.size();
    bool ascii = true;
    for (unsigned char c : s) ascii &= c < 0x80;
    if (!ascii) return checked(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(n)));
    PyObject* o = PyUnicode_New(Py_ssize_t(n), 127);
    if (!o) return internal_error();
    std::memcpy(PyUnicode_1BYTE_DATA(o), s.data(), n);
    return o;
}

}  // namespace palisar::py
