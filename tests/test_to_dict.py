"""MarketBook.to_dict(): the whole snapshot as plain data with the stream's
camel-case keys."""

import gc
import json
import math
import sys

import pytest

import palisar
from snapshot_helpers import MARKET_ID, change, full_definition, message, replay, runner_changes


def assert_layout(actual, expected, path="d"):
    """Equal values of the same types, and dict keys in the same order."""
    assert type(actual) is type(expected), (path, actual, expected)
    if isinstance(expected, dict):
        assert list(actual) == list(expected), path
        for key in expected:
            assert_layout(actual[key], expected[key], f"{path}[{key!r}]")
    elif isinstance(expected, list):
        assert len(actual) == len(expected), path
        for i, (a, e) in enumerate(zip(actual, expected)):
            assert_layout(a, e, f"{path}[{i}]")
    elif isinstance(expected, float) and math.isnan(expected):
        assert math.isnan(actual), path
    else:
        assert actual == expected, path
        if isinstance(expected, float):
            assert math.copysign(1.0, actual) == math.copysign(1.0, expected), path


def ps(price, size):
    return {"price": price, "size": size}


NO_SP = {"nearPrice": None, "farPrice": None, "actualSP": None, "backStakeTaken": [],
         "layLiabilityTaken": []}

SMALL_FILE = [
    runner_changes(
        1000,
        {"id": 2, "atb": [[2.0, 5], [2.5, 3]], "atl": [[3, 1]], "trd": [[2.4, 1], [2.2, 10]]},
        {"id": 1, "hc": -1.5, "ltp": 3, "tv": 12, "spn": "NaN", "spb": [[3.0, 4]],
         "spl": [[2.5, 1]]},
    ),
    message(2000, change(
        lastMatchTime=1999, tv=30.5, inPlay=True,
        marketDefinition={
            "status": "OPEN", "bspMarket": True, "marketTime": "2024-01-02T03:04:05Z",
            "eventName": "E", "regulators": ["R"], "numberOfWinners": 2, "version": 7,
            "runners": [
                {"id": 2, "sortPriority": 2, "status": "REMOVED", "adjustmentFactor": 50,
                 "removalDate": "2024-01-02T00:00:00Z", "bsp": 2.5, "hc": 0},
                {"id": 1, "hc": -1.5, "sortPriority": 1, "name": "One", "bsp": "NaN"},
            ],
        },
    )),
]

RUNNER_1_AT_1000 = {
    "selectionId": 1, "handicap": -1.5, "status": "ACTIVE", "adjustmentFactor": None,
    "lastPriceTraded": 3.0, "totalMatched": 12.0, "removalDate": None,
    "ex": {"availableToBack": [], "availableToLay": [], "tradedVolume": []},
    "sp": {"nearPrice": "NaN", "farPrice": None, "actualSP": None,
           "backStakeTaken": [ps(2.5, 1.0)], "layLiabilityTaken": [ps(3.0, 4.0)]},
}

RUNNER_2_AT_1000 = {
    "selectionId": 2, "handicap": 0.0, "status": "ACTIVE", "adjustmentFactor": None,
    "lastPriceTraded": None, "totalMatched": 0.0, "removalDate": None,
    "ex": {"availableToBack": [ps(2.5, 3.0), ps(2.0, 5.0)], "availableToLay": [ps(3.0, 1.0)],
           "tradedVolume": [ps(2.2, 10.0), ps(2.4, 1.0)]},
    "sp": NO_SP,
}

BOOK_AT_1000 = {
    "marketId": MARKET_ID, "status": "OPEN", "betDelay": 0, "bspReconciled": False,
    "complete": True, "crossMatching": True, "inplay": False, "numberOfActiveRunners": 2,
    "numberOfRunners": 2, "numberOfWinners": 1, "runnersVoidable": False, "totalMatched": 0.0,
    "version": 0, "lastMatchTime": None, "publishTime": 1000,
    "runners": [RUNNER_1_AT_1000, RUNNER_2_AT_1000],
}

