#include "python/snapshot.hpp"

#include <datetime.h>

#include <cstring>
#include <string_view>
#include <utility>

#include "python/classes.hpp"
#include "python/price_listing.hpp"
#include "python/state.hpp"

namespace palisar::py {

namespace {

// Days since 1970-01-01 to a proleptic Gregorian civil date.
void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

// The interpreter's own path, for values outside the datetime range: it raises
// the same exception that utcfromtimestamp would.
PyObject* datetime_out_of_range(double seconds) {
    PyObject* ts = PyFloat_FromDouble(seconds);
    if (!ts) return internal_error();
    PyObject* args[] = {reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), ts,
                        module_state.utc};
    PyObject* r = PyObject_VectorcallMethod(module_state.fromtimestamp_name, args,
                                            3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(ts);
    if (r) {
        // Cannot happen for a value outside the range; keep the result honest anyway.
        Py_DECREF(r);
        PyErr_SetString(PyExc_OverflowError, "timestamp out of range for platform time_t");
    }
    return nullptr;
}

// A definition time in one of the two forms the stream sends,
// "2024-01-02T03:04:05.678Z" (one to six fraction digits, read as the leading
// digits of the microseconds) or "2024-01-02T03:04:05Z", with every field at
// its full width in ASCII digits and a valid date and time. On these texts
// strptime with the two formats gives exactly this date and time; everything
// else (one-digit fields, lower-case letters, other digits, leap seconds,
// impossible dates) is left to strptime itself, for its results and errors.
struct TimeFields {
    int year, month, day, hour, minute, second, microsecond;
};

bool parse_time_text(std::string_view s, TimeFields& t) {
    if (s.size() < 20 || s.size() > 27) return false;
    if (s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' || s.back() != 'Z')
        return false;
    bool ok = true;
    auto number = [&](size_t at, size_t width) {
        int v = 0;
        for (size_t i = at; i < at + width; ++i) {
            const unsigned digit = unsigned(static_cast<unsigned char>(s[i])) - '0';
            ok &= digit < 10;
            v = v * 10 + int(digit);
        }
        return v;
    };
    t.year = number(0, 4);
    t.month = number(5, 2);
    t.day = number(8, 2);
    t.hour = number(11, 2);
    t.minute = number(14, 2);
    t.second = number(17, 2);
    t.microsecond = 0;
    if (s.size() > 20) {
        const size_t digits = s.size() - 21;
        if (s[19] != '.' || digits == 0) return false;
        t.microsecond = number(20, digits);
        for (size_t i = digits; i < 6; ++i) t.microsecond *= 10;
    }
    if (!ok || t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 ||
        t.minute > 59 || t.second > 59)
        return false;
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = t.year % 4 == 0 && (t.year % 100 != 0 || t.year % 400 == 0);
    return t.day <= kDays[t.month - 1] + (t.month == 2 && leap);
}

PyObject* strptime(PyObject* text, PyObject* format) {
    PyObject* args[] = {reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), text, format};
    return PyObject_VectorcallMethod(module_state.strptime_name, args,
                                     3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace

bool init_datetime() {
    ModuleState& st = module_state;
    if (st.utc) return true;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return false;
    st.strptime_name = PyUnicode_InternFromString("strptime");
    st.fromtimestamp_name = PyUnicode_InternFromString("fromtimestamp");
    st.format_fraction = PyUnicode_FromString("%Y-%m-%dT%H:%M:%S.%fZ");
    st.format_seconds = PyUnicode_FromString("%Y-%m-%dT%H:%M:%SZ");
    if (!st.strptime_name || !st.fromtimestamp_name || !st.format_fraction || !st.format_seconds)
        return false;
    st.utc = Py_NewRef(PyDateTimeAPI->TimeZone_UTC);
    return true;
}

PyObject* utc_datetime_from_ms(int64_t ms) {
    // The interpreter splits the float seconds into whole seconds and
    // microseconds rounded half to even, then breaks the seconds down in UTC.
    double seconds = double(ms) / 1000.0;
    // Far outside years 1 to 9999 (checked exactly below): the interpreter's path.
    if (!(seconds > -1e15 && seconds < 1e15)) return datetime_out_of_range(seconds);
    // The integral part by truncation and the exact fraction, as modf gives
    // them; the microseconds rounded half to even by the 1.5 * 2^52 addition
    // (exact below 2^51, under the default rounding).
    double whole = double(int64_t(seconds));
    constexpr double kRound = 6755399441055744.0;
    double micro = (seconds - whole) * 1e6;
    double fraction = micro >= 0 ? (micro + kRound) - kRound : (micro - kRound) + kRound;
    if (fraction >= 1e6) {
        fraction -= 1e6;
        whole += 1.0;
    } else if (fraction < 0) {
        fraction += 1e6;
        whole -= 1.0;
    }
    // Years 1 to 9999 only; everything else takes the interpreter's path.
    constexpr double kMin = -62135596800.0, kEnd = 253402300800.0;
    if (!(whole >= kMin && whole < kEnd)) return datetime_out_of_range(seconds);
    int64_t secs = int64_t(whole);
    int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    int64_t in_day = secs - days * 86400;
    // Successive books mostly fall on the same day: its date is kept.
    ModuleState& st = module_state;
    if (days != st.cached_days) {
        civil_from_days(days, st.cached_year, st.cached_month, st.cached_day);
        st.cached_days = days;
    }
    const int64_t year = st.cached_year;
    const unsigned month = st.cached_month, day = st.cached_day;
    PyObject* dt = PyDateTimeAPI->DateTime_FromDateAndTime(
        int(year), int(month), int(day), int(in_day / 3600), int(in_day / 60 % 60), int(in_day % 60),
        int(fraction), Py_None, PyDateTimeAPI->DateTimeType);
    return checked(dt);
}

PyObject* parse_datetime_or_none(const std::optional<std::string>& text) {
    if (!text) return Py_NewRef(Py_None);
    TimeFields t;
    if (parse_time_text(*text, t)) {
        // What strptime would build; its failure (no memory) passes on as it would.
        return PyDateTimeAPI->DateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute,
                                                       t.second, t.microsecond, Py_None,
                                                       PyDateTimeAPI->DateTimeType);
    }
    PyObject* s = to_python(*text);
    if (!s) return nullptr;
    PyObject* dt = strptime(s, module_state.format_fraction);
    // Only a text that does not match the first form tries the second; any
    // other failure (an interrupt, no memory) is the result.
    if (!dt && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        dt = strptime(s, module_state.format_seconds);
    }
    Py_DECREF(s);
    return dt;
}

namespace {

// The held str when it is the ASCII text `text`, else nothing.
Ref same_text(const Held& held, const std::string& text) {
    PyObject* s = held.ref.get();
    if (!PyUnicode_IS_COMPACT_ASCII(s) || size_t(PyUnicode_GET_LENGTH(s)) != text.size() ||
        std::memcmp(PyUnicode_1BYTE_DATA(s), text.data(), text.size()) != 0)
        return Ref{};
    return Ref::borrow(s);
}

PyObject* build_runner(market::RunnerCache& rc) {
    Ref back = Ref::steal(price_listing(rc.available_to_back));
    if (!back) return nullptr;
    Ref lay = Ref::steal(price_listing(rc.available_to_lay));
    if (!lay) return nullptr;
    Ref traded = Ref::steal(price_listing(rc.traded_volume));
    if (!traded) return nullptr;
    // The starting-price pairs are immutable once listed: a ladder unchanged
    // since the previous Runner shares that Runner's pairs; the status str is
    // shared too while its text is the same.
    PyObject* previous = static_cast<PyObject*>(rc.cached_runner.object);
    Ref status;
    if (previous) {
        const Held& held = record_of<Runner>(previous).status;
        status = rc.cached_status_version == rc.status.version() ? Ref::borrow(held.ref.get())
                                                                 : same_text(held, rc.status.text());
    }
    if (!status) status = Ref::steal(to_python(rc.status.text()));
    if (!status) return nullptr;
    const StartingPriceBlock* old = previous ? &record_of<Runner>(previous).sp : nullptr;
    auto pairs = [](const market::PriceLadder& ladder, const SharedPairs* kept, uint64_t stamp) {
        if (kept && stamp == ladder.change_count()) return *kept;
        return SharedPairs::of(ladder.to_price_sizes());
    };
    StartingPriceBlock sp{
        rc.near_price,
        rc.far_price,
        rc.actual_sp,
        pairs(rc.back_stake_taken, old ? &old->back_stake_taken : nullptr,
              old ? old->back_stake_stamp : 0),
        pairs(rc.lay_liability_taken, old ? &old->lay_liability_taken : nullptr,
              old ? old->lay_liability_stamp : 0),
        rc.back_stake_taken.change_count(),
        rc.lay_liability_taken.change_count(),
    };
    return make<Runner>(rc.selection_id, rc.handicap, Held{std::move(status)}, rc.adjustment_factor,
                        rc.last_price_traded, rc.total_matched, rc.removal_date, Held{std::move(back)},
                        Held{std::move(lay)}, Held{std::move(traded)}, std::move(sp), Ref{});
}

PyObject* build_definition(const market::MarketCache& c) {
    const auto& records = c.definition_runners;
    Ref runners = Ref::steal(PyList_New(Py_ssize_t(records.size())));
    if (!runners) return internal_error();
    for (size_t i = 0; i < records.size(); ++i) {
        const market::MarketDefinitionRunner& r = records[i];
        PyObject* o = make_filled<MarketDefinitionRunner>([&](MarketDefinitionRunner& d) {
            d.selection_id = r.selection_id;
            d.sort_priority = r.sort_priority;
            d.status = r.status;
            d.handicap = r.handicap;
            d.adjustment_factor = r.adjustment_factor;
            d.removal_date = r.removal_date;
            d.name = r.name;
            d.bsp = r.bsp;
        });
        if (!o) return nullptr;
        PyList_SET_ITEM(runners.get(), Py_ssize_t(i), o);
    }
    // The times in the table's order, each converted once; None stays empty.
#define PALISAR_CONVERT_TIME(kind, member, key, initial, exported) PALISAR_CONVERT_##kind(member)
#define PALISAR_CONVERT_Time(m)                                 \
    Ref m = Ref::steal(parse_datetime_or_none(c.m));            \
    if (!m) return nullptr;                                     \
    if (m.get() == Py_None) m = Ref{};
#define PALISAR_CONVERT_NOTHING(m)
#define PALISAR_CONVERT_Text PALISAR_CONVERT_NOTHING
#define PALISAR_CONVERT_OptText PALISAR_CONVERT_NOTHING
#define PALISAR_CONVERT_Bool PALISAR_CONVERT_NOTHING
#define PALISAR_CONVERT_Low32 PALISAR_CONVERT_NOTHING
#define PALISAR_CONVERT_I64 PALISAR_CONVERT_NOTHING
#define PALISAR_CONVERT_Double PALISAR_CONVERT_NOTHING
#define PALISAR_CONVERT_OptDouble PALISAR_CONVERT_NOTHING
#define PALISAR_CONVERT_TextList PALISAR_CONVERT_NOTHING
#define PALISAR_CONVERT_Runners PALISAR_CONVERT_NOTHING
#define PALISAR_CONVERT_Count PALISAR_CONVERT_NOTHING
    PALISAR_MARKET_DEFINITION(PALISAR_CONVERT_TIME)
    // Then every field, by name.
    return make_filled<MarketDefinition>([&](MarketDefinition& d) {
#define PALISAR_COPY_FIELD(kind, member, key, initial, exported) PALISAR_COPY_##kind(member)
#define PALISAR_COPY_PLAIN(m) d.m = c.m;
#define PALISAR_COPY_Text PALISAR_COPY_PLAIN
#define PALISAR_COPY_OptText PALISAR_COPY_PLAIN
#define PALISAR_COPY_Bool PALISAR_COPY_PLAIN
#define PALISAR_COPY_Low32 PALISAR_COPY_PLAIN
#define PALISAR_COPY_I64 PALISAR_COPY_PLAIN
#define PALISAR_COPY_Double PALISAR_COPY_PLAIN
#define PALISAR_COPY_OptDouble PALISAR_COPY_PLAIN
#define PALISAR_COPY_TextList PALISAR_COPY_PLAIN
#define PALISAR_COPY_Count PALISAR_COPY_PLAIN
#define PALISAR_COPY_Time(m)          \
    d.m = OptionalHeld{std::move(m)}; \
    d.m##_text = c.m;
#define PALISAR_COPY_Runners(m) d.m = Held{std::move(m)};
        PALISAR_MARKET_DEFINITION(PALISAR_COPY_FIELD)
    });
}

}  // namespace

PyObject* to_market_book(market::MarketCache& cache) {
    const std::vector<market::RunnerCache*>& order = cache.runners.runners_in_order();
    // The runners are gathered for the book, which makes its list of them on
    // the first read (most books are never asked for it).
    const size_t n = order.size();
    Gathered runner_refs(n);
    if (n > 0 && !runner_refs.items) return PyErr_NoMemory();
    for (size_t i = 0; i < n; ++i) {
        market::RunnerCache& rc = *order[i];
        if (!rc.cached_runner.fresh(rc.change_count)) {
            PyObject* runner = build_runner(rc);
            if (!runner) return nullptr;
            rc.cached_runner.replace(runner, rc.change_count);
            rc.cached_status_version = rc.status.version();
        }
        runner_refs.items[runner_refs.count++] = Py_NewRef(static_cast<PyObject*>(rc.cached_runner.object));
    }
    if (cache.cached_definition.stamp != cache.definition_count) {
        PyObject* definition = build_definition(cache);
        if (!definition) return nullptr;
        cache.cached_definition.replace(definition, cache.definition_count);
    }
    OptionalHeld definition{Ref::borrow(static_cast<PyObject*>(cache.cached_definition.object))};
    // Most books never have their publish time read: the datetime is made on
    // the first read. A time that might be out of the datetime range (or too
    // close to its end to be sure) is converted now, so that the step fails
    // as the interpreter's conversion would.
    constexpr int64_t kSurelyInRangeMs = 253402300799000;  // 9999-12-31 23:59:59
    Ref publish_time;
    if (!(cache.publish_time_epoch > 0 && cache.publish_time_epoch < kSurelyInRangeMs)) {
        publish_time = Ref::steal(utc_datetime_from_ms(cache.publish_time_epoch));
        if (!publish_time) return nullptr;
    }
    return make_filled<MarketBook>([&](MarketBook& b) {
        b.market_id = cache.market_id;
        b.publish_time = std::move(publish_time);
        b.publish_time_epoch = cache.publish_time_epoch;
        b.status = cache.status;
        b.bet_delay = cache.bet_delay;
        b.bsp_reconciled = cache.bsp_reconciled;
        b.complete = cache.complete;
        b.cross_matching = cache.cross_matching;
        b.inplay = cache.in_play;
        b.number_of_active_runners = cache.number_of_active_runners;
        b.number_of_runners = cache.number_of_runners;
        b.number_of_winners = cache.number_of_winners;
        b.runners_voidable = cache.runners_voidable;
        b.total_matched = cache.total_matched;
        b.version = cache.version;
        b.last_match_time = cache.last_match_time;
        b.market_definition = std::move(definition);
        b.runner_refs = std::move(runner_refs);
    });
}

}  // namespace palisar::py
