#include "python/classes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "market/runner.hpp"
#include "python/price_listing.hpp"
#include "python/snapshot.hpp"

namespace palisar::py {

// ---- conversions shared by the classes -----------------------------------------

PyObject* to_python(const market::SpValue& v) {
    if (v.is_number()) return to_python(v.number());
    if (v.is_text()) return to_python(v.text());
    return Py_NewRef(Py_None);
}

PyObject* create_price_list(const PairList& pairs) {
    PyObject* list = PyList_New(Py_ssize_t(pairs.size()));
    if (!list) return internal_error();
    for (size_t i = 0; i < pairs.size(); ++i) {
        PyObject* ps = make<PriceSize>(pairs[i].first, pairs[i].second);
        if (!ps) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, Py_ssize_t(i), ps);
    }
    return list;
}

PyObject* to_python(const PairList& pairs) { return create_price_list(pairs); }

PyObject* to_python(const std::vector<std::string>& texts) {
    PyObject* list = PyList_New(Py_ssize_t(texts.size()));
    if (!list) return internal_error();
    for (size_t i = 0; i < texts.size(); ++i) {
        PyObject* s = to_python(texts[i]);
        if (!s) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, Py_ssize_t(i), s);
    }
    return list;
}

// ---- PriceSize -------------------------------------------------------------------

namespace {

// Shortest digits that read back to the same double (those of Python's float
// repr), written out in plain positional notation (never with an exponent):
// 1e23 is written as 1 followed by 23 zeros. False, with a Python exception
// set, when memory runs out.
bool append_number(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return true;
    }
    if (std::signbit(v)) out += '-';
    char* repr = PyOS_double_to_string(std::fabs(v), 'r', 0, 0, nullptr);
    if (!repr) return false;
    std::string_view text(repr);
    size_t e = std::min(text.find('e'), text.size());
    std::string digits;
    long point = -1;  // digits before the decimal point
    for (char c : text.substr(0, e)) {
        if (c == '.') point = long(digits.size());
        else digits += c;
    }
    if (point < 0) point = long(digits.size());
    if (e < text.size()) point += std::strtol(repr + e + 1, nullptr, 10);
    PyMem_Free(repr);
    while (digits.size() > 1 && digits.front() == '0') {
        digits.erase(0, 1);
        --point;
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    if (digits == "0") point = 1;
    long n = long(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(size_t(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(size_t(point - n), '0');
    } else {
        out.append(digits, 0, size_t(point));
        out += '.';
        out.append(digits, size_t(point), std::string::npos);
    }
    return true;
}

PyObject* price_size_repr(PyObject* self) {
    const PriceSize& ps = record_of<PriceSize>(self);
    std::string text = "PriceSize(price=";
    if (!append_number(text, ps.price)) return nullptr;
    text += ", size=";
    if (!append_number(text, ps.size)) return nullptr;
    text += ")";
    return to_python(text);
}

PyObject* price_size_subscript(PyObject* self, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        conversion_error(key, "PyString");
        reword_argument_error("key");
        return nullptr;
    }
    const PriceSize& ps = record_of<PriceSize>(self);
    if (PyUnicode_CompareWithASCIIString(key, "size") == 0) return to_python(ps.size);
    if (PyUnicode_CompareWithASCIIString(key, "price") == 0) return to_python(ps.price);
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
}

// Sequence access (iter(), list(), `in`) goes through the same lookup.
PyObject* price_size_item(PyObject* self, Py_ssize_t index) {
    PyObject* key = PyLong_FromSsize_t(index);
    if (!key) return internal_error();
    PyObject* result = price_size_subscript(self, key);
    Py_DECREF(key);
    return result;
}

}  // namespace

PyGetSetDef* PriceSize::properties() {
    static PyGetSetDef defs[] = {
        prop<PriceSize, &PriceSize::price>("price"),
        prop<PriceSize, &PriceSize::size>("size"),
        kEndOfProperties,
    };
    return defs;
}

std::vector<PyType_Slot> PriceSize::slots() {
    return {
        {Py_tp_repr, reinterpret_cast<void*>(guarded<&price_size_repr>)},
        {Py_mp_subscript, reinterpret_cast<void*>(&price_size_subscript)},
        {Py_sq_item, reinterpret_cast<void*>(&price_size_item)},
    };
}

// ---- ExchangePrices, StartingPrices, Runner -----------------------------------------

namespace {
template <auto Member>
PyObject* listed(ExchangePrices& ex) {
    return exchange_prices_list(ex.*Member);
}
}  // namespace

PyGetSetDef* ExchangePrices::properties() {
    static PyGetSetDef defs[] = {
        computed<ExchangePrices, &listed<&ExchangePrices::available_to_back>>("available_to_back"),
        computed<ExchangePrices, &listed<&ExchangePrices::available_to_lay>>("available_to_lay"),
        computed<ExchangePrices, &listed<&ExchangePrices::traded_volume>>("traded_volume"),
        kEndOfProperties,
    };
    return defs;
}

PyGetSetDef* StartingPrices::properties() {
    static PyGetSetDef defs[] = {
        prop<StartingPrices, &StartingPrices::near_price>("near_price"),
        prop<StartingPrices, &StartingPrices::far_price>("far_price"),
        prop<StartingPrices, &StartingPrices::actual_sp>("actual_sp"),
        prop<StartingPrices, &StartingPrices::back_stake_taken>("back_stake_taken"),
        prop<StartingPrices, &StartingPrices::lay_liability_taken>("lay_liability_taken"),
        kEndOfProperties,
    };
    return defs;
}

namespace {
// Every read of `sp` builds a detached copy.
PyObject* runner_sp(const Runner& r) { return make<StartingPrices>(r.sp); }
}  // namespace

PyObject* runner_exchange_prices(Runner& r) {
    if (!r.ex) {
        // A failed make leaves the lists where they are.
        PyObject* ex = make<ExchangePrices>(AccessChecked{}, std::move(r.available_to_back),
                                            std::move(r.available_to_lay), std::move(r.traded_volume));
        if (!ex) return nullptr;
        r.ex = Ref::steal(ex);
    }
    return Py_NewRef(r.ex.get());
}

PyGetSetDef* Runner::properties() {
    static PyGetSetDef defs[] = {
        prop<Runner, &Runner::selection_id>("selection_id"),
        prop<Runner, &Runner::handicap>("handicap"),
        prop<Runner, &Runner::adjustment_factor>("adjustment_factor"),
        prop<Runner, &Runner::last_price_traded>("last_price_traded"),
        prop<Runner, &Runner::total_matched>("total_matched"),
        prop<Runner, &Runner::status>("status"),
        prop<Runner, &Runner::removal_date>("removal_date"),
        computed<Runner, runner_exchange_prices>("ex"),
        computed<Runner, runner_sp>("sp"),
        constant("orders", empty_list_getter),
        constant("matches", empty_list_getter),
        constant("matches_by_strategy", none_getter),
        constant("bet_delay_models", none_getter),
        constant("suspend_reason", none_getter),
        kEndOfProperties,
    };
    return defs;
}

// ---- market definition -------------------------------------------------------------

PyGetSetDef* MarketDefinitionRunner::properties() {
    using R = MarketDefinitionRunner;
    static PyGetSetDef defs[] = {
        prop<R, &R::selection_id>("selection_id"),
        prop<R, &R::sort_priority>("sort_priority"),
        prop<R, &R::status>("status"),
        prop<R, &R::handicap>("handicap"),
        prop<R, &R::adjustment_factor>("adjustment_factor"),
        prop<R, &R::removal_date>("removal_date"),
        prop<R, &R::name>("name"),
        prop<R, &R::bsp>("bsp"),
        kEndOfProperties,
    };
    return defs;
}

PyGetSetDef* MarketDefinition::properties() {
    using R = MarketDefinition;
    static PyGetSetDef defs[] = {
#define PALISAR_PROPERTY(kind, member, key, initial, exported) prop<R, &R::member>(#member),
        PALISAR_MARKET_DEFINITION(PALISAR_PROPERTY)
#undef PALISAR_PROPERTY
        constant("bet_delay_models", none_getter),
        constant("key_line_definitions", none_getter),
        constant("line_interval", none_getter),
        constant("line_max_unit", none_getter),
        constant("line_min_unit", none_getter),
        constant("price_ladder_definition", none_getter),
        constant("suspend_reason", none_getter),
        kEndOfProperties,
    };
    return defs;
}

// ---- MarketBook ----------------------------------------------------------------------

PyObject* publish_time_of(const MarketBook& book) {
    if (!book.publish_time) {
        PyObject* made = utc_datetime_from_ms(book.publish_time_epoch);
        if (!made) return nullptr;
        book.publish_time = Ref::steal(made);
    }
    return Py_NewRef(book.publish_time.get());
}

PyObject* runners_of(const MarketBook& book) {
    if (!book.runners) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return internal_error();
        const auto n = Py_ssize_t(book.runner_refs.count);
        if (n > 0 && !adopt_items(list, book.runner_refs.release(), n)) return nullptr;
        book.runners = std::move(list);
    }
    return Py_NewRef(book.runners.get());
}