BOOK_AT_2000 = {
    **BOOK_AT_1000,
    "inplay": True, "numberOfActiveRunners": 1, "numberOfWinners": 2, "totalMatched": 30.5,
    "version": 7, "lastMatchTime": 1999, "publishTime": 2000,
    "runners": [
        {**RUNNER_1_AT_1000, "sp": {**RUNNER_1_AT_1000["sp"], "actualSP": "NaN"}},
        {**RUNNER_2_AT_1000, "status": "REMOVED", "adjustmentFactor": 50.0,
         "removalDate": "2024-01-02T00:00:00Z", "sp": {**NO_SP, "actualSP": 2.5}},
    ],
    "marketDefinition": {
        "betDelay": 0, "bettingType": None, "bspMarket": True, "bspReconciled": False,
        "complete": True, "countryCode": None, "crossMatching": True, "discountAllowed": False,
        "eventId": None, "eventName": "E", "eventTypeId": None, "inPlay": True,
        "marketBaseRate": 0.0, "marketTime": "2024-01-02T03:04:05Z", "marketType": None,
        "name": None, "numberOfActiveRunners": 1, "numberOfWinners": 2, "openDate": None,
        "persistenceEnabled": True, "regulators": ["R"],
        "runners": [
            {"id": 2, "sortPriority": 2, "status": "REMOVED", "adjustmentFactor": 50.0,
             "removalDate": "2024-01-02T00:00:00Z", "bsp": 2.5},
            {"id": 1, "sortPriority": 1, "status": "ACTIVE", "name": "One", "hc": -1.5},
        ],
        "runnersVoidable": False, "status": "OPEN", "suspendTime": None, "timezone": None,
        "turnInPlayEnabled": False, "venue": None, "version": 7,
    },
}


@pytest.fixture
def small_books(tmp_path):
    return replay(tmp_path, SMALL_FILE)


def test_layout_before_any_definition(small_books):
    d = small_books[0].to_dict()
    assert_layout(d, BOOK_AT_1000)
    assert len(d) == 16 and "marketDefinition" not in d


def test_layout_with_a_definition(small_books):
    d = small_books[1].to_dict()
    assert_layout(d, BOOK_AT_2000)
    assert list(d)[-1] == "marketDefinition"
    definition = d["marketDefinition"]
    assert list(definition) == sorted(definition) and len(definition) == 29
    # The property shows the parsed time; the export keeps the text.
    assert small_books[1].market_definition.market_time.isoformat() == "2024-01-02T03:04:05"


def test_layout_of_a_full_definition(tmp_path):
    (book,) = replay(tmp_path, [message(1000, change(marketDefinition=full_definition()))])
    definition = book.to_dict()["marketDefinition"]
    assert list(definition) == sorted(definition) and len(definition) == 29
    assert_layout(definition, {
        "betDelay": 5, "bettingType": "ODDS", "bspMarket": True, "bspReconciled": True,
        "complete": False, "countryCode": "GB", "crossMatching": False, "discountAllowed": True,
        "eventId": "31573045", "eventName": "Romf 19th Apr", "eventTypeId": "4339",
        "inPlay": True, "marketBaseRate": 5.0, "marketTime": "2024-01-02T03:04:05.678Z",
        "marketType": "PLACE", "name": "A4 480m", "numberOfActiveRunners": 1,
        "numberOfWinners": 2, "openDate": "2024-01-01T12:00:00.000Z",
        "persistenceEnabled": False, "regulators": ["MR_INT", "GB_GC"],
        "runners": [
            {"id": 44331354, "sortPriority": 1, "status": "ACTIVE", "adjustmentFactor": 16.7,
             "name": "1. Swift", "bsp": 3.25},
            {"id": 36276560, "sortPriority": 2, "status": "REMOVED", "adjustmentFactor": 4.2,
             "hc": -1.5, "removalDate": "2024-01-02T02:00:00.000Z"},
        ],
        "runnersVoidable": True, "status": "SUSPENDED", "suspendTime": "2024-01-02T03:04:05Z",
        "timezone": "Europe/London", "turnInPlayEnabled": True, "venue": "Romford",
        "version": 4497303871,
    })


