// Price ladder layouts compared on the work a replay gives them: apply a delta
// list, and list the ladder in book order whenever it changed (the snapshot
// builder does that for every changed ladder).
//
//   sorted  : the product's PriceLadder (flat sorted vector; long delta lists merged)
//   direct  : the same flat sorted vector, every delta inserted one at a time
//   hashed  : open-addressing map (linear probing, backward-shift delete);
//             listing copies the levels out and sorts them
//
// Build and run: see bench/README.md.

#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "market/ladder.hpp"
#include "json/value.hpp"

using palisar::json::Builder;
using palisar::json::Value;
using Levels = std::vector<std::pair<double, double>>;

namespace {

bool read_delta(Value d, double& price, bool& store, double& size) {
    if (!d.is_array()) return false;
    auto r = d.elements();
    auto it = r.begin();
    if (it == r.end()) return false;
    Value p = *it;
    ++it;
    if (it == r.end()) return false;
    price = 0.0;
    p.get_double(price);
    store = (*it).get_double(size) && size != 0.0;
    return true;
}

// Flat sorted vector, one delta at a time.
class DirectLadder {
public:
    explicit DirectLadder(bool desc) : desc_(desc) {}
    bool update(Value deltas) {
        bool changed = false;
        for (Value d : deltas.items()) {
            double price, size = 0;
            bool store;
            if (!read_delta(d, price, store, size)) continue;
            uint64_t key = palisar::market::PriceLadder::price_key(price);
            auto pos = std::lower_bound(v_.begin(), v_.end(), key,
                                        [](const auto& l, uint64_t k) { return l.first < k; });
            bool found = pos != v_.end() && pos->first == key;
            if (store) {
                if (!found) v_.insert(pos, {key, size}), changed = true;
                else if (!(pos->second == size)) pos->second = size, changed = true;
            } else if (found) {
                v_.erase(pos);
                changed = true;
            }
        }
        return changed;
    }
    void to_price_sizes(Levels& out) const {
        out.clear();
        if (desc_) {
            for (auto it = v_.rbegin(); it != v_.rend(); ++it)
                out.emplace_back(palisar::market::PriceLadder::key_price(it->first), it->second);
        } else {
            for (auto& l : v_) out.emplace_back(palisar::market::PriceLadder::key_price(l.first), l.second);
        }
    }

private:
    std::vector<std::pair<uint64_t, double>> v_;
    bool desc_;
};

// Open addressing by price bit pattern; the all-ones pattern marks an empty slot.
class HashLadder {
public:
    explicit HashLadder(bool desc) : desc_(desc), slots_(16, Slot{kEmpty, 0}) {}
    bool update(Value deltas) {
        bool changed = false;
        for (Value d : deltas.items()) {
            double price, size = 0;
            bool store;
            if (!read_delta(d, price, store, size)) continue;
            uint64_t key = std::bit_cast<uint64_t>(price);
            size_t mask = slots_.size() - 1, i = hash(key) & mask;
            while (slots_[i].key != kEmpty && slots_[i].key != key) i = (i + 1) & mask;
            if (store) {
                if (slots_[i].key == kEmpty) {
                    slots_[i] = Slot{key, size};
                    ++count_;
                    changed = true;
                    if (count_ * 2 > slots_.size()) grow();
                } else if (!(slots_[i].size == size)) {
                    slots_[i].size = size;
                    changed = true;
                }
            } else if (slots_[i].key != kEmpty) {
                erase_at(i);
                changed = true;
            }
        }
        return changed;
    }
    void to_price_sizes(Levels& out) const {
        out.clear();
        for (const Slot& s : slots_)
            if (s.key != kEmpty) out.emplace_back(std::bit_cast<double>(s.key), s.size);
        if (desc_) std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.first > b.first; });
        else std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.first < b.first; });
    }

