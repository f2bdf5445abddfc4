"""Hostile input: corrupt and truncated gzip, invalid UTF-8 at every kind of
position, every key of the stream with every JSON type, deep nesting, huge
numbers, a long line, huge ladders and markets. Each file either loads and
replays by the usual rules or raises ValueError; nothing crashes, hangs or
prints, and memory and time grow in proportion to the input. The large cases
run in child interpreters; tests/hostile_big.py runs them at full size."""

import gzip
import json
import zlib

import pytest

import palisar
from child import SANITIZED, run_child
from hostile_big import (measure, write_digits, write_gzipped_long_line, write_levels,
                         write_long_line, write_nested, write_runners)

UTF8_TEXT = "stream did not contain valid UTF-8"
KEPT = '{"pt":1,"mc":[{"id":"1.23","rc":[{"id":1,"ltp":2.5}]}]}'

# ---- invalid UTF-8 -----------------------------------------------------------------

BAD_SEQUENCES = {
    "continuation-as-first-byte": b"\x80",
    "lead-byte-C0": b"\xc0\x80",
    "lead-byte-F5": b"\xf5\x80\x80\x80",
    "lead-byte-FF": b"\xff",
    "missing-continuation": b"\xe2\x28\xa1",
    "overlong-2": b"\xc1\xbf",
    "overlong-3": b"\xe0\x80\xaf",
    "overlong-4": b"\xf0\x80\x80\xaf",
    "surrogate-D800": b"\xed\xa0\x80",
    "surrogate-DFFF": b"\xed\xbf\xbf",
    "above-10FFFF": b"\xf4\x90\x80\x80",
    "truncated-2-of-3": b"\xe2\x82",
    "truncated-3-of-4": b"\xf0\x9f\x98",
}

# Where the sequence sits; each makes a whole file around it.
POSITIONS = {
    "string-of-a-kept-message": lambda s: b'{"pt":1,"mc":[{"id":"1.' + s + b'"}]}\n',
    "key-of-a-kept-message": lambda s: b'{"pt":1,"mc":[{"id":"1.2","' + s + b'":1}]}\n',
    "dropped-status-message": lambda s: b'{"op":"status","x":"' + s + b'"}\n',
    "line-that-is-not-an-object": lambda s: b'["' + s + b'"]\n',
    "after-a-valid-object": lambda s: KEPT.encode() + s + b"\n",
    "start-of-line": lambda s: s + KEPT.encode() + b"\n",
    "among-blank-characters": lambda s: b" \t" + s + b" \n",
    "end-of-line": lambda s: KEPT.encode() + b"\n" + b'{"pt":2,"mc":["' + s + b"\n",
    "end-of-file": lambda s: KEPT.encode() + b"\n" + s,
    "second-line-of-gzip": lambda s: gzip.compress(KEPT.encode() + b"\n" + s + b"\n", mtime=0),
}


@pytest.mark.parametrize("position", POSITIONS)
@pytest.mark.parametrize("sequence", BAD_SEQUENCES)
def test_invalid_utf8_everywhere(tmp_path, sequence, position):
    data = POSITIONS[position](BAD_SEQUENCES[sequence])
    path = tmp_path / ("p.json.gz" if position.endswith("gzip") else "p.json")
    path.write_bytes(data)
    with pytest.raises(ValueError) as exc:
        palisar.iter_prices_file(str(path))
    assert str(exc.value) == UTF8_TEXT


# ---- every cut and every flipped byte of a gzip file -------------------------------

