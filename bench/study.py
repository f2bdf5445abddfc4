#!/usr/bin/env python3
"""A study over many market files: palisar against a lean pure-Python replay
written for the same study.

    python bench/study.py [--files 300] [--mb 1] [--formats plain,gz,bz2,zst] [--runs 1]
                          [--out bench/out] [--workers N] [--against DIR]

The study, per market file and per runner: the best back and lay prices 10
minutes, 1 minute and 0 seconds before the off (the state after the last
message published at or before that moment; the off is the market time of the
first market definition) and the volume-weighted price of what was traded in
play (the traded-volume ladder of the last in-play snapshot with the market
open, less that of the last snapshot before the market went in play).

Both sides are written the way a user writes them: study_palisar iterates the
snapshots and keeps the few it needs (kept snapshots never change); study_lean
reads the lines with json.loads and keeps, per runner, only the three ladders
the study reads, copying them only at the moments it needs. Every file's two
answers are compared first, so the timings are of two programs that agree.

The files: --files generated markets of about --mb MB each (bench/generate.py
--markets, cached in --out/study-<mb>mb), plus copies of the recorded markets
in /work/shared/data when that folder exists, in each of --formats (the same
markets, compressed). For each format and side it measures, interleaved:

    one process  all files one after another in a fresh interpreter: files/s,
                 the CPU time of the process, its peak resident memory
    pool         the files shared out to a process pool (--workers, default one
                 per CPU; one file per task): files/s, CPU time of the workers
                 and the parent, the largest peak resident memory of a worker

and prints palisar's speed-up on each (wall-clock time, medians of --runs).
In one process it also times, for palisar, the loads alone (the time inside
iter_prices_file) and a third side, "iterate", that loads and iterates every
file without looking at the snapshots: what is left of palisar's time beyond
that is the study's own Python code. With --against DIR (a directory holding
another build of palisar, which goes first on the child's path and on its
workers'), palisar's study also runs with that build, in one process and in
the pool, interleaved with the rest ("ref"), and this build's wall-clock time
over its own is shown beside it.
The results go to --out/study.json.
"""

import argparse
import bz2
import gzip
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA_DIR = "/work/shared/data"
OFFSETS = (("10m", 600_000), ("1m", 60_000), ("0s", 0))


# ---- the study, with palisar ---------------------------------------------------------

def _epoch_ms(dt):
    # Definition times are naive UTC datetimes.
    import calendar
    return calendar.timegm(dt.utctimetuple()) * 1000 + dt.microsecond // 1000


def study_palisar(path):
    import palisar
    targets = None
    chosen = {}
    before = None  # the snapshot before this one
    pre = end = None
    for book in palisar.iter_prices_file(path):
        if targets is None:
            d = book.market_definition
            off = _epoch_ms(d.market_time) if d is not None and d.market_time is not None else None
            targets = [(name, off - ms) for name, ms in OFFSETS] if off is not None else []
        t = book.publish_time_epoch
        while len(chosen) < len(targets) and t > targets[len(chosen)][1]:
            chosen[targets[len(chosen)][0]] = before
        if not book.inplay:
            pre = book
        elif book.status == "OPEN":
            end = book
        before = book
    for name, _ in (targets or [])[len(chosen):]:
        chosen[name] = before
    out = {}
    for name, book in chosen.items():
        if book is None:
            continue
        for r in book.runners:
            back, lay = r.ex.available_to_back, r.ex.available_to_lay
            out.setdefault(r.selection_id, {})[name] = (back[0].price if back else None,
                                                        lay[0].price if lay else None)
    if end is not None:
        start = {r.selection_id: {ps.price: ps.size for ps in r.ex.traded_volume}
                 for r in pre.runners} if pre is not None else {}
        for r in end.runners:
            was = start.get(r.selection_id, {})
            out.setdefault(r.selection_id, {})["vwap"] = _vwap(
                (ps.price, ps.size - was.get(ps.price, 0.0)) for ps in r.ex.traded_volume)
    return out


def _vwap(pairs):
    volume = value = 0.0
    for price, size in pairs:
        if size > 0:
            volume += size
            value += price * size
    return round(value / volume, 6) if volume > 0 else None


# ---- the study, as a lean pure-Python replay ------------------------------------------

def _open(path):
    if path.endswith((".gz", ".gzip")):
        return gzip.open(path, "rb")
    if path.endswith(".bz2"):
        return bz2.open(path, "rb")
    if path.endswith(".zst"):
        import io
        import zstandard  # the only format without a module of the standard library (3.13)
        return io.BufferedReader(zstandard.open(path, "rb"))
    return open(path, "rb")


def _apply(ladder, deltas):
    for price, size in deltas:
        if size == 0:
            ladder.pop(price, None)
        else:
            ladder[price] = size