@pytest.mark.parametrize(
    "element, expected",
    [
        ({"id": 3}, {"id": 3, "sortPriority": 0, "status": "ACTIVE"}),
        ({"id": 3, "hc": 0}, {"id": 3, "sortPriority": 0, "status": "ACTIVE"}),
        ({"id": 3, "hc": -0.0}, {"id": 3, "sortPriority": 0, "status": "ACTIVE"}),
        ({"id": 3, "hc": 0.001}, {"id": 3, "sortPriority": 0, "status": "ACTIVE", "hc": 0.001}),
        ({"bsp": 1.5, "removalDate": "r", "hc": 2, "name": "n", "adjustmentFactor": 1,
          "sortPriority": 4, "status": "LOSER", "id": 3},
         {"id": 3, "sortPriority": 4, "status": "LOSER", "adjustmentFactor": 1.0, "name": "n",
          "hc": 2.0, "removalDate": "r", "bsp": 1.5}),
        ({"id": 3, "bsp": "1.5", "name": None, "removalDate": 1},
         {"id": 3, "sortPriority": 0, "status": "ACTIVE"}),
        ("junk", {"id": 0, "sortPriority": 0, "status": "ACTIVE"}),
    ],
    ids=repr,
)
def test_definition_runner_dicts_leave_out_absent_keys(tmp_path, element, expected):
    (book,) = replay(tmp_path, [message(1000, change(marketDefinition={"runners": [element]}))])
    assert_layout(book.to_dict()["marketDefinition"]["runners"], [expected])


def test_a_null_definition_still_exports_a_definition(tmp_path):
    (book,) = replay(tmp_path, [message(1000, change(marketDefinition=None))])
    d = book.to_dict()
    assert d["marketDefinition"]["status"] == "OPEN"
    assert d["marketDefinition"]["runners"] == []
    assert d["runners"] == []


def test_text_starting_prices_are_exported_as_text(tmp_path):
    (book,) = replay(tmp_path, [message(1000, change(
        marketDefinition={"runners": [{"id": 1, "bsp": "Infinity"}]},
        rc=[{"id": 1, "spn": "NaN", "spf": "-Infinity"}]))])
    sp = book.to_dict()["runners"][0]["sp"]
    assert (sp["nearPrice"], sp["farPrice"], sp["actualSP"]) == ("NaN", "-Infinity", "Infinity")
    assert "bsp" not in book.to_dict()["marketDefinition"]["runners"][0]


def test_every_call_builds_a_new_structure(small_books):
    book = small_books[1]
    d1, d2 = book.to_dict(), book.to_dict()
    assert d1 == d2
    assert d1 is not d2
    assert d1["runners"] is not d2["runners"]
    assert d1["runners"][1]["ex"]["availableToBack"][0] is not (
        d2["runners"][1]["ex"]["availableToBack"][0])
    assert d1["marketDefinition"]["regulators"] is not d2["marketDefinition"]["regulators"]
    d1["runners"].clear()
    d1["marketDefinition"]["regulators"].append("X")
    assert book.to_dict() == d2


def test_runner_status_is_the_runners_own_string(small_books):
    book = small_books[0]
    assert book.to_dict()["runners"][0]["status"] is book.runners[0].status


def test_the_export_follows_the_lists_as_the_caller_left_them(small_books):
    book = small_books[1]
    book.runners.reverse()
    back = book.runners[0].ex.available_to_back
    back.reverse()
    book.market_definition.runners.pop()
    d = book.to_dict()
    assert [r["selectionId"] for r in d["runners"]] == [2, 1]
    assert d["runners"][0]["ex"]["availableToBack"] == [ps(2.0, 5.0), ps(2.5, 3.0)]
    assert [r["id"] for r in d["marketDefinition"]["runners"]] == [2]
    # The counts are the snapshot's own and do not follow the list.
    assert d["numberOfRunners"] == 2


def sample(book, where):
    if where == "runners":
        return book.runners
    if where == "definition runners":
        return book.market_definition.runners
    return getattr(book.runners[1].ex, where)


HELD_LISTS = [
    ("runners", "Runner"),
    ("available_to_back", "PriceSize"),
    ("available_to_lay", "PriceSize"),
    ("traded_volume", "PriceSize"),
    ("definition runners", "MarketDefinitionRunner"),
]
JUNK = ["int", "str", "NoneType", "PriceSize", "Runner", "MarketDefinitionRunner"]


@pytest.mark.parametrize("where, target, junk", [
    (where, target, junk) for where, target in HELD_LISTS for junk in JUNK if junk != target])
