"""Replays the recorded markets many times, and runs every failing path many
times, measuring the process's memory after each round.

    python tests/soak.py [--replays N] [--errors N] [--json OUT]

Prints the least-squares slope of the resident set size (bytes per round) and
of sys.getallocatedblocks() (blocks per round) for each series, after a
warm-up of a fifth of the rounds (a series still growing is run longer, up to
three times N); with --json, writes the series and slopes to OUT instead of
printing. test_memory.py runs it in a child interpreter.
"""

import argparse
import array
import gc
import gzip
import json
import random
import sys
import tempfile
from pathlib import Path

import palisar

sys.path.insert(0, str(Path(__file__).resolve().parent))
from memory_helpers import PATTERNS, failing_steps, rss, slope  # noqa: E402
from recorded import DATA_DIR, RECORDED_MARKETS as RECORDED  # noqa: E402

# Allocated blocks a round that count as growth, and how many times the asked
# rounds a series may run while it still grows.
FLAT_BLOCKS = 1.0
EXTEND = 3


def measure(rounds, step):
    """The series of `rounds` rounds of `step`, extended (up to EXTEND times as
    many rounds) while the blocks still grow by FLAT_BLOCKS a round or more:
    the interpreter's own warm-up may outlast a fifth of the rounds (it does on
    Python 3.14), while a leak keeps growing however long the run."""
    rng = random.Random(7)
    most = rounds * EXTEND
    # Preallocated arrays: storing a figure must not allocate a block itself.
    rss_series = array.array("q", bytes(8 * most))
    block_series = array.array("q", bytes(8 * most))
    i = 0
    while i < most:
        step(i, rng)
        gc.collect()
        rss_series[i] = rss()
        block_series[i] = sys.getallocatedblocks()
        i += 1
        if i >= rounds and i % rounds == 0 and slope(block_series[i // 5:i]) < FLAT_BLOCKS:
            break
    rounds = i
    rss_series, block_series = list(rss_series[:rounds]), list(block_series[:rounds])
    skip = rounds // 5
    return {
        "rounds": rounds,
        "rss": rss_series,
        "blocks": block_series,
        "rss_slope": slope(rss_series[skip:]),
        "blocks_slope": slope(block_series[skip:]),
    }


def replays(rounds):
    paths = [str(DATA_DIR / name) for name in RECORDED]

    def step(i, rng):
        # Every pattern meets every file: the file changes each round, the
        # pattern every third round.
        PATTERNS[(i // 3) % len(PATTERNS)](palisar.iter_prices_file(paths[i % 3]), rng)

    return measure(rounds, step)


def error_paths(rounds, tmp):
    tmp = Path(tmp)
    good = (DATA_DIR / "football-match-odds-1.200806927").read_bytes()
    files = {
        "json-error-at-the-end": tmp / "json.json",
        "invalid-utf8-at-the-end": tmp / "utf8.json",
        "crc-mismatch": tmp / "crc.json.gz",
        "truncated-gzip": tmp / "cut.json.gz",
    }
    files["json-error-at-the-end"].write_bytes(good + b'{"pt":1,"mc":[}\n')
    files["invalid-utf8-at-the-end"].write_bytes(good + b'{"pt":1,"mc":["\xff"]}\n')
    packed = bytearray(gzip.compress(good, compresslevel=1, mtime=0))
    packed[-8] ^= 0xFF
    files["crc-mismatch"].write_bytes(bytes(packed))
    files["truncated-gzip"].write_bytes(bytes(packed[: len(packed) // 2]))
    missing = str(tmp / "missing.json")

    bad_time = tmp / "bad-time.json"
    far_time = tmp / "far-time.json"
    mutated = tmp / "mutated.json"
    change = {"id": "1.5", "rc": [{"id": 1, "atb": [[2.0, 1.0]]}]}
    with open(bad_time, "w") as f:
        f.write(json.dumps({"pt": 1, "mc": [{"id": "1.5", "marketDefinition": {"marketTime": "not a time"}}]}) + "\n")
        for i in range(20):
            f.write(json.dumps({"pt": 2 + i, "mc": [{"id": "1.5", "rc": [{"id": 1, "ltp": 1.5 + i}]}]}) + "\n")
    with open(far_time, "w") as f:
        for i in range(20):
            f.write(json.dumps({"pt": 253402300800000 + i, "mc": [change]}) + "\n")
    with open(mutated, "w") as f:
        f.write(json.dumps({"pt": 1, "mc": [change]}) + "\n")

    def step(i, rng):
        for path in files.values():
            try:
                palisar.iter_prices_file(str(path))
            except ValueError:
                pass
            else:
                raise AssertionError(f"{path} loaded")
        try:
            palisar.iter_prices_file(missing)
        except ValueError:
            pass
        assert failing_steps(bad_time, ValueError) == 21
        assert failing_steps(far_time, (ValueError, OverflowError)) == 20
        book = next(palisar.iter_prices_file(str(mutated)))
        book.runners[0].ex.available_to_back.append(object())
        for _ in range(10):
            try:
                book.to_dict()
            except TypeError:
                pass
            else:
                raise AssertionError("to_dict on a mutated list succeeded")

    return measure(rounds, step)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--replays", type=int, default=300)
    parser.add_argument("--errors", type=int, default=100)
    parser.add_argument("--json")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        result = {"replays": replays(args.replays), "errors": error_paths(args.errors, tmp)}
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f)
        return
    for name, series in result.items():
        print(f"{name}: {series['rounds']} rounds, RSS {series['rss'][0] / 2**20:.1f} -> "
              f"{series['rss'][-1] / 2**20:.1f} MiB, slope {series['rss_slope']:.1f} bytes/round; "
              f"allocated blocks {series['blocks'][0]} -> {series['blocks'][-1]}, "
              f"slope {series['blocks_slope']:.3f} blocks/round")


if __name__ == "__main__":
    main()