def study_lean(path):
    import datetime
    import json as _json
    runners = {}  # selection id -> [atb, atl, trd]
    targets = None
    chosen = {}
    inplay, status = False, None
    pre = end = None  # copies of the traded ladders

    def bests():
        return {sid: (max(l[0]) if l[0] else None, min(l[1]) if l[1] else None) for sid, l in runners.items()}

    def traded():
        return {sid: dict(l[2]) for sid, l in runners.items()}

    with _open(path) as f:
        for line in f:
            msg = _json.loads(line) if line.strip() else None
            if not isinstance(msg, dict) or not isinstance(msg.get("mc"), list):
                continue
            pt = msg.get("pt")
            if targets is None:
                for mc in msg["mc"]:
                    d = mc.get("marketDefinition")
                    if d is not None:
                        mt = d.get("marketTime")
                        off = int(datetime.datetime.fromisoformat(mt).timestamp() * 1000) if mt else None
                        targets = [(n, off - ms) for n, ms in OFFSETS] if off is not None else []
                        break
            if targets is not None:
                while len(chosen) < len(targets) and pt > targets[len(chosen)][1]:
                    chosen[targets[len(chosen)][0]] = bests()
            for mc in msg["mc"]:
                if mc.get("img"):
                    runners.clear()
                d = mc.get("marketDefinition")
                if d is not None:
                    now_inplay = d.get("inPlay", inplay)
                    now_status = d.get("status", status)
                    if not inplay and now_inplay:
                        pre = traded()
                    if inplay and status == "OPEN" and not (now_inplay and now_status == "OPEN"):
                        end = traded()
                    inplay, status = now_inplay, now_status
                    for rd in d.get("runners", ()):
                        runners.setdefault(rd["id"], [{}, {}, {}])
                for rc in mc.get("rc", ()):
                    ladders = runners.setdefault(rc["id"], [{}, {}, {}])
                    if "atb" in rc:
                        _apply(ladders[0], rc["atb"])
                    if "atl" in rc:
                        _apply(ladders[1], rc["atl"])
                    if "trd" in rc:
                        _apply(ladders[2], rc["trd"])
    for name, _ in (targets or [])[len(chosen):]:
        chosen[name] = bests()
    if inplay and status == "OPEN":
        end = traded()
    out = {}
    for name, prices in chosen.items():
        for sid, pair in prices.items():
            out.setdefault(sid, {})[name] = pair
    if end is not None:
        for sid, ladder in end.items():
            was = (pre or {}).get(sid, {})
            out.setdefault(sid, {})["vwap"] = _vwap(
                (price, size - was.get(price, 0.0)) for price, size in sorted(ladder.items()))
    return out


# ---- measuring ------------------------------------------------------------------------

def _peak_rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def study_iterate(path):
    import collections
    import palisar
    collections.deque(palisar.iter_prices_file(path), maxlen=0)


def _pool_task(side, path):
    (study_palisar if side == "palisar" else study_lean)(path)
    return _peak_rss()


CHILD = r"""
import json, os, sys, time
sys.path.insert(0, sys.argv[1])
import study
side, mode, workers, paths = sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5:]
fn = {"palisar": study.study_palisar, "lean": study.study_lean, "iterate": study.study_iterate}[side]
load = [0.0]
if side != "lean":
    import palisar
    real = palisar.iter_prices_file
    def timed(path):
        t = time.perf_counter()
        try:
            return real(path)
        finally:
            load[0] += time.perf_counter() - t
    palisar.iter_prices_file = timed
wall, cpu = time.perf_counter(), time.process_time()
if mode == "one":
    for p in paths:
        fn(p)
    peak = study._peak_rss()
else:
    from concurrent.futures import ProcessPoolExecutor
    from functools import partial
    with ProcessPoolExecutor(max_workers=workers) as pool:
        peak = max(pool.map(partial(study._pool_task, side), paths, chunksize=1))
wall = time.perf_counter() - wall
ru = os.times()
print(json.dumps({"wall": wall, "cpu": ru.user + ru.system + ru.children_user + ru.children_system,
                  "peak_mb": peak / 2**20, "load": load[0]}))
"""


def prepare(out, count, mb, formats):
    base = os.path.join(out, f"study-{mb:g}mb")
    gen = os.path.join(base, "generated")
    if not os.path.isdir(gen) or len(os.listdir(gen)) < count:
        shutil.rmtree(gen, ignore_errors=True)
        subprocess.run([sys.executable, os.path.join(HERE, "generate.py"), gen, "--markets", str(count),
                        "--target-mb", str(mb)], check=True)
    sources = sorted(os.path.join(gen, n) for n in os.listdir(gen))[:count]
    if os.path.isdir(DATA_DIR):
        sources += sorted(os.path.join(DATA_DIR, n) for n in os.listdir(DATA_DIR)
                          if not n.startswith("."))
    jobs = []
    for fmt in formats:
        d = os.path.join(base, fmt)
        os.makedirs(d, exist_ok=True)
        for src in sources:
            name = os.path.basename(src)
            for ext in (".gz", ".bz2", ".zst"):
                name = name.removesuffix(ext)
            dst = os.path.join(d, name + ("" if fmt == "plain" else "." + fmt))
            if not os.path.exists(dst):
                jobs.append((src, dst, fmt))
    from concurrent.futures import ProcessPoolExecutor
    with ProcessPoolExecutor() as pool:
        list(pool.map(_convert, jobs, chunksize=4))
    return {fmt: sorted(os.path.join(base, fmt, n) for n in os.listdir(os.path.join(base, fmt))
                        if not n.endswith(".tmp")) for fmt in formats}