private:
    static constexpr uint64_t kEmpty = ~uint64_t(0);
    struct Slot {
        uint64_t key;
        double size;
    };
    static uint64_t hash(uint64_t x) {
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        return x;
    }
    void erase_at(size_t i) {
        size_t mask = slots_.size() - 1;
        slots_[i].key = kEmpty;
        --count_;
        for (size_t j = (i + 1) & mask; slots_[j].key != kEmpty; j = (j + 1) & mask) {
            size_t home = hash(slots_[j].key) & mask;
            // Move j back into the hole at i when its home is not in (i, j].
            if (((j - home) & mask) >= ((j - i) & mask)) {
                slots_[i] = slots_[j];
                slots_[j].key = kEmpty;
                i = j;
            }
        }
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2, Slot{kEmpty, 0});
        old.swap(slots_);
        size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.key == kEmpty) continue;
            size_t i = hash(s.key) & mask;
            while (slots_[i].key != kEmpty) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }
    bool desc_;
    std::vector<Slot> slots_;
    size_t count_ = 0;
};

// A recorded workload: ladder slots and, in order, which slot got which delta list.
struct Workload {
    std::vector<bool> descending;     // per ladder slot
    std::vector<std::vector<uint8_t>> lists;  // encoded delta arrays
    std::vector<uint32_t> target;     // ladder slot per list
};

void encode(simdjson::dom::element e, Builder& b) {
    using T = simdjson::dom::element_type;
    switch (e.type()) {
        case T::ARRAY:
            b.begin_array();
            for (auto x : e.get_array()) encode(x, b);
            b.end_container();
            break;
        case T::OBJECT:
            b.begin_object();
            for (auto kv : e.get_object()) b.key(kv.key), encode(kv.value, b);
            b.end_container();
            break;
        case T::INT64: b.sint(int64_t(e.get_int64())); break;
        case T::UINT64: b.uint(uint64_t(e.get_uint64())); break;
        case T::DOUBLE: b.number(double(e.get_double())); break;
        case T::STRING: b.string(std::string_view(e.get_string())); break;
        case T::BOOL: b.boolean(bool(e.get_bool())); break;
        case T::NULL_VALUE: b.null(); break;
        default: throw std::runtime_error("value kind the tree has no form for");
    }
}

// Every ladder delta list of the recorded files, in stream order. An image
// starts fresh ladders, as the cache does.
Workload from_files(const std::vector<std::string>& paths) {
    Workload w;
    simdjson::dom::parser parser;
    const char* keys[] = {"atb", "atl", "trd", "spb", "spl"};
    const bool desc[] = {true, false, false, true, false};
    for (const std::string& path : paths) {
        std::ifstream in(path);
        std::map<std::tuple<int64_t, double, int>, uint32_t> slot_of;
        std::string line;
        while (std::getline(in, line)) {
            simdjson::dom::element msg;
            if (parser.parse(line).get(msg)) continue;
            simdjson::dom::array mc;
            if (msg["mc"].get(mc)) continue;
            for (auto item : mc) {
                bool img = false;
                if (!item["img"].get(img) && img) slot_of.clear();
                simdjson::dom::array rc;
                if (item["rc"].get(rc)) continue;
                for (auto r : rc) {
                    int64_t id;
                    if (r["id"].get(id)) continue;
                    double hc = 0;
                    if (r["hc"].get(hc)) hc = 0;
                    for (int k = 0; k < 5; ++k) {
                        simdjson::dom::element deltas;
                        if (r[keys[k]].get(deltas)) continue;
                        auto [it, fresh] = slot_of.try_emplace({id, hc, k}, uint32_t(w.descending.size()));
                        if (fresh) w.descending.push_back(desc[k]);
                        Builder b;
                        encode(deltas, b);
                        w.lists.emplace_back(b.data(), b.data() + b.size());
                        w.target.push_back(it->second);
                    }
                }
            }
        }
    }
    return w;
}

