"""Hostile prices files, each loaded and replayed in a child interpreter that
reports its time and peak memory.

    python tests/hostile_big.py [--scale S]

Prints one table row per case: the file's size, the outcome (snapshots and
what the last one holds, or the exception), the time to load (read, inflate,
parse) and to replay (iterate every snapshot, then to_dict() and every
attribute of the last one), and the peak resident memory above the
interpreter's own. The sizes are the large ones (a 200 MB line, millions of
price levels); --scale shrinks them. test_hostile.py runs the same cases at
small sizes with bounds on memory and time.
"""

import argparse
import gzip
import json
import os
import subprocess
import sys
import tempfile
import time

CHILD = r"""
import json, os, sys, time
import palisar
sys.path.insert(0, %r)
from memory_helpers import peak_rss, rss

base = rss()
out = {"file_bytes": os.path.getsize(sys.argv[2])}
t0 = time.perf_counter()
try:
    it = palisar.iter_prices_file(sys.argv[2])
except ValueError as e:
    out["error"] = str(e)
else:
    t1 = time.perf_counter()
    out["load_s"] = t1 - t0
    last, count = None, 0
    for book in it:
        last, count = book, count + 1
    out["snapshots"] = count
    if last is not None:
        d = last.to_dict()
        levels = 0
        for r in last.runners:
            for name in ("available_to_back", "available_to_lay", "traded_volume"):
                prices = getattr(r.ex, name)
                levels += len(prices)
                for ps in prices:
                    ps.price, ps.size
            r.sp.back_stake_taken, r.sp.near_price, r.status, r.handicap
        out["runners"] = len(last.runners)
        out["levels"] = levels
        definition = last.market_definition
        out["name_length"] = len(definition.name) if definition and definition.name else 0
        out["dict_runners"] = len(d["runners"])
        del d
    del last, book, it
    out["replay_s"] = time.perf_counter() - t1
out["peak_above_start"] = peak_rss() - base
with open(sys.argv[1], "w") as f:
    json.dump(out, f)
""" % os.path.dirname(os.path.abspath(__file__))

MARKET = "1.23"


def _line(obj):
    return json.dumps(obj, separators=(",", ":"))


def write_nested(path, depth):
    with open(path, "w") as f:
        f.write('{"pt":1,"op":' + "[" * depth + "]" * depth + ',"mc":[{"id":"1.23"}]}\n')


def write_long_line(path, size):
    """One message whose definition name is `size` bytes long (one line)."""
    head = '{"pt":1,"mc":[{"id":"1.23","marketDefinition":{"name":"'
    with open(path, "w") as f:
        f.write(head)
        chunk = "abcdefghij" * 100_000
        left = size
        while left > 0:
            f.write(chunk[: min(left, len(chunk))])
            left -= len(chunk)
        f.write('"}}]}\n')


def write_levels(path, n):
    """One runner whose back ladder gets `n` price levels in one delta list."""
    with open(path, "w") as f:
        f.write('{"pt":1,"mc":[{"id":"1.23","rc":[{"id":1,"atb":[')
        f.write(",".join(f"[{1 + i / 1000},{i % 97 + 1}]" for i in range(n)))
        f.write("]}]}]}\n")
        f.write(_line({"pt": 2, "mc": [{"id": MARKET, "rc": [{"id": 1, "atb": [[1.0, 0]]}]}]}) + "\n")


def write_runners(path, n):
    """One market change naming `n` runners, each with one back level."""
    with open(path, "w") as f:
        f.write('{"pt":1,"mc":[{"id":"1.23","rc":[')
        f.write(",".join(f'{{"id":{i + 1},"atb":[[2.5,{i % 89 + 1}]]}}' for i in range(n)))
        f.write("]}]}\n")
        f.write(_line({"pt": 2, "mc": [{"id": MARKET, "rc": [{"id": 1, "ltp": 2.0}]}]}) + "\n")


def write_digits(path, kind):
    digits = "9" * 400
    value = {"integer": digits, "fraction": "0." + "0" * 399 + "1", "mantissa": "1." + digits}[kind]
    with open(path, "w") as f:
        f.write('{"pt":1,"mc":[{"id":"1.23","tv":%s,"rc":[{"id":1,"atb":[[%s,%s]]}]}]}\n'
                % (value, value, value))


def write_gzipped_long_line(path, size):
    with tempfile.NamedTemporaryFile(suffix=".json") as plain:
        write_long_line(plain.name, size)
        with open(plain.name, "rb") as src, gzip.open(path, "wb", compresslevel=1) as dst:
            while block := src.read(1 << 20):
                dst.write(block)


# name, file suffix, writer, size at scale 1
CASES = [
    ("nested 10,000 deep", ".json", write_nested, 10_000),
    ("400-digit integer", ".json", lambda p, n: write_digits(p, "integer"), 400),
    ("400-digit fraction", ".json", lambda p, n: write_digits(p, "fraction"), 400),
    ("400-digit mantissa", ".json", lambda p, n: write_digits(p, "mantissa"), 400),
    ("one 200 MB line", ".json", write_long_line, 200_000_000),
    ("one 200 MB line, gzip", ".json.gz", write_gzipped_long_line, 200_000_000),
    ("3,000,000 levels in one ladder", ".json", write_levels, 3_000_000),
    ("100,000 runners in one market", ".json", write_runners, 100_000),
    ("400,000 runners in one market", ".json", write_runners, 400_000),
]


def measure(path, timeout=900):
    """Loads and replays `path` in a child interpreter; returns (figures, stdout, stderr, code)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.json")
        start = time.perf_counter()
        proc = subprocess.run([sys.executable, "-c", CHILD, out, str(path)],
                              capture_output=True, text=True, timeout=timeout)
        wall = time.perf_counter() - start
        figures = None
        if os.path.exists(out):
            with open(out) as f:
                figures = json.load(f)
                figures["wall_s"] = wall
        return figures, proc.stdout, proc.stderr, proc.returncode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()
    print("| case | file MB | outcome | load s | replay s | peak MB above start | quiet |")
    print("|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for name, suffix, writer, size in CASES:
            n = size if size <= 10_000 else max(1, int(size * args.scale))
            path = os.path.join(tmp, "case" + suffix)
            writer(path, n)
            f, out, err, code = measure(path)
            quiet = "yes" if (code == 0 and not out and not err) else f"NO (exit {code}) {err[-200:]!r}"
            if f is None:
                print(f"| {name} | | no result | | | | {quiet} |")
            else:
                if "error" in f:
                    outcome = f"ValueError: {f['error'][:70]}"
                    load, replay = f"{f['wall_s']:.2f} (wall)", "-"
                else:
                    outcome = (f"{f['snapshots']} snapshots, {f['runners']} runners, {f['levels']} levels"
                               + (f", name of {f['name_length']:,} chars" if f["name_length"] else ""))
                    load, replay = f"{f['load_s']:.2f}", f"{f['replay_s']:.2f}"
                print(f"| {name} | {f['file_bytes'] / 1e6:.1f} | {outcome} | {load} | {replay} | "
                      f"{f['peak_above_start'] / 2**20:.0f} | {quiet} |", flush=True)
            os.remove(path)


if __name__ == "__main__":
    main()
