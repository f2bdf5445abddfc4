#include "python/errors.hpp"

#include "python/state.hpp"

namespace palisar::py {

PyObject* internal_error_type() {
    if (!module_state.internal_error) {
        module_state.internal_error = PyErr_NewExceptionWithDoc(
            "palisar.InternalError",
            "Raised when an interpreter call that cannot fail in practice did fail.",
            PyExc_BaseException, nullptr);
    }
    return module_state.internal_error;
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

}  // namespace palisar::py
