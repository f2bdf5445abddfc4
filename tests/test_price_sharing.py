"""Price lists are built on first read; lists read while stepping share the
PriceSize objects of levels that did not change."""

import random

import pytest

from snapshot_helpers import change, message, open_prices, pairs

LADDERS = [("atb", "available_to_back"), ("atl", "available_to_lay"), ("trd", "traded_volume")]


def read_while_stepping(tmp_path, messages, attr):
    """Each snapshot's list of runner 1, read as the snapshot comes."""
    return [getattr(book.runners[0].ex, attr) for book in open_prices(tmp_path, messages)]


@pytest.mark.parametrize("key,attr", LADDERS)
def test_unchanged_levels_keep_their_objects(tmp_path, key, attr):
    before, after = read_while_stepping(tmp_path, [
        message(1, change(rc=[{"id": 1, key: [[1.5, 10], [2.0, 20], [3.0, 30], [4.0, 40]]}])),
        # one size changes, one level goes, one comes
        message(2, change(rc=[{"id": 1, key: [[2.0, 21], [3.0, 0], [3.5, 35]]}])),
    ], attr)
    assert before is not after
    old = {ps.price: ps for ps in before}
    for ps in after:
        if ps.price in (1.5, 4.0):
            assert ps is old[ps.price]
        else:
            assert ps is not old.get(ps.price)
    # the kept snapshot still shows its own levels
    assert sorted(pairs(before)) == [(1.5, 10), (2.0, 20), (3.0, 30), (4.0, 40)]
    assert sorted(pairs(after)) == [(1.5, 10), (2.0, 21), (3.5, 35), (4.0, 40)]


def test_levels_added_in_front_leave_later_objects_shared(tmp_path):
    a, b = read_while_stepping(tmp_path, [
        message(1, change(rc=[{"id": 1, "atl": [[1.5, 0.5]]}])),
        message(2, change(rc=[{"id": 1, "atl": [[1.5, 0.5], [0.0, 1], [1.2, 1]]}])),
    ], "available_to_lay")
    assert b[-1] is a[0]
    assert pairs(b) == [(0.0, 1.0), (1.2, 1.0), (1.5, 0.5)]


@pytest.mark.parametrize("mutate", [
    lambda lst: lst.append(7),
    lambda lst: lst.insert(0, "junk"),
    lambda lst: lst.reverse(),
    lambda lst: lst.clear(),
    lambda lst: lst.extend(lst),
])
def test_a_list_changed_by_the_caller_does_not_corrupt_the_next_one(tmp_path, mutate):
    it = open_prices(tmp_path, [
        message(1, change(rc=[{"id": 1, "atb": [[1.5, 10], [2.0, 20], [3.0, 30]]}])),
        message(2, change(rc=[{"id": 1, "atb": [[2.0, 0]]}])),
    ])
    first = next(it)
    mutate(first.runners[0].ex.available_to_back)
    second = next(it)
    assert pairs(second.runners[0].ex.available_to_back) == [(3.0, 30.0), (1.5, 10.0)]


LATE_MESSAGES = [
    message(1, change(rc=[{"id": 1, "atb": [[2.0, 5.0], [1.9, 7.0]], "trd": [[2.0, 1.0]]}])),
    message(2, change(rc=[{"id": 1, "ltp": 2.0}])),  # ladders unchanged
    message(3, change(rc=[{"id": 1, "atb": [[2.0, 0.0], [1.8, 3.0]], "trd": [[2.0, 4.0]]}])),
    message(4, change(rc=[{"id": 1, "atb": [[1.8, 2.0]]}])),
    message(5, change(img=True, rc=[{"id": 1, "atb": [[3.0, 1.0]]}])),
]
LATE_BACK = [[(2.0, 5.0), (1.9, 7.0)], [(2.0, 5.0), (1.9, 7.0)], [(1.9, 7.0), (1.8, 3.0)],
             [(1.9, 7.0), (1.8, 2.0)], [(3.0, 1.0)]]
LATE_TRADED = [[(2.0, 1.0)], [(2.0, 1.0)], [(2.0, 4.0)], [(2.0, 4.0)], []]


@pytest.mark.parametrize("order", ["forward", "backward", "after-the-iterator", "while-stepping-on"])
def test_lists_first_read_late_show_their_own_snapshot(tmp_path, order):
    it = open_prices(tmp_path, LATE_MESSAGES)
    if order == "while-stepping-on":
        # each snapshot's lists are read one step later, after the ladders moved on
        books, backs, traded = [], {}, {}
        for book in it:
            if books:
                prev = books[-1].runners[0].ex
                backs[len(books) - 1], traded[len(books) - 1] = prev.available_to_back, prev.traded_volume
            books.append(book)
        backs[4], traded[4] = books[4].runners[0].ex.available_to_back, books[4].runners[0].ex.traded_volume
    else:
        books = list(it)
        if order == "after-the-iterator":
            del it
        indices = range(5) if order != "backward" else range(4, -1, -1)
        backs, traded = {}, {}
        for i in indices:
            ex = books[i].runners[0].ex
            backs[i], traded[i] = ex.available_to_back, ex.traded_volume
    assert [pairs(backs[i]) for i in range(5)] == LATE_BACK
    assert [pairs(traded[i]) for i in range(5)] == LATE_TRADED
    # Snapshots of an unchanged ladder share one list, whenever it is first read.
    assert books[1].runners[0].ex.available_to_back is books[0].runners[0].ex.available_to_back
    assert books[1].runners[0].ex.traded_volume is books[0].runners[0].ex.traded_volume
    assert books[3].runners[0].ex.traded_volume is books[2].runners[0].ex.traded_volume
    assert books[2].runners[0].ex.available_to_back is not books[1].runners[0].ex.available_to_back
    # and every read gives the same list
    for i in range(5):
        assert books[i].runners[0].ex.available_to_back is backs[i]