GZIP_CHILD = r"""
import gzip, zlib
lines = b"".join(b'{"pt":%d,"mc":[{"id":"1.23","rc":[{"id":%d,"atb":[[%d.5,%d]]}]}]}\n' % (i + 1, i % 3, i, i + 1)
                 for i in range(30))
# Header with a name and a header checksum, then a second member.
head = b"\x1f\x8b\x08\x0a\0\0\0\0\0\xff" + b"prices.json\0"
head += (zlib.crc32(head) & 0xFFFF).to_bytes(2, "little")
deflater = zlib.compressobj(6, zlib.DEFLATED, -15)
body = deflater.compress(lines[:900]) + deflater.flush()
member = head + body + zlib.crc32(lines[:900]).to_bytes(4, "little") + (900).to_bytes(4, "little")
data = member + gzip.compress(lines[900:], mtime=0)
path = sys.argv[2]
outcomes = {"cut_loaded": 0, "cut_failed": 0, "flip_loaded": 0, "flip_failed": 0, "messages": []}
def attempt(blob):
    with open(path, "wb") as f:
        f.write(blob)
    try:
        it = palisar.iter_prices_file(path)
    except ValueError as e:
        outcomes["messages"].append(str(e))
        return False
    for book in it:
        book.to_dict()
    return True
for cut in range(len(data)):
    outcomes["cut_loaded" if attempt(data[:cut]) else "cut_failed"] += 1
for at in range(len(data)):
    flipped = bytearray(data)
    flipped[at] ^= 0x55
    outcomes["flip_loaded" if attempt(bytes(flipped)) else "flip_failed"] += 1
outcomes["messages"] = sorted(set(outcomes["messages"]))
outcomes["size"] = len(data)
done(**outcomes)
"""


def test_every_cut_and_every_flipped_byte_of_a_gzip_file(tmp_path):
    child = run_child(GZIP_CHILD, tmp_path / "p.json.gz", timeout=300)
    child.assert_quiet_success()
    # A file cut anywhere ends too early: in a header, in deflate data, in a
    # trailer, or (cut at the end of the first member) in the middle of a line.
    assert child["cut_loaded"] == 0
    assert child["cut_failed"] == child["size"]
    # The first header carries a header checksum, so every flipped byte in it
    # is detected; in the second header the modification time, extra flags and
    # OS bytes are free (6 bytes). Anything else is detected: by the magic,
    # flags and method checks, the deflate decoder, the data's checksum and
    # length, or the line rules when inflated garbage comes first.
    assert child["flip_loaded"] == 6
    assert child["flip_failed"] == child["size"] - 6
    for text in child["messages"]:
        assert text in {
            "invalid gzip header", "unexpected end of file", "corrupt deflate stream",
            "corrupt gzip stream does not have a matching checksum", "corrupt gzip header checksum",
            "invalid gzip header flags", "unsupported gzip compression method", UTF8_TEXT,
        } or " at line 1 column " in text, text


# ---- every key with every JSON type ------------------------------------------------

TYPES = {"null": None, "false": False, "true": True, "int": 7, "float": 5.0, "negative": -3,
         "string": "x", "array": [1], "object": {"a": 1}}

# Keys read at each level, with the JSON types that are taken (every other type
# leaves the value as it was). "number" means int or float.
MARKET_KEYS = {
    "id": {"string"}, "img": {"true"}, "status": {"string"}, "betDelay": {"int", "negative"},
    "bspReconciled": {"false", "true"}, "complete": {"false", "true"},
    "crossMatching": {"false", "true"}, "inPlay": {"false", "true"},
    "runnersVoidable": {"false", "true"}, "tv": {"number"}, "version": {"int", "negative"},
    "lastMatchTime": {"int", "negative"}, "rc": {"array"}, "marketDefinition": {"object"},
}
RUNNER_KEYS = {
    "id": {"int", "negative"}, "hc": {"number"}, "status": {"string"},
    "adjustmentFactor": {"number"}, "ltp": {"number"}, "tv": {"number"},
    "removalDate": {"string"}, "atb": {"array"}, "atl": {"array"}, "trd": {"array"},
    "spb": {"array"}, "spl": {"array"},
    # A projection sent with any other type makes the value absent.
    "spn": {"number", "string", "ANY"}, "spf": {"number", "string", "ANY"},
}
TEXT, FLAG, INT, NUMBER = {"string"}, {"false", "true"}, {"int", "negative"}, {"number"}
DEFINITION_KEYS = {
    "status": TEXT, "betDelay": INT, "bspReconciled": FLAG, "complete": FLAG,
    "crossMatching": FLAG, "inPlay": FLAG, "runnersVoidable": FLAG, "numberOfWinners": INT,
    "eventId": TEXT, "eventTypeId": TEXT, "eventName": TEXT, "marketType": TEXT,
    "marketTime": TEXT, "countryCode": TEXT, "venue": TEXT, "raceType": TEXT, "bspMarket": FLAG,
    "persistenceEnabled": FLAG, "eachWayDivisor": NUMBER, "timezone": TEXT,
    "turnInPlayEnabled": FLAG, "bettingType": TEXT, "name": TEXT, "discountAllowed": FLAG,
    "marketBaseRate": NUMBER, "regulators": {"array"}, "openDate": TEXT, "suspendTime": TEXT,
    "settledTime": TEXT, "version": INT, "runners": {"array"},
}
DEFINITION_RUNNER_KEYS = {
    "id": INT, "sortPriority": INT, "status": TEXT, "hc": NUMBER, "adjustmentFactor": NUMBER,
    "removalDate": TEXT, "name": TEXT, "bsp": {"number", "string"},
}