def test_junk_in_a_held_list_raises_type_error(small_books, where, target, junk):
    book = small_books[1]
    before = book.to_dict()
    objects = {
        "int": 1, "str": "x", "NoneType": None,
        "PriceSize": book.runners[1].ex.available_to_back[0],
        "Runner": book.runners[0],
        "MarketDefinitionRunner": book.market_definition.runners[0],
    }
    held = sample(book, where)
    held.append(objects[junk])
    with pytest.raises(TypeError) as excinfo:
        book.to_dict()
    assert str(excinfo.value) == f"'{junk}' object cannot be converted to '{target}'"
    held.pop()
    assert book.to_dict() == before


def test_junk_in_a_shared_price_list_reaches_later_snapshots(tmp_path):
    b1, b2, b3 = replay(tmp_path, [
        runner_changes(1000, {"id": 1, "atb": [[2.0, 5]]}),
        runner_changes(2000, {"id": 1, "ltp": 2.0}),
        runner_changes(3000, {"id": 1, "atb": [[2.0, 6]]}),
    ])
    b1.runners[0].ex.available_to_back.append(7)
    for book in (b1, b2):
        with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PriceSize'$"):
            book.to_dict()
    assert b3.to_dict()["runners"][0]["ex"]["availableToBack"] == [ps(2.0, 6.0)]


def test_to_dict_signature_and_arguments(small_books):
    method = palisar.MarketBook.to_dict
    assert method.__doc__ == "Convert to a dict matching quorlane lightweight format (for testing)"
    assert method.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        small_books[0].to_dict(1)
    with pytest.raises(TypeError):
        small_books[0].to_dict(deep=True)


def test_exported_values_follow_the_snapshot(tmp_path):
    books = replay(tmp_path, [
        runner_changes(1700000000123, {"id": 1}),
        runner_changes(1700000000124, {"id": 1}, lastMatchTime=1700000000000, tv=12),
    ])
    for book in books:
        d = book.to_dict()
        assert d["publishTime"] == book.publish_time_epoch and type(d["publishTime"]) is int
        assert d["lastMatchTime"] == book.last_match_time
        assert d["totalMatched"] == book.total_matched and type(d["totalMatched"]) is float
    assert books[0].to_dict()["lastMatchTime"] is None
    assert books[1].to_dict()["lastMatchTime"] == 1700000000000


def test_export_survives_json(small_books):
    for book in small_books:
        d = book.to_dict()
        assert json.loads(json.dumps(d, allow_nan=False)) == d


def test_failing_exports_do_not_leak(small_books):
    book = small_books[1]
    book.market_definition.runners.append(1)
    book.runners[1].ex.traded_volume.append(None)

    def fail(times):
        for _ in range(times):
            with pytest.raises(TypeError):
                book.to_dict()

    fail(10)
    gc.collect()
    before = sys.getallocatedblocks()
    fail(500)
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


# ---- the README's table of the stream keys a replay reads ---------------------------

import datetime as _dt  # noqa: E402
import re  # noqa: E402
from pathlib import Path  # noqa: E402

README = Path(__file__).resolve().parent.parent / "README.md"
TIME_TEXT = "2024-01-02T03:04:05.000Z"
TIME = _dt.datetime(2024, 1, 2, 3, 4, 5)
LADDER = [[2.0, 5.0]]

