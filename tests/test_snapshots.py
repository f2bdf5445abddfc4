"""End-to-end replays: object reuse between snapshots, runner order, market
creation, definition lag, time texts, publish times, the sample files and a
generated market."""

import datetime
import json
import math
import random
import sys
import warnings
from pathlib import Path

import pytest

import palisar
from snapshot_helpers import (
    LAST_MS,
    REAL_FILES,
    change,
    message,
    open_prices,
    pairs,
    real_file,
    replay,
    runner_changes,
)


def reference_utc(ms):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return datetime.datetime.utcfromtimestamp(ms / 1000.0)


def state(book):
    """Everything a caller can see of a snapshot, as plain data."""
    d = book.to_dict()
    definition = book.market_definition
    times = None
    if definition is not None:
        times = (definition.market_time, definition.open_date,
                 definition.suspend_time, definition.settled_time, definition.status)
    return d, book.publish_time, times


# ---- object reuse ---------------------------------------------------------------


def two_runner_start(pt=1000):
    return runner_changes(
        pt,
        {"id": 1, "ltp": 2.0, "tv": 10, "atb": [[2.0, 5], [1.9, 7]], "atl": [[2.1, 3]],
         "trd": [[2.0, 4]]},
        {"id": 2, "ltp": 3.0, "atb": [[3.0, 1]], "atl": [[3.2, 1]], "trd": [[3.1, 2]]},
    )


def test_unchanged_runner_is_the_same_object(tmp_path):
    b1, b2, b3 = replay(tmp_path, [
        two_runner_start(),
        runner_changes(2000, {"id": 2, "ltp": 3.05}),
        runner_changes(3000, {"id": 1, "ltp": 2.02}),
    ])
    assert b1 is not b2 and b1.runners is not b2.runners
    assert b1.runners[0] is b2.runners[0]
    assert b1.runners[1] is not b2.runners[1]
    assert b2.runners[1] is b3.runners[1]
    assert b2.runners[0] is not b3.runners[0]
    assert b1.publish_time is not b2.publish_time


@pytest.mark.parametrize(
    "rc, new_lists",
    [
        ({"ltp": 2.04}, set()),
        ({"tv": 99.5}, set()),
        ({"status": "REMOVED"}, set()),
        ({"status": "ACTIVE", "ltp": 2.04}, set()),
        ({"adjustmentFactor": 12.5}, set()),
        ({"removalDate": "2024-01-01T00:00:00Z"}, set()),
        ({"spn": 2.2}, set()),
        ({"spf": "NaN"}, set()),
        ({"spb": [[2.0, 30]]}, set()),
        ({"spl": [[1.5, 30]]}, set()),
        ({"atb": [[1.95, 8]]}, {"available_to_back"}),
        ({"atl": [[2.1, 0]]}, {"available_to_lay"}),
        ({"trd": [[2.0, 9]]}, {"traded_volume"}),
        ({"atb": [[2.0, 0]], "trd": [[2.1, 1]]}, {"available_to_back", "traded_volume"}),
        ({"atb": [[1.5, 1]], "atl": [[2.5, 1]], "trd": [[2.5, 1]]},
         {"available_to_back", "available_to_lay", "traded_volume"}),
    ],
)
def test_a_change_rebuilds_the_runner_and_only_the_changed_lists(tmp_path, rc, new_lists):
    b1, b2 = replay(tmp_path, [two_runner_start(), runner_changes(2000, {"id": 1, **rc})])
    old, new = b1.runners[0], b2.runners[0]
    assert new is not old
    assert new.ex is not old.ex
    for name in ("available_to_back", "available_to_lay", "traded_volume"):
        same = getattr(new.ex, name) is getattr(old.ex, name)
        assert same == (name not in new_lists), name
    # An equal status text keeps its str.
    assert new.status == rc.get("status", "ACTIVE")
    assert (new.status is old.status) == (new.status == old.status)
    assert b2.runners[1] is b1.runners[1]



def test_a_status_changed_and_changed_back_between_snapshots_keeps_its_str(tmp_path):
    b1, b2, b3 = replay(tmp_path, [two_runner_start(), runner_changes(
        2000, {"id": 1, "status": "REMOVED"}, {"id": 1, "status": "ACTIVE", "ltp": 2.5}),
        runner_changes(3000, {"id": 1, "status": "LOSER"})])
    assert b2.runners[0] is not b1.runners[0] and b2.runners[0].status is b1.runners[0].status
    assert b3.runners[0].status == "LOSER"


@pytest.mark.parametrize(
    "rc",
    [
        {"ltp": 2.0},
        {"tv": 10},
        {"tv": 10.0},
        {"status": "ACTIVE"},
        {"atb": [[1.5, 0]]},
        {"atb": [[2.0, 5]]},
        {"atb": []},
        {"atb": {"2.0": 1}},
        {"ltp": None, "tv": None, "status": None, "removalDate": None},
        {"unknownKey": 1},
    ],
    ids=repr,
)
def test_a_change_that_changes_nothing_keeps_the_runner(tmp_path, rc):
    b1, b2 = replay(tmp_path, [two_runner_start(), runner_changes(2000, {"id": 1, **rc})])
    assert b2.runners[0] is b1.runners[0]


