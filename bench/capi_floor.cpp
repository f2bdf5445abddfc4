// palisar_bench: a benchmark-only extension built from the module's own sources
// (configure with -DPALISAR_BENCH=ON). It measures the floor of one replay step:
// what a step that changed nothing cannot avoid, namely creating a MarketBook and
// a list of the runners, and releasing them (a book's publish-time datetime is
// made when it is first read, so a step need not make one).
//
//   floor_steps(n, runners, definition=None) -> seconds
//       creates and releases n times a MarketBook (through the same internal
//       constructor as the snapshot builder) and a new list holding the
//       objects of `runners` (a list; the same objects every time); returns
//       the elapsed seconds.
//   drain(iterator) -> count
//       steps any iterator to its end from C, holding each item until the
//       next one is made, as a `for` loop's variable does: under callgrind the
//       instructions of drain_steps are those of the steps with the release of
//       each previous snapshot, without the interpreter's own loop.
//   iter_prices_file(path)
//       the module's own function, from this same build, so that a step and
//       its floor can be timed from one compilation.
//   plan_steps(path) -> (plan, counts)
//       reads a prices file and replays it once through the cache, untimed,
//       keeping per message what its step floor needs: the ladder deltas as
//       (ladder, price, size), the runners of its snapshot in order, which of
//       them changed (and which of their back, lay and traded ladders), and
//       its publish time. `counts` is a dict of the totals.
//   run_step_floor(plan, parts="floor") -> seconds
//       the step floor over the whole file (step_floor_run below): each
//       message's deltas applied to flat sorted vectors of (price, size), one
//       per runner and ladder, and the objects a snapshot must create: a new
//       MarketBook, a new runners list and, for
//       every runner that changed, a new Runner and a new ExchangePrices (the
//       status str of the previous Runner is shared, the three lists held as
//       they were). The previous book is released after the next is made, as
//       a `for` loop does. `parts`: "floor" (both), "ladders", "objects", or
//       "listings" (the floor plus one new unread listing per changed back,
//       lay or traded ladder, which the floor itself does not count).
//
// The classes are registered exactly as the module does (same records, same
// type creation); the palisar module itself gains no name.
#include "python/types.hpp"  // Python.h first

#include <datetime.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "market/market.hpp"
#include "parse/reader.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/iterator.hpp"
#include "python/price_listing.hpp"
#include "python/snapshot.hpp"
#include "python/state.hpp"

namespace {

using namespace palisar::py;

PyObject* floor_steps(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "floor_steps(n, runners, definition=None)");
        return nullptr;
    }
    Py_ssize_t n = PyLong_AsSsize_t(args[0]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    PyObject* source = args[1];
    if (!PyList_Check(source)) {
        PyErr_SetString(PyExc_TypeError, "runners must be a list");
        return nullptr;
    }
    PyObject* definition = nargs == 3 && args[2] != Py_None ? args[2] : nullptr;
    // The same field values a snapshot carries; the strings are copied per
    // book as the builder copies them from the cache.
    const std::string market_id = "1.234567890";
    const std::string status = "OPEN";
    const int64_t epoch_ms = 1663077552994;
    const Py_ssize_t k = PyList_GET_SIZE(source);

    // Released books are kept for reuse while an iterator lives, as during a replay.
    ReuseScope reuse;
    auto started = std::chrono::steady_clock::now();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* list = PyList_New(k);
        if (!list) return nullptr;
        for (Py_ssize_t j = 0; j < k; ++j)
            PyList_SET_ITEM(list, j, Py_NewRef(PyList_GET_ITEM(source, j)));
        Ref runners = Ref::steal(list);
        OptionalHeld held_definition{Ref::borrow(definition)};
        PyObject* book = make<MarketBook>(
            AccessChecked{}, market_id, Ref{}, epoch_ms, status, int32_t(0), false,
            true, true, false, int32_t(k), int32_t(k), int32_t(1), false, 0.0, int64_t(1),
            std::optional<int64_t>{}, std::move(held_definition), std::move(runners),
            Gathered{}, std::optional<int32_t>{});
        if (!book) return nullptr;
        Py_DECREF(book);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return PyFloat_FromDouble(seconds);
}


// ---- The step floor over a file ----------------------------------------------

struct Delta {
    uint32_t ladder;  // runner slot * 5 + ladder (atb, atl, trd, spb, spl)
    double price;
    double size;
};