BASE_DEFINITION = {
    "status": "OPEN", "betDelay": 1, "bspReconciled": False, "complete": True,
    "crossMatching": True, "inPlay": False, "runnersVoidable": False, "numberOfWinners": 2,
    "eventId": "1", "eventTypeId": "7", "eventName": "E", "marketType": "WIN",
    "marketTime": "2024-05-01T13:30:00.000Z", "countryCode": "GB", "venue": "V",
    "raceType": "Flat", "bspMarket": True, "persistenceEnabled": True, "eachWayDivisor": 4,
    "timezone": "Europe/London", "turnInPlayEnabled": True, "bettingType": "ODDS", "name": "N",
    "discountAllowed": True, "marketBaseRate": 5, "regulators": ["R"],
    "openDate": "2024-05-01T12:00:00.000Z", "suspendTime": "2024-05-01T13:30:00Z",
    "settledTime": "2024-05-01T14:00:00.000Z", "version": 9,
    "runners": [{"id": 1, "sortPriority": 1, "status": "ACTIVE", "hc": 0.5,
                 "adjustmentFactor": 10.0, "name": "One", "bsp": 3.0}],
}
BASE_RUNNER = {"id": 1, "hc": 0.5, "status": "ACTIVE", "adjustmentFactor": 10.0, "ltp": 2.0,
               "tv": 5.0, "removalDate": "2024-05-01T12:00:00.000Z", "atb": [[2.0, 1.0]],
               "atl": [[3.0, 1.0]], "trd": [[2.0, 4.0]], "spb": [[1.5, 2.0]],
               "spl": [[9.0, 2.0]], "spn": 2.2, "spf": 2.4}


def taken(accepted, type_name):
    if "ANY" in accepted:
        return True
    if "number" in accepted and type_name in {"int", "float", "negative"}:
        return True
    return type_name in accepted


def second_change(level, key, value):
    """The market change of the second message: the key under test set to
    `value` (or left out when value is the marker `...`), everything else the
    same as in the first message."""
    runner = dict(BASE_RUNNER, atb=[[2.0, 3.0]])
    definition_runner = dict(BASE_DEFINITION["runners"][0])
    definition = dict(BASE_DEFINITION, runners=[definition_runner])
    item = {"id": "1.23", "tv": 11.0, "rc": [runner], "marketDefinition": definition}
    target = {"market": item, "runner": runner, "definition": definition,
              "definition-runner": definition_runner}[level]
    target.pop(key, None)
    if value is not ...:
        target[key] = value
    return item


def exported(tmp_path, level, key, value):
    first = {"id": "1.23", "tv": 10.0, "marketDefinition": BASE_DEFINITION, "rc": [BASE_RUNNER]}
    lines = [{"op": "mcm", "pt": 1, "mc": [first]},
             {"op": "mcm", "pt": 2, "mc": [second_change(level, key, value)]}]
    path = tmp_path / "types.json"
    path.write_text("".join(json.dumps(m) + "\n" for m in lines))
    books = list(palisar.iter_prices_file(str(path)))
    assert len(books) == 2
    return books[1].to_dict()


KEY_CASES = [(level, key, accepted) for level, keys in (
    ("market", MARKET_KEYS), ("runner", RUNNER_KEYS), ("definition", DEFINITION_KEYS),
    ("definition-runner", DEFINITION_RUNNER_KEYS)) for key, accepted in keys.items()]