def test_a_repeated_starting_price_projection_still_rebuilds(tmp_path):
    b1, b2, b3 = replay(tmp_path, [
        runner_changes(1000, {"id": 1, "spn": 2.5}),
        runner_changes(2000, {"id": 1, "spn": 2.5}),
        runner_changes(3000, {"id": 1, "spf": None}),
    ])
    assert b2.runners[0] is not b1.runners[0]
    assert b3.runners[0] is not b2.runners[0]
    assert b2.runners[0].ex.available_to_back is b1.runners[0].ex.available_to_back


def test_a_ladder_set_and_removed_in_one_change_still_counts(tmp_path):
    b1, b2 = replay(tmp_path, [
        two_runner_start(),
        runner_changes(2000, {"id": 1, "atb": [[1.5, 10], [1.5, 0]]}),
    ])
    assert b2.runners[0] is not b1.runners[0]
    assert b2.runners[0].ex.available_to_back is not b1.runners[0].ex.available_to_back
    assert pairs(b2.runners[0].ex.available_to_back) == pairs(b1.runners[0].ex.available_to_back)


def test_a_definition_rebuilds_the_runners_it_names(tmp_path):
    definition = {"runners": [{"id": 1, "status": "ACTIVE"}]}
    b1, b2, b3 = replay(tmp_path, [
        two_runner_start(),
        message(2000, change(marketDefinition=definition)),
        message(3000, change(marketDefinition=definition)),
    ])
    # A definition runner counts as a change even when it repeats itself.
    assert b2.runners[0] is not b1.runners[0]
    assert b3.runners[0] is not b2.runners[0]
    assert b3.runners[1] is b2.runners[1] is b1.runners[1]
    # The ladders were not touched, so the lists are shared.
    assert b3.runners[0].ex.available_to_back is b1.runners[0].ex.available_to_back


def test_without_a_definition_every_snapshot_has_none(tmp_path):
    books = replay(tmp_path, [two_runner_start(), runner_changes(2000, {"id": 1, "ltp": 5})])
    assert [b.market_definition for b in books] == [None, None]


@pytest.mark.parametrize("value", [None, {}, {"eventName": "E"}, [], 5, "x"], ids=repr)
def test_every_message_carrying_a_definition_makes_a_new_object(tmp_path, value):
    books = replay(tmp_path, [
        message(1000, change(marketDefinition={"status": "OPEN", "venue": "Here"})),
        runner_changes(2000, {"id": 1, "ltp": 2.0}),
        message(3000, change(status="SUSPENDED", inPlay=True, tv=5)),
        message(4000, change(marketDefinition=value)),
        runner_changes(5000, {"id": 1, "ltp": 3.0}),
    ])
    defs = [b.market_definition for b in books]
    assert defs[0] is defs[1] is defs[2]
    assert defs[3] is not defs[2]
    assert defs[4] is defs[3]
    # The new object shows the cache as it is now; the merged fields stay.
    assert defs[3].venue == "Here"
    assert defs[3].status == "SUSPENDED" and defs[3].in_play is True
    assert defs[2].status == "OPEN" and defs[2].in_play is False


def test_an_image_drops_runners_and_their_cached_objects(tmp_path):
    b1, b2, b3 = replay(tmp_path, [
        runner_changes(1000,
                       {"id": 1, "ltp": 2.0, "atb": [[2.0, 10]], "atl": [[2.2, 1]]},
                       {"id": 2, "ltp": 4.0, "atb": [[4.0, 10]]},
                       {"id": 3, "status": "REMOVED"}),
        # The runner comes back with as many changes as before: its new ladders
        # have the same counts, but nothing of the old runner may be reused.
        runner_changes(2000, {"id": 1, "ltp": 5.0, "atb": [[5.0, 20]], "atl": [[5.5, 2]]},
                       img=True),
        runner_changes(3000, {"id": 4}),
    ])
    assert [r.selection_id for r in b1.runners] == [1, 2, 3]
    assert [r.selection_id for r in b2.runners] == [1]
    assert (b2.number_of_runners, b2.number_of_active_runners) == (1, 1)
    r1 = b2.runners[0]
    assert r1 is not b1.runners[0]
    assert r1.last_price_traded == 5.0
    assert pairs(r1.ex.available_to_back) == [(5.0, 20.0)]
    assert pairs(r1.ex.available_to_lay) == [(5.5, 2.0)]
    assert r1.ex.traded_volume is not b1.runners[0].ex.traded_volume
    assert [r.selection_id for r in b3.runners] == [1, 4]
    assert b3.runners[0] is r1
    # The kept snapshot still shows the runners from before the image.
    assert [r.selection_id for r in b1.runners] == [1, 2, 3]
    assert pairs(b1.runners[0].ex.available_to_back) == [(2.0, 10.0)]


def test_an_image_with_a_definition_keeps_only_the_runners_named_again(tmp_path):
    b1, b2 = replay(tmp_path, [
        runner_changes(1000, {"id": 1, "ltp": 2.0}, {"id": 2, "ltp": 3.0},
                       tv=50, status="OPEN"),
        message(2000, change(img=True, status="SUSPENDED",
                             marketDefinition={"runners": [{"id": 2}, {"id": 7}]},
                             rc=[{"id": 7, "ltp": 8.0}])),
    ])
    assert [r.selection_id for r in b2.runners] == [2, 7]
    assert b2.runners[0].last_price_traded is None
    assert b2.runners[1].last_price_traded == 8.0
    assert b2.total_matched == 50.0
    assert b2.status == "SUSPENDED"


