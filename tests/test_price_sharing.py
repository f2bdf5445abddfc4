"""Rebuilt price lists share the PriceSize objects of levels that did not change."""

import pytest

from snapshot_helpers import change, message, open_prices, pairs, replay

LADDERS = [("atb", "available_to_back"), ("atl", "available_to_lay"), ("trd", "traded_volume")]


@pytest.mark.parametrize("key,attr", LADDERS)
def test_unchanged_levels_keep_their_objects(tmp_path, key, attr):
    books = replay(tmp_path, [
        message(1, change(rc=[{"id": 1, key: [[1.5, 10], [2.0, 20], [3.0, 30], [4.0, 40]]}])),
        # one size changes, one level goes, one comes
        message(2, change(rc=[{"id": 1, key: [[2.0, 21], [3.0, 0], [3.5, 35]]}])),
    ])
    before = getattr(books[0].runners[0].ex, attr)
    after = getattr(books[1].runners[0].ex, attr)
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
    books = replay(tmp_path, [
        message(1, change(rc=[{"id": 1, "atl": [[1.5, 0.5]]}])),
        message(2, change(rc=[{"id": 1, "atl": [[1.5, 0.5], [0.0, 1], [1.2, 1]]}])),
    ])
    a = books[0].runners[0].ex.available_to_lay
    b = books[1].runners[0].ex.available_to_lay
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
