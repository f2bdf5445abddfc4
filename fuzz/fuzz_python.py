"""Coverage-guided fuzzing of palisar's whole Python surface (atheris).

    python fuzz/fuzz_python.py [libFuzzer options] [CORPUS_DIR ...]

One input is a prices file: its first byte picks how it reaches
iter_prices_file (as a plain file; as the raw bytes of a file named .json.gz;
or gzip-compressed under a .gz name, which must give exactly what the plain
file gives even with every snapshot kept and read only at the end), the rest
is the content; an input that starts with "{" is content whole, read the
last way. Every snapshot is iterated; to_dict() is
called and every attribute of every object is read (and checked against the
dictionary). iter_prices_file may raise ValueError, and a step may raise
ValueError or OverflowError (a definition's time text, a publish time outside
the datetime range); anything else, a crash, or a disagreement is a finding.

Coverage of the C++ code needs the module built with clang and
-fsanitize=fuzzer-no-link (see RELIABILITY.md); with an ordinary build the
fuzzer only sees the Python side and mutates blindly.
"""

import gzip
import hashlib
import marshal
import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import palisar

TMP = tempfile.mkdtemp(prefix="palisar-fuzz-")
PLAIN = os.path.join(TMP, "prices.json")
PACKED = os.path.join(TMP, "prices.json.gz")
CLASSES = tuple(getattr(palisar, name) for name in palisar.__all__[1:])


def properties(obj):
    cls = type(obj)
    return [name for name, d in vars(cls).items() if type(d).__name__ == "getset_descriptor"]


def walk(obj, depth=0):
    """Reads every property of `obj` and of everything it holds."""
    assert depth < 8
    if isinstance(obj, list):
        for item in obj:
            walk(item, depth + 1)
        return
    if not isinstance(obj, CLASSES):
        return
    if isinstance(obj, palisar.PriceSize):
        assert obj["price"] == obj.price or obj.price != obj.price  # NaN
        repr(obj)
    for name in properties(obj):
        walk(getattr(obj, name), depth + 1)


def check_book(book):
    d = book.to_dict()
    walk(book)
    assert d["marketId"] == book.market_id
    assert d["publishTime"] == book.publish_time_epoch
    assert len(d["runners"]) == len(book.runners) == book.number_of_runners
    for rd, r in zip(d["runners"], book.runners):
        assert rd["selectionId"] == r.selection_id
        assert len(rd["ex"]["availableToBack"]) == len(r.ex.available_to_back)
    ids = [r.selection_id for r in book.runners]
    assert ids == sorted(ids)
    return marshal.dumps(d, 2)


def replay(path, late=False):
    """What a replay of `path` gives: the load error, or a digest of every
    step's outcome (a snapshot's dictionary, or the step's exception). With
    `late`, every snapshot is kept and read only once the replay is over."""
    try:
        it = palisar.iter_prices_file(path)
    except ValueError as e:
        return "ValueError: " + str(e)
    outcomes = []
    for _ in range(len(it) + 1):
        try:
            book = next(it)
        except StopIteration:
            outcomes.append(b"stop")
            continue
        except (ValueError, OverflowError) as e:
            outcomes.append(repr(e).encode())
            continue
        outcomes.append(book if late else check_book(book))
    h = hashlib.sha256()
    for outcome in outcomes:
        h.update(outcome if isinstance(outcome, bytes) else check_book(outcome))
    return h.hexdigest()


def test_one(data):
    if not data:
        return
    # An input that starts as a prices file does (the seeds of
    # fuzz/make_seeds.py all do) is content from its first byte and takes the
    # form that compares the most; any other first byte picks the form.
    if data[0] == ord("{"):
        mode, body = 2, data
    else:
        mode, body = data[0] % 3, data[1:]
    if mode == 0:
        with open(PLAIN, "wb") as f:
            f.write(body)
        replay(PLAIN)
    elif mode == 1:
        with open(PACKED, "wb") as f:
            f.write(body)
        replay(PACKED)
    else:
        with open(PLAIN, "wb") as f:
            f.write(body)
        with open(PACKED, "wb") as f:
            f.write(gzip.compress(body, compresslevel=1, mtime=0))
        # the packed one read late: the same snapshots whenever they are read
        plain, packed = replay(PLAIN), replay(PACKED, late=True)
        assert plain == packed, (plain, packed)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()
