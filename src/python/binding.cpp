#include "python/binding.hpp"

#include <cstring>

namespace palisar::py {

namespace {
PyObject* g_internal_error = nullptr;
}

PyObject* internal_error_type() {
    if (!g_internal_error) {
        g_internal_error = PyErr_NewExceptionWithDoc(
            "palisar.InternalError",
            "Raised when an interpreter call that cannot fail in practice did fail.",
            PyExc_BaseException, nullptr);
    }
    return g_internal_error;
}

PyObject* internal_error() {
    // The failure is printed, and also kept as the new error's cause, so that
    // a caller can tell memory exhaustion (a MemoryError cause) from the rest.
    PyObject* cause = PyErr_GetRaisedException();
    if (cause) {
        PyErr_SetRaisedException(Py_NewRef(cause));
        PyErr_PrintEx(0);
    }
    PyObject* type = internal_error_type();
    if (!type) {
        Py_XDECREF(cause);  // the type's own failure is pending
        return nullptr;
    }
    PyErr_SetString(type, "Python API call failed");
    if (cause) {
        PyObject* raised = PyErr_GetRaisedException();
        if (raised) PyException_SetCause(raised, cause);  // steals `cause`
        else Py_DECREF(cause);
        PyErr_SetRaisedException(raised);
    }
    return nullptr;
}

PyObject* conversion_error(PyObject* obj, const char* target) {
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    if (!name) return internal_error();
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, target);
    Py_DECREF(name);
    return nullptr;
}

void reword_argument_error(const char* name) {
    PyObject* first = PyErr_GetRaisedException();
    PyObject* cause = PyException_GetCause(first);
    PyObject* text = PyObject_Str(first);
    Py_DECREF(first);
    if (!text) {
        Py_XDECREF(cause);
        internal_error();
        return;
    }
    PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
    if (!message) {
        Py_XDECREF(cause);
        internal_error();
        return;
    }
    PyObject* replaced = PyObject_CallOneArg(PyExc_TypeError, message);
    Py_DECREF(message);
    if (!replaced) {
        Py_XDECREF(cause);
        internal_error();
        return;
    }
    PyException_SetCause(replaced, cause);  // steals `cause`, which may be NULL
    PyErr_SetRaisedException(replaced);
}

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
