// The iterator over a prices file's snapshots, and the function that makes it.
#pragma once

#include <memory>

#include "market/market.hpp"
#include "parse/reader.hpp"
#include "python/types.hpp"

namespace palisar::py {

struct PricesIterator : AccessChecked {
    static constexpr const char* kName = "builtins.PricesIterator";
    static constexpr const char* kDoc = "Iterator that yields MarketBook objects with object reuse";
    static inline PyTypeObject* type = nullptr;
    static PyGetSetDef* properties();
    static std::vector<PyType_Slot> slots();

    ReuseScope reuse;        // first, so that it goes last
    parse::PricesData data;  // the kept messages and the storage behind them
    size_t position = 0;     // index of the next message to apply
    std::unique_ptr<market::MarketCache> cache;
};

// iter_prices_file(path)
PyObject* iter_prices_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

}  // namespace palisar::py
