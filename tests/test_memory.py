"""Memory and references: hundreds of replays of the recorded markets and many
rounds of every failing path stay flat; objects shared between snapshots are
held exactly by the snapshots, the cache and nothing else."""

import gc
import json
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import palisar
from child import SANITIZED, run_child
from memory_helpers import PATTERNS, failing_steps, rss
from soak import FLAT_BLOCKS
from snapshot_helpers import (change, full_definition, message, open_prices, real_file, REAL_FILES,
                              LAST_MS, runner_changes, write_prices)

SOAK = Path(__file__).with_name("soak.py")


def test_replays_and_failing_paths_keep_memory_flat():
    for name in REAL_FILES:
        real_file(name)
    replays, errors = (60, 30) if SANITIZED else (300, 100)
    child = run_child(
        "import runpy\n"
        f"sys.argv = [{str(SOAK)!r}, '--replays', '{replays}', '--errors', '{errors}', '--json', sys.argv[1]]\n"
        f"runpy.run_path({str(SOAK)!r}, run_name='__main__')\n",
        timeout=600)
    child.assert_quiet_success()
    for series in ("replays", "errors"):
        figures = child[series]
        # One leaked object per snapshot would add at least 166 blocks a round
        # (the smallest recorded market); the figures are stored without allocating.
        assert abs(figures["blocks_slope"]) < FLAT_BLOCKS, (series, figures["blocks_slope"])
        if not SANITIZED:
            # One leaked price level per snapshot would add tens of kilobytes a round.
            assert figures["rss_slope"] < 16 * 1024, (series, figures["rss_slope"])


def test_memory_stays_flat_over_many_replays():
    paths = [real_file(name) for name in REAL_FILES]
    rng = random.Random(7)

    def cycle(n):
        for i in range(n):
            pattern = PATTERNS[i % len(PATTERNS)]
            for path in paths:
                pattern(palisar.iter_prices_file(path), rng)
        gc.collect()

    cycle(len(PATTERNS))
    blocks_before, rss_before = sys.getallocatedblocks(), rss()
    cycle(4 * len(PATTERNS))
    blocks_after, rss_after = sys.getallocatedblocks(), rss()
    # One leaked object per snapshot would add hundreds of thousands of blocks.
    assert blocks_after - blocks_before < 1000
    # Under the sanitizers (scripts/asan) freed memory is held in quarantine.
    if not SANITIZED:
        assert rss_after - rss_before < 6 * 2 ** 20


@pytest.mark.parametrize(
    "messages",
    [
        [message(1000, change(marketDefinition={"marketTime": "bad"}))]
        + [runner_changes(1000 + i, {"id": 1, "atb": [[2.0, i + 1]]}) for i in range(50)],
        [runner_changes(LAST_MS + 1 + i, {"id": 1, "atb": [[2.0, i + 1]]}) for i in range(50)],
    ],
    ids=["bad-time-text", "publish-time-out-of-range"],
)
def test_failing_steps_do_not_leak(tmp_path, messages):
    path = write_prices(tmp_path, messages, "errors.json")
    for _ in range(3):
        assert failing_steps(path) == len(messages)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(30):
        assert failing_steps(path) == len(messages)
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


# ---- reference counts --------------------------------------------------------------

STEPS = 6


def shared_snapshots(tmp_path):
    """The iterator and all snapshots of a market where runner 1 changes only its last traded price
    at every step (a new Runner each time, sharing its three price lists) and
    runner 2 never changes (one Runner object throughout)."""
    messages = [message(1000, change(marketDefinition=full_definition(), rc=[
        {"id": 1, "atb": [[2.0, 5.0]], "atl": [[3.0, 4.0]], "trd": [[2.0, 1.0]]},
        {"id": 2, "atb": [[5.0, 1.0]]},
    ]))]
    messages += [message(1001 + i, change(rc=[{"id": 1, "ltp": 2.0 + i}])) for i in range(STEPS)]
    it = open_prices(tmp_path, messages)
    books = list(it)
    assert len(books) == STEPS + 1
    return it, books


def test_reference_counts_of_shared_objects(tmp_path):
    it, books = shared_snapshots(tmp_path)
    gc.collect()
    back = books[0].runners[0].ex.available_to_back
    runner2 = books[0].runners[1]
    definition = books[0].market_definition
    assert all(b.runners[0].ex.available_to_back is back for b in books)
    assert all(b.runners[1] is runner2 and b.market_definition is definition for b in books)

    # Keep the first k books; drop the rest (the last one too).
    k = 3
    del books[k:]
    gc.collect()
    # sys.getrefcount also counts the references of the call itself, and how
    # many depends on the interpreter version: counts are read against those
    # of a fresh object held by a local name alone.
    alone = object()
    base = sys.getrefcount(alone)
    # The price list: one reference from each kept book's own ExchangePrices,
    # one from the Runner the cache keeps for reuse (from the dropped last
    # book), one from its ladder in the cache.
    assert sys.getrefcount(back) - base == k + 1 + 1
    # Runner 2 and the definition: each kept book, the cache's slot.
    assert sys.getrefcount(runner2) - base == k + 1
    assert sys.getrefcount(definition) - base == k + 1

    # Dropping the iterator drops the cache and everything it kept for reuse.
    del it
    gc.collect()
    assert sys.getrefcount(back) - base == k
    assert sys.getrefcount(runner2) - base == k
    assert sys.getrefcount(definition) - base == k

    # Each book holds exactly one reference to each.
    while books:
        books.pop()
        left = len(books)
        assert sys.getrefcount(back) - base == left
        assert sys.getrefcount(runner2) - base == left
        assert sys.getrefcount(definition) - base == left