// Steady state: `depth` levels on a tick grid, then small updates that resize,
// remove or add levels near the top of the book.
Workload synthetic(int depth, int updates, int per_list, uint64_t seed) {
    Workload w;
    w.descending = {true};
    std::mt19937_64 rng(seed);
    auto add_list = [&](const std::vector<std::pair<double, double>>& ds) {
        Builder b;
        b.begin_array();
        for (auto [p, s] : ds) {
            b.begin_array();
            b.number(p);
            b.number(s);
            b.end_container();
        }
        b.end_container();
        w.lists.emplace_back(b.data(), b.data() + b.size());
        w.target.push_back(0);
    };
    std::vector<std::pair<double, double>> ds;
    for (int i = 0; i < depth; ++i) ds.emplace_back(1.01 + 0.01 * i, 10.0 + i);
    std::shuffle(ds.begin(), ds.end(), rng);
    add_list(ds);
    for (int u = 0; u < updates; ++u) {
        ds.clear();
        for (int k = 0; k < per_list; ++k) {
            int level = int(rng() % uint64_t(depth + depth / 10 + 1));
            double size = (rng() % 5 == 0) ? 0.0 : double(rng() % 1000) / 100.0 + 1.0;
            ds.emplace_back(1.01 + 0.01 * level, size);
        }
        add_list(ds);
    }
    return w;
}

// One list of `n` distinct levels in random order into an empty ladder.
Workload one_image(int n, uint64_t seed) {
    Workload w = synthetic(n, 0, 0, seed);
    return w;
}

template <class Ladder>
double run(const Workload& w, int reps, bool list_changed, size_t& checksum) {
    using clock = std::chrono::steady_clock;
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        std::vector<Ladder> ladders;
        ladders.reserve(w.descending.size());
        for (bool d : w.descending) ladders.emplace_back(d);
        Levels out;
        size_t sum = 0;
        auto t0 = clock::now();
        for (size_t i = 0; i < w.lists.size(); ++i) {
            Ladder& l = ladders[w.target[i]];
            if (l.update(Value(w.lists[i].data())) && list_changed) {
                l.to_price_sizes(out);
                sum += out.size();
            }
        }
        auto t1 = clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
        checksum += sum;
    }
    return best / double(w.lists.size());
}

void report(const char* name, const Workload& w, int reps) {
    size_t c1 = 0, c2 = 0, c3 = 0, ignored = 0;
    double s = run<palisar::market::PriceLadder>(w, reps, true, c1);
    double d = run<DirectLadder>(w, reps, true, c2);
    double h = run<HashLadder>(w, reps, true, c3);
    double s0 = run<palisar::market::PriceLadder>(w, reps, false, ignored);
    double h0 = run<HashLadder>(w, reps, false, ignored);
    std::printf("%-34s %7zu lists | update+list ns/list: sorted %9.1f direct %9.1f hashed %9.1f"
                " | update only: sorted %8.1f hashed %8.1f%s\n",
                name, w.lists.size(), s, d, h, s0, h0,
                (c1 == c2 && c1 == c3) ? "" : "  (MISMATCH between layouts)");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) files.push_back(argv[i]);
    if (!files.empty()) {
        Workload real = from_files(files);
        size_t levels_sum = 0, lists = real.lists.size();
        for (auto& l : real.lists) levels_sum += Value(l.data()).size();
        std::printf("recorded files: %zu ladders, %zu delta lists, %.2f deltas per list\n",
                    real.descending.size(), lists, double(levels_sum) / double(lists));
        report("recorded files", real, 20);
    }
    for (int depth : {10, 50, 150, 350}) {
        char name[64];
        std::snprintf(name, sizeof name, "steady, depth %d, 2 deltas/list", depth);
        report(name, synthetic(depth, 20000, 2, depth), 10);
    }
    for (int n : {20, 48, 100, 350, 2000}) {
        char name[64];
        std::snprintf(name, sizeof name, "one image of %d levels", n);
        Workload w;
        // Many independent ladders, one image each.
        for (int k = 0; k < 200; ++k) {
            Workload one = one_image(n, uint64_t(k));
            w.descending.push_back(true);
            w.lists.push_back(std::move(one.lists[0]));
            w.target.push_back(uint32_t(k));
        }
        report(name, w, 5);
    }
    {
        Workload w = one_image(100000, 7);
        report("hostile: one image of 100000", w, 1);
    }
    return 0;
}
