"""Attributes of the snapshot classes as a caller sees them: Runner,
StartingPrices, ExchangePrices, PriceSize, MarketBook, MarketDefinition and
MarketDefinitionRunner."""

import datetime
import math
import random
import struct

import pytest

import palisar
from snapshot_helpers import (
    MARKET_ID,
    change,
    full_definition,
    message,
    pairs,
    positional,
    replay,
    runner_changes,
)


def one_runner(tmp_path, *rcs, **keys):
    """The single runner of the last snapshot of a file of runner changes."""
    books = replay(tmp_path, [runner_changes(1000 + i, rc, **keys) for i, rc in enumerate(rcs)])
    (runner,) = books[-1].runners
    return runner


def price_size(tmp_path, price, size):
    runner = one_runner(tmp_path, {"id": 1, "atb": [[price, size]]})
    (ps,) = runner.ex.available_to_back
    return ps


# ---- Runner -------------------------------------------------------------------------


def test_runner_without_optional_values(tmp_path):
    r = one_runner(tmp_path, {"id": 5})
    assert (r.selection_id, r.handicap, r.status, r.total_matched) == (5, 0.0, "ACTIVE", 0.0)
    assert r.adjustment_factor is None
    assert r.last_price_traded is None
    assert r.removal_date is None
    assert type(r.handicap) is float and type(r.total_matched) is float


def test_runner_values(tmp_path):
    r = one_runner(tmp_path,
                   {"id": 2 ** 40 + 3, "hc": -1.5, "ltp": 3, "tv": 12, "adjustmentFactor": 0,
                    "status": "REMOVED", "removalDate": "2024-01-02T03:04:05.000Z"})
    assert r.selection_id == 2 ** 40 + 3
    assert r.handicap == -1.5
    assert r.last_price_traded == 3.0 and type(r.last_price_traded) is float
    assert r.total_matched == 12.0 and type(r.total_matched) is float
    assert r.adjustment_factor == 0.0 and type(r.adjustment_factor) is float
    assert r.status == "REMOVED"
    assert r.removal_date == "2024-01-02T03:04:05.000Z"
    assert type(r.removal_date) is str


@pytest.mark.parametrize("selection_id", [2 ** 63 - 1, -(2 ** 63), 2 ** 31, -1, 0])
def test_selection_ids_keep_the_signed_64_bit_range(tmp_path, selection_id):
    assert one_runner(tmp_path, {"id": selection_id}).selection_id == selection_id


def test_removal_date_from_a_definition_runner_is_the_text(tmp_path):
    (book,) = replay(tmp_path, [message(1000, change(marketDefinition={"runners": [
        {"id": 1, "status": "REMOVED", "removalDate": "not a date", "adjustmentFactor": 7.5}]}))])
    (r,) = book.runners
    assert (r.status, r.removal_date, r.adjustment_factor) == ("REMOVED", "not a date", 7.5)


def test_runner_identity_of_attributes(tmp_path):
    r = one_runner(tmp_path, {"id": 1, "spn": 2.0, "atb": [[2.0, 1]]})
    assert r.ex is r.ex
    assert r.status is r.status
    assert r.sp is not r.sp
    assert r.selection_id == r.selection_id
    orders = r.orders
    assert orders == [] and r.matches == []
    assert orders is not r.orders and r.matches is not r.matches
    orders.append(1)
    r.matches.append(1)
    assert r.orders == [] and r.matches == []


@pytest.mark.parametrize("attr", ["matches_by_strategy", "bet_delay_models", "suspend_reason"])
def test_runner_constants_are_none(tmp_path, attr):
    r = one_runner(tmp_path, {"id": 1, "suspendReason": "x", "betDelayModels": ["a"]})
    assert getattr(r, attr) is None


@pytest.mark.parametrize("attr", ["selection_id", "status", "ex", "sp", "orders", "extra"])
def test_runner_is_read_only(tmp_path, attr):
    r = one_runner(tmp_path, {"id": 1})
    with pytest.raises(AttributeError):
        setattr(r, attr, 1)
    assert r.selection_id == 1 and r.status == "ACTIVE"


