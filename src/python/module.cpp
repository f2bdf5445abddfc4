// Module initialisation: one module object per process, the function and the
// eight classes added in a fixed order, each name also appended to __all__.
#include "python/classes.hpp"
#include "python/iterator.hpp"
#include "python/state.hpp"
#include "python/types.hpp"

namespace {

using namespace palisar::py;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "palisar",
    "",
    0,
    nullptr,  // the function is attached during initialisation, like the classes
    nullptr, nullptr, nullptr, nullptr,
};

PyMethodDef g_iter_prices_file_def = {
    "iter_prices_file",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<&iter_prices_file>)),
    METH_FASTCALL | METH_KEYWORDS,
    "iter_prices_file(path)\n--\n\n",
};

// Appends `name` to __all__ (creating it first if needed), then sets the attribute.
bool add(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        // Only a missing __all__ is made here; any other failure passes.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    bool ok = text && PyList_Append(all, text) == 0;
    Py_XDECREF(text);
    Py_DECREF(all);
    return ok && PyModule_AddObjectRef(module, name, value) == 0;
}

template <class R>
bool add_class(PyObject* module) {
    PyTypeObject* type = create_type<R>();
    if (!type) return false;
    const char* bare = R::kName + sizeof("builtins.") - 1;
    return add(module, bare, reinterpret_cast<PyObject*>(type));
}

PyObject* create_module() {
    if (!init_module_state()) return nullptr;
    PyObject* module = PyModule_Create(&g_module_def);
    if (!module) return nullptr;
    PyObject* name = PyModule_GetNameObject(module);
    PyObject* func = name ? PyCMethod_New(&g_iter_prices_file_def, module, name, nullptr) : nullptr;
    Py_XDECREF(name);
    bool ok = func && add(module, "iter_prices_file", func);
    Py_XDECREF(func);
    ok = ok && add_class<PricesIterator>(module) && add_class<MarketBook>(module) &&
         add_class<Runner>(module) && add_class<ExchangePrices>(module) &&
         add_class<StartingPrices>(module) && add_class<PriceSize>(module) &&
         add_class<MarketDefinition>(module) && add_class<MarketDefinitionRunner>(module);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_palisar() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    ModuleState& st = module_state;
    if (st.interpreter_id == -1) {
        st.interpreter_id = id;
    } else if (st.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "palisar does not support sub-interpreters: it can only be imported "
                        "once per process, in one interpreter");
        return nullptr;
    }
    if (st.module) return Py_NewRef(st.module);
    st.module = guarded<&create_module>();
    return Py_XNewRef(st.module);
}