def test_to_dict_of_an_unread_snapshot_after_the_ladder_moved_on(tmp_path):
    books = list(open_prices(tmp_path, LATE_MESSAGES))
    got = [[(d["price"], d["size"]) for d in b.to_dict()["runners"][0]["ex"]["availableToBack"]]
           for b in books]
    assert got == LATE_BACK
    # to_dict built the lists; reading them now gives the same values
    assert [pairs(b.runners[0].ex.available_to_back) for b in books] == LATE_BACK


@pytest.mark.parametrize("kept", ["book", "runners", "runner", "ex"])
def test_whatever_part_of_a_snapshot_is_kept_lists_its_own_levels(tmp_path, kept):
    # A listing is let go without its levels only when nothing but the ladder
    # and the runner object kept for reuse can reach it.
    pick = {"book": lambda b: b, "runners": lambda b: b.runners,
            "runner": lambda b: b.runners[0], "ex": lambda b: b.runners[0].ex}[kept]
    it = open_prices(tmp_path, LATE_MESSAGES)
    # no name holds the book itself while the next one is made
    parts = [pick(next(it)) for _ in LATE_MESSAGES]
    exs = {"book": lambda p: p.runners[0].ex, "runners": lambda p: p[0].ex,
           "runner": lambda p: p.ex, "ex": lambda p: p}[kept]
    assert [pairs(exs(p).available_to_back) for p in parts] == LATE_BACK
    assert [pairs(exs(p).traded_volume) for p in parts] == LATE_TRADED


def random_messages(rng, count, images=0.05):
    prices = [1.5, 1.8, 2.0, 2.5, 3.0, 4.0, 5.5, 10.0]
    out = []
    for i in range(count):
        rcs = []
        for sid in rng.sample([1, 2, 3], rng.randint(1, 3)):
            rc = {"id": sid}
            for key in rng.sample(["atb", "atl", "trd", "ltp"], rng.randint(1, 3)):
                if key == "ltp":
                    rc[key] = rng.choice(prices)
                else:
                    rc[key] = [[rng.choice(prices), rng.choice([0, 0, 1.0, 2.5, 7.0])]
                               for _ in range(rng.randint(1, 4))]
            rcs.append(rc)
        out.append(message(1000 + i, change(rc=rcs, img=rng.random() < images)))
    return out


def ladders(book):
    return {r.selection_id: [pairs(getattr(r.ex, a)) for _, a in LADDERS] for r in book.runners}


HELD = {"every": lambda i: True, "every 3rd": lambda i: i % 3 == 0, "one forever": lambda i: i == 7}


@pytest.mark.parametrize("seed,held", [(seed, "random") for seed in range(4)] +
                         [(4, "every"), (5, "every 3rd"), (6, "one forever")])
def test_lists_read_at_random_times_agree_with_lists_read_at_once(tmp_path, seed, held):
    # Lists kept unread while the ladders move on are rebuilt from the ladders'
    # undo logs, or copied when a ladder goes (images) or its log grows long.
    rng = random.Random(seed)
    # (with no image to drop the ladders, the one kept forever outlives their logs' bound)
    messages = random_messages(rng, 150 if held == "random" else 400, 0.0 if held == "one forever" else 0.05)
    eager = [ladders(book) for book in open_prices(tmp_path, messages, "eager.json")]
    it = open_prices(tmp_path, messages, "late.json")
    kept, late = [], {}
    for i in range(len(messages)):
        book = next(it)  # held, as by a loop, while the next one is made
        if held != "random":
            kept.append(book if HELD[held](i) else None)
            continue
        kept.append(book)
        # now and then read some kept snapshot (or one of its lists) early
        j = rng.randrange(len(kept))
        if kept[j] is not None and j not in late and rng.random() < 0.3:
            late[j] = ladders(kept[j])
        j = rng.randrange(len(kept))
        if kept[j] is not None and rng.random() < 0.2:
            if kept[j].runners:
                getattr(rng.choice(kept[j].runners).ex, rng.choice(LADDERS)[1])
        if rng.random() < 0.3:  # drop one now and then
            kept[rng.randrange(len(kept))] = None
    if seed % 2:
        del it
    for j in rng.sample(range(len(kept)), len(kept)):
        if kept[j] is not None and j not in late:
            late[j] = ladders(kept[j])
    assert late and all(late[j] == eager[j] for j in late)