def _convert(job):
    src, dst, fmt = job
    with _open(src) as f:
        text = f.read()
    if fmt == "gz":
        data = gzip.compress(text, 6, mtime=0)
    elif fmt == "bz2":
        data = bz2.compress(text, 9)
    elif fmt == "zst":
        data = subprocess.run(["zstd", "-19", "-q", "-c"], input=text, capture_output=True, check=True).stdout
    else:
        data = text
    with open(dst + ".tmp", "wb") as f:
        f.write(data)
    os.replace(dst + ".tmp", dst)


def check_agreement(paths):
    """Both sides give the same answer on every file (prices exactly, the
    volume-weighted prices to 1e-9)."""
    for p in paths:
        a, b = study_palisar(p), study_lean(p)
        if a.keys() != b.keys():
            raise SystemExit(f"{p}: the two sides see different runners")
        for sid in a:
            x, y = a[sid], b[sid]
            if x.keys() != y.keys() or any(x[k] != y[k] for k in x if k != "vwap") or (
                    (x.get("vwap") is None) != (y.get("vwap") is None)) or (
                    x.get("vwap") is not None and abs(x["vwap"] - y["vwap"]) > 1e-9 * x["vwap"]):
                raise SystemExit(f"{p}: runner {sid}: {x} != {y}")


def run(side, mode, workers, paths, against=None):
    env = None
    if side == "ref":  # palisar's side with the other build first on the path
        side, env = "palisar", dict(os.environ, PYTHONPATH=os.pathsep.join(
            p for p in (against, os.environ.get("PYTHONPATH")) if p))
    proc = subprocess.run([sys.executable, "-c", CHILD, HERE, side, mode, str(workers), *paths],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(proc.stderr[-3000:])
    return json.loads(proc.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=300, help="generated markets (default 300)")
    ap.add_argument("--mb", type=float, default=1.0, help="size of a generated market (default 1 MB)")
    ap.add_argument("--formats", default="plain,gz,bz2,zst")
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)))
    ap.add_argument("--out", default=os.path.join(HERE, "out"))
    ap.add_argument("--against", help="a directory holding another build of palisar: its study in one "
                    "process runs too (side \"ref\"), interleaved, with this build's time over it")
    args = ap.parse_args()
    formats = [f for f in args.formats.split(",") if f != "zst" or shutil.which("zstd")]
    if "zst" in formats:
        try:
            import zstandard  # noqa: F401
        except ImportError:
            print("zst left out: the lean replay needs the zstandard module", file=sys.stderr)
            formats.remove("zst")
    dirs = prepare(args.out, args.files, args.mb, formats)
    for fmt in formats:
        check_agreement(dirs[fmt][:: max(1, len(dirs[fmt]) // 25)])
    ref = ("ref",) if args.against else ()
    cells = [(fmt, mode, side) for fmt in formats for mode in ("one", "pool")
             for side in ("palisar", "lean") + (("iterate",) if mode == "one" else ()) + ref]
    results = {c: [] for c in cells}
    for r in range(args.runs):
        for c in cells if r % 2 == 0 else reversed(cells):
            results[c].append(run(c[2], c[1], args.workers, dirs[c[0]], args.against))
    report = {}
    print(f"{'format':6} {'mode':5} {'side':8} {'files':>5} {'files/s':>8} {'wall s':>7} {'cpu s':>7} "
          f"{'peak MB':>8} {'speed-up':>8} {'load s':>7} {'own code':>8}")
    for fmt, mode, side in cells:
        med = {k: statistics.median(x[k] for x in results[(fmt, mode, side)])
               for k in ("wall", "cpu", "peak_mb", "load")}
        n = len(dirs[fmt])
        med["files_per_s"] = n / med["wall"]
        report[f"{fmt}/{mode}/{side}"] = med
        speed = load = own = ""
        if side == "lean":
            speed = f"{med['wall'] / report[f'{fmt}/{mode}/palisar']['wall']:7.1f}x"
        if side == "ref":  # this build's time over the other's
            med["this_over_ref"] = report[f"{fmt}/{mode}/palisar"]["wall"] / med["wall"]
            speed = f"{med['this_over_ref']:7.2f}r"
        if mode == "one" and side != "lean":
            load = f"{med['load']:7.2f}"
        if side == "iterate":
            ours = report[f"{fmt}/one/palisar"]["wall"]
            med["own_code_share"] = max(0.0, ours - med["wall"]) / ours
            own = f"{100 * med['own_code_share']:7.0f}%"
        print(f"{fmt:6} {mode:5} {side:8} {n:5} {med['files_per_s']:8.1f} {med['wall']:7.2f} {med['cpu']:7.2f} "
              f"{med['peak_mb']:8.0f} {speed:>8} {load:>7} {own:>8}")
    with open(os.path.join(args.out, "study.json"), "w") as f:
        json.dump({"args": vars(args), "results": report}, f, indent=1)


if __name__ == "__main__":
    main()