@pytest.mark.parametrize("img", [False, 1, "true", None])
def test_an_image_flag_other_than_true_clears_nothing(tmp_path, img):
    b1, b2 = replay(tmp_path, [
        two_runner_start(),
        runner_changes(2000, {"id": 2, "ltp": 9.0}, img=img),
    ])
    assert [r.selection_id for r in b2.runners] == [1, 2]
    assert b2.runners[0] is b1.runners[0]


def test_kept_snapshots_never_change(tmp_path):
    messages = [
        message(1000, change(marketDefinition={"status": "OPEN",
                                               "marketTime": "2024-05-01T13:30:00Z",
                                               "runners": [{"id": 1}, {"id": 2}]})),
        two_runner_start(2000),
        runner_changes(3000, {"id": 1, "ltp": 2.5, "atb": [[2.0, 0], [2.5, 1]],
                              "spn": 2.4, "spb": [[2.0, 3]], "spl": [[2.0, 4]]}),
        runner_changes(4000, {"id": 2, "status": "REMOVED", "removalDate": "x",
                              "adjustmentFactor": 3.0}, status="SUSPENDED", tv=100,
                       inPlay=True, lastMatchTime=1234),
        message(5000, change(marketDefinition={"status": "CLOSED",
                                               "marketTime": "2024-06-01T00:00:00.000Z",
                                               "runners": [{"id": 1, "bsp": 2.6}]})),
        runner_changes(6000, {"id": 1, "trd": [[2.0, 100]], "atl": [[3.0, 5]]}, img=True),
        message(7000),
        runner_changes(8000, {"id": 9, "ltp": 1.01}),
    ]
    it = open_prices(tmp_path, messages)
    kept, seen = [], []
    for book in it:
        kept.append(book)
        seen.append(state(book))
    assert len(kept) == len(messages)
    # Successive snapshots differ (but for the empty message), so the comparison
    # below can tell them apart.
    assert seen[6] == seen[5]
    assert all(a != b for a, b in zip(seen[:6], seen[1:6]))
    assert [state(b) for b in kept] == seen
    assert pairs(kept[1].runners[0].ex.available_to_back) == [(2.0, 5.0), (1.9, 7.0)]
    assert kept[2].runners[1].status == "ACTIVE"
    assert kept[3].market_definition.status == "OPEN"


# ---- runner order and markets ------------------------------------------------------


def test_runners_are_ordered_by_selection_id_then_handicap(tmp_path):
    (book,) = replay(tmp_path, [runner_changes(
        1000,
        {"id": 7}, {"id": 5, "hc": 0.0}, {"id": 2 ** 40}, {"id": 5, "hc": -1.5},
        {"id": 5, "hc": 0.25}, {"id": -3}, {"id": 5, "hc": -0.25}, {"id": 3, "hc": 2.5},
        {"id": 5, "hc": 10}, {"id": 5, "hc": 2}, {"id": 2 ** 63 - 1}, {"id": -2 ** 63},
        {"id": 5, "hc": -1e300}, {"id": 5, "hc": 1e300},
    )])
    assert [(r.selection_id, r.handicap) for r in book.runners] == [
        (-2 ** 63, 0.0), (-3, 0.0), (3, 2.5), (5, -1e300), (5, -1.5), (5, -0.25), (5, 0.0),
        (5, 0.25), (5, 2.0), (5, 10.0), (5, 1e300), (7, 0.0), (2 ** 40, 0.0), (2 ** 63 - 1, 0.0),
    ]
    assert book.number_of_runners == 14


def test_runner_lists_read_late_as_the_runner_count_moves(tmp_path):
    # Images change the number of runners from step to step, and the books
    # let go hand their runner arrays on to later steps; each book kept, its
    # list first read after later steps, lists its own runners, and a list a
    # caller grows leaves the others as they were.
    counts = [1, 5, 2, 12, 3, 40, 7, 0, 9, 9, 2, 30, 1, 64, 4, 17]
    messages = [runner_changes(1000 + i, *({"id": j + 1, "ltp": 1.5 + i} for j in range(n)), img=True)
                for i, n in enumerate(counts)]
    kept = {i: book for i, book in enumerate(open_prices(tmp_path, messages)) if i % 3 != 1}
    kept[0].runners.extend(range(100))
    for i in sorted(kept, reverse=True):
        wanted = list(range(1, counts[i] + 1)) + (list(range(100)) if i == 0 else [])
        assert [getattr(r, "selection_id", r) for r in kept[i].runners] == wanted
        assert {r.last_price_traded for r in kept[i].runners[:counts[i]]} <= {1.5 + i}