# ---- StartingPrices -------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        (2.5, 2.5),
        (3, 3.0),
        (-0.5, -0.5),
        ("NaN", "NaN"),
        ("Infinity", "Infinity"),
        (" 2.5 ", " 2.5 "),
        ("", ""),
        (None, None),
        (True, None),
        ([1.5], None),
        ({"v": 1}, None),
    ],
    ids=repr,
)
def test_starting_price_projections(tmp_path, value, expected):
    r = one_runner(tmp_path, {"id": 1, "spn": 9.0, "spf": 9.0}, {"id": 1, "spn": value},
                   {"id": 1, "spf": value})
    sp = r.sp
    assert sp.near_price == expected and sp.far_price == expected
    assert type(sp.near_price) is type(expected) and type(sp.far_price) is type(expected)
    assert sp.actual_sp is None


@pytest.mark.parametrize("bsp, expected", [(3.25, 3.25), (4, 4.0), ("NaN", "NaN"), (None, None)])
def test_actual_starting_price_comes_from_the_definition(tmp_path, bsp, expected):
    books = replay(tmp_path, [
        message(1000, change(marketDefinition={"runners": [{"id": 1, "bsp": bsp}]})),
        message(2000, change(marketDefinition={"runners": [{"id": 1}]})),
    ])
    actual = books[0].runners[0].sp.actual_sp
    assert actual == expected and type(actual) is type(expected)
    # A definition runner without "bsp" resets it.
    assert books[1].runners[0].sp.actual_sp is None


def test_starting_price_ladders_are_fed_crosswise(tmp_path):
    r = one_runner(tmp_path, {"id": 1, "spb": [[1.5, 10], [3.0, 5], [2.0, 7]],
                              "spl": [[4.0, 1], [1.2, 2], [2.2, 3]]},
                   {"id": 1, "spb": [[2.0, 0]], "spl": [[1.3, 4]]})
    sp = r.sp
    assert pairs(sp.lay_liability_taken) == [(3.0, 5.0), (1.5, 10.0)]
    assert pairs(sp.back_stake_taken) == [(1.2, 2.0), (1.3, 4.0), (2.2, 3.0), (4.0, 1.0)]


def test_starting_price_lists_are_fresh_on_every_read(tmp_path):
    r = one_runner(tmp_path, {"id": 1, "spb": [[1.5, 10]], "spl": [[2.0, 3]]})
    sp = r.sp
    for name in ("back_stake_taken", "lay_liability_taken"):
        first, second = getattr(sp, name), getattr(sp, name)
        assert first is not second
        assert first[0] is not second[0]
        assert first != second  # PriceSize compares by identity
        assert pairs(first) == pairs(second)
        first.clear()
        assert len(getattr(sp, name)) == 1
        assert len(getattr(r.sp, name)) == 1


def test_empty_starting_price_ladders(tmp_path):
    sp = one_runner(tmp_path, {"id": 1}).sp
    assert sp.back_stake_taken == [] and sp.lay_liability_taken == []
    assert (sp.near_price, sp.far_price, sp.actual_sp) == (None, None, None)


def test_starting_prices_are_detached_from_later_snapshots(tmp_path):
    b1, b2 = replay(tmp_path, [
        runner_changes(1000, {"id": 1, "spn": 2.0, "spb": [[2.0, 1]]}),
        runner_changes(2000, {"id": 1, "spn": "x", "spb": [[2.0, 0], [3.0, 2]]}),
    ])
    sp1, sp2 = b1.runners[0].sp, b2.runners[0].sp
    assert (sp1.near_price, pairs(sp1.lay_liability_taken)) == (2.0, [(2.0, 1.0)])
    assert (sp2.near_price, pairs(sp2.lay_liability_taken)) == ("x", [(3.0, 2.0)])