def test_a_rebuilt_list_releases_the_old_one_when_no_snapshot_holds_it(tmp_path):
    messages = [message(1000, change(rc=[{"id": 1, "atb": [[2.0, 5.0]]}]))]
    messages += [message(1001 + i, change(rc=[{"id": 1, "atb": [[2.0, 6.0 + i]]}])) for i in range(3)]
    it = open_prices(tmp_path, messages)
    alone = object()
    base = sys.getrefcount(alone)  # a local name and the call's own (see above)
    first = next(it).runners[0].ex.available_to_back
    # The first snapshot is gone; its list is held by the cache's slot and by
    # the ExchangePrices of the Runner the cache keeps.
    assert sys.getrefcount(first) - base == 1 + 1
    next(it)
    # Rebuilt for the new size: the cache let go of the old list and Runner.
    assert sys.getrefcount(first) - base == 0
    level = first[0]
    del first
    # Its PriceSize lives on only here (the new list has a new level object).
    assert sys.getrefcount(level) - base == 0


def test_class_references_return_to_their_start_after_replays():
    # Released instances are kept for reuse; each live instance holds one
    # reference to its class, a kept one none.
    path = real_file(REAL_FILES[0])
    classes = (palisar.MarketBook, palisar.Runner, palisar.ExchangePrices, palisar.PriceSize)
    for _ in range(2):  # the first round fills the reuse lists
        books = list(palisar.iter_prices_file(path))
        del books
    gc.collect()
    before = [sys.getrefcount(cls) for cls in classes]
    books = list(palisar.iter_prices_file(path))
    assert sys.getrefcount(palisar.MarketBook) == before[0] + len(books)
    del books
    gc.collect()
    assert [sys.getrefcount(cls) for cls in classes] == before


@pytest.mark.parametrize("pattern", ["drop-each", "keep-all-drop-after-the-iterator"])
def test_memory_kept_for_reuse_is_given_back_when_the_last_iterator_goes(tmp_path, pattern):
    # Released instances are kept for reuse only while an iterator lives: a
    # kept block would otherwise pin its memory pool once replays are over.
    path = real_file(REAL_FILES[0])
    # first-use allocations (the classes' own, the time conversions), on a tiny market
    small = [message(1000, change(marketDefinition=full_definition(),
                                  rc=[{"id": 1, "atb": [[2.0, 5.0]], "trd": [[2.0, 1.0]]}])),
             message(1001, change(rc=[{"id": 1, "atb": [[2.0, 6.0]]}]))]
    for book in open_prices(tmp_path, small):
        book.to_dict()
    del book
    gc.collect()
    before = sys.getallocatedblocks()
    it = palisar.iter_prices_file(path)
    if pattern == "drop-each":
        for book in it:
            book.to_dict()
        del book
        del it
    else:
        books = list(it)
        del it
        del books
    gc.collect()
    assert sys.getallocatedblocks() - before < 20


# ---- running out of memory ---------------------------------------------------------

SWEEP = Path(__file__).with_name("oom_sweep.py")


def sweep_file(tmp_path):
    """A small market that takes every road: a definition with its times,
    all five ladders, a listing kept unread while its ladder changes, a
    runner removed by an image, a long delta list (the merging path)."""
    long_deltas = [[1.01 + i / 100, 1.0 + i] for i in range(60)]
    # Both forms of a time, read natively. Texts of other forms go to strptime,
    # which under failing allocations can itself end in SystemError (CPython
    # 3.13's _strptime); its errors pass through unchanged, as tested elsewhere.
    times = {"marketTime": "2024-01-02T03:04:05.000Z", "openDate": "2024-01-02T03:04:05Z",
             "suspendTime": "2024-01-02T03:04:05.5Z", "settledTime": "2024-01-02T03:04:05Z"}
    messages = [
        message(1000, change(marketDefinition=full_definition(**times), rc=[
            {"id": 44331354, "atb": [[2.0, 5.0], [2.1, 3.0]], "atl": [[2.2, 4.0]],
             "trd": [[2.0, 1.0]], "spb": [[3.0, 1.0]], "spl": [[4.0, 2.0]], "spn": 3.1, "spf": "NaN"},
            {"id": 36276560, "hc": -1.5, "atb": long_deltas}])),
        message(1001, change(rc=[{"id": 44331354, "atb": [[2.0, 0], [2.3, 7.0]], "ltp": 2.1}])),
        message(1002, change(rc=[{"id": 36276560, "hc": -1.5, "atb": long_deltas[::-1][:50] + [[9.0, 1.0]]}])),
        message(1003, change(img=True, rc=[{"id": 44331354, "atl": [[2.4, 1.0]], "tv": 5.0}])),
        message(1004, change(marketDefinition=full_definition(status="CLOSED", **times), rc=[])),
        message(1005, change(rc=[{"id": 7, "trd": [[1.5, 2.0], [1.6, 3.0]]}])),
    ]
    return write_prices(tmp_path, messages)