def test_handicaps_with_the_same_key_address_one_runner(tmp_path):
    (book,) = replay(tmp_path, [runner_changes(
        1000, {"id": 5, "hc": 0.001, "ltp": 2.0}, {"id": 5, "hc": 0.004, "tv": 3},
        {"id": 5, "hc": 0.005, "ltp": 4.0}, {"id": 5, "hc": -0.005, "ltp": 4.5},
        # 1.005 * 100 is just below 100.5 in double arithmetic.
        {"id": 6, "hc": 1.005, "ltp": 5.0}, {"id": 6, "hc": 1, "tv": 6},
        # Keys beyond the 64-bit range saturate.
        {"id": 7, "hc": 1e300, "ltp": 7.0}, {"id": 7, "hc": 1e200, "tv": 8},
        {"id": 7, "hc": -1e300, "ltp": 9.0}, {"id": 7, "hc": -1e19, "tv": 10},
    )])
    assert [(r.selection_id, r.handicap, r.last_price_traded, r.total_matched)
            for r in book.runners] == [
        (5, -0.005, 4.5, 0.0), (5, 0.001, 2.0, 3.0), (5, 0.005, 4.0, 0.0),
        (6, 1.005, 5.0, 6.0), (7, -1e300, 9.0, 10.0), (7, 1e300, 7.0, 8.0),
    ]


def market_rc(market_id, sid, ltp, **keys):
    return change(market_id, rc=[{"id": sid, "ltp": ltp}], **keys)


FOREIGN = "1.222"


# Each case: the messages after a first one that creates market 1.111 with runner 10,
# and per later message either None (it yields no snapshot) or the publish time and the
# (selection id, ltp) pairs its snapshot shows. A foreign change never moves the
# publish time either.
@pytest.mark.parametrize("later, expected", [
    ([message(2000, market_rc(FOREIGN, 10, 9.0)),
      message(3000, market_rc("1.111", 10, 3.0)),
      message(4000, market_rc(FOREIGN, 20, 9.0, marketDefinition={"status": "X"}))],
     [None, (3000, [(10, 3.0)]), None]),
    ([message(2000, market_rc(FOREIGN, 10, 9.0), market_rc("1.111", 10, 3.0))],
     [(2000, [(10, 3.0)])]),
    ([message(2000, market_rc("1.111", 10, 3.0), market_rc(FOREIGN, 10, 9.0))],
     [(2000, [(10, 3.0)])]),
    ([message(2000, market_rc(FOREIGN, 10, 9.0), {"rc": [{"id": 10, "ltp": 4.0}]})],
     [(2000, [(10, 4.0)])]),
    ([message(2000, market_rc(FOREIGN, 30, 9.0, img=True))], [None]),
    ([message(2000, market_rc(FOREIGN, 10, 9.0)), message(3000)], [None, (1000, [(10, 2.0)])]),
], ids=["interleaved", "foreign-first", "foreign-last", "foreign-and-unnamed",
        "foreign-image", "foreign-then-empty"])
def test_changes_of_other_markets_are_not_applied(tmp_path, later, expected):
    it = open_prices(tmp_path, [message(1000, market_rc("1.111", 10, 2.0))] + later)
    assert len(it) == 1 + len(later)
    books = list(it)
    shown = [(b.publish_time_epoch, [(r.selection_id, r.last_price_traded) for r in b.runners])
             for b in books[1:]]
    assert shown == [e for e in expected if e is not None]
    assert all(b.market_id == "1.111" and b.status == "OPEN" for b in books)
    assert all(b.market_definition is None for b in books)


@pytest.mark.parametrize("items, expected_epoch", [([], 1000), ([7], 2000), ([None, "x"], 2000)],
                         ids=["empty", "number", "non-objects"])
def test_a_message_without_usable_changes_after_the_market_exists(tmp_path, items,
                                                                  expected_epoch):
    b1, b2, b3 = replay(tmp_path, [
        two_runner_start(1000),
        {"pt": 2000, "mc": items},
        runner_changes(3000, {"id": 1, "ltp": 9.0}),
    ])
    assert b2.publish_time_epoch == expected_epoch
    assert b2.publish_time == reference_utc(expected_epoch)
    assert b2.runners[0] is b1.runners[0] and b2.runners[1] is b1.runners[1]
    assert b3.publish_time_epoch == 3000


@pytest.mark.parametrize(
    "first_items",
    [
        [],
        [{"rc": [{"id": 1, "ltp": 2.0}]}],
        [{"id": "", "rc": [{"id": 1}]}],
        [{"id": 1.5}],
        [{"id": None}, 3, "1.234"],
        [[{"id": "1.234"}]],
    ],
    ids=["empty", "no-id", "empty-id", "number-id", "mixed", "nested"],
)
def test_messages_before_the_market_exists_are_passed_over(tmp_path, first_items):
    messages = [
        {"pt": 500, "mc": first_items},
        {"pt": 600, "mc": first_items},
        two_runner_start(1000),
        runner_changes(2000, {"id": 1, "ltp": 9.0}),
    ]
    it = open_prices(tmp_path, messages)
    assert len(it) == 4
    books = [book for book in it]
    assert [b.publish_time_epoch for b in books] == [1000, 2000]
    # Nothing of the passed-over messages was applied.
    assert [r.selection_id for r in books[0].runners] == [1, 2]
    assert books[0].runners[0].last_price_traded == 2.0
    assert len(it) == 4
    with pytest.raises(StopIteration):
        next(it)


def test_a_file_without_any_market_id_yields_nothing(tmp_path):
    it = open_prices(tmp_path, [{"pt": 1, "mc": []}, {"pt": 2, "mc": [{"rc": [{"id": 1}]}]}])
    assert len(it) == 2
    assert list(it) == []
    with pytest.raises(StopIteration):
        next(it)
    assert len(it) == 2