def test_starting_price_pairs_stay_with_their_snapshots_while_shared_and_emptied(tmp_path):
    """Runners made anew for another field share the pairs of the one before;
    ladders emptied and filled again; the books go in an order that drops
    sharers before and after the pairs' first holder."""
    books = replay(tmp_path, [
        runner_changes(1000, {"id": 1, "spb": [[2.0, 1]], "spl": [[3.0, 2]]}),
        runner_changes(2000, {"id": 1, "ltp": 2.5}),
        runner_changes(3000, {"id": 1, "spb": [[2.0, 0]]}),
        runner_changes(4000, {"id": 1, "ltp": 2.6, "spl": [[3.0, 0]]}),
        runner_changes(5000, {"id": 1, "spb": [[1.5, 4]]}),
    ])
    expected = {0: ([(2.0, 1.0)], [(3.0, 2.0)]), 1: ([(2.0, 1.0)], [(3.0, 2.0)]),
                2: ([], [(3.0, 2.0)]), 3: ([], []), 4: ([(1.5, 4.0)], [])}
    kept = dict(enumerate(books))
    del books
    for gone in (1, 3, 0, 4, 2):
        for i, book in kept.items():
            sp = book.runners[0].sp
            assert (pairs(sp.lay_liability_taken), pairs(sp.back_stake_taken)) == expected[i], i
            d = book.to_dict()["runners"][0]["sp"]
            assert [(x["price"], x["size"]) for x in d["layLiabilityTaken"]] == expected[i][0], i
            assert [(x["price"], x["size"]) for x in d["backStakeTaken"]] == expected[i][1], i
        del kept[gone]


# ---- ExchangePrices -------------------------------------------------------------------


def test_exchange_prices_order_and_identity(tmp_path):
    r = one_runner(tmp_path, {"id": 1, "atb": [[1.5, 1], [2.0, 2], [1.8, 3]],
                              "atl": [[2.0, 1], [1.5, 2], [1.8, 3]],
                              "trd": [[2.0, 1], [1.5, 2], [1.8, 3], [2, 4]]})
    ex = r.ex
    assert ex.available_to_back is ex.available_to_back
    assert ex.available_to_lay is ex.available_to_lay
    assert ex.traded_volume is ex.traded_volume
    assert pairs(ex.available_to_back) == [(2.0, 2.0), (1.8, 3.0), (1.5, 1.0)]
    assert pairs(ex.available_to_lay) == [(1.5, 2.0), (1.8, 3.0), (2.0, 1.0)]
    assert pairs(ex.traded_volume) == [(1.5, 2.0), (1.8, 3.0), (2.0, 4.0)]
    assert all(type(ps) is palisar.PriceSize for ps in ex.available_to_back)
    with pytest.raises(AttributeError):
        ex.available_to_back = []


def test_ladder_deltas_of_odd_shapes(tmp_path):
    r = one_runner(tmp_path, {"id": 1, "atl": [
        [1.5, 10, 99], [2.5, -3], "x", [3.5], [None, 5], [4.5, "1"], [-0.0, 2], [0, 1]]})
    got = [(math.copysign(1.0, p), p, s) for p, s in pairs(r.ex.available_to_lay)]
    # The null price counts as 0.0 and is overwritten by the integer 0; -0.0 is a
    # level of its own.
    assert sorted(got) == [(-1.0, -0.0, 2.0), (1.0, 0.0, 1.0), (1.0, 1.5, 10.0),
                           (1.0, 2.5, -3.0)]


# ---- PriceSize ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "price, size, text",
    [
        (1.0, 2.5, "PriceSize(price=1, size=2.5)"),
        (1000.0, 0.5, "PriceSize(price=1000, size=0.5)"),
        (1.01, 1.01, "PriceSize(price=1.01, size=1.01)"),
        (0.1 + 0.2, 3, "PriceSize(price=0.30000000000000004, size=3)"),
        (1e21, 1e-7, "PriceSize(price=1000000000000000000000, size=0.0000001)"),
        (-0.0, -2.5, "PriceSize(price=-0, size=-2.5)"),
        (1e16, 123456.789, "PriceSize(price=10000000000000000, size=123456.789)"),
        (2 ** 53 + 2, 1.5e-10, "PriceSize(price=9007199254740994, size=0.00000000015)"),
        (5e-324, 1, "PriceSize(price=0." + "0" * 323 + "5, size=1)"),
    ],
)
def test_price_size_repr(tmp_path, price, size, text):
    ps = price_size(tmp_path, price, size)
    assert repr(ps) == text
    assert str(ps) == text


