// The Python classes of a snapshot: records declared through the binding layer.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "python/binding.hpp"
#include "market/definition_fields.hpp"
#include "market/runner.hpp"

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

// The levels a listing copied from its ladder: each level's key and size as
// the ladder stores them (ascending by key), in memory from the interpreter's
// allocator.
class CopiedLevels {
public:
    CopiedLevels() = default;
    CopiedLevels(CopiedLevels&& o) noexcept
        : levels_(std::exchange(o.levels_, nullptr)),
          size_(std::exchange(o.size_, 0)),
          descending_(o.descending_) {}
    CopiedLevels& operator=(CopiedLevels&&) = delete;
    ~CopiedLevels() { clear(); }

    // False when the memory cannot be had.
    bool copy(const market::PriceLadder& ladder) {
        clear();
        descending_ = ladder.descending();
        const size_t n = ladder.size();
        if (n == 0) return true;
        levels_ = PyMem_New(Level, n);
        if (!levels_) return false;
        size_ = n;
        // Key and size lead each stored level: 16 bytes moved at once, four
        // levels a round (written so, the compiler keeps the moves wide).
        static_assert(offsetof(market::PriceLadder::Level, key) == 0 &&
                      offsetof(market::PriceLadder::Level, size) == 8 && sizeof(Level) == 16);
        const market::PriceLadder::Level* from = ladder.stored_levels();
        size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            Level a, b, c, d;
            std::memcpy(&a, &from[i], sizeof(Level));
            std::memcpy(&b, &from[i + 1], sizeof(Level));
            std::memcpy(&c, &from[i + 2], sizeof(Level));
            std::memcpy(&d, &from[i + 3], sizeof(Level));
            levels_[i] = a;
            levels_[i + 1] = b;
            levels_[i + 2] = c;
            levels_[i + 3] = d;
        }
        for (; i < n; ++i) std::memcpy(&levels_[i], &from[i], sizeof(Level));
        return true;
    }
    void clear() {
        if (levels_) PyMem_Free(std::exchange(levels_, nullptr));  // most listings never copy
        size_ = 0;
    }
    size_t size() const { return size_; }
    // The i-th level in book order.
    double price(size_t i) const { return market::PriceLadder::key_price(at(i).key); }
    double size_at(size_t i) const { return at(i).size; }

private:
    struct Level {
        uint64_t key;
        double size;
    };
    const Level& at(size_t i) const { return levels_[descending_ ? size_ - 1 - i : i]; }
    Level* levels_ = nullptr;
    size_t size_ = 0;
    bool descending_ = false;
};

// The list of one ladder's levels, as ExchangePrices objects hold it: built
// on its first read, so a snapshot nobody reads lists nothing. While the
// ladder still has the levels it was made for, the ladder keeps it as its
// listing, every new snapshot shares it, and its list is built from the
// ladder with the ladder's own PriceSize objects. When the ladder is about to
// change and a snapshot still holds an unbuilt listing, the listing copies
// the levels first. Python code never sees this class.
struct PriceListing {
    static constexpr const char* kName = "builtins.PriceListing";
    static constexpr const char* kDoc = "The levels of a price ladder, listed on first read";
    static inline PyTypeObject* type = nullptr;
    static PyGetSetDef* properties();
    static std::vector<PyType_Slot> slots() { return {}; }

    market::PriceLadder* ladder;  // while the ladder has the listed levels
    CopiedLevels levels;          // the levels as they were, once the ladder moved on
    bool levels_lost;             // the copy could not be made (out of memory)
    Ref list;                     // once built
};

// The ladder's listing (a new reference), made when the ladder has none: a
// PriceListing, or for an empty ladder an empty list.
PyObject* price_listing(market::PriceLadder& ladder);
// A new reference to the listing's list, built on the first call (a list is
// its own listing).
PyObject* listed_prices(PyObject* listing);
// A new reference to the list of an ExchangePrices field, which holds the
// list itself from then on.
PyObject* exchange_prices_list(Held& field);
// Installed as market::listing_detach_hook.
bool detach_price_listing(void* listing, const market::PriceLadder& ladder, bool must_let_go);

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
    Held ex;
    StartingPriceBlock sp;
};

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
    Held publish_time;
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
    Held runners;
    std::optional<int32_t> streaming_unique_id;
};

// A new list holding one new PriceSize per pair, in the given order.
PyObject* create_price_list(const PairList& pairs);

// MarketBook.to_dict
PyObject* market_book_to_dict(PyObject* self, PyObject*);

}  // namespace palisar::py
