"""Memory and references: hundreds of replays of the recorded markets and many
rounds of every failing path stay flat; objects shared between snapshots are
held exactly by the snapshots, the cache and nothing else."""

import gc
import sys
from pathlib import Path

import pytest

import palisar
from child import SANITIZED, run_child
from soak import FLAT_BLOCKS
from snapshot_helpers import change, full_definition, message, open_prices, real_file, REAL_FILES

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