PyGetSetDef* MarketBook::properties() {
    using R = MarketBook;
    static PyGetSetDef defs[] = {
        prop<R, &R::market_id>("market_id"),
        computed<R, &publish_time_of>("publish_time"),
        prop<R, &R::publish_time_epoch>(
            "publish_time_epoch", "publish_time in epoch milliseconds (int, for strovane compatibility)"),
        prop<R, &R::status>("status"),
        prop<R, &R::bet_delay>("bet_delay"),
        prop<R, &R::bsp_reconciled>("bsp_reconciled"),
        prop<R, &R::complete>("complete"),
        prop<R, &R::cross_matching>("cross_matching"),
        prop<R, &R::inplay>("inplay"),
        prop<R, &R::number_of_active_runners>("number_of_active_runners"),
        prop<R, &R::number_of_runners>("number_of_runners"),
        prop<R, &R::number_of_winners>("number_of_winners"),
        prop<R, &R::runners_voidable>("runners_voidable"),
        prop<R, &R::total_matched>("total_matched"),
        prop<R, &R::version>("version"),
        prop<R, &R::last_match_time>("last_match_time"),
        prop<R, &R::market_definition>("market_definition"),
        computed<R, &runners_of>("runners"),
        writable_optional_i32<R, &R::streaming_unique_id>(
            "streaming_unique_id", "Streaming unique ID (set by stream for strovane compatibility)"),
        constant("streaming_snap", true_getter),
        constant("streaming_update", none_getter),
        constant("bet_delay_models", none_getter),
        constant("elapsed_time", none_getter),
        constant("is_market_data_delayed", none_getter),
        constant("key_line_description", none_getter),
        constant("price_ladder_definition", none_getter),
        constant("total_available", none_getter),
        constant("suspend_reason", none_getter),
        kEndOfProperties,
    };
    return defs;
}

std::vector<PyType_Slot> MarketBook::slots() {
    static PyMethodDef methods[] = {
        {"to_dict", guarded<&market_book_to_dict>, METH_NOARGS,
         "to_dict($self)\n--\n\nConvert to a dict matching quorlane lightweight format (for testing)"},
        {nullptr, nullptr, 0, nullptr},
    };
    return {{Py_tp_methods, methods}};
}

}  // namespace palisar::py