// What the floor replays, message by message; the ranges of message i end at
// the i-th entry of the *_end vectors.
struct StepPlan {
    std::vector<Delta> deltas;
    std::vector<uint32_t> deltas_end;
    std::vector<uint32_t> order;  // runner slots of the snapshot, in runner order
    std::vector<uint32_t> order_end;
    std::vector<uint32_t> changed;  // slot << 3 | changed back (1), lay (2), traded (4)
    std::vector<uint32_t> changed_end;
    std::vector<int64_t> publish_ms;
    std::vector<uint8_t> yields;  // whether the message yields a snapshot
    std::vector<int64_t> slot_selection;
    std::vector<double> slot_handicap;
};

constexpr const char* kLadderKeys[5] = {"atb", "atl", "trd", "spb", "spl"};

// The plan of a file: the module's reader and cache, replayed as the
// iterator replays (the first market with an id; other markets' changes not
// applied). A runner cache made anew (after an image) is a new slot.
StepPlan plan_file(const std::string& path) {
    palisar::parse::PricesData data = palisar::parse::read_prices_file(path);
    StepPlan plan;
    std::unique_ptr<palisar::market::MarketCache> cache;
    struct Seen {
        uint64_t runner, back, lay, traded;
    };
    std::vector<Seen> seen;
    std::unordered_map<const palisar::market::RunnerCache*, uint32_t> slots;
    auto slot_of = [&](const palisar::market::RunnerCache* r) {
        auto [at, added] = slots.try_emplace(r, uint32_t(seen.size()));
        if (added) {
            seen.push_back({UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX});
            plan.slot_selection.push_back(r->selection_id);
            plan.slot_handicap.push_back(r->handicap);
        }
        return at->second;
    };
    for (const palisar::parse::ParsedMessage& message : data.messages) {
        bool applied = false, foreign = false;
        for (palisar::json::Value item : message.market_changes.items()) {
            if (!cache) {
                std::string_view id;
                if (!item.find("id").get_string(id) || id.empty()) continue;
                cache = std::make_unique<palisar::market::MarketCache>(std::string(id));
            }
            const bool image = item.find("img").is_true();
            if (!palisar::market::update(*cache, item, message.publish_time)) {
                foreign = true;
                continue;
            }
            applied = true;
            if (image) slots.clear();
            for (palisar::json::Value rc : item.find("rc").items()) {
                int64_t selection;
                if (!rc.find("id").get_i64(selection)) continue;
                double handicap = 0.0;
                rc.find("hc").get_double(handicap);
                const palisar::market::RunnerCache* r = cache->runners.find(
                    {selection, palisar::market::handicap_key(handicap)});
                if (!r) continue;
                const uint32_t slot = slot_of(r);
                for (uint32_t k = 0; k < 5; ++k) {
                    for (palisar::json::Value delta : rc.find(kLadderKeys[k]).items()) {
                        auto pair = delta.items();
                        auto at = pair.begin();
                        if (pair.empty() || ++at == pair.end()) continue;
                        double price = 0.0, size = 0.0;
                        (*pair.begin()).get_double(price);
                        (*at).get_double(size);
                        plan.deltas.push_back({slot * 5 + k, price, size});
                    }
                }
            }
        }
        const bool yields = cache && (applied || !foreign);
        if (yields) {
            for (const palisar::market::RunnerCache* r : cache->runners.runners_in_order()) {
                const uint32_t slot = slot_of(r);
                plan.order.push_back(slot);
                Seen& s = seen[slot];
                if (s.runner == r->change_count) continue;
                const uint32_t mask = (s.back != r->available_to_back.change_count() ? 1u : 0u) |
                                      (s.lay != r->available_to_lay.change_count() ? 2u : 0u) |
                                      (s.traded != r->traded_volume.change_count() ? 4u : 0u);
                s = {r->change_count, r->available_to_back.change_count(),
                     r->available_to_lay.change_count(), r->traded_volume.change_count()};
                plan.changed.push_back(slot << 3 | mask);
            }
        }
        plan.yields.push_back(yields);
        plan.publish_ms.push_back(cache ? cache->publish_time_epoch : 0);
        plan.deltas_end.push_back(uint32_t(plan.deltas.size()));
        plan.order_end.push_back(uint32_t(plan.order.size()));
        plan.changed_end.push_back(uint32_t(plan.changed.size()));
    }
    return plan;
}

struct Level {
    double price;
    double size;
};
using FlatLadders = std::vector<std::vector<Level>>;

// A zero size removes the level; any other size sets or inserts it.
__attribute__((noinline)) void floor_apply_deltas(FlatLadders& ladders, const Delta* d,
                                                  const Delta* end) {
    for (; d != end; ++d) {
        std::vector<Level>& levels = ladders[d->ladder];
        auto at = std::lower_bound(levels.begin(), levels.end(), d->price,
                                   [](const Level& l, double p) { return l.price < p; });
        if (at != levels.end() && at->price == d->price) {
            if (d->size == 0.0) levels.erase(at);
            else at->size = d->size;
        } else if (d->size != 0.0) {
            levels.insert(at, Level{d->price, d->size});
        }
    }
}

