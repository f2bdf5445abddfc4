// The module's state: everything it keeps for the process besides the type
// objects, made once by init_module_state() while the module is imported and
// kept until the process ends. The interpreter lock guards it.
//
// Kept elsewhere, each beside the template that needs it per class: the type
// objects (R::type, made by create_type<R>), the direct-read tables
// (DirectReads<R>) and the free lists of released instances (FreeList<R>,
// reuse.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "market/definition_fields.hpp"

namespace palisar::py {

// The exported definition fields (market/definition_fields.hpp), and the key
// of the i-th in the order the dict lists them (sorted; defined in to_dict.cpp).
#define PALISAR_COUNT_EXPORTED(kind, member, key, initial, exported) +exported
inline constexpr size_t kExportedDefinitionFields = 0 PALISAR_MARKET_DEFINITION(PALISAR_COUNT_EXPORTED);
#undef PALISAR_COUNT_EXPORTED
std::string_view definition_key(size_t i);

// The dictionary keys of MarketBook.to_dict(), interned.
struct Keys {
#define PALISAR_KEYS(X)                                                                          \
    X(marketId) X(status) X(betDelay) X(bspReconciled) X(complete) X(crossMatching) X(inplay)     \
    X(numberOfActiveRunners) X(numberOfRunners) X(numberOfWinners) X(runnersVoidable)            \
    X(totalMatched) X(version) X(lastMatchTime) X(publishTime) X(runners) X(marketDefinition)     \
    X(selectionId) X(handicap) X(adjustmentFactor) X(lastPriceTraded) X(removalDate) X(ex) X(sp)  \
    X(availableToBack) X(availableToLay) X(tradedVolume) X(nearPrice) X(farPrice) X(actualSP)     \
    X(backStakeTaken) X(layLiabilityTaken) X(price) X(size) X(name) X(id) X(sortPriority) X(hc)  \
    X(bsp)
#define PALISAR_DECLARE(k) PyObject* k = nullptr;
    PALISAR_KEYS(PALISAR_DECLARE)
#undef PALISAR_DECLARE
    // The keys of the exported definition fields, in the dict's order.
    PyObject* definition[kExportedDefinitionFields] = {};
    bool init() {
#define PALISAR_INTERN(k) \
    if (!(k = PyUnicode_InternFromString(#k))) return false;
        PALISAR_KEYS(PALISAR_INTERN)
#undef PALISAR_INTERN
        for (size_t i = 0; i < kExportedDefinitionFields; ++i)
            if (!(definition[i] = PyUnicode_InternFromString(definition_key(i).data()))) return false;
        return true;
    }
#undef PALISAR_KEYS
};

struct ModuleState {
    // Set once init_module_state() has made everything below.
    bool ready = false;

    // The module object, once made, and the interpreter that first imported it.
    PyObject* module = nullptr;
    int64_t interpreter_id = -1;

    // The internal-error type (errors.hpp), made on first use.
    PyObject* internal_error = nullptr;

    // datetime: the names of the two class methods called, the two forms of a
    // definition time, and the UTC time zone.
    PyObject* strptime_name = nullptr;
    PyObject* fromtimestamp_name = nullptr;
    PyObject* format_fraction = nullptr;
    PyObject* format_seconds = nullptr;
    PyObject* utc = nullptr;
    // The civil date of the day of the last publish time converted:
    // successive books mostly fall on the same day.
    int64_t cached_days = INT64_MIN;
    int64_t cached_year = 0;
    unsigned cached_month = 0;
    unsigned cached_day = 0;

    // The keys of MarketBook.to_dict().
    Keys keys;
};

inline ModuleState module_state;

// Makes the state, installs the cache's hooks (object release, listing
// detach) and creates the internal type of price listings; false with an
// error set on failure. Later calls return true at once.
bool init_module_state();

}  // namespace palisar::py