def random_doubles(rng, count, keep):
    values = []
    while len(values) < count:
        x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if math.isfinite(x) and x != 0 and keep(x):
            values.append(x)
    return values


def reprs_of_prices(tmp_path, values):
    r = one_runner(tmp_path, {"id": 1, "atb": [[v, v] for v in values]})
    got = {ps.price: repr(ps) for ps in r.ex.available_to_back}
    assert len(got) == len(set(values))
    return [(v, got[v]) for v in values
            if got[v] != f"PriceSize(price={positional(v)}, size={positional(v)})"]


def test_price_size_repr_of_random_values(tmp_path):
    rng = random.Random(1234)
    values = random_doubles(rng, 600, lambda x: abs(x) < 2.0 ** 53)
    values += [rng.uniform(1.01, 1000) for _ in range(200)]
    values += [round(rng.uniform(1.01, 1000), 2) for _ in range(200)]
    values += [float(rng.randint(1, 2 ** 53)) for _ in range(100)]
    assert reprs_of_prices(tmp_path, values) == []


def test_price_size_repr_of_large_values_uses_the_shortest_digits(tmp_path):
    rng = random.Random(4321)
    values = [1e23, 3e25, 2.0 ** 60, 1e300, 1.7976931348623157e308, 1.1356873538845983e35]
    values += random_doubles(rng, 200, lambda x: abs(x) >= 2.0 ** 53)
    assert reprs_of_prices(tmp_path, values) == []


def test_price_size_item_access(tmp_path):
    ps = price_size(tmp_path, 2.5, 10)

    class Key(str):
        pass

    assert ps["price"] == ps.price == 2.5 and ps["size"] == ps.size == 10.0
    assert type(ps["price"]) is float and type(ps["size"]) is float
    assert ps[Key("size")] == 10.0


@pytest.mark.parametrize("key", ["Price", "", "SIZE", "price ", "pri"])
def test_price_size_unknown_key(tmp_path, key):
    ps = price_size(tmp_path, 2.5, 10)
    with pytest.raises(KeyError) as excinfo:
        ps[key]
    assert excinfo.value.args == (key,)


@pytest.mark.parametrize(
    "access, type_name",
    [
        (lambda ps: ps[0], "int"),
        (lambda ps: ps[b"price"], "bytes"),
        (lambda ps: ps[None], "NoneType"),
        (lambda ps: ps[1.5], "float"),
        (lambda ps: list(ps), "int"),
        (lambda ps: "price" in ps, "int"),
        (lambda ps: next(iter(ps)), "int"),
    ],
    ids=["int", "bytes", "None", "float", "list", "in", "iter"],
)
def test_price_size_rejects_keys_that_are_not_text(tmp_path, access, type_name):
    ps = price_size(tmp_path, 2.5, 10)
    with pytest.raises(TypeError) as excinfo:
        access(ps)
    assert str(excinfo.value) == (
        f"argument 'key': '{type_name}' object cannot be converted to 'PyString'")


def test_price_size_has_no_length_and_compares_by_identity(tmp_path):
    r = one_runner(tmp_path, {"id": 1, "spb": [[2.0, 5]]})
    a, b = r.sp.lay_liability_taken[0], r.sp.lay_liability_taken[0]
    assert (a.price, a.size) == (b.price, b.size)
    assert a == a and not (a == b) and a != b
    with pytest.raises(TypeError):
        len(a)
    with pytest.raises(AttributeError):
        a.price = 3.0