def test_items_before_the_creating_item_are_not_applied(tmp_path):
    (book,) = replay(tmp_path, [message(
        1000,
        {"rc": [{"id": 9, "ltp": 2.0}], "status": "CLOSED"},
        change("1.5", rc=[{"id": 1}]),
        {"rc": [{"id": 2}], "tv": 7},
        change("1.6", rc=[{"id": 3}]),
    )])
    assert book.market_id == "1.5"
    assert [r.selection_id for r in book.runners] == [1, 2]
    assert book.status == "OPEN"
    assert book.total_matched == 7.0


def test_iteration_stays_ended(tmp_path):
    it = open_prices(tmp_path, [two_runner_start()])
    assert iter(it) is it
    assert len(list(it)) == 1
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert iter(it) is it and list(it) == []


# ---- definition lag and time texts ------------------------------------------------


@pytest.mark.parametrize(
    "key, value, book_attr, definition_attr, old",
    [
        ("status", "SUSPENDED", "status", "status", "OPEN"),
        ("inPlay", True, "inplay", "in_play", False),
        ("betDelay", 5, "bet_delay", "bet_delay", 1),
        ("version", 77, "version", "version", 3),
        ("complete", False, "complete", "complete", True),
        ("crossMatching", False, "cross_matching", "cross_matching", True),
        ("bspReconciled", True, "bsp_reconciled", "bsp_reconciled", False),
        ("runnersVoidable", True, "runners_voidable", "runners_voidable", False),
    ],
)
def test_market_level_keys_reach_the_definition_only_with_the_next_one(
        tmp_path, key, value, book_attr, definition_attr, old):
    b1, b2, b3 = replay(tmp_path, [
        message(1000, change(marketDefinition={"status": "OPEN", "betDelay": 1, "version": 3})),
        message(2000, change(**{key: value})),
        message(3000, change(marketDefinition={})),
    ])
    assert getattr(b1, book_attr) == old
    assert getattr(b2, book_attr) == value
    assert b2.market_definition is b1.market_definition
    assert getattr(b2.market_definition, definition_attr) == old
    assert getattr(b3.market_definition, definition_attr) == value


def test_runner_status_reaches_the_definition_count_only_with_the_next_one(tmp_path):
    b1, b2, b3 = replay(tmp_path, [
        message(1000, change(marketDefinition={"runners": [{"id": 1}, {"id": 2}, {"id": 2}]})),
        runner_changes(2000, {"id": 2, "status": "REMOVED"}, {"id": 3, "status": "active"}),
        message(3000, change(marketDefinition=None)),
    ])
    assert (b1.number_of_runners, b1.number_of_active_runners) == (2, 2)
    assert b1.market_definition.number_of_active_runners == 2
    assert (b2.number_of_runners, b2.number_of_active_runners) == (3, 1)
    assert b2.market_definition.number_of_active_runners == 2
    assert b3.market_definition.number_of_active_runners == 1
    assert [r.selection_id for r in b3.market_definition.runners] == [1, 2, 2]


def test_top_level_keys_win_over_the_definition_in_one_change(tmp_path):
    (book,) = replay(tmp_path, [message(1000, change(
        status="SUSPENDED", betDelay=2, inPlay=False,
        marketDefinition={"status": "OPEN", "betDelay": 9, "inPlay": True,
                          "runners": [{"id": 1, "status": "REMOVED"}]},
        rc=[{"id": 1, "status": "ACTIVE"}],
    ))])
    assert (book.status, book.bet_delay, book.inplay) == ("SUSPENDED", 2, False)
    assert book.runners[0].status == "ACTIVE"
    assert book.number_of_active_runners == 1
    # The definition object is built after the whole message was applied.
    assert book.market_definition.status == "SUSPENDED"


TIME_KEYS = [("marketTime", "market_time"), ("openDate", "open_date"),
             ("suspendTime", "suspend_time"), ("settledTime", "settled_time")]


@pytest.mark.parametrize("key, attr", TIME_KEYS)
@pytest.mark.parametrize(
    "text, expected",
    [
        ("2024-05-01T13:30:00.000Z", datetime.datetime(2024, 5, 1, 13, 30)),
        ("2024-05-01T13:30:00Z", datetime.datetime(2024, 5, 1, 13, 30)),
        ("2024-01-02T03:04:05.678Z", datetime.datetime(2024, 1, 2, 3, 4, 5, 678000)),
        ("2024-01-02T03:04:05.000001Z", datetime.datetime(2024, 1, 2, 3, 4, 5, 1)),
        ("0001-01-01T00:00:00Z", datetime.datetime(1, 1, 1)),
        ("9999-12-31T23:59:59.999999Z", datetime.datetime(9999, 12, 31, 23, 59, 59, 999999)),
    ],
)
def test_time_texts_become_naive_datetimes(tmp_path, key, attr, text, expected):
    (book,) = replay(tmp_path, [message(1000, change(marketDefinition={key: text}))])
    value = getattr(book.market_definition, attr)
    assert type(value) is datetime.datetime
    assert value == expected and value.tzinfo is None
    assert getattr(book.market_definition, attr) is value
    for other_key, other_attr in TIME_KEYS:
        if other_key != key:
            assert getattr(book.market_definition, other_attr) is None


