#!/usr/bin/env python3
"""Loading compressed prices files: palisar's decoders against libbz2 alone.

    python bench/decoders.py [--mb 50] [--runs 5] [--out bench/out]

Run it with the Python of a development environment, with palisar installed
in it (scripts/common.sh build_module). It generates once (cached in --out) a
~--mb MB market with bench/generate.py and writes it as bzip2 -9, zstd -19
and gzip -6 (needs the zstd tool). Each variant then runs in a fresh process,
the variants interleaved and their order reversed on every other run; the
figures are the medians of --runs runs of the wall-clock time (and the CPU
time of the process) of:

    libbz2       the bzip2 file decoded by libbz2 alone, on one thread (the
                 interpreter's bz2 module), the text thrown away
    load.bz2     iter_prices_file on the bzip2 file, all CPUs of the process
    load.bz2@1   the same, pinned to one CPU (taskset -c 0)
    libbz2@1     libbz2 alone pinned to the same CPU
    load.plain   iter_prices_file on the plain text, parsed on every CPU
    load.plain@1 the same, pinned to one CPU (the text parsed on the calling
                 thread alone)
    load.zst     iter_prices_file on the zstd file
    load.zst@1   the same, pinned to one CPU
    load.gz      iter_prices_file on the gzip file
    load.gz@1    the same, pinned to one CPU (the gzip decoder on the calling
                 thread, as it was before it got a thread of its own)
    small        iter_prices_file on a file of two lines, the median of 2,000
                 loads in one process (what a load costs whatever its size)
    many, many@1 with --many DIR: every file of DIR loaded one after another
                 in one process (e.g. the study's 1 MB markets,
                 bench/out/study-1mb/plain), on every CPU and on one

and the ratios load.bz2 / libbz2, load.bz2@1 / libbz2@1, load.zst /
load.plain, load.zst@1 / load.plain@1, load.plain / load.plain@1 and load.gz / load.gz@1. With --against
DIR (a directory holding another build of palisar, as pip install --target
leaves it), every load runs with that build too ("ref:" variants, interleaved
with the others) and the ratios of this build to it are added. --quiet starts
each run (all variants, interleaved) only once the CPUs were at least 90 %
idle for half a second, waiting a minute at most: on a shared machine, the
only runs in which a second thread has a CPU to run on. Results go to
--out/decoders.json.
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

CHILD = r"""
import json, os, sys, time
kind, path = sys.argv[1], sys.argv[2]
wall, cpu = time.perf_counter(), time.process_time()
if kind == "libbz2":
    import bz2
    d = bz2.BZ2Decompressor()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            while chunk:
                d.decompress(chunk)
                chunk = d.unused_data if d.eof else b""
                if d.eof:
                    d = bz2.BZ2Decompressor()
elif kind == "many":
    import palisar
    for name in sorted(os.listdir(path)):
        palisar.iter_prices_file(os.path.join(path, name))
elif kind == "small":
    import statistics
    import palisar
    times = []
    for _ in range(2000):
        started = time.perf_counter()
        palisar.iter_prices_file(path)
        times.append(time.perf_counter() - started)
    print(json.dumps({"wall": statistics.median(times), "cpu": 0.0, "peak_mb": 0.0}))
    sys.exit()
else:
    import palisar
    it = palisar.iter_prices_file(path)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
with open("/proc/self/status") as f:  # this image's own peak (ru_maxrss counts the parent's too)
    peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
