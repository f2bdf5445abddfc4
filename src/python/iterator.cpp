#include "python/iterator.hpp"

#include <new>
#include <stdexcept>
#include <string>

#include "python/snapshot.hpp"

namespace palisar::py {

namespace {

// ---- iter_prices_file ----------------------------------------------------------

// Binds the single parameter `path`, by position or by keyword.
PyObject* bind_path(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError,
                     "iter_prices_file() takes 1 positional arguments but %zd were given", nargs);
        return nullptr;
    }
    PyObject* path = nargs == 1 ? args[0] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(kw, "path") != 0) {
            PyErr_Format(PyExc_TypeError,
                         "iter_prices_file() got an unexpected keyword argument '%S'", kw);
            return nullptr;
        }
        if (path) {
            PyErr_SetString(PyExc_TypeError,
                            "iter_prices_file() got multiple values for argument 'path'");
            return nullptr;
        }
        path = args[nargs + i];
    }
    if (!path) {
        PyErr_SetString(PyExc_TypeError,
                        "iter_prices_file() missing 1 required positional argument: 'path'");
        return nullptr;
    }
    if (!PyUnicode_Check(path)) {
        conversion_error(path, "PyString");
        reword_argument_error("path");
        return nullptr;
    }
    return path;
}

// Thrown out of the reader when a signal handler raised.
struct Interrupted {};

}  // namespace

PyObject* iter_prices_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* path_obj = bind_path(args, nargs, kwnames);
    if (!path_obj) return nullptr;
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path_obj));
    if (!encoded) return nullptr;
    std::string path(PyBytes_AS_STRING(encoded.get()), size_t(PyBytes_GET_SIZE(encoded.get())));
    encoded = Ref();

    // Reading, inflating and parsing touch no Python object: other threads run
    // meanwhile. Pending signals are checked every few thousand lines.
    parse::PricesData data;
    std::string failure;
    bool interrupted = false, out_of_memory = false;
    PyThreadState* saved = PyEval_SaveThread();
    auto poll = [&saved] {
        PyEval_RestoreThread(saved);
        int rc = PyErr_CheckSignals();
        saved = PyEval_SaveThread();
        if (rc < 0) throw Interrupted{};
    };
    try {
        data = parse::read_prices_file(path, poll);
    } catch (const parse::ReadError& e) {
        failure = e.what();
    } catch (const Interrupted&) {
        interrupted = true;
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::length_error&) {
        out_of_memory = true;
    }
    PyEval_RestoreThread(saved);

    if (interrupted) return nullptr;  // the handler's exception is pending
    if (out_of_memory) return PyErr_NoMemory();
    if (!failure.empty()) {
        PyErr_SetString(PyExc_ValueError, failure.c_str());
        return nullptr;
    }
    return make<PricesIterator>(AccessChecked{}, ReuseScope{}, std::move(data), size_t{0}, nullptr);
}

// ---- PricesIterator ---------------------------------------------------------------

namespace {

PyObject* prices_iter(PyObject* self) {
    SharedAccess access(record_of<PricesIterator>(self).access);
    if (!access.ok()) return nullptr;
    return Py_NewRef(self);
}

Py_ssize_t prices_len(PyObject* self) {
    const PricesIterator& it = record_of<PricesIterator>(self);
    SharedAccess access(it.access);
    if (!access.ok()) return -1;
    return Py_ssize_t(it.data.messages.size());
}

PyObject* prices_next(PyObject* self) {
    PricesIterator& it = record_of<PricesIterator>(self);
    ExclusiveAccess access(it.access);
    if (!access.ok()) return nullptr;
    const auto& messages = it.data.messages;
    // A replay follows the first market it meets. Messages that create no
    // market yet, and messages whose every item belongs to another market,
    // yield nothing: go on to the next one.
    while (it.position < messages.size()) {
        const parse::ParsedMessage& message = messages[it.position++];
        bool applied = false, foreign = false;
        for (json::Value item : message.market_changes.items()) {
            if (!it.cache) {
                std::string_view id;
                if (!item.find("id").get_string(id) || id.empty()) continue;
                it.cache = std::make_unique<market::MarketCache>(std::string(id));
            }
            // Another market's change is never applied.
            if (market::update(*it.cache, item, message.publish_time)) applied = true;
            else foreign = true;
        }
        if (it.cache && (applied || !foreign)) return to_market_book(*it.cache);
    }
    return nullptr;
}

}  // namespace

PyGetSetDef* PricesIterator::properties() {
    static PyGetSetDef defs[] = {kEndOfProperties};
    return defs;
}

std::vector<PyType_Slot> PricesIterator::slots() {
    return {
        {Py_tp_iter, reinterpret_cast<void*>(&prices_iter)},
        {Py_tp_iternext, reinterpret_cast<void*>(guarded<&prices_next>)},
        {Py_mp_length, reinterpret_cast<void*>(&prices_len)},
        {Py_sq_length, reinterpret_cast<void*>(&prices_len)},
    };
}

}  // namespace palisar::py
