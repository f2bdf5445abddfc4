// Price ladder: delta application, change counting and book-order listing.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "market/ladder.hpp"
#include "market_test_json.hpp"

namespace palisar::market {
namespace {

using testing::Doc;
using testing::Parsed;
using Levels = std::vector<std::pair<double, double>>;

// ---- one call on a fresh ladder, table driven ---------------------------------

struct FreshCase {
    const char* name;
    const char* setup;   // applied first (may be "[]")
    const char* deltas;  // the call under test
    bool returns;
    uint64_t count_after;  // change_count after both calls
    Levels ascending;      // listing of an ascending ladder afterwards
    int packed = -1;       // 1: the parser packs `deltas`, 0: it does not, -1: not checked
};

class LadderDeltas : public ::testing::TestWithParam<FreshCase> {};

// Each case runs on the generic tree and on the parser's form of the same
// text (packed where the parser packs it): both must give the same ladder.
TEST_P(LadderDeltas, AppliesAndCounts) {
    const FreshCase& c = GetParam();
    for (bool parsed : {false, true}) {
        SCOPED_TRACE(parsed ? "parsed" : "generic");
        PriceLadder ladder(false);
        if (parsed) ladder.update(Parsed(c.setup));
        else ladder.update(Doc(c.setup));
        if (parsed) {
            Parsed deltas(c.deltas);
            if (c.packed >= 0) {
                EXPECT_EQ(deltas.value().is_deltas(), c.packed == 1);
            }
            EXPECT_EQ(ladder.update(deltas), c.returns);
        } else {
            EXPECT_EQ(ladder.update(Doc(c.deltas)), c.returns);
        }
        EXPECT_EQ(ladder.change_count(), c.count_after);
        EXPECT_EQ(ladder.to_price_sizes(), c.ascending);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LadderDeltas,
    ::testing::Values(
        FreshCase{"empty_list", "[]", "[]", false, 0, {}},
        FreshCase{"remove_missing", "[]", "[[1.5,0]]", false, 0, {}},
        FreshCase{"same_twice", "[[1.5,10]]", "[[1.5,10]]", false, 1, {{1.5, 10}}},
        FreshCase{"integer_size_equals_double", "[[1.5,10]]", "[[1.5,10.0]]", false, 1, {{1.5, 10}}},
        FreshCase{"set_then_remove_new", "[]", "[[1.5,10],[1.5,0]]", true, 1, {}},
        FreshCase{"two_levels_one_step", "[]", "[[1.5,10],[1.6,20]]", true, 1, {{1.5, 10}, {1.6, 20}}},
        FreshCase{"null_size_removes", "[[1.5,10],[2,1]]", "[[1.5,null]]", true, 2, {{2, 1}}},
        FreshCase{"text_size_removes", "[[1.5,10]]", "[[1.5,\"7\"]]", true, 2, {}},
        FreshCase{"bool_size_removes", "[[1.5,10]]", "[[1.5,true]]", true, 2, {}},
        FreshCase{"text_price_is_zero", "[]", "[[\"2.0\",5]]", true, 1, {{0.0, 5}}},
        FreshCase{"null_price_is_zero", "[[0,4]]", "[[null,5]]", true, 2, {{0.0, 5}}},
        FreshCase{"short_and_flat_skipped", "[]", "[[1.5],[],1.5,\"x\",{\"a\":1},null]", false, 0, {}},
        FreshCase{"flat_pair_skipped", "[]", "[1.5,10]", false, 0, {}},
        FreshCase{"extra_items_ignored", "[]", "[[1.5,10,99]]", true, 1, {{1.5, 10}}},
        FreshCase{"negative_size_kept", "[]", "[[1.5,-3]]", true, 1, {{1.5, -3}}, 0},
        FreshCase{"integer_price_same_level", "[[2,5]]", "[[2.0,7]]", true, 2, {{2.0, 7}}},
        FreshCase{"later_delta_wins", "[]", "[[3,1],[3,2],[3,9]]", true, 1, {{3, 9}}},
        FreshCase{"remove_then_restore_same", "[[3,1]]", "[[3,0],[3,1]]", true, 2, {{3, 1}}},
        FreshCase{"not_an_array", "[[1.5,10]]", "{\"1.5\":0}", false, 1, {{1.5, 10}}},
        FreshCase{"number_not_a_list", "[[1.5,10]]", "7", false, 1, {{1.5, 10}}},
        // Which lists the parser packs; the outcome never depends on it.
        FreshCase{"packed_number_forms", "[[2,1]]", "[[1.5,10],[2,0.25],[1000,3],[0.5,1e2],[7,0]]", true, 2,
                  {{0.5, 100}, {1.5, 10}, {2, 0.25}, {1000, 3}}, 1},
        FreshCase{"packed_negative_decimals", "[]", "[[-1.5,-2.5],[-0,1]]", true, 1, {{-1.5, -2.5}, {0, 1}}, 1},
        FreshCase{"packed_spaces_inside", "[]", "[[1.5 , 10 ] ,[ 2,3]]", true, 1, {{1.5, 10}, {2, 3}}, 1},
        FreshCase{"space_after_bracket", "[]", "[ [1.5,10]]", true, 1, {{1.5, 10}}, 0},
        FreshCase{"packed_u64_price", "[]", "[[18446744073709551615,1]]", true, 1, {{18446744073709551615.0, 1}}, 1},
        FreshCase{"negative_zero_price", "[[0,4]]", "[[-0.0,5]]", true, 2, {{-0.0, 5}, {0, 4}}, 0},
        FreshCase{"raw_double_size", "[]", "[[1.5,1e300]]", true, 1, {{1.5, 1e300}}, 0},
        FreshCase{"pair_then_triple", "[]", "[[1.5,10],[2,3,4]]", true, 1, {{1.5, 10}, {2, 3}}, 0},
        FreshCase{"pair_then_text_price", "[]", "[[1.5,10],[\"2\",3]]", true, 1, {{0, 3}, {1.5, 10}}, 0},
        FreshCase{"pair_then_flat", "[]", "[[1.5,10],3]", true, 1, {{1.5, 10}}, 0},
        FreshCase{"array_size_removes", "[[1.5,10]]", "[[1.5,[10]]]", true, 2, {}, 0}),
    [](const ::testing::TestParamInfo<FreshCase>& info) { return std::string(info.param.name); });

// ---- listing order -------------------------------------------------------------

TEST(LadderOrder, DescendingListsHighestFirst) {
    PriceLadder back(true), lay(false);
    Doc deltas("[[1.5,1],[2.0,2],[1.8,3]]");
    back.update(deltas);
    lay.update(deltas);
    EXPECT_EQ(back.to_price_sizes(), (Levels{{2.0, 2}, {1.8, 3}, {1.5, 1}}));
    EXPECT_EQ(lay.to_price_sizes(), (Levels{{1.5, 1}, {1.8, 3}, {2.0, 2}}));
}

TEST(LadderOrder, NegativePricesSortNumerically) {
    PriceLadder ladder(false);
    ladder.update(Doc("[[-1,1],[-3.5,2],[2,3],[-0.5,4],[1000,5]]"));
    EXPECT_EQ(ladder.to_price_sizes(), (Levels{{-3.5, 2}, {-1, 1}, {-0.5, 4}, {2, 3}, {1000, 5}}));
}

TEST(LadderOrder, SignedZerosAreTwoLevels) {
    json::Builder b;
    b.begin_array();
    for (double price : {0.0, -0.0}) {
        b.begin_array();
        b.number(price);
        b.number(price == 0.0 && std::signbit(price) ? 2.0 : 1.0);
        b.end_container();
    }
    b.end_container();
    PriceLadder ladder(true);
    EXPECT_TRUE(ladder.update(json::Value(b.data())));
    ASSERT_EQ(ladder.size(), 2u);
    const double* pos = ladder.find(0.0);
    const double* neg = ladder.find(-0.0);
    ASSERT_NE(pos, nullptr);
    ASSERT_NE(neg, nullptr);
    EXPECT_EQ(*pos, 1.0);
    EXPECT_EQ(*neg, 2.0);
}

TEST(LadderOrder, NanSizeIsStoredAndResentNanCountsAsChange) {
    json::Builder b;
    b.begin_array();
    b.begin_array();
    b.number(1.5);
    b.number(std::nan(""));
    b.end_container();
    b.end_container();
    json::Value deltas(b.data());
    PriceLadder ladder(false);
    EXPECT_TRUE(ladder.update(deltas));
    ASSERT_NE(ladder.find(1.5), nullptr);
    EXPECT_TRUE(std::isnan(*ladder.find(1.5)));
    // NaN never equals the stored size, so sending it again is a change.
    EXPECT_TRUE(ladder.update(deltas));
    EXPECT_EQ(ladder.change_count(), 2u);
}

TEST(LadderOrder, ListingIntoBufferReplacesItsContents) {
    PriceLadder ladder(true);
    ladder.update(Doc("[[1.5,1],[2.5,2]]"));
    std::vector<std::pair<double, double>> out{{9, 9}, {8, 8}, {7, 7}};
    ladder.to_price_sizes(out);
    EXPECT_EQ(out, (Levels{{2.5, 2}, {1.5, 1}}));
    Levels visited;
    ladder.for_each_level([&](double p, double s) { visited.emplace_back(p, s); });
    EXPECT_EQ(visited, out);
}

// ---- against a reference model --------------------------------------------------

// The obvious implementation: a map by bit pattern, deltas one at a time.
struct ReferenceLadder {
    std::map<uint64_t, double> levels;
    uint64_t change_count = 0;

    bool update(const std::vector<std::pair<double, std::optional<double>>>& deltas) {
        bool changed = false;
        for (const auto& [price, size] : deltas) {
            uint64_t bits = std::bit_cast<uint64_t>(price);
            auto it = levels.find(bits);
            if (size && *size != 0.0) {
                if (it == levels.end() || !(it->second == *size)) changed = true;
                levels[bits] = *size;
            } else if (it != levels.end()) {
                levels.erase(it);
                changed = true;
            }
        }
        if (changed) ++change_count;
        return changed;
    }
    Levels listing(bool descending) const {
        Levels out;
        for (const auto& [bits, size] : levels) out.emplace_back(std::bit_cast<double>(bits), size);
        std::stable_sort(out.begin(), out.end(), [&](const auto& a, const auto& b) {
            return descending ? a.first > b.first : a.first < b.first;
        });
        return out;
    }
};

// Listings held while the ladder moves on: each is wanted until dropped, and
// must be rebuilt from the undo log (or copied when told) as it was listed.
struct Held {
    Levels listed;       // the reference's listing when it was made
    bool wanted = true;  // someone besides the ladder holds it, unread
    bool told = false;   // the ladder asked it to copy its levels
    int released = 0;
    int spared = 0;          // given up as the ladder's spare instead
    int spare_released = 0;  // released by the ladder as its spare
    bool taken = false;      // taken back as the spare (take_spare)
};
std::map<void*, Held> g_held;
bool g_accept_spare = false;  // what held_spare answers
int g_spare_refused = 0;

Levels listed_by(const PriceLadder& ladder, const void* listing) {
    Levels out;
    ladder.listed_levels(
        listing, [&](size_t n) { return out.resize(n), true; },
        [&](size_t i, uint64_t key, double size) { out[i] = {PriceLadder::listed_price(key, ladder.descending()), size}; });
    std::reverse(out.begin(), out.end());  // to book order
    return out;
}
bool held_wanted(void* l) { return g_held.at(l).wanted; }
bool held_told(void* l, const PriceLadder& ladder, bool) {
    Held& h = g_held.at(l);
    EXPECT_EQ(h.released, 0);
    if (h.wanted) {
        EXPECT_EQ(listed_by(ladder, l), h.listed);
    }
    h.told = true;
    return true;
}
void held_released(void* l) {
    Held& h = g_held.at(l);
    ++(h.spared ? h.spare_released : h.released);
}
// Only a listing not given up yet is offered; one still wanted is refused
// (the module's answer for a listing held elsewhere).
bool held_spare(void* l) {
    Held& h = g_held.at(l);
    EXPECT_EQ(h.released + h.spared, 0);
    if (h.wanted || !g_accept_spare) return ++g_spare_refused, false;
    ++h.spared;
    return true;
}

// Short lists go one delta at a time, long ones through the merge; both must
// agree with the reference on contents, order, result and counter. Every
// other list holds numbers only and is also applied, as the parser stores it
// (packed), to a second ladder that must stay identical. Along the way
// listings are made and held at random (some forever, past the log's bound),
// dropped, and the ladder moved.
class LadderModel : public ::testing::TestWithParam<int> {};

TEST_P(LadderModel, MatchesReference) {
    const int max_list = GetParam();
    std::mt19937_64 rng(12345 + max_list);
    // A small price grid so that deltas collide on the same level often.
    std::vector<double> prices;
    // Each a two-place decimal, so that the parser can pack them.
    for (int i = 0; i < 40; ++i) prices.push_back(std::round((1.01 + 0.37 * i) * 100) / 100);
    prices.push_back(0.0);
    const double sizes[] = {0.0, 1.0, 2.5, 2.5, -4.0, 1e6, -4.25};
    auto text_of = [](double d) {
        char tmp[40];
        std::snprintf(tmp, sizeof tmp, "%.17g", d);
        return std::string(tmp);
    };
    static char tokens[2000];
    size_t next_token = 0;
    g_held.clear();
    listing_wanted_hook = &held_wanted;
    listing_detach_hook = &held_told;
    object_release_hook = &held_released;
    listing_spare_hook = &held_spare;
    g_spare_refused = 0;
    int taken = 0;

    for (bool descending : {false, true}) {
        PriceLadder ladder(descending), packed(descending);
        ReferenceLadder ref;
        for (int step = 0; step < 400; ++step) {
            g_accept_spare = rng() % 4 != 0;
            if (!ladder.listing() && (step == 0 || rng() % 3 == 0)) {
                // As the module does, at times: the spare (given up, not
                // released) comes back for the new listing. The descending
                // ladder keeps its spare until it drops its log (it moves,
                // or keeps no listing) or goes.
                if (!descending && rng() % 2 == 0)
                    if (void* spare = ladder.take_spare()) {
                        Held& s = g_held.at(spare);
                        ASSERT_EQ(s.spared, 1);
                        ASSERT_EQ(s.spare_released, 0);
                        ASSERT_FALSE(s.taken);
                        s.taken = true;
                        ++taken;
                    }
                void* l = &tokens[next_token++];
                g_held[l].listed = ref.listing(descending);
                ladder.set_listing(l);
            }
            // Most listings are let go a step or two after they were made (a
            // `for` loop's snapshot), every eighth is held long (a snapshot
            // kept), the first for ever.
            for (auto& [l, h] : g_held) {
                const bool held_long = (static_cast<char*>(l) - tokens) % 8 == 0;
                if (h.wanted && !h.released && l != &tokens[0] && rng() % (held_long ? 64 : 2) == 0)
                    h.wanted = false;
            }
            if (descending && rng() % 50 == 0) {
                PriceLadder moved(std::move(ladder));
                ladder = std::move(moved);
            } else if (descending && rng() % 50 == 0) {
                ladder.give_up_listing();  // as before an image drops the runner
                EXPECT_EQ(ladder.listing(), nullptr);
            }
            json::Builder b;
            std::string text = "[";
            std::vector<std::pair<double, std::optional<double>>> model;
            const int n = int(rng() % (max_list + 1));
            const bool plain = step % 2 == 1;
            b.begin_array();
            for (int i = 0; i < n; ++i) {
                double price = prices[rng() % prices.size()];
                b.begin_array();
                b.number(price);
                if (plain) {
                    double s = sizes[rng() % std::size(sizes)];
                    b.number(s);
                    model.emplace_back(price, s);
                    text += (i ? ",[" : "[") + text_of(price) + "," + text_of(s) + "]";
                    b.end_container();
                    continue;
                }
                switch (rng() % 8) {
                    case 0: b.null(); model.emplace_back(price, std::nullopt); break;
                    case 1: b.string("x"); model.emplace_back(price, std::nullopt); break;
                    default: {
                        double s = sizes[rng() % std::size(sizes)];
                        b.number(s);
                        model.emplace_back(price, s);
                    }
                }
                b.end_container();
            }
            b.end_container();
            const bool expected = ref.update(model);
            ASSERT_EQ(ladder.update(json::Value(b.data())), expected) << "step " << step;
            ASSERT_EQ(ladder.change_count(), ref.change_count);
            ASSERT_EQ(ladder.to_price_sizes(), ref.listing(descending)) << "step " << step;
            if (plain) {
                Parsed parsed(text + "]");
                // -4 is a negative integer, which keeps the generic form.
                ASSERT_EQ(parsed.value().is_deltas(), n > 0 && text.find(",-4]") == std::string::npos) << text;
                ASSERT_EQ(packed.update(parsed), expected) << "step " << step;
            } else {
                ASSERT_EQ(packed.update(json::Value(b.data())), expected) << "step " << step;
            }
            ASSERT_EQ(packed.change_count(), ladder.change_count());
            ASSERT_EQ(packed.to_price_sizes(), ladder.to_price_sizes()) << "step " << step;
            for (auto& [l, h] : g_held) {
                if (ladder.lists(l)) {
                    ASSERT_EQ(h.released, 0);
                    if (h.wanted) {
                        ASSERT_EQ(listed_by(ladder, l), h.listed) << "step " << step;
                    }
                } else {
                    // Given up: once (released, or kept as the spare), and
                    // told first when still wanted.
                    ASSERT_EQ(h.released + h.spared, 1) << "step " << step;
                    ASSERT_LE(h.spare_released + int(h.taken), h.spared);
                    if (h.wanted) {
                        ASSERT_TRUE(h.told);
                    }
                }
            }
        }
        // The ascending ladder never moves: a listing held forever was told
        // (to copy its levels) once the log grew past its bound.
        if (!descending) {
            EXPECT_TRUE(g_held.at(&tokens[0]).told);
        }
    }
    // Every listing given up once; a spare then either taken back or
    // released with its ladder.
    int spared = 0;
    for (auto& [l, h] : g_held) {
        EXPECT_EQ(h.released + h.spared, 1);
        EXPECT_EQ(h.spare_released + int(h.taken), h.spared);
        spared += h.spared;
    }
    EXPECT_GT(next_token, 100u);
    EXPECT_GT(taken, 0);
    EXPECT_GT(spared, taken);
    EXPECT_GT(g_spare_refused, 0);
    listing_spare_hook = nullptr;
    listing_wanted_hook = nullptr;
    listing_detach_hook = nullptr;
    object_release_hook = nullptr;
}

INSTANTIATE_TEST_SUITE_P(ListLengths, LadderModel, ::testing::Values(3, 40, 300));

TEST(LadderLarge, HugeImageInOneListIsComplete) {
    // 200,000 distinct levels in falling price order, then every other one removed.
    const int n = 200000;
    json::Builder b;
    b.begin_array();
    for (int i = n; i > 0; --i) {
        b.begin_array();
        b.number(i * 0.01);
        b.uint(uint64_t(i));
        b.end_container();
    }
    b.end_container();
    PriceLadder ladder(false);
    EXPECT_TRUE(ladder.update(json::Value(b.data())));
    ASSERT_EQ(ladder.size(), size_t(n));

    json::Builder r;
    r.begin_array();
    for (int i = 2; i <= n; i += 2) {
        r.begin_array();
        r.number(i * 0.01);
        r.uint(0);
        r.end_container();
    }
    r.end_container();
    EXPECT_TRUE(ladder.update(json::Value(r.data())));
    EXPECT_EQ(ladder.change_count(), 2u);
    Levels out = ladder.to_price_sizes();
    ASSERT_EQ(out.size(), size_t(n / 2));
    for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(out[i].second, double(2 * i + 1));
        if (i > 0) {
            ASSERT_LT(out[i - 1].first, out[i].first);
        }
    }
}

}  // namespace
}  // namespace palisar::market