print(json.dumps({"wall": wall, "cpu": cpu, "peak_mb": peak / 1024}))
"""


def prepare(out, mb):
    os.makedirs(out, exist_ok=True)
    plain = os.path.join(out, f"market-{mb}mb.json")
    if not os.path.exists(plain):
        subprocess.run([sys.executable, os.path.join(HERE, "generate.py"), plain, "--target-mb", str(mb)],
                       check=True)
    with open(plain, "rb") as f:
        text = f.read()
    files = {"plain": plain}
    for ext, make in (("bz2", lambda: bz2.compress(text, 9)), ("gz", lambda: gzip.compress(text, 6, mtime=0)),
                      ("zst", lambda: subprocess.run(["zstd", "-19", "-T0", "-q", "-c"], input=text,
                                                     capture_output=True, check=True).stdout)):
        path = f"{plain}.{ext}"
        if not os.path.exists(path):
            if ext == "zst" and not shutil.which("zstd"):
                continue
            with open(path + ".tmp", "wb") as f:
                f.write(make())
            os.replace(path + ".tmp", path)
        files[ext] = path
    small = os.path.join(out, "two-lines.json")
    if not os.path.exists(small):
        with open(plain, "rb") as f:
            head = f.readline() + f.readline()
        with open(small, "wb") as f:
            f.write(head)
    files["small"] = small
    return files


def cpu_idle(seconds=0.5):
    """The share of CPU time that was idle over the next `seconds`."""
    def sample():
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        return v[3] + v[4], sum(v)
    idle0, total0 = sample()
    time.sleep(seconds)
    idle1, total1 = sample()
    return (idle1 - idle0) / max(1, total1 - total0)


def run_one(kind, path, pin, build=None):
    cmd = [sys.executable, "-c", CHILD, kind, path]
    if pin:
        cmd = ["taskset", "-c", "0", *cmd]
    env = dict(os.environ)
    if build:
        env["PYTHONPATH"] = build + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run(cmd, capture_output=True, text=True, check=True, env=env)
    return json.loads(proc.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mb", type=int, default=50)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--out", default=os.path.join(HERE, "out"))
    ap.add_argument("--against", help="a directory holding another build of palisar")
    ap.add_argument("--only", help="comma-separated variants to run (default: all)")
    ap.add_argument("--many", help="a directory of prices files, loaded one after another")
    ap.add_argument("--quiet", action="store_true",
                    help="start each run once the CPUs were 90%% idle for half a second (waiting a minute at most)")
    args = ap.parse_args()
    files = prepare(args.out, args.mb)
    variants = {
        "libbz2": ("libbz2", files["bz2"], False),
        "load.bz2": ("load", files["bz2"], False),
        "libbz2@1": ("libbz2", files["bz2"], True),
        "load.bz2@1": ("load", files["bz2"], True),
        "load.plain": ("load", files["plain"], False),
        "load.plain@1": ("load", files["plain"], True),
        "load.gz": ("load", files["gz"], False),
        "load.gz@1": ("load", files["gz"], True),
        "small": ("small", files["small"], False),
    }
    if "zst" in files:
        variants["load.zst"] = ("load", files["zst"], False)
        variants["load.zst@1"] = ("load", files["zst"], True)
    if args.many:
        variants["many"] = ("many", args.many, False)
        variants["many@1"] = ("many", args.many, True)
    if args.only:
        keep = args.only.split(",")
        variants = {k: v for k, v in variants.items() if k in keep}
    if args.against:
        for name, (kind, path, pin) in list(variants.items()):
            if kind != "libbz2":
                variants["ref:" + name] = (kind, path, pin, os.path.abspath(args.against))
    results = {name: [] for name in variants}
    names = list(variants)
    waited = 0.0
    for r in range(args.runs):
        if args.quiet:
            started = time.monotonic()
            while cpu_idle() < 0.9 and time.monotonic() - started < 60:
                pass
            waited += time.monotonic() - started
        for name in names if r % 2 == 0 else reversed(names):
            results[name].append(run_one(*variants[name]))
    summary = {}
    if args.quiet:
        print(f"waited {waited:.0f} s in all for idle CPUs")
    print(f"{'variant':16} {'wall s':>9} {'cpu s':>8} {'peak MB':>8}   (medians of {args.runs}, {os.cpu_count()} CPUs)")
    for name, runs in results.items():
        med = {k: statistics.median(x[k] for x in runs) for k in ("wall", "cpu", "peak_mb")}
        summary[name] = med
        print(f"{name:16} {med['wall']:9.6f} {med['cpu']:8.3f} {med['peak_mb']:8.0f}")

    def ratio(a, b):
        return summary[a]["wall"] / summary[b]["wall"]

    ratios = {}
    for a, b in (("load.bz2", "libbz2"), ("load.bz2@1", "libbz2@1"), ("load.zst", "load.plain"),
                 ("load.zst@1", "load.plain@1"),
                 ("load.plain", "load.plain@1"), ("load.gz", "load.gz@1"), ("many", "many@1")):
        if a in summary and b in summary:
            ratios[f"{a} / {b}"] = ratio(a, b)
    for name in summary:
        if "ref:" + name in summary:
            ratios[f"{name} / ref:{name}"] = ratio(name, "ref:" + name)
    for k, v in ratios.items():
        print(f"{k:32} {v:.3f}")
    with open(os.path.join(args.out, "decoders.json"), "w") as f:
        json.dump({"medians": summary, "ratios": ratios, "runs": results}, f, indent=1)


if __name__ == "__main__":
    main()
