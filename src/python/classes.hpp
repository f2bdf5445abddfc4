// The Python classes of a snapshot: records declared as Python classes (types.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "market/definition_fields.hpp"
#include "market/runner.hpp"
#include "python/pairs.hpp"
#include "python/types.hpp"

namespace palisar::py {

struct PriceSize {
    static constexpr const char* kName = "builtins.PriceSize";
    static constexpr const char* kDoc = "A price/size pair in the order book";
    static inline PyTypeObject* type = nullptr;
    static PyGetSetDef* properties();
    static std::vector<PyType_Slot> slots();

    double price;
    double size;
};

struct ExchangePrices : AccessChecked {
    static constexpr const char* kName = "builtins.ExchangePrices";
    static constexpr const char* kDoc = "Exchange prices for a runner (back/lay/traded)";
    static inline PyTypeObject* type = nullptr;
    static PyGetSetDef* properties();
    static std::vector<PyType_Slot> slots() { return {}; }

    // each a PriceListing, or its list once read
    Held available_to_back;
    Held available_to_lay;
    Held traded_volume;
};

// The starting-price figures of a runner, as a runner stores them and as a
// StartingPrices object shows them.
struct StartingPriceBlock {
    market::SpValue near_price;
    market::SpValue far_price;
    market::SpValue actual_sp;
    SharedPairs back_stake_taken;     // lowest price first
    SharedPairs lay_liability_taken;  // highest price first
    // change counts of the two ladders the pairs were listed at
    uint64_t back_stake_stamp = 0;
    uint64_t lay_liability_stamp = 0;
};

struct StartingPrices : StartingPriceBlock {
    static constexpr const char* kName = "builtins.StartingPrices";
    static constexpr const char* kDoc = "Starting prices for a runner";
    static inline PyTypeObject* type = nullptr;
    static PyGetSetDef* properties();
    static std::vector<PyType_Slot> slots() { return {}; }
};

struct Runner {
    static constexpr const char* kName = "builtins.Runner";
    static constexpr const char* kDoc = "A runner in the market";
    static inline PyTypeObject* type = nullptr;
    static PyGetSetDef* properties();
    static std::vector<PyType_Slot> slots() { return {}; }

    int64_t selection_id;
    double handicap;
    Held status;
    std::optional<double> adjustment_factor;
    std::optional<double> last_price_traded;
    double total_matched;
    std::optional<std::string> removal_date;
    // The three price lists of `ex` (each a PriceListing, or its list once
    // read), held here until the first read of `ex` makes the ExchangePrices,
    // which takes them over: most runners are never asked for their prices.
    Held available_to_back;
    Held available_to_lay;
    Held traded_volume;
    StartingPriceBlock sp;
    Ref ex;  // the ExchangePrices, once made
};

// The runner's ExchangePrices (a new reference), made on the first call.
PyObject* runner_exchange_prices(Runner& r);

struct MarketDefinitionRunner {
    static constexpr const char* kName = "builtins.MarketDefinitionRunner";
    static constexpr const char* kDoc = "A runner in a market definition";
    static inline PyTypeObject* type = nullptr;
    static PyGetSetDef* properties();
    static std::vector<PyType_Slot> slots() { return {}; }

    int64_t selection_id;
    int32_t sort_priority;
    std::string status;
    double handicap;
    std::optional<double> adjustment_factor;
    std::optional<std::string> removal_date;
    std::optional<std::string> name;
    std::optional<double> bsp;
};

struct MarketDefinition {
    static constexpr const char* kName = "builtins.MarketDefinition";
    static constexpr const char* kDoc = "Market definition - metadata about the market";
    static inline PyTypeObject* type = nullptr;
    static PyGetSetDef* properties();
    static std::vector<PyType_Slot> slots() { return {}; }

    // The table's fields as the definition had them when this object was
    // built; a time is held as its datetime (None when absent) beside its text.
#define PALISAR_RECORD_FIELD(kind, member, key, initial, exported) PALISAR_RECORD_##kind(member)
#define PALISAR_RECORD_PLAIN(member, type) type member;
#define PALISAR_RECORD_Text(m) PALISAR_RECORD_PLAIN(m, std::string)
#define PALISAR_RECORD_OptText(m) PALISAR_RECORD_PLAIN(m, std::optional<std::string>)
#define PALISAR_RECORD_Time(m) \
    OptionalHeld m;            \
    std::optional<std::string> m##_text;
#define PALISAR_RECORD_Bool(m) PALISAR_RECORD_PLAIN(m, bool)
#define PALISAR_RECORD_Low32(m) PALISAR_RECORD_PLAIN(m, int32_t)
#define PALISAR_RECORD_Count(m) PALISAR_RECORD_PLAIN(m, int32_t)
#define PALISAR_RECORD_I64(m) PALISAR_RECORD_PLAIN(m, int64_t)
#define PALISAR_RECORD_Double(m) PALISAR_RECORD_PLAIN(m, double)
#define PALISAR_RECORD_OptDouble(m) PALISAR_RECORD_PLAIN(m, std::optional<double>)
#define PALISAR_RECORD_TextList(m) PALISAR_RECORD_PLAIN(m, std::vector<std::string>)
#define PALISAR_RECORD_Runners(m) PALISAR_RECORD_PLAIN(m, Held)
    PALISAR_MARKET_DEFINITION(PALISAR_RECORD_FIELD)
#undef PALISAR_RECORD_FIELD
#undef PALISAR_RECORD_PLAIN
#undef PALISAR_RECORD_Text
#undef PALISAR_RECORD_OptText
#undef PALISAR_RECORD_Time
#undef PALISAR_RECORD_Bool
#undef PALISAR_RECORD_Low32
#undef PALISAR_RECORD_Count
#undef PALISAR_RECORD_I64
#undef PALISAR_RECORD_Double
#undef PALISAR_RECORD_OptDouble
#undef PALISAR_RECORD_TextList
#undef PALISAR_RECORD_Runners
};

struct MarketBook : AccessChecked {
    static constexpr const char* kName = "builtins.MarketBook";
    static constexpr const char* kDoc = "A market book snapshot";
    static inline PyTypeObject* type = nullptr;
    static PyGetSetDef* properties();
    static std::vector<PyType_Slot> slots();

    std::string market_id;
    // The publish time as a datetime, made on its first read (publish_time_of)
    // unless the step had to make it (a time near the end of the datetime range).
    mutable Ref publish_time;
    int64_t publish_time_epoch;
    std::string status;
    int32_t bet_delay;
    bool bsp_reconciled;
    bool complete;
    bool cross_matching;
    bool inplay;
    int32_t number_of_active_runners;
    int32_t number_of_runners;
    int32_t number_of_winners;
    bool runners_voidable;
    double total_matched;
    int64_t version;
    std::optional<int64_t> last_match_time;
    OptionalHeld market_definition;
    // The runners list, made on its first read (runners_of): until then the
    // Runner references are gathered in `runner_refs`, which the list takes.
    mutable Ref runners;
    mutable Gathered runner_refs;
    std::optional<int32_t> streaming_unique_id;
};

// MarketBook.publish_time: the same datetime on every read, made on the first.
PyObject* publish_time_of(const MarketBook& book);
// MarketBook.runners: the same list on every read, made on the first.
PyObject* runners_of(const MarketBook& book);

// A new list holding one new PriceSize per pair, in the given order.
PyObject* create_price_list(const PairList& pairs);

// MarketBook.to_dict
PyObject* market_book_to_dict(PyObject* self, PyObject*);

}  // namespace palisar::py