@pytest.mark.parametrize("key, attr", TIME_KEYS)
@pytest.mark.parametrize(
    "bad",
    ["2024-01-02", "2024-05-01 13:30:00", "2024-05-01T13:30:00+00:00", "", "2024-02-30T00:00:00Z",
     "2024-05-01T13:30:00.1234567Z", "2024-05-01T25:30:00Z"],
)
def test_a_bad_time_text_fails_every_snapshot_until_a_definition_fixes_it(tmp_path, key, attr,
                                                                          bad):
    it = open_prices(tmp_path, [
        message(1000, change(marketDefinition={key: "2024-05-01T13:30:00Z"})),
        message(2000, change(marketDefinition={key: bad, "venue": "V"})),
        runner_changes(3000, {"id": 1, "ltp": 2.0}),
        message(4000, change(marketDefinition=None)),
        message(5000, change(marketDefinition={"eventName": "E"})),
        message(6000, change(marketDefinition={key: "2024-06-01T00:00:00.500Z"})),
        runner_changes(7000, {"id": 1, "tv": 3}),
    ])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            datetime.datetime.strptime(bad, "%Y-%m-%dT%H:%M:%SZ")
        except ValueError as e:
            expected_message = str(e)
    first = next(it)
    assert getattr(first.market_definition, attr) == datetime.datetime(2024, 5, 1, 13, 30)
    for _ in range(4):
        with pytest.raises(ValueError) as excinfo:
            next(it)
        assert str(excinfo.value) == expected_message
    fixed = next(it)
    assert fixed.publish_time_epoch == 6000
    assert getattr(fixed.market_definition, attr) == datetime.datetime(2024, 6, 1, 0, 0, 0, 500000)
    # The failing messages were applied all the same.
    assert fixed.market_definition.venue == "V"
    assert fixed.market_definition.event_name == "E"
    assert fixed.runners[0].last_price_traded == 2.0
    last = next(it)
    assert last.market_definition is fixed.market_definition
    with pytest.raises(StopIteration):
        next(it)


def test_time_texts_convert_as_strptime_does(tmp_path):
    """Random fields of every width around the two forms, one text in six
    edited by one character, against strptime."""
    rng, texts = random.Random(20241208), ["1900-02-29T00:00:00.5Z", "2024-01-02t03:04:05z"]
    widths = ((9999, 4), (13, 2), (32, 2), (25, 2), (61, 2), (62, 2))
    for _ in range(4000):
        fields = [str(rng.randint(0, high)).zfill(rng.choice([w] * 9 + [1])) for high, w in widths]
        digits = rng.choice([0, 0, 1, 3, 6, 7])
        fraction = "." + str(rng.randrange(10 ** digits)).zfill(digits) if digits else ""
        text, at = "%s-%s-%sT%s:%s:%s" % tuple(fields) + fraction + "Z", rng.randrange(150)
        texts.append(text[:at] + rng.choice("09tzTZ .-:x\u0663") + text[at + rng.randint(0, 1):]
                     if at < len(text) else text)
    it = open_prices(tmp_path, [message(1000 + i, change(marketDefinition={"openDate": text}))
                                for i, text in enumerate(texts)])
    for text in texts:
        try:
            got = next(it).market_definition.open_date
        except ValueError as e:
            got = (type(e), str(e))
        for form in ("%Y-%m-%dT%H:%M:%S.%fZ", "%Y-%m-%dT%H:%M:%SZ"):
            try:
                expected = datetime.datetime.strptime(text, form)
                break
            except ValueError as e:
                expected = (type(e), str(e))
        assert (got, type(got)) == (expected, type(expected)), text


@pytest.mark.parametrize("raised, calls",
                         [(KeyboardInterrupt, 1), (MemoryError, 1), (ValueError, 2)])
def test_only_a_value_error_of_the_first_form_tries_the_second(tmp_path, monkeypatch, raised,
                                                               calls):
    import _strptime

    def failing(cls, text, form):
        forms.append(form)
        raise raised("from strptime")

    forms, times = [], ("2024-5-01T13:30:00Z", "2024-05-01T13:30:00.5Z")
    it = open_prices(tmp_path, [message(1000, change(marketDefinition={"marketTime": t}))
                                for t in times])
    monkeypatch.setattr(_strptime, "_strptime_datetime", failing)
    with pytest.raises(raised, match="^from strptime$"):
        next(it)
    # The usual forms never reach strptime.
    assert next(it).market_definition.market_time.microsecond == 500000
    assert forms == ["%Y-%m-%dT%H:%M:%S.%fZ", "%Y-%m-%dT%H:%M:%SZ"][:calls]


# ---- publish time -------------------------------------------------------------------



def in_range_times():
    rng = random.Random(20240501)
    edges = [1, 2, 499, 500, 501, 999, 1000, 1001, 1499, 1500, 59999, 60000, 86399999, 86400000,
             951782400000, 951868799999, 1700000000123, 2 ** 31 * 1000 - 1, 2 ** 31 * 1000,
             4102444800000, 253402214400000, LAST_MS - 1000, LAST_MS - 1, LAST_MS]
    uniform = [rng.randint(1, LAST_MS) for _ in range(1500)]
    log_uniform = [int(10 ** rng.uniform(0, math.log10(LAST_MS))) for _ in range(1500)]
    recent = [rng.randint(1_500_000_000_000, 1_800_000_000_000) for _ in range(500)]
    return edges + uniform + log_uniform + recent