# ---- MarketBook -----------------------------------------------------------------------


@pytest.fixture
def book(tmp_path):
    (b,) = replay(tmp_path, [runner_changes(1700000000123, {"id": 1})])
    return b


@pytest.mark.parametrize(
    "attr, expected",
    [
        ("streaming_snap", True),
        ("streaming_update", None),
        ("bet_delay_models", None),
        ("elapsed_time", None),
        ("is_market_data_delayed", None),
        ("key_line_description", None),
        ("price_ladder_definition", None),
        ("total_available", None),
        ("suspend_reason", None),
    ],
)
def test_market_book_fixed_values(tmp_path, attr, expected):
    (b,) = replay(tmp_path, [message(1000, change(
        streamingUpdate={"x": 1}, elapsedTime=5, suspendReason="x", totalAvailable=3,
        isMarketDataDelayed=True, marketDefinition={"priceLadderDefinition": {"type": "X"}}))])
    assert getattr(b, attr) is expected


def test_market_book_initial_values(book):
    assert book.market_id == MARKET_ID
    assert (book.status, book.bet_delay, book.version, book.total_matched) == ("OPEN", 0, 0, 0.0)
    assert (book.bsp_reconciled, book.complete, book.cross_matching, book.inplay,
            book.runners_voidable) == (False, True, True, False, False)
    assert (book.number_of_winners, book.number_of_runners,
            book.number_of_active_runners) == (1, 1, 1)
    assert book.last_match_time is None
    assert book.market_definition is None
    assert book.streaming_unique_id is None
    assert book.publish_time_epoch == 1700000000123
    assert book.publish_time == datetime.datetime(2023, 11, 14, 22, 13, 20, 123000)


def test_market_book_values_from_market_level_keys(tmp_path):
    (b,) = replay(tmp_path, [message(1000, change(
        status="SUSPENDED", betDelay=2 ** 32 + 5, bspReconciled=True, complete=False,
        crossMatching=False, inPlay=True, runnersVoidable=True, tv=12, version=2 ** 40,
        lastMatchTime=1700000000000, marketDefinition={"numberOfWinners": -1},
        rc=[{"id": 1}, {"id": 2, "status": "ACTIVE"}, {"id": 3, "status": "WINNER"}]))])
    assert b.status == "SUSPENDED"
    assert b.bet_delay == 5
    assert (b.bsp_reconciled, b.complete, b.cross_matching, b.inplay, b.runners_voidable) == (
        True, False, False, True, True)
    assert b.total_matched == 12.0 and type(b.total_matched) is float
    assert b.version == 2 ** 40
    assert b.last_match_time == 1700000000000 and type(b.last_match_time) is int
    assert (b.number_of_winners, b.number_of_runners, b.number_of_active_runners) == (-1, 3, 2)
    for attr in ("bsp_reconciled", "complete", "cross_matching", "inplay", "runners_voidable"):
        assert type(getattr(b, attr)) is bool
    for attr in ("bet_delay", "version", "number_of_runners", "publish_time_epoch"):
        assert type(getattr(b, attr)) is int


@pytest.mark.parametrize(
    "keys",
    [{"betDelay": 5.0}, {"betDelay": "5"}, {"version": 3.0}, {"version": 2 ** 64 - 1},
     {"tv": None}, {"tv": "12"}, {"inPlay": 1}, {"status": None}, {"lastMatchTime": 1.5}],
    ids=repr,
)
def test_mistyped_market_level_keys_are_ignored(tmp_path, keys):
    b1, b2 = replay(tmp_path, [
        message(1000, change(betDelay=1, version=2, tv=3, status="OPEN")),
        message(2000, change(**keys)),
    ])
    assert (b2.bet_delay, b2.version, b2.total_matched, b2.inplay, b2.status,
            b2.last_match_time) == (1, 2, 3.0, False, "OPEN", None)


