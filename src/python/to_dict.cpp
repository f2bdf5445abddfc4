// MarketBook.to_dict(): the snapshot as plain dicts and lists with the
// stream's camel-case keys. It reads only the snapshot's Python objects.
#include "python/classes.hpp"
#include "python/price_listing.hpp"
#include "python/state.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace palisar::py {

namespace {

// The interned keys, made with the module state.
const Keys* keys() { return &module_state.keys; }

// Sets d[key] = value, taking over `value`; false with an error on failure.
bool put(PyObject* d, PyObject* key, PyObject* value) {
    if (!value) return false;
    int rc = PyDict_SetItem(d, key, value);
    Py_DECREF(value);
    if (rc < 0) {
        internal_error();
        return false;
    }
    return true;
}

template <class R>
bool expect(PyObject* o, const char* target) {
    if (is_instance<R>(o)) return true;
    conversion_error(o, target);
    return false;
}

bool expect_list(PyObject* o) {
    if (PyList_Check(o)) return true;
    conversion_error(o, "PyList");
    return false;
}

PyObject* price_dict(const Keys& k, double price, double size) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return internal_error();
    if (!put(d.get(), k.price, to_python(price)) || !put(d.get(), k.size, to_python(size)))
        return nullptr;
    return d.release();
}

PyObject* price_list_to_dicts(const Keys& k, PyObject* list) {
    if (!expect_list(list)) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(list);
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return internal_error();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!expect<PriceSize>(item, "PriceSize")) return nullptr;
        const PriceSize& ps = record_of<PriceSize>(item);
        PyObject* d = price_dict(k, ps.price, ps.size);
        if (!d) return nullptr;
        PyList_SET_ITEM(out.get(), i, d);
    }
    return out.release();
}

PyObject* pairs_to_dicts(const Keys& k, const PairList& pairs) {
    Ref out = Ref::steal(PyList_New(Py_ssize_t(pairs.size())));
    if (!out) return internal_error();
    for (size_t i = 0; i < pairs.size(); ++i) {
        PyObject* d = price_dict(k, pairs[i].first, pairs[i].second);
        if (!d) return nullptr;
        PyList_SET_ITEM(out.get(), Py_ssize_t(i), d);
    }
    return out.release();
}

PyObject* exchange_dict(const Keys& k, PyObject* ex_obj) {
    if (!expect<ExchangePrices>(ex_obj, "ExchangePrices")) return nullptr;
    ExchangePrices& ex = record_of<ExchangePrices>(ex_obj);
    SharedAccess access(ex.access);
    if (!access.ok()) return nullptr;
    Ref d = Ref::steal(PyDict_New());
    if (!d) return internal_error();
    auto dicts = [&](Held& field) -> PyObject* {
        Ref list = Ref::steal(exchange_prices_list(field));
        return list ? price_list_to_dicts(k, list.get()) : nullptr;
    };
    if (!put(d.get(), k.availableToBack, dicts(ex.available_to_back)) ||
        !put(d.get(), k.availableToLay, dicts(ex.available_to_lay)) ||
        !put(d.get(), k.tradedVolume, dicts(ex.traded_volume)))
        return nullptr;
    return d.release();
}

PyObject* runner_dict(const Keys& k, PyObject* obj) {
    if (!expect<Runner>(obj, "Runner")) return nullptr;
    Runner& r = record_of<Runner>(obj);
    Ref ex = Ref::steal(runner_exchange_prices(r));
    if (!ex) return nullptr;
    Ref d = Ref::steal(PyDict_New());
    if (!d) return internal_error();
    PyObject* o = d.get();
    if (!put(o, k.selectionId, to_python(r.selection_id)) ||
        !put(o, k.handicap, to_python(r.handicap)) || !put(o, k.status, to_python(r.status)) ||
        !put(o, k.adjustmentFactor, to_python(r.adjustment_factor)) ||
        !put(o, k.lastPriceTraded, to_python(r.last_price_traded)) ||
        !put(o, k.totalMatched, to_python(r.total_matched)) ||
        !put(o, k.removalDate, to_python(r.removal_date)) ||
        !put(o, k.ex, exchange_dict(k, ex.get())))
        return nullptr;
    Ref sp = Ref::steal(PyDict_New());
    if (!sp) return internal_error();
    if (!put(sp.get(), k.nearPrice, to_python(r.sp.near_price)) ||
        !put(sp.get(), k.farPrice, to_python(r.sp.far_price)) ||
        !put(sp.get(), k.actualSP, to_python(r.sp.actual_sp)) ||
        !put(sp.get(), k.backStakeTaken, pairs_to_dicts(k, *r.sp.back_stake_taken)) ||
        !put(sp.get(), k.layLiabilityTaken, pairs_to_dicts(k, *r.sp.lay_liability_taken)) ||
        !put(o, k.sp, sp.release()))
        return nullptr;
    return d.release();
}

// Optional keys of a definition runner are left out rather than written as None.
PyObject* definition_runner_dict(const Keys& k, PyObject* obj) {
    if (!expect<MarketDefinitionRunner>(obj, "MarketDefinitionRunner")) return nullptr;
    const MarketDefinitionRunner& r = record_of<MarketDefinitionRunner>(obj);
    Ref d = Ref::steal(PyDict_New());
    if (!d) return internal_error();
    PyObject* o = d.get();
    if (!put(o, k.id, to_python(r.selection_id)) ||
        !put(o, k.sortPriority, to_python(r.sort_priority)) ||
        !put(o, k.status, to_python(r.status)))
        return nullptr;
    if (r.adjustment_factor && !put(o, k.adjustmentFactor, to_python(*r.adjustment_factor)))
        return nullptr;
    if (r.name && !put(o, k.name, to_python(*r.name))) return nullptr;
    if (r.handicap != 0.0 && !put(o, k.hc, to_python(r.handicap))) return nullptr;
    if (r.removal_date && !put(o, k.removalDate, to_python(*r.removal_date))) return nullptr;
    if (r.bsp && !put(o, k.bsp, to_python(*r.bsp))) return nullptr;
    return d.release();
}

