// Each ladder level's object handle is given up exactly when the level's
// size changes, when the level goes, and with the ladder; never otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "market/ladder.hpp"
#include "market_test_json.hpp"

using namespace palisar;
using namespace palisar::market;

namespace {

std::map<void*, int> g_released;
void count_release(void* o) { ++g_released[o]; }

class LadderObjects : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        g_released.clear();
        object_release_hook = &count_release;
    }
    void TearDown() override { object_release_hook = nullptr; }

    // Gives every level without a handle a distinct one; returns price -> handle.
    std::map<double, void*> attach(PriceLadder& ladder) {
        std::vector<double> prices;
        ladder.for_each_level([&](double price, double) { prices.push_back(price); });
        std::vector<void*> handles(ladder.size());
        size_t taken = 0;
        EXPECT_EQ(ladder.level_objects(
                      handles.data(), [&](double, double) -> void* { return &tokens_[next_++]; },
                      [&](void*) { ++taken; }),
                  ladder.size());
        EXPECT_EQ(taken, ladder.size());
        std::map<double, void*> at;
        for (size_t i = 0; i < prices.size(); ++i) at[prices[i]] = handles[i];
        return at;
    }
    // A delta list that also takes the sort-and-merge path when padded.
    std::string deltas(const std::string& body) {
        if (!GetParam()) return "[" + body + "]";
        std::string padded = "[" + body;
        for (int i = 0; i < 60; ++i) padded += ",[" + std::to_string(500 + i) + ",0]";
        return padded + "]";
    }
    char tokens_[256] = {};
    size_t next_ = 0;
};

TEST_P(LadderObjects, ReleasedWhenTheLevelChangesOrGoes) {
    void* kept;
    void* resized;
    void* removed;
    {
        PriceLadder ladder(false);
        ladder.update(palisar::testing::Doc(deltas("[1.5,10],[2,20],[3,30]")).value());
        auto first = attach(ladder);
        kept = first[1.5];
        resized = first[2.0];
        removed = first[3.0];
        // Same size again, a new size, a removal, a new level.
        ladder.update(palisar::testing::Doc(deltas("[1.5,10],[2,21],[3,0],[4,40]")).value());
        EXPECT_EQ(g_released.count(kept), 0u);
        EXPECT_EQ(g_released[resized], 1);
        EXPECT_EQ(g_released[removed], 1);
        auto second = attach(ladder);
        EXPECT_EQ(second[1.5], kept);
        EXPECT_NE(second[2.0], resized);
        EXPECT_EQ(second.count(3.0), 0u);
        g_released.clear();
    }
    // The ladder gives up what it still holds when it goes.
    EXPECT_EQ(g_released.size(), 3u);
    EXPECT_EQ(g_released[kept], 1);
}

TEST_P(LadderObjects, MovedLadderKeepsItsHandlesOnce) {
    PriceLadder a(true);
    a.update(palisar::testing::Doc(deltas("[1.5,10]")).value());
    void* h = attach(a)[1.5];
    PriceLadder b(std::move(a));
    PriceLadder c(false);
    c.update(palisar::testing::Doc(deltas("[9,9]")).value());
    void* replaced = attach(c)[9.0];
    c = std::move(b);
    EXPECT_EQ(g_released[replaced], 1);
    EXPECT_EQ(g_released.count(h), 0u);
    EXPECT_EQ(attach(c)[1.5], h);
}

// The listing: given up (hook first, with the levels as listed) before the
// first real change, on a move and with the ladder; never otherwise.
using Levels = std::vector<std::pair<double, double>>;
std::vector<std::pair<void*, Levels>> g_detached;
bool record_detach(void* listing, const PriceLadder& ladder, bool) {
    EXPECT_EQ(g_released.count(listing), 0u);  // told before the release
    g_detached.emplace_back(listing, ladder.to_price_sizes());
    return true;
}
// A listing that cannot keep its levels (out of memory), unless it must.
bool refuse_detach(void*, const PriceLadder&, bool must_let_go) { return must_let_go; }