def test_market_book_identity_of_attributes(book):
    assert book.runners is book.runners
    assert book.publish_time is book.publish_time
    assert book.market_id == book.market_id and book.market_id is not book.market_id
    assert book.status is not book.status


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ValueError("no index here")


@pytest.mark.parametrize(
    "value, expected",
    [(None, None), (7, 7), (True, 1), (False, 0), (-2 ** 31, -2 ** 31), (2 ** 31 - 1, 2 ** 31 - 1),
     (Index(12), 12), (0, 0)],
    ids=repr,
)
def test_streaming_unique_id_accepts(book, value, expected):
    book.streaming_unique_id = 3
    book.streaming_unique_id = value
    assert book.streaming_unique_id == expected
    assert type(book.streaming_unique_id) is type(expected)


def interpreter_overflow_message(value):
    try:
        value.to_bytes(8, "little", signed=True)
    except OverflowError as e:
        return str(e)
    raise AssertionError(f"{value} fits 64 bits")


@pytest.mark.parametrize(
    "value, error, message",
    [
        (2 ** 31, OverflowError, "out of range integral type conversion attempted"),
        (-2 ** 31 - 1, OverflowError, "out of range integral type conversion attempted"),
        (2 ** 63 - 1, OverflowError, "out of range integral type conversion attempted"),
        (-2 ** 63, OverflowError, "out of range integral type conversion attempted"),
        (Index(2 ** 40), OverflowError, "out of range integral type conversion attempted"),
        (2 ** 63, OverflowError, interpreter_overflow_message(2 ** 63)),
        (2 ** 70, OverflowError, interpreter_overflow_message(2 ** 70)),
        (-2 ** 70, OverflowError, interpreter_overflow_message(-2 ** 70)),
        (1.5, TypeError,
         "argument 'streaming_unique_id': 'float' object cannot be interpreted as an integer"),
        ("7", TypeError,
         "argument 'streaming_unique_id': 'str' object cannot be interpreted as an integer"),
        (BadIndex(), ValueError, "no index here"),
    ],
    ids=repr,
)
def test_streaming_unique_id_rejects_and_keeps_the_old_value(book, value, error, message):
    book.streaming_unique_id = 7
    with pytest.raises(error) as excinfo:
        book.streaming_unique_id = value
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message
    assert book.streaming_unique_id == 7


def test_streaming_unique_id_cannot_be_deleted(book):
    book.streaming_unique_id = 9
    with pytest.raises(AttributeError, match=r"^can't delete attribute$"):
        del book.streaming_unique_id
    assert book.streaming_unique_id == 9


def test_streaming_unique_id_belongs_to_one_snapshot(tmp_path):
    b1, b2 = replay(tmp_path, [runner_changes(1000, {"id": 1}), runner_changes(2000, {"id": 1})])
    b1.streaming_unique_id = 4
    assert b2.streaming_unique_id is None


MARKET_BOOK_ATTRS = [
    "market_id", "publish_time", "publish_time_epoch", "status", "bet_delay", "bsp_reconciled",
    "complete", "cross_matching", "inplay", "number_of_active_runners", "number_of_runners",
    "number_of_winners", "runners_voidable", "total_matched", "version", "last_match_time",
    "market_definition", "runners", "streaming_snap", "streaming_update", "suspend_reason",
    "total_available", "extra",
]


@pytest.mark.parametrize("attr", MARKET_BOOK_ATTRS)
def test_other_market_book_attributes_are_not_writable(book, attr):
    before = book.to_dict()
    with pytest.raises(AttributeError):
        setattr(book, attr, 1)
    with pytest.raises(AttributeError):
        delattr(book, attr)
    assert book.to_dict() == before


def test_market_book_property_docstrings():
    cls = palisar.MarketBook
    assert cls.publish_time_epoch.__doc__ == (
        "publish_time in epoch milliseconds (int, for strovane compatibility)")
    assert cls.streaming_unique_id.__doc__ == (
        "Streaming unique ID (set by stream for strovane compatibility)")


# ---- MarketDefinition ---------------------------------------------------------------