template <class F>
PyObject* map_list(PyObject* list, F&& each) {
    if (!expect_list(list)) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(list);
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return internal_error();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* d = each(PyList_GET_ITEM(list, i));
        if (!d) return nullptr;
        PyList_SET_ITEM(out.get(), i, d);
    }
    return out.release();
}

// The exported fields of a definition, sorted by key as the dict lists them.
struct DefinitionEntry {
    std::string_view key;
    PyObject* (*get)(const Keys&, const MarketDefinition&);
};
#define PALISAR_EXPORT_FIELD(kind, member, key, initial, exported) \
    PALISAR_IF_##exported(DefinitionEntry{key, PALISAR_GET_##kind(member)}, )
#define PALISAR_GET_PLAIN(m) [](const Keys&, const MarketDefinition& d) { return to_python(d.m); }
#define PALISAR_GET_Text PALISAR_GET_PLAIN
#define PALISAR_GET_OptText PALISAR_GET_PLAIN
#define PALISAR_GET_Bool PALISAR_GET_PLAIN
#define PALISAR_GET_Low32 PALISAR_GET_PLAIN
#define PALISAR_GET_Count PALISAR_GET_PLAIN
#define PALISAR_GET_I64 PALISAR_GET_PLAIN
#define PALISAR_GET_Double PALISAR_GET_PLAIN
#define PALISAR_GET_OptDouble PALISAR_GET_PLAIN
#define PALISAR_GET_TextList PALISAR_GET_PLAIN
#define PALISAR_GET_Time(m) [](const Keys&, const MarketDefinition& d) { return to_python(d.m##_text); }
#define PALISAR_GET_Runners(m)                                                         \
    [](const Keys& k, const MarketDefinition& d) {                                      \
        return map_list(d.m.ref.get(), [&](PyObject* r) { return definition_runner_dict(k, r); }); \
    }
constexpr auto kDefinitionEntries = [] {
    std::array entries{PALISAR_MARKET_DEFINITION(PALISAR_EXPORT_FIELD)};
    std::sort(entries.begin(), entries.end(),
              [](const DefinitionEntry& a, const DefinitionEntry& b) { return a.key < b.key; });
    return entries;
}();
static_assert(kDefinitionEntries.size() == kExportedDefinitionFields);
#undef PALISAR_EXPORT_FIELD
#undef PALISAR_GET_PLAIN
#undef PALISAR_GET_Text
#undef PALISAR_GET_OptText
#undef PALISAR_GET_Bool
#undef PALISAR_GET_Low32
#undef PALISAR_GET_Count
#undef PALISAR_GET_I64
#undef PALISAR_GET_Double
#undef PALISAR_GET_OptDouble
#undef PALISAR_GET_TextList
#undef PALISAR_GET_Time
#undef PALISAR_GET_Runners


PyObject* definition_dict(const Keys& k, PyObject* obj) {
    const MarketDefinition& m = record_of<MarketDefinition>(obj);
    Ref d = Ref::steal(PyDict_New());
    if (!d) return internal_error();
    for (size_t i = 0; i < kDefinitionEntries.size(); ++i)
        if (!put(d.get(), k.definition[i], kDefinitionEntries[i].get(k, m))) return nullptr;
    return d.release();
}

}  // namespace

std::string_view definition_key(size_t i) { return kDefinitionEntries[i].key; }

PyObject* market_book_to_dict(PyObject* self, PyObject*) {
    const Keys* kp = keys();
    if (!kp) return internal_error();
    const Keys& k = *kp;
    const MarketBook& b = record_of<MarketBook>(self);
    SharedAccess access(b.access);
    if (!access.ok()) return nullptr;
    Ref runners = Ref::steal(runners_of(b));
    if (!runners) return nullptr;
    Ref d = Ref::steal(PyDict_New());
    if (!d) return internal_error();
    PyObject* o = d.get();
    bool ok = put(o, k.marketId, to_python(b.market_id)) && put(o, k.status, to_python(b.status)) &&
              put(o, k.betDelay, to_python(b.bet_delay)) &&
              put(o, k.bspReconciled, to_python(b.bsp_reconciled)) &&
              put(o, k.complete, to_python(b.complete)) &&
              put(o, k.crossMatching, to_python(b.cross_matching)) &&
              put(o, k.inplay, to_python(b.inplay)) &&
              put(o, k.numberOfActiveRunners, to_python(b.number_of_active_runners)) &&
              put(o, k.numberOfRunners, to_python(b.number_of_runners)) &&
              put(o, k.numberOfWinners, to_python(b.number_of_winners)) &&
              put(o, k.runnersVoidable, to_python(b.runners_voidable)) &&
              put(o, k.totalMatched, to_python(b.total_matched)) &&
              put(o, k.version, to_python(b.version)) &&
              put(o, k.lastMatchTime, to_python(b.last_match_time)) &&
              put(o, k.publishTime, to_python(b.publish_time_epoch)) &&
              put(o, k.runners,
                  map_list(runners.get(), [&](PyObject* r) { return runner_dict(k, r); }));
    if (!ok) return nullptr;
    if (b.market_definition.ref &&
        !put(o, k.marketDefinition, definition_dict(k, b.market_definition.ref.get())))
        return nullptr;
    return d.release();
}

}  // namespace palisar::py