TEST_P(LadderObjects, ListingGoesBeforeTheFirstChange) {
    g_detached.clear();
    listing_detach_hook = &record_detach;
    {
        PriceLadder ladder(true);
        ladder.update(palisar::testing::Doc(deltas("[1.5,10],[2,20]")).value());
        ladder.set_listing(&tokens_[0]);
        // Same size again, removing an absent level: no change, the listing stays.
        EXPECT_FALSE(ladder.update(palisar::testing::Doc(deltas("[1.5,10],[7,0]")).value()));
        EXPECT_EQ(ladder.listing(), &tokens_[0]);
        EXPECT_TRUE(g_detached.empty());
        EXPECT_TRUE(g_released.empty());
        // A change: the hook sees the levels as listed, then the listing goes.
        EXPECT_TRUE(ladder.update(palisar::testing::Doc(deltas("[3,30],[2,0]")).value()));
        ASSERT_EQ(g_detached.size(), 1u);
        EXPECT_EQ(g_detached[0].first, &tokens_[0]);
        EXPECT_EQ(g_detached[0].second, (Levels{{2, 20}, {1.5, 10}}));
        EXPECT_EQ(g_released[&tokens_[0]], 1);
        EXPECT_EQ(ladder.listing(), nullptr);

        // Replacing a listing gives the old one up; moving the ladder does too.
        ladder.set_listing(&tokens_[1]);
        ladder.set_listing(&tokens_[2]);
        EXPECT_EQ(g_released[&tokens_[1]], 1);
        PriceLadder moved(std::move(ladder));
        EXPECT_EQ(g_released[&tokens_[2]], 1);
        EXPECT_EQ(moved.listing(), nullptr);
        EXPECT_EQ(g_detached.back().second, (Levels{{3, 30}, {1.5, 10}}));
        moved.set_listing(&tokens_[3]);
        PriceLadder other(false);
        other.set_listing(&tokens_[4]);
        other = std::move(moved);
        EXPECT_EQ(g_released[&tokens_[3]], 1);
        EXPECT_EQ(g_released[&tokens_[4]], 1);
        other.set_listing(&tokens_[5]);
        EXPECT_EQ(g_detached.size(), 5u);
    }
    // and with the ladder
    EXPECT_EQ(g_released[&tokens_[5]], 1);
    ASSERT_EQ(g_detached.size(), 6u);
    EXPECT_EQ(g_detached.back().second, (Levels{{3, 30}, {1.5, 10}}));
    for (const auto& [p, times] : g_released) EXPECT_EQ(times, 1);
    listing_detach_hook = nullptr;
}

// A listing that cannot keep its levels stops the change before anything
// moved: levels, objects, listing and count stay; a later update succeeds.
TEST_P(LadderObjects, RefusedListingStopsTheChange) {
    listing_detach_hook = &refuse_detach;
    {
        PriceLadder ladder(false);
        ladder.update(palisar::testing::Doc(deltas("[1.5,10],[2,20],[3,30]")).value());
        auto made = attach(ladder);
        ladder.set_listing(&tokens_[10]);
        const uint64_t count = ladder.change_count();
        for (const char* change : {"[2,0]", "[2,21]", "[2.5,1]"}) {
            EXPECT_THROW(ladder.update(palisar::testing::Doc(deltas(change)).value()), std::bad_alloc);
            EXPECT_EQ(ladder.to_price_sizes(), (Levels{{1.5, 10}, {2, 20}, {3, 30}}));
            EXPECT_EQ(ladder.change_count(), count);
            EXPECT_EQ(ladder.listing(), &tokens_[10]);
            EXPECT_TRUE(g_released.empty());
        }
        listing_detach_hook = nullptr;
        EXPECT_TRUE(ladder.update(palisar::testing::Doc(deltas("[2,0]")).value()));
        EXPECT_EQ(ladder.change_count(), count + 1);
        EXPECT_EQ(g_released[&tokens_[10]], 1);
        EXPECT_EQ(g_released[made[2.0]], 1);
    }
}

// A listing still wanted is kept through the undo log; when it cannot copy
// its levels (out of memory) it stays kept: an image's give_up_listing
// throws with everything as it was, and the log's bound is passed rather
// than losing it. Levels rebuilt from the log stay those listed.
bool always_wanted(void*) { return true; }

TEST_P(LadderObjects, KeptListingThatCannotCopyStaysKept) {
    listing_wanted_hook = &always_wanted;
    listing_detach_hook = &refuse_detach;
    auto listed = [](const PriceLadder& ladder, const void* listing) {
        Levels out;
        ladder.listed_levels(
            listing, [&](size_t n) { return out.resize(n), true; },
            [&](size_t i, uint64_t key, double size) {
                out[i] = {PriceLadder::listed_price(key, ladder.descending()), size};
            });
        std::reverse(out.begin(), out.end());  // to book order
        return out;
    };
    {
        PriceLadder ladder(false);
        ladder.update(palisar::testing::Doc(deltas("[1.5,10],[2,20]")).value());
        ladder.set_listing(&tokens_[20]);
        EXPECT_TRUE(ladder.update(palisar::testing::Doc(deltas("[2,21],[3,30]")).value()));
        EXPECT_EQ(ladder.listing(), nullptr);
        EXPECT_TRUE(ladder.lists(&tokens_[20]));
        EXPECT_THROW(ladder.give_up_listing(), std::bad_alloc);
        EXPECT_TRUE(ladder.lists(&tokens_[20]));
        for (int i = 0; i < 300; ++i)  // far past the bound
            ladder.update(palisar::testing::Doc(deltas("[4," + std::to_string(i + 1) + "]")).value());
        EXPECT_EQ(ladder.size(), 4u);
        EXPECT_TRUE(g_released.empty());
        EXPECT_EQ(listed(ladder, &tokens_[20]), (Levels{{1.5, 10}, {2, 20}}));
        g_detached.clear();
        listing_detach_hook = &record_detach;
        ladder.give_up_listing();
        EXPECT_FALSE(ladder.lists(&tokens_[20]));
        EXPECT_EQ(g_released[&tokens_[20]], 1);
        ASSERT_EQ(g_detached.size(), 1u);
    }
    listing_wanted_hook = nullptr;
    listing_detach_hook = nullptr;
}

INSTANTIATE_TEST_SUITE_P(DirectAndMerged, LadderObjects, ::testing::Bool());

}  // namespace
