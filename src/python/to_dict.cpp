// MarketBook.to_dict(): the snapshot as plain dicts and lists with the
// stream's camel-case keys. It reads only the snapshot's Python objects.
#include "python/classes.hpp"
#include "python/price_listing.hpp"
#include "python/state.hpp"

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
    const Runner& r = record_of<Runner>(obj);
    Ref d = Ref::steal(PyDict_New());
    if (!d) return internal_error();
    PyObject* o = d.get();
    if (!put(o, k.selectionId, to_python(r.selection_id)) ||
        !put(o, k.handicap, to_python(r.handicap)) || !put(o, k.status, to_python(r.status)) ||
        !put(o, k.adjustmentFactor, to_python(r.adjustment_factor)) ||
        !put(o, k.lastPriceTraded, to_python(r.last_price_traded)) ||
        !put(o, k.totalMatched, to_python(r.total_matched)) ||
        !put(o, k.removalDate, to_python(r.removal_date)) ||
        !put(o, k.ex, exchange_dict(k, r.ex.ref.get())))
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

PyObject* definition_dict(const Keys& k, PyObject* obj) {
    const MarketDefinition& m = record_of<MarketDefinition>(obj);
    Ref d = Ref::steal(PyDict_New());
    if (!d) return internal_error();
    PyObject* o = d.get();
    bool ok = put(o, k.betDelay, to_python(m.bet_delay)) &&
              put(o, k.bettingType, to_python(m.betting_type)) &&
              put(o, k.bspMarket, to_python(m.bsp_market)) &&
              put(o, k.bspReconciled, to_python(m.bsp_reconciled)) &&
              put(o, k.complete, to_python(m.complete)) &&
              put(o, k.countryCode, to_python(m.country_code)) &&
              put(o, k.crossMatching, to_python(m.cross_matching)) &&
              put(o, k.discountAllowed, to_python(m.discount_allowed)) &&
              put(o, k.eventId, to_python(m.event_id)) &&
              put(o, k.eventName, to_python(m.event_name)) &&
              put(o, k.eventTypeId, to_python(m.event_type_id)) &&
              put(o, k.inPlay, to_python(m.in_play)) &&
              put(o, k.marketBaseRate, to_python(m.market_base_rate)) &&
              put(o, k.marketTime, to_python(m.market_time_text)) &&
              put(o, k.marketType, to_python(m.market_type)) && put(o, k.name, to_python(m.name)) &&
              put(o, k.numberOfActiveRunners, to_python(m.number_of_active_runners)) &&
              put(o, k.numberOfWinners, to_python(m.number_of_winners)) &&
              put(o, k.openDate, to_python(m.open_date_text)) &&
              put(o, k.persistenceEnabled, to_python(m.persistence_enabled)) &&
              put(o, k.regulators, to_python(m.regulators)) &&
              put(o, k.runners, map_list(m.runners.ref.get(), [&](PyObject* r) {
                      return definition_runner_dict(k, r);
                  })) &&
              put(o, k.runnersVoidable, to_python(m.runners_voidable)) &&
              put(o, k.status, to_python(m.status)) &&
              put(o, k.suspendTime, to_python(m.suspend_time_text)) &&
              put(o, k.timezone, to_python(m.timezone)) &&
              put(o, k.turnInPlayEnabled, to_python(m.turn_in_play_enabled)) &&
              put(o, k.venue, to_python(m.venue)) && put(o, k.version, to_python(m.version));
    return ok ? d.release() : nullptr;
}

}  // namespace

PyObject* market_book_to_dict(PyObject* self, PyObject*) {
    const Keys* kp = keys();
    if (!kp) return internal_error();
    const Keys& k = *kp;
    const MarketBook& b = record_of<MarketBook>(self);
    SharedAccess access(b.access);
    if (!access.ok()) return nullptr;
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
                  map_list(b.runners.ref.get(), [&](PyObject* r) { return runner_dict(k, r); }));
    if (!ok) return nullptr;
    if (b.market_definition.ref &&
        !put(o, k.marketDefinition, definition_dict(k, b.market_definition.ref.get())))
        return nullptr;
    return d.release();
}

}  // namespace palisar::py