@pytest.fixture
def definition(tmp_path):
    (b,) = replay(tmp_path, [message(1000, change(
        marketDefinition=full_definition(),
        rc=[{"id": 44331354, "status": "ACTIVE"}, {"id": 99}]))])
    return b.market_definition


def test_market_definition_values(definition):
    d = definition
    assert (d.event_id, d.event_type_id, d.event_name, d.market_type, d.country_code) == (
        "31573045", "4339", "Romf 19th Apr", "PLACE", "GB")
    assert (d.venue, d.race_type, d.name, d.timezone, d.betting_type) == (
        "Romford", "Flat", "A4 480m", "Europe/London", "ODDS")
    assert d.regulators == ["MR_INT", "GB_GC"]
    assert d.market_time == datetime.datetime(2024, 1, 2, 3, 4, 5, 678000)
    assert d.suspend_time == datetime.datetime(2024, 1, 2, 3, 4, 5)
    assert d.open_date == datetime.datetime(2024, 1, 1, 12)
    assert d.settled_time == datetime.datetime(2024, 1, 2, 4)
    assert (d.bsp_market, d.persistence_enabled, d.turn_in_play_enabled,
            d.discount_allowed) == (True, False, True, True)
    assert d.each_way_divisor == 4.0 and type(d.each_way_divisor) is float
    assert d.market_base_rate == 5.0 and type(d.market_base_rate) is float
    assert (d.bet_delay, d.number_of_winners, d.version) == (5, 2, 4497303871)
    # Counted from the runner caches, not read from the definition: the two
    # definition runners (one REMOVED) and runner 99 from "rc".
    assert d.number_of_active_runners == 2
    assert (d.bsp_reconciled, d.complete, d.cross_matching, d.in_play,
            d.runners_voidable) == (True, False, False, True, True)
    assert d.status == "SUSPENDED"


def test_market_definition_runner_values(definition):
    first, second = definition.runners
    assert (first.selection_id, first.sort_priority, first.status, first.handicap) == (
        44331354, 1, "ACTIVE", 0.0)
    assert (first.adjustment_factor, first.removal_date, first.name, first.bsp) == (
        16.7, None, "1. Swift", 3.25)
    assert (second.selection_id, second.sort_priority, second.status, second.handicap) == (
        36276560, 2, "REMOVED", -1.5)
    assert (second.adjustment_factor, second.removal_date, second.name, second.bsp) == (
        4.2, "2024-01-02T02:00:00.000Z", None, None)


def test_market_definition_identity_of_attributes(definition):
    assert definition.runners is definition.runners
    regulators = definition.regulators
    assert regulators == definition.regulators and regulators is not definition.regulators
    regulators.append("X")
    assert definition.regulators == ["MR_INT", "GB_GC"]
    assert definition.market_time is definition.market_time
    assert all(type(r) is palisar.MarketDefinitionRunner for r in definition.runners)


@pytest.mark.parametrize(
    "attr",
    ["bet_delay_models", "key_line_definitions", "line_interval", "line_max_unit",
     "line_min_unit", "price_ladder_definition", "suspend_reason"],
)
def test_market_definition_constants_are_none(tmp_path, attr):
    (b,) = replay(tmp_path, [message(1000, change(marketDefinition=full_definition(
        lineInterval=0.5, lineMaxUnit=10, lineMinUnit=1, suspendReason="x",
        priceLadderDefinition={"type": "CLASSIC"}, keyLineDefinition={"kl": []})))])
    assert getattr(b.market_definition, attr) is None


def test_market_definition_defaults(tmp_path):
    (b,) = replay(tmp_path, [message(1000, change(marketDefinition={"status": "INACTIVE"}))])
    d = b.market_definition
    assert d.status == "INACTIVE"
    for attr in ("event_id", "event_type_id", "event_name", "market_type", "country_code",
                 "venue", "race_type", "name", "timezone", "betting_type", "market_time",
                 "open_date", "suspend_time", "settled_time", "each_way_divisor"):
        assert getattr(d, attr) is None, attr
    assert (d.complete, d.cross_matching, d.persistence_enabled, d.number_of_winners,
            d.bet_delay, d.market_base_rate, d.version) == (True, True, True, 1, 0, 0.0, 0)
    assert (d.bsp_market, d.turn_in_play_enabled, d.discount_allowed, d.in_play) == (
        False, False, False, False)
    assert d.regulators == [] and d.runners == []


