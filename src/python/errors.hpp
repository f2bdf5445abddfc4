// How failures reach Python: the internal error for interpreter calls that
// must not fail, MemoryError for C++ allocations that fail below an entry
// point, and the wording of conversion and argument errors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <type_traits>

namespace palisar::py {

// The exception for interpreter calls that must not fail: derived from
// BaseException, so that `except Exception` does not swallow it. Made on
// first use.
PyObject* internal_error_type();
// Prints the pending error to standard error, raises the internal error and
// returns nullptr.
PyObject* internal_error();
// `o`, or the internal error when it is null.
inline PyObject* checked(PyObject* o) { return o ? o : internal_error(); }

// "'<type name>' object cannot be converted to '<target>'"
PyObject* conversion_error(PyObject* obj, const char* target);
// Re-words a pending TypeError as "argument '<name>': <message>", keeping its cause.
void reword_argument_error(const char* name);

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

}  // namespace palisar::py