enum FloorParts : unsigned { kLadders = 1, kObjects = 2, kListings = 4 };

// The timed loop. Returns false with a Python error set.
__attribute__((noinline)) bool step_floor_run(const StepPlan& plan, unsigned parts,
                                              FlatLadders& ladders, std::vector<Ref>& runners,
                                              std::vector<Ref>& lists, PyObject* status) {
    const std::string market_id = "1.234567890";
    const std::string market_status = "OPEN";
    Ref previous;
    uint32_t deltas = 0, order = 0, changed = 0;
    for (size_t i = 0; i < plan.yields.size(); ++i) {
        const uint32_t deltas_end = plan.deltas_end[i], order_end = plan.order_end[i],
                       changed_end = plan.changed_end[i];
        if (parts & kLadders)
            floor_apply_deltas(ladders, plan.deltas.data() + deltas, plan.deltas.data() + deltas_end);
        deltas = deltas_end;
        if (!(parts & kObjects) || !plan.yields[i]) {
            order = order_end;
            changed = changed_end;
            continue;
        }
        for (; changed < changed_end; ++changed) {
            const uint32_t slot = plan.changed[changed] >> 3, mask = plan.changed[changed] & 7;
            Ref* held = &lists[size_t(slot) * 3];
            if (parts & kListings) {
                for (unsigned k = 0; k < 3; ++k) {
                    if (!(mask & (1u << k))) continue;
                    held[k] = Ref::steal(make<PriceListing>(nullptr, CopiedLevels{}, false, Ref{}));
                    if (!held[k]) return false;
                }
            }
            Ref ex = Ref::steal(make<ExchangePrices>(
                AccessChecked{}, Held{Ref::borrow(held[0].get())}, Held{Ref::borrow(held[1].get())},
                Held{Ref::borrow(held[2].get())}));
            if (!ex) return false;
            PyObject* runner = make<Runner>(
                plan.slot_selection[slot], plan.slot_handicap[slot], Held{Ref::borrow(status)},
                std::optional<double>{}, std::optional<double>{2.5}, 100.0,
                std::optional<std::string>{}, Held{}, Held{}, Held{}, StartingPriceBlock{}, std::move(ex));
            if (!runner) return false;
            runners[slot] = Ref::steal(runner);
        }
        const Py_ssize_t n = Py_ssize_t(order_end - order);
        PyObject* list = PyList_New(n);
        if (!list) return false;
        for (Py_ssize_t j = 0; j < n; ++j)
            PyList_SET_ITEM(list, j, Py_NewRef(runners[plan.order[order + size_t(j)]].get()));
        order = order_end;
        Ref runner_list = Ref::steal(list);
        PyObject* book = make<MarketBook>(
            AccessChecked{}, market_id, Ref{}, plan.publish_ms[i], market_status,
            int32_t(0), false, true, true, false, int32_t(n), int32_t(n), int32_t(1), false, 0.0,
            int64_t(1), std::optional<int64_t>{}, OptionalHeld{}, std::move(runner_list),
            Gathered{}, std::optional<int32_t>{});
        if (!book) return false;
        previous = Ref::steal(book);  // the book before goes now, as in a `for` loop
    }
    return true;
}

__attribute__((noinline)) Py_ssize_t drain_steps(PyObject* iterator) {
    iternextfunc next = Py_TYPE(iterator)->tp_iternext;
    Py_ssize_t count = 0;
    Ref previous;
    while (PyObject* item = next(iterator)) {
        previous = Ref::steal(item);
        ++count;
    }
    return count;
}

PyObject* drain(PyObject*, PyObject* iterator) {
    if (!PyIter_Check(iterator)) {
        PyErr_SetString(PyExc_TypeError, "drain(iterator)");
        return nullptr;
    }
    Py_ssize_t count = drain_steps(iterator);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
        PyErr_Clear();
    }
    return PyLong_FromSsize_t(count);
}

constexpr const char* kPlanName = "palisar_bench.StepPlan";

void free_plan(PyObject* capsule) {
    delete static_cast<StepPlan*>(PyCapsule_GetPointer(capsule, kPlanName));
}