@pytest.mark.skipif(SANITIZED, reason="the sanitizers replace the allocator")
@pytest.mark.parametrize("mode", ["cpp", "python"])
def test_every_failed_allocation_is_a_memory_error(tmp_path, mode):
    env = None
    if mode == "cpp":
        compiler = shutil.which("g++") or shutil.which("clang++")
        if not compiler:
            pytest.skip("no C++ compiler to build the allocation-failure injector")
        lib = tmp_path / "oom_inject.so"
        subprocess.run([compiler, "-O1", "-shared", "-fPIC", "-o", str(lib),
                        str(SWEEP.with_name("oom_inject.cpp"))], check=True)
        env = dict(os.environ, LD_PRELOAD=str(lib))
    out = tmp_path / "result.json"
    proc = subprocess.run([sys.executable, str(SWEEP), str(out), sweep_file(tmp_path), mode],
                          capture_output=True, text=True, timeout=600, env=env)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-3000:])
    tally = json.loads(out.read_text())
    if mode == "cpp":
        # Failing any of them: every failure ends in MemoryError.
        assert tally["allocations"] > 100 and tally["runs"] == tally["allocations"]
        assert tally["failures"] >= tally["runs"] - tally["completed"] > tally["runs"] // 2, tally
    else:
        assert tally["largest_k"] > 50 and tally["failures"] > 1000, tally
    assert {"load", "step", "read", "late read"} <= set(tally["by_place"]), tally


@pytest.mark.parametrize("kept_by", ["ladder", "undo log"])
def test_a_step_that_cannot_keep_an_unread_list_fails_before_the_ladder_changes(tmp_path, kept_by):
    # A change keeps an unread list through the ladder's undo log; an image
    # that drops the runner makes the list copy its levels first.
    _testcapi = pytest.importorskip("_testcapi")
    moved_on = [message(999, change(rc=[{"id": 1, "atb": [[3.0, 2.0]]}]))] if kept_by == "undo log" else []
    messages = [message(998, change(rc=[{"id": 1, "atb": [[2.0, 5.0], [3.0, 1.0]]}])), *moved_on,
                message(1001, change(img=True, rc=[{"id": 1, "atb": [[2.0, 0]]}])),
                message(1002, change(rc=[{"id": 1, "atb": [[4.0, 2.0]]}]))]
    it = open_prices(tmp_path, messages)
    kept = next(it)  # its back list not read yet
    moved = [next(it) for _ in moved_on]
    with pytest.raises(MemoryError):
        # The step's first Python allocation: the copy of the kept levels.
        _testcapi.set_nomemory(0, 1)
        try:
            next(it)
        finally:
            _testcapi.remove_mem_hooks()
    assert [(p.price, p.size) for p in kept.runners[0].ex.available_to_back] == [(3.0, 1.0), (2.0, 5.0)]
    # The failed message changed nothing; the iterator goes on with the next one.
    later = next(it)
    assert [(p.price, p.size) for p in later.runners[0].ex.available_to_back] == [
        (4.0, 2.0), (3.0, 2.0 if moved else 1.0), (2.0, 5.0)]


RESIDENT_CHILD = r"""
path = sys.argv[2]
before = rss()
it = palisar.iter_prices_file(path)
done(grown=rss() - before, size=os.path.getsize(path), messages=len(it))
"""


@pytest.mark.parametrize("name", REAL_FILES)
def test_a_load_keeps_resident_little_beyond_what_it_stored(name, tmp_path):
    """The pages of the storage's last blocks that nothing was stored in (a
    2 MiB block of the calling thread's, and one of each worker's) go back
    to the system after the load; three copies of the file make it large
    enough to be parsed on several threads."""
    if SANITIZED:
        pytest.skip("sanitizer builds keep their own memory")
    with open(real_file(name), "rb") as f:
        data = f.read()
    path = tmp_path / "market"
    path.write_bytes(data * 3)
    r = run_child(RESIDENT_CHILD, path)
    r.assert_quiet_success()
    # What is stored, the message list and the pages of the read buffers the
    # text went through stay below 1.1 bytes per byte of a market; a block
    # kept whole adds up to 2 MiB to it, and the two line buffers of a
    # megabyte kept for the next load up to 2 MiB more, all of it only when
    # the text filled them.
    kept_buffers = min(2 << 20, r["size"])
    assert r["grown"] < 1.25 * r["size"] + (256 << 10) + kept_buffers, r.result