def test_publish_times_match_the_interpreter_without_a_deprecation_warning(tmp_path):
    times = in_range_times()
    it = open_prices(tmp_path, [message(ms, change()) for ms in times])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        books = list(it)
    assert [b.publish_time_epoch for b in books] == times
    mismatches = [(ms, b.publish_time, reference_utc(ms)) for ms, b in zip(times, books)
                  if b.publish_time != reference_utc(ms)]
    assert mismatches == []
    assert all(type(b.publish_time) is datetime.datetime and b.publish_time.tzinfo is None
               for b in books)


@pytest.mark.parametrize(
    "ms, expected",
    [
        (1700000000123, datetime.datetime(2023, 11, 14, 22, 13, 20, 123000)),
        (LAST_MS, datetime.datetime(9999, 12, 31, 23, 59, 59, 998993)),
        (1, datetime.datetime(1970, 1, 1, 0, 0, 0, 1000)),
    ],
)
def test_publish_time_examples(tmp_path, ms, expected):
    (book,) = replay(tmp_path, [message(ms, change())])
    assert book.publish_time == expected
    assert book.publish_time is book.publish_time
    assert book.publish_time_epoch == ms


def test_publish_times_beyond_the_datetime_range_raise_like_the_interpreter(tmp_path):
    rng = random.Random(7)
    times = [LAST_MS + 1, LAST_MS + 2, LAST_MS + 501, 10 ** 15, 2 ** 53 - 1, 2 ** 53, 2 ** 53 + 1,
             10 ** 17, 10 ** 18, 2 ** 62, 2 ** 63 - 1025, 2 ** 63 - 1]
    times += [rng.randint(LAST_MS + 1, 2 ** 63 - 1) for _ in range(100)]
    times += [int(10 ** rng.uniform(math.log10(LAST_MS + 1), 18.9)) for _ in range(100)]
    it = open_prices(tmp_path, [message(ms, change()) for ms in times] + [message(5, change())])
    assert len(it) == len(times) + 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for ms in times:
            try:
                reference_utc(ms)
            except Exception as e:  # noqa: BLE001 - the interpreter's own exception
                expected = (type(e), str(e))
            else:
                pytest.fail(f"{ms} is inside the datetime range")
            with pytest.raises(Exception) as excinfo:
                next(it)
            assert (type(excinfo.value), str(excinfo.value)) == expected, ms
        # The failures consumed their messages; the next one replays normally.
        assert next(it).publish_time == datetime.datetime(1970, 1, 1, 0, 0, 0, 5000)


def test_year_10000_is_out_of_range(tmp_path):
    # The interpreter's own error for that time (its text differs between versions).
    with pytest.raises(ValueError) as expected:
        datetime.datetime.fromtimestamp((LAST_MS + 1) / 1000, datetime.timezone.utc)
    assert "10000" in str(expected.value)
    it = open_prices(tmp_path, [message(LAST_MS + 1, change())])
    with pytest.raises(ValueError) as exc:
        next(it)
    assert type(exc.value) is type(expected.value) and str(exc.value) == str(expected.value)


# ---- the sample files -----------------------------------------------------------------


def hc_key(hc):
    x = hc * 100.0
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


class ReferenceMarket:
    """The exchange ladders, last traded price, volume and status of each runner,
    kept from the raw messages in plain Python."""

    def __init__(self):
        self.runners = {}

    def runner(self, element):
        key = (element["id"], hc_key(element.get("hc") or 0.0))
        return self.runners.setdefault(
            key, {"status": "ACTIVE", "ltp": None, "tv": 0.0,
                  "atb": {}, "atl": {}, "trd": {}, "spb": {}, "spl": {}})

    def apply(self, item):
        touched = {}
        if item.get("img") is True:
            self.runners.clear()
        definition = item.get("marketDefinition")
        if isinstance(definition, dict):
            for element in definition.get("runners", []):
                r = self.runner(element)
                if isinstance(element.get("status"), str):
                    r["status"] = element["status"]
                touched.setdefault(element["id"], set()).add("definition")
        for element in item.get("rc", []):
            r = self.runner(element)
            for key in ("status", "ltp", "tv"):
                if element.get(key) is not None:
                    r[key] = element[key]
            for key in ("atb", "atl", "trd", "spb", "spl"):
                for price, size in element.get(key, []):
                    if size == 0:
                        r[key].pop(float(price), None)
                    else:
                        r[key][float(price)] = float(size)
            touched.setdefault(element["id"], set()).update(element)
        return touched


def kept_messages(path):
    with open(path) as f:
        for line in f:
            if line.strip():
                msg = json.loads(line)
                if isinstance(msg.get("mc"), list) and msg.get("pt", 0) >= 1:
                    yield msg