# (level, key) -> (stream value, attribute value, to_dict value); a lone value stands
# for all three. Values differ from a new market's defaults.
SAMPLES = {
    ("message", "pt"): 1700000000123,
    ("market change", "id"): "1.42",
    **{(lvl, "status"): "SUSPENDED" for lvl in ("market change", "definition")},
    **{(lvl, "betDelay"): 3 for lvl in ("market change", "definition")},
    **{(lvl, "version"): 77 for lvl in ("market change", "definition")},
    **{(lvl, k): v for lvl in ("market change", "definition")
       for k, v in [("bspReconciled", True), ("complete", False), ("crossMatching", False),
                    ("inPlay", True), ("runnersVoidable", True)]},
    ("market change", "tv"): 12.5,
    ("market change", "lastMatchTime"): 1700000000999,
    ("definition", "numberOfWinners"): 3,
    **{("definition", k): "x-" + k for k in ("eventId", "eventTypeId", "eventName", "marketType",
                                              "countryCode", "venue", "timezone", "bettingType",
                                              "name", "raceType")},
    **{("definition", k): v for k, v in [("bspMarket", True), ("persistenceEnabled", False),
                                         ("turnInPlayEnabled", True), ("discountAllowed", True)]},
    ("definition", "eachWayDivisor"): 4.0,
    ("definition", "marketBaseRate"): 7.5,
    ("definition", "regulators"): ["MR_INT"],
    **{("definition", k): (TIME_TEXT, TIME, TIME_TEXT)
       for k in ("marketTime", "openDate", "suspendTime", "settledTime")},
    **{(lvl, k): v for lvl in ("definition runner", "runner change")
       for k, v in [("id", 42), ("hc", -1.5), ("status", "REMOVED"), ("adjustmentFactor", 12.5),
                    ("removalDate", TIME_TEXT)]},
    ("definition runner", "sortPriority"): 4,
    ("definition runner", "name"): "Dog",
    ("definition runner", "bsp"): 4.25,
    **{("runner change", k): v for k, v in [("ltp", 2.5), ("tv", 9.5), ("spn", 3.5), ("spf", 4.5)]},
    **{("runner change", k): LADDER for k in ("atb", "atl", "trd", "spb", "spl")},
}
NOT_READ_SAMPLES = {"message": "x", "market change": True, "definition": 5,
                    "runner change": [[0, 2.0, 5.0]]}


def readme_table(marker):
    text = README.read_text()
    block = text[text.index(f"<!-- stream-keys: {marker} -->"):].split("\n\n", 1)[0]
    rows = [[c.strip() for c in line.strip("|").split("|")] for line in block.splitlines()[3:]]
    return [[re.sub(r"\s*\(.*?\)", "", c) for c in row] for row in rows]


def names(cell):
    return [] if cell == "-" else re.findall(r"`([^`]+)`", cell)


def stream_with(level, key, value):
    item = {"id": "1.1"}
    if level == "market change":
        item[key] = value
    elif level == "definition":
        item["marketDefinition"] = {key: value}
    elif level == "definition runner":
        item["marketDefinition"] = {"runners": [{"id": 7, key: value}]}
    elif level == "runner change":
        item["rc"] = [{"id": 7, key: value}]
    msg = {"op": "mcm", "pt": 1000, "mc": [item]}
    if level == "message":
        msg[key] = value
    return msg


def plain(value):
    if isinstance(value, palisar.PriceSize):
        return [value.price, value.size]
    if isinstance(value, dict) and set(value) == {"price", "size"}:
        return [value["price"], value["size"]]
    return [plain(v) for v in value] if isinstance(value, list) else value


def attribute(book, path):
    cls, *names_ = path.split(".")
    obj = {"MarketBook": lambda: book, "Runner": lambda: book.runners[0],
           "MarketDefinition": lambda: book.market_definition,
           "MarketDefinitionRunner": lambda: book.market_definition.runners[0]}[cls]()
    for name in names_:
        obj = getattr(obj, name)
    return plain(obj)


def dict_value(d, path):
    for part in path.split("."):
        d = d[part[:-2]][0] if part.endswith("[]") else d[part]
    return plain(d)


def test_the_readme_lists_the_keys_a_replay_reads(tmp_path):
    rows = readme_table("read")
    assert {(level, names(key)[0]) for level, key, _, _ in rows} == set(SAMPLES)
    for level, key, attributes, dict_keys in rows:
        key = names(key)[0]
        sample = SAMPLES[(level, key)]
        stream, want_attr, want_dict = sample if isinstance(sample, tuple) else (sample,) * 3
        (book,) = replay(tmp_path, [stream_with(level, key, stream)])
        d = book.to_dict()
        for path in names(attributes):
            assert attribute(book, path) == want_attr, (level, key, path)
        for path in names(dict_keys):
            assert dict_value(d, path) == want_dict, (level, key, path)


def test_keys_the_readme_lists_as_not_read_change_nothing(tmp_path):
    rows = readme_table("not read")
    assert {level for level, _ in rows} == set(NOT_READ_SAMPLES)
    for level, keys in rows:
        for key in names(keys):
            value = NOT_READ_SAMPLES[level]
            (book,) = replay(tmp_path, [stream_with(level, key, value)])
            (without,) = replay(tmp_path, [stream_with(level, "unknownKey", value)])
            assert book.to_dict() == without.to_dict(), (level, key)