PyObject* plan_steps_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    const char* path;
    if (nargs != 1 || !(path = PyUnicode_AsUTF8(args[0]))) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "plan_steps(path)");
        return nullptr;
    }
    std::unique_ptr<StepPlan> plan;
    try {
        plan = std::make_unique<StepPlan>(plan_file(path));
    } catch (const palisar::parse::ReadError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    }
    size_t snapshots = 0, listings = 0;
    for (uint8_t y : plan->yields) snapshots += y;
    for (uint32_t c : plan->changed) listings += __builtin_popcount(c & 7);
    Ref counts = Ref::steal(Py_BuildValue(
        "{s:n,s:n,s:n,s:n,s:n,s:n}", "messages", Py_ssize_t(plan->yields.size()), "snapshots",
        Py_ssize_t(snapshots), "deltas", Py_ssize_t(plan->deltas.size()), "changed_runners",
        Py_ssize_t(plan->changed.size()), "changed_lists", Py_ssize_t(listings), "runner_slots",
        Py_ssize_t(plan->slot_selection.size())));
    if (!counts) return nullptr;
    Ref capsule = Ref::steal(PyCapsule_New(plan.get(), kPlanName, free_plan));
    if (!capsule) return nullptr;
    plan.release();
    return PyTuple_Pack(2, capsule.get(), counts.get());
}

PyObject* run_step_floor_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) {
        PyErr_SetString(PyExc_TypeError, "run_step_floor(plan, parts='floor')");
        return nullptr;
    }
    auto* plan = static_cast<const StepPlan*>(PyCapsule_GetPointer(args[0], kPlanName));
    if (!plan) return nullptr;
    std::string_view name = "floor";
    if (nargs == 2) {
        Py_ssize_t len;
        const char* s = PyUnicode_AsUTF8AndSize(args[1], &len);
        if (!s) return nullptr;
        name = std::string_view(s, size_t(len));
    }
    unsigned parts = name == "floor"      ? kLadders | kObjects
                     : name == "ladders"  ? kLadders
                     : name == "objects"  ? kObjects
                     : name == "listings" ? kLadders | kObjects | kListings
                                          : 0u;
    if (!parts) {
        PyErr_SetString(PyExc_ValueError, "parts: floor, ladders, objects or listings");
        return nullptr;
    }
    // Everything the loop starts from is made before the clock starts.
    const size_t slots = plan->slot_selection.size();
    FlatLadders ladders(slots * 5);
    std::vector<Ref> runners(slots), lists(slots * 3);
    for (Ref& l : lists) l = Ref::borrow(Py_None);
    Ref status = Ref::steal(PyUnicode_FromString("ACTIVE"));
    if (!status) return nullptr;
    ReuseScope reuse;
    auto started = std::chrono::steady_clock::now();
    if (!step_floor_run(*plan, parts, ladders, runners, lists, status.get())) return nullptr;
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return PyFloat_FromDouble(seconds);
}

constexpr auto plan_steps = guarded<&plan_steps_impl>;
constexpr auto run_step_floor = guarded<&run_step_floor_impl>;

PyMethodDef g_methods[] = {
    {"floor_steps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&floor_steps)),
     METH_FASTCALL, "floor_steps(n, runners, definition=None)\n--\n\n"},
    {"drain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&drain)), METH_O,
     "drain(iterator)\n--\n\n"},
    {"plan_steps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plan_steps)),
     METH_FASTCALL, "plan_steps(path)\n--\n\n"},
    {"run_step_floor",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_step_floor)), METH_FASTCALL,
     "run_step_floor(plan, parts='floor')\n--\n\n"},
    {"iter_prices_file",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&iter_prices_file)),
     METH_FASTCALL | METH_KEYWORDS, "iter_prices_file(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "palisar_bench", "Benchmark floors of the palisar module.", 0,
    g_methods, nullptr, nullptr, nullptr, nullptr,
};

template <class R>
bool add_class(PyObject* module) {
    PyTypeObject* type = create_type<R>();
    if (!type) return false;
    const char* bare = R::kName + sizeof("builtins.") - 1;
    return PyModule_AddObjectRef(module, bare, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_palisar_bench() {
    if (!init_module_state()) return nullptr;
    PyDateTime_IMPORT;  // this file's own copy of the capsule pointer
    if (!PyDateTimeAPI) return nullptr;
    PyObject* module = PyModule_Create(&g_module_def);
    if (!module) return nullptr;
    bool ok = add_class<PricesIterator>(module) && add_class<MarketBook>(module) &&
              add_class<Runner>(module) && add_class<ExchangePrices>(module) &&
              add_class<StartingPrices>(module) && add_class<PriceSize>(module) &&
              add_class<MarketDefinition>(module) && add_class<MarketDefinitionRunner>(module);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