def test_definitions_merge_key_by_key(tmp_path):
    books = replay(tmp_path, [
        message(1000, change(marketDefinition=full_definition())),
        message(2000, change(marketDefinition={
            "venue": None, "eventId": 123, "betDelay": 5.0, "marketBaseRate": "7",
            "regulators": "A", "numberOfWinners": -1, "eachWayDivisor": 2.5,
            "name": "New name", "version": 3.0})),
        message(3000, change(marketDefinition={"regulators": ["A", 1, None, "B"],
                                               "runners": []})),
    ])
    d2, d3 = books[1].market_definition, books[2].market_definition
    assert (d2.venue, d2.event_id, d2.bet_delay, d2.market_base_rate) == (
        "Romford", "31573045", 5, 5.0)
    assert d2.regulators == ["MR_INT", "GB_GC"]
    assert (d2.number_of_winners, d2.each_way_divisor, d2.name, d2.version) == (
        -1, 2.5, "New name", 4497303871)
    assert len(d2.runners) == 2
    assert d3.regulators == ["A", "B"]
    assert d3.runners == []
    # The definition runners were replaced; the runner caches stay.
    assert [r.selection_id for r in books[2].runners] == [36276560, 44331354]


@pytest.mark.parametrize(
    "element, expected",
    [
        (7, (0, 0, "ACTIVE", 0.0, None, None, None, None)),
        ({"id": 5.0, "hc": "x"}, (0, 0, "ACTIVE", 0.0, None, None, None, None)),
        ({"id": 1, "status": None, "sortPriority": 2.5}, (1, 0, "ACTIVE", 0.0, None, None, None,
                                                          None)),
        ({"id": 1, "bsp": "NaN", "sortPriority": 2 ** 32 + 3, "hc": 2},
         (1, 3, "ACTIVE", 2.0, None, None, None, None)),
        ({"id": 2 ** 63, "adjustmentFactor": 10, "name": "", "removalDate": 5},
         (0, 0, "ACTIVE", 0.0, 10.0, None, "", None)),
    ],
    ids=repr,
)
def test_definition_runner_fields_from_odd_elements(tmp_path, element, expected):
    (b,) = replay(tmp_path, [message(1000, change(marketDefinition={"runners": [element]}))])
    (r,) = b.market_definition.runners
    assert (r.selection_id, r.sort_priority, r.status, r.handicap, r.adjustment_factor,
            r.removal_date, r.name, r.bsp) == expected


def test_definition_runners_keep_array_order_and_duplicates(tmp_path):
    (b,) = replay(tmp_path, [message(1000, change(marketDefinition={"runners": [
        {"id": 9, "sortPriority": 1}, {"id": 3, "sortPriority": 2}, {"id": 9, "sortPriority": 3},
        {"id": 1, "sortPriority": 0}]}))])
    assert [(r.selection_id, r.sort_priority) for r in b.market_definition.runners] == [
        (9, 1), (3, 2), (9, 3), (1, 0)]
    assert [r.selection_id for r in b.runners] == [1, 3, 9]
    assert b.number_of_active_runners == 3


@pytest.mark.parametrize("cls", [palisar.MarketDefinition, palisar.MarketDefinitionRunner])
def test_definition_classes_are_read_only(definition, cls):
    obj = definition if cls is palisar.MarketDefinition else definition.runners[0]
    attrs = [name for name, value in vars(cls).items() if type(value).__name__ ==
             "getset_descriptor"]
    assert "status" in attrs
    for attr in attrs:
        with pytest.raises(AttributeError):
            setattr(obj, attr, None)
