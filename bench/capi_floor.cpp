// palisar_bench: a benchmark-only extension built from the module's own sources
// (configure with -DPALISAR_BENCH=ON). It measures the floor of one replay step:
// what a step that changed nothing cannot avoid, namely creating a MarketBook, a
// list of the runners and a datetime through the C API, and releasing them.
//
//   floor_steps(n, runners, definition=None) -> seconds
//       creates and releases n times a MarketBook (through the same internal
//       constructor as the snapshot builder), a new list holding the objects
//       of `runners` (a list; the same objects every time) and a datetime made
//       by DateTime_FromDateAndTime; returns the elapsed seconds.
//   iter_prices_file(path)
//       the module's own function, from this same build, so that a step and
//       its floor can be timed from one compilation.
//
// The classes are registered exactly as the module does (same records, same
// type creation); the palisar module itself gains no name.
#include "python/types.hpp"  // Python.h first

#include <datetime.h>

#include <chrono>
#include <string>

#include "python/classes.hpp"
#include "python/iterator.hpp"
#include "python/state.hpp"

namespace {

using namespace palisar::py;

PyObject* floor_steps(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "floor_steps(n, runners, definition=None)");
        return nullptr;
    }
    Py_ssize_t n = PyLong_AsSsize_t(args[0]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    PyObject* source = args[1];
    if (!PyList_Check(source)) {
        PyErr_SetString(PyExc_TypeError, "runners must be a list");
        return nullptr;
    }
    PyObject* definition = nargs == 3 && args[2] != Py_None ? args[2] : nullptr;
    // The same field values a snapshot carries; the strings are copied per
    // book as the builder copies them from the cache.
    const std::string market_id = "1.234567890";
    const std::string status = "OPEN";
    const int64_t epoch_ms = 1663077552994;
    const Py_ssize_t k = PyList_GET_SIZE(source);

    // Released books are kept for reuse while an iterator lives, as during a replay.
    ReuseScope reuse;
    auto started = std::chrono::steady_clock::now();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* list = PyList_New(k);
        if (!list) return nullptr;
        for (Py_ssize_t j = 0; j < k; ++j)
            PyList_SET_ITEM(list, j, Py_NewRef(PyList_GET_ITEM(source, j)));
        Ref runners = Ref::steal(list);
        Ref when = Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
            2022, 9, 13, 13, 59, 12, int(i % 1000000), Py_None, PyDateTimeAPI->DateTimeType));
        if (!when) return nullptr;
        OptionalHeld held_definition{Ref::borrow(definition)};
        PyObject* book = make<MarketBook>(
            AccessChecked{}, market_id, Held{std::move(when)}, epoch_ms, status, int32_t(0), false,
            true, true, false, int32_t(k), int32_t(k), int32_t(1), false, 0.0, int64_t(1),
            std::optional<int64_t>{}, std::move(held_definition), Held{std::move(runners)},
            std::optional<int32_t>{});
        if (!book) return nullptr;
        Py_DECREF(book);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return PyFloat_FromDouble(seconds);
}

PyMethodDef g_methods[] = {
    {"floor_steps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&floor_steps)),
     METH_FASTCALL, "floor_steps(n, runners, definition=None)\n--\n\n"},
    {"iter_prices_file",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&iter_prices_file)),
     METH_FASTCALL | METH_KEYWORDS, "iter_prices_file(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "palisar_bench", "Benchmark floors of the palisar module.", 0,
    g_methods, nullptr, nullptr, nullptr, nullptr,
};

template <class R>
bool add_class(PyObject* module) {
    PyTypeObject* type = create_type<R>();
    if (!type) return false;
    const char* bare = R::kName + sizeof("builtins.") - 1;
    return PyModule_AddObjectRef(module, bare, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_palisar_bench() {
    if (!init_module_state()) return nullptr;
    PyDateTime_IMPORT;  // this file's own copy of the capsule pointer
    if (!PyDateTimeAPI) return nullptr;
    PyObject* module = PyModule_Create(&g_module_def);
    if (!module) return nullptr;
    bool ok = add_class<PricesIterator>(module) && add_class<MarketBook>(module) &&
              add_class<Runner>(module) && add_class<ExchangePrices>(module) &&
              add_class<StartingPrices>(module) && add_class<PriceSize>(module) &&
              add_class<MarketDefinition>(module) && add_class<MarketDefinitionRunner>(module);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