@pytest.mark.parametrize("level, key, accepted", KEY_CASES,
                         ids=[f"{level}-{key}" for level, key, _ in KEY_CASES])
def test_a_key_of_another_type_leaves_its_value_unchanged(tmp_path, level, key, accepted):
    without = exported(tmp_path, level, key, ...)
    for type_name, value in TYPES.items():
        if not taken(accepted, type_name):
            assert exported(tmp_path, level, key, value) == without, (level, key, type_name)


@pytest.mark.parametrize("key", ["spn", "spf"])
@pytest.mark.parametrize("type_name", ["null", "false", "array", "object"])
def test_a_projection_of_another_type_is_absent(tmp_path, key, type_name):
    got = exported(tmp_path, "runner", key, TYPES[type_name])
    field = {"spn": "nearPrice", "spf": "farPrice"}[key]
    assert got["runners"][0]["sp"][field] is None


# ---- large and deep input, in child interpreters ------------------------------------

def run_case(tmp_path, writer, size, suffix=".json"):
    path = tmp_path / ("case" + suffix)
    writer(str(path), size)
    figures, out, err, code = measure(path, timeout=600)
    assert code == 0 and out == "" and err == "", (code, out, err[-2000:])
    return figures


@pytest.mark.parametrize("kind, expected", [
    ("integer", "number out of range at line 1 column 432"),
    ("fraction", None),
    ("mantissa", None),
])
def test_numbers_of_400_digits(tmp_path, kind, expected):
    path = tmp_path / "digits.json"
    write_digits(str(path), kind)
    if expected:
        with pytest.raises(ValueError) as exc:
            palisar.iter_prices_file(str(path))
        assert str(exc.value) == expected
        return
    book = next(palisar.iter_prices_file(str(path)))
    value = {"fraction": 0.0, "mantissa": 2.0}[kind]
    assert book.total_matched == value
    # A size of 0.0 (the fraction rounds to it) removes the level.
    assert [(p.price, p.size) for p in book.runners[0].ex.available_to_back] == (
        [] if value == 0.0 else [(value, value)])


def test_nesting_10000_deep(tmp_path):
    f = run_case(tmp_path, write_nested, 10_000)
    assert f["error"] == "recursion limit exceeded at line 1 column 141"
    if not SANITIZED:
        assert f["peak_above_start"] < 16 * 2 ** 20


@pytest.mark.parametrize("suffix", [".json", ".json.gz"])
def test_a_20_mb_line(tmp_path, suffix):
    size = 20_000_000
    writer = write_long_line if suffix == ".json" else write_gzipped_long_line
    f = run_case(tmp_path, writer, size, suffix)
    assert f["snapshots"] == 1 and f["name_length"] == size
    if not SANITIZED:
        # Reading buffer, parser, value tree and the Python string: a few times the line.
        assert f["peak_above_start"] < 8 * size + 32 * 2 ** 20
        assert f["load_s"] + f["replay_s"] < 5


def linear(writer, tmp_path, small, large, per_unit_bytes):
    """Runs sizes `small` and `large` (4x); checks memory per unit and that the
    time grew at most about linearly (a quadratic step would be 16x)."""
    a = run_case(tmp_path, writer, small)
    b = run_case(tmp_path, writer, large)
    if not SANITIZED:  # redzones and the quarantine add to memory, and time is slower
        for f, n in ((a, small), (b, large)):
            assert f["peak_above_start"] < per_unit_bytes * n + 32 * 2 ** 20, (n, f)
        ta, tb = a["load_s"] + a["replay_s"], b["load_s"] + b["replay_s"]
        assert tb < 8 * ta + 0.5, (ta, tb)
    return a, b


def test_hundreds_of_thousands_of_levels_in_one_ladder(tmp_path):
    a, b = linear(write_levels, tmp_path, 50_000, 200_000, per_unit_bytes=600)
    # The second message removes the lowest price.
    assert (a["levels"], b["levels"]) == (49_999, 199_999)


def test_100000_runners_in_one_market(tmp_path):
    a, b = linear(write_runners, tmp_path, 25_000, 100_000, per_unit_bytes=2500)
    assert (a["runners"], b["runners"]) == (25_000, 100_000)
    assert b["dict_runners"] == 100_000 and b["snapshots"] == 2