def generated_market(tmp_path):
    """A market from the benchmark generator: unlike the recorded ones, it
    carries starting-price ladders ("spb", "spl")."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
    try:
        import generate
    finally:
        del sys.path[0]
    path = str(tmp_path / "generated.json")
    generate.write_market(path, 400_000, seed=5)
    return path


@pytest.mark.parametrize("name", [*REAL_FILES, "generated"])
def test_sample_file_replay(name, tmp_path):
    path = generated_market(tmp_path) if name == "generated" else real_file(name)
    messages = list(kept_messages(path))
    it = palisar.iter_prices_file(path)
    assert len(it) == len(messages)
    assert "id" in messages[0]["mc"][0]
    market_id = messages[0]["mc"][0]["id"]

    reference = ReferenceMarket()
    previous = {}
    reused_runners = reused_lists = rebuilt_runners = sp_levels = 0
    count = 0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for msg, book in zip(messages, it, strict=True):
            count += 1
            touched, image = {}, False
            for item in msg["mc"]:
                image |= item.get("img") is True
                for sid, keys in reference.apply(item).items():
                    touched.setdefault(sid, set()).update(keys)

            assert book.market_id == market_id
            assert book.publish_time_epoch == msg["pt"]
            assert book.publish_time == reference_utc(msg["pt"])
            runners = book.runners
            keys = [(r.selection_id, hc_key(r.handicap)) for r in runners]
            assert keys == sorted(keys) and len(set(keys)) == len(keys)
            assert keys == sorted(reference.runners)
            assert book.number_of_runners == len(runners)
            assert book.number_of_active_runners == sum(r.status == "ACTIVE" for r in runners)

            current = {}
            for key, r in zip(keys, runners):
                current[key] = r
                ref = reference.runners[key]
                assert (r.status, r.last_price_traded, r.total_matched) == (
                    ref["status"], ref["ltp"], ref["tv"])
                ex = r.ex
                old = previous.get(key)
                if old is not None and not image:
                    changed = touched.get(key[0], set())
                    if not changed:
                        assert r is old, (msg["pt"], key)
                        reused_runners += 1
                    elif r is not old:
                        rebuilt_runners += 1
                else:
                    old, changed = None, None
                for stream_key, attr, descending in (("atb", "available_to_back", True),
                                                     ("atl", "available_to_lay", False),
                                                     ("trd", "traded_volume", False)):
                    prices = getattr(ex, attr)
                    if old is not None and stream_key not in changed:
                        # An untouched ladder keeps its list, checked when it was made.
                        assert prices is getattr(old.ex, attr), (msg["pt"], key, attr)
                        reused_lists += 1
                        continue
                    got = pairs(prices)
                    assert got == sorted(ref[stream_key].items(), reverse=descending), (
                        msg["pt"], key, attr)
                    assert all(size != 0 for _, size in got)
                # Starting-price ladders: "spb" lists highest price first, "spl" lowest.
                for stream_key, attr, descending in (("spb", "lay_liability_taken", True),
                                                     ("spl", "back_stake_taken", False)):
                    got = pairs(getattr(r.sp, attr))
                    assert got == sorted(ref[stream_key].items(), reverse=descending), (
                        msg["pt"], key, attr)
                    sp_levels += len(got)
            previous = current

            if count % 25 == 1 or count == len(messages):
                d = book.to_dict()
                assert json.loads(json.dumps(d, allow_nan=False)) == d
    assert count == len(messages)
    assert reused_runners > 0 and reused_lists > 0 and rebuilt_runners > 0
    assert book.status == "CLOSED"
    if name == "generated":
        assert sp_levels > 100


@pytest.mark.parametrize("name", REAL_FILES)
def test_sample_file_snapshots_kept_to_the_end_are_unchanged(name):
    path = real_file(name)
    kept, seen = [], []
    for i, book in enumerate(palisar.iter_prices_file(path)):
        if i % 7 == 0:
            kept.append(book)
            seen.append(state(book))
    assert len(kept) > 10
    assert [state(b) for b in kept] == seen


def lists_of(book):
    return [[[(ps.price, ps.size) for ps in lst]
             for lst in (r.ex.available_to_back, r.ex.available_to_lay, r.ex.traded_volume)]
            for r in book.runners]


def shared_with(book, before):
    # Per runner of `book`: whether `before` has the same Runner object.
    ids = {id(r) for r in before.runners} if before is not None else set()
    return [id(r) in ids for r in book.runners]


@pytest.mark.parametrize("drop_iterator", [False, True])
@pytest.mark.parametrize("name", REAL_FILES)
def test_sample_file_lists_first_read_at_the_end(name, drop_iterator):
    # Runners, lists and dicts nobody read while stepping show what their own
    # snapshot had, however the ladders changed since (or went with the
    # iterator), and share Runner objects exactly where eager reads do.
    path = real_file(name)
    eager, eager_shared, eager_dicts, before = [], [], {}, None
    for i, book in enumerate(palisar.iter_prices_file(path)):
        eager.append(lists_of(book))
        eager_shared.append(shared_with(book, before))
        if i % 50 == 0:
            eager_dicts[i] = book.to_dict()
        before = book
    it = palisar.iter_prices_file(path)
    kept = list(it)
    if drop_iterator:
        del it
    assert len(kept) == len(eager) > 10
    assert any(any(s) for s in eager_shared) and not all(all(s) for s in eager_shared[1:])
    # Some dicts first, before anything of their books was read.
    assert {i: kept[i].to_dict() for i in sorted(eager_dicts, reverse=True)} == eager_dicts
    # Every third snapshot first from the back, then the rest from the front.
    late = {i: lists_of(kept[i]) for i in range(len(kept) - 1, -1, -3)}
    late.update((i, lists_of(kept[i])) for i in range(len(kept)) if i not in late)
    assert [late[i] for i in range(len(kept))] == eager
    assert [shared_with(b, kept[i - 1] if i else None) for i, b in enumerate(kept)] == eager_shared
