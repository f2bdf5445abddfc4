#!/usr/bin/env python3
"""Timing harness: palisar against its native floor and a pure-Python replay.

    python bench/run.py [--mb 50] [--runs 5] [--out bench/out] [--parts table,empty,threads,profile]

Run it with the Python of a development environment (.venv/py3.13/bin/python,
with cmake and ninja, as scripts/test creates it). It builds palisar and the
benchmark extension palisar_bench from the working tree (CMake, Release, into
--out) and measures that build; --installed measures the palisar installed in
the interpreter's environment instead.

What it does, every figure a ratio from this one run:

- generates once (cached in --out) a ~--mb MB plain prices file and its gzip
  twin (the same text, compressed), a second market for the thread test, and
  a file of one image followed by 200,000 messages with an empty "mc";
- builds the native floor (bench/floor.cpp), palisar and the benchmark
  extension palisar_bench (bench/capi_floor.cpp, CMake option PALISAR_BENCH)
  into --out;
- table: each variant in a fresh process, the runs interleaved (the order
  reversed on every other run, so drift cancels), medians of --runs runs, for
  the plain file and the gzip twin:
      floor            inflate + parse every line, keeping nothing (C++)
      load             iter_prices_file(path)
      iterate          load + `for book in it: pass`
      consume          load + best back, best lay and last traded price of
                       every runner of every book
      to_dict          load + to_dict() on every 100th book
      keep_100         load + iterate, keeping every 100th book in a list
      keep_all         load + list(it): every book kept
      baseline         the pure-Python replay (bench/baseline.py)
      baseline_consume the pure-Python replay with the same consumer
  with seconds, messages/s, the peak resident memory of each process, and the
  resident memory after loading against the decompressed JSON bytes;
- empty: in one process, next() over the empty-"mc" file against creating a
  MarketBook and a list through the C API (floor_steps), 5 x
  --runs interleaved rounds;
- threads: two threads loading two different files against loading them one
  after the other, fresh processes, interleaved;
- profile: perf record (cpu-clock) of load + iterate on the plain file.

The results go to --out/results.json and --out/results.md.
"""

import argparse
import collections
import gzip
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

EMPTY_STEPS = 200_000
TABLE_VARIANTS = ("floor", "load", "iterate", "consume", "to_dict", "keep_100", "keep_all", "baseline",
                  "baseline_consume")
PAGE = os.sysconf("SC_PAGE_SIZE")


# ---------------------------------------------------------------------------
# Child side: one measurement per process, one JSON line on stdout


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def _vmhwm():
    # VmHWM belongs to this process image alone (ru_maxrss would also count
    # the parent's image before exec).
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def child_table(variant, path):
    out = {"variant": variant}
    if variant.startswith("baseline"):
        import baseline

        started = time.perf_counter()
        if variant == "baseline":
            out["books"] = baseline.replay(path)
        else:
            out["books"], out["checksum"] = baseline.replay_consume(path)
        out["seconds"] = time.perf_counter() - started
        out["vmhwm"] = _vmhwm()
        return out

    import palisar

    rss_before = _rss()
    started = time.perf_counter()
    it = palisar.iter_prices_file(path)
    loaded = time.perf_counter()
    out["load_seconds"] = loaded - started
    out["rss_before_load"] = rss_before
    out["rss_after_load"] = _rss()
    out["messages"] = len(it)
    books = 0
    if variant == "iterate":
        for book in it:
            books += 1
    elif variant == "consume":
        total = 0.0
        for book in it:
            books += 1
            for r in book.runners:
                ex = r.ex
                back = ex.available_to_back
                if back:
                    total += back[0].price
                lay = ex.available_to_lay
                if lay:
                    total += lay[0].price
                ltp = r.last_price_traded
                if ltp is not None:
                    total += ltp
        out["checksum"] = total
    elif variant == "to_dict":
        for book in it:
            if books % 100 == 0:
                book.to_dict()
            books += 1
    elif variant in ("keep_100", "keep_all"):
        every = 100 if variant == "keep_100" else 1
        kept = []
        for book in it:
            if books % every == 0:
                kept.append(book)
            books += 1
    elif variant != "load":
        raise SystemExit(f"unknown variant {variant}")
    out["seconds"] = time.perf_counter() - started
    out["books"] = books
    out["vmhwm"] = _vmhwm()
    return out


def child_threads(mode, paths):
    import palisar

    started = time.perf_counter()
    if mode == "sequential":
        kept = [palisar.iter_prices_file(p) for p in paths]
    else:
        kept = [None] * len(paths)

        def load(i):
            kept[i] = palisar.iter_prices_file(paths[i])

        threads = [threading.Thread(target=load, args=(i,)) for i in range(len(paths))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    seconds = time.perf_counter() - started
    return {"mode": mode, "seconds": seconds, "messages": sum(len(k) for k in kept)}


def child_empty(path, bench_dir, runs):
    """A step that changes nothing against its C-API floor, in this one process."""
    sys.path.append(bench_dir)  # palisar itself comes from PYTHONPATH or site-packages
    import palisar
    import palisar_bench

    def step_seconds(module, how):
        it = module.iter_prices_file(path)
        first = next(it)  # the image: creates the market
        n = len(it) - 1
        started = time.perf_counter()
        if how == "drain":
            collections.deque(it, maxlen=0)
        else:
            for book in it:
                pass
        seconds = time.perf_counter() - started
        return seconds / n, first, n

    _, first, n = step_seconds(palisar, "drain")  # warm-up
    runners, definition = first.runners, first.market_definition
    samples = collections.defaultdict(list)
    for r in range(runs):
        order = ["floor", "step", "step_for", "bench_step"]
        if r % 2:
            order.reverse()
        for what in order:
            if what == "floor":
                samples[what].append(palisar_bench.floor_steps(n, runners, definition) / n)
            elif what == "step":
                samples[what].append(step_seconds(palisar, "drain")[0])
            elif what == "step_for":
                samples[what].append(step_seconds(palisar, "for")[0])
            else:
                samples[what].append(step_seconds(palisar_bench, "drain")[0])
    return {
        "steps": n,
        "runners": len(runners),
        "samples_ns": {k: [s * 1e9 for s in v] for k, v in samples.items()},
    }


# ---------------------------------------------------------------------------
# Parent side: inputs, builds, runs


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def generate_inputs(out, mb):
    import generate

    files = {}
    for seed, name in ((1, "a"), (2, "b")):
        plain = os.path.join(out, f"win-{mb:g}mb-seed{seed}.json")
        gz = plain + ".gz"
        if not os.path.exists(plain):
            log(f"generating {plain}")
            generate.generate(plain + ".partial", mb, seed, 1, gz=False)
            os.replace(plain + ".partial", plain)
        if not os.path.exists(gz) or os.path.getmtime(gz) < os.path.getmtime(plain):
            log(f"compressing {gz}")
            with open(plain, "rb") as src, gzip.open(gz + ".partial", "wb", compresslevel=6) as dst:
                shutil.copyfileobj(src, dst, 1 << 20)
            os.replace(gz + ".partial", gz)
        files[name] = {"plain": plain, "gzip": gz}
    empty = os.path.join(out, f"empty-mc-{EMPTY_STEPS}.json")
    if not os.path.exists(empty):
        log(f"writing {empty}")
        write_empty_mc(empty + ".partial", EMPTY_STEPS)
        os.replace(empty + ".partial", empty)
    files["empty"] = empty
    return files


def write_empty_mc(path, steps, runners=10):
    """One image with a definition and `runners` runners, then `steps` empty changes."""
    pt = 1663077552994
    sids = [10_000_000 + 7919 * i for i in range(runners)]
    definition = {
        "bspMarket": True, "turnInPlayEnabled": True, "persistenceEnabled": True,
        "marketBaseRate": 5, "eventId": "31644350", "eventTypeId": "7", "numberOfWinners": 1,
        "bettingType": "ODDS", "marketType": "WIN", "marketTime": "2022-09-13T17:50:00.000Z",
        "suspendTime": "2022-09-13T17:50:00.000Z", "bspReconciled": False, "complete": True,
        "inPlay": False, "crossMatching": True, "runnersVoidable": False,
        "numberOfActiveRunners": runners, "betDelay": 0, "status": "OPEN",
        "runners": [{"adjustmentFactor": 10.0, "status": "ACTIVE", "sortPriority": i + 1,
                     "id": sid, "hc": 0, "name": f"{i + 1}. Runner {i + 1}"}
                    for i, sid in enumerate(sids)],
        "regulators": ["MR_INT"], "countryCode": "GB", "venue": "Kelmoor",
        "timezone": "Europe/London", "eventName": "Kelmoor 13th Sep", "version": 4500000000,
        "name": "1m2f Hcap", "openDate": "2022-09-13T12:00:00.000Z",
    }
    rc = []
    for i, sid in enumerate(sids):
        base = 2.0 + i
        rc.append({"id": sid, "ltp": base, "tv": 100.0 * (i + 1),
                   "atb": [[round(base - 0.02 * k, 2), 10.0 + k] for k in range(1, 4)],
                   "atl": [[round(base + 0.02 * k, 2), 12.0 + k] for k in range(1, 4)],
                   "trd": [[base, 50.0]]})
    image = {"op": "mcm", "id": 1, "clk": "AAAA", "pt": pt,
             "mc": [{"id": "1.234567890", "img": True, "marketDefinition": definition, "rc": rc}]}
    with open(path, "w") as f:
        f.write(json.dumps(image, separators=(",", ":")) + "\n")
        for i in range(steps):
            f.write('{"op":"mcm","pt":%d,"mc":[]}\n' % (pt + 50 * (i + 1)))


def build_floor(out):
    exe = os.path.join(out, "floor")
    dirs = [os.path.join(ROOT, "src", d) for d in ("parse", "json")]
    listed = sorted(os.path.join(d, f) for d in dirs for f in os.listdir(d))
    compiled = [os.path.join(ROOT, "bench/floor.cpp")] + [f for f in listed if f.endswith(".cpp")]
    sources = compiled + [f for f in listed if f.endswith(".hpp")]
    if os.path.exists(exe) and all(os.path.getmtime(s) < os.path.getmtime(exe) for s in sources):
        return exe
    # The floor also times libdeflate, which the module does not use: its
    # headers come the way the project's own packages do.
    subprocess.run(["bash", "-c", 'source "$0/scripts/common.sh"; SYSTEM_PACKAGES=(libdeflate-dev); '
                    "ensure_system_packages", ROOT], check=True)
    cmd = ["g++", "-std=c++20", "-O3", "-DNDEBUG", "-Wall", "-Wextra", "-I" + os.path.join(ROOT, "src"),
           *compiled, "-lsimdjson", "-lisal", "-ldeflate", "-lz", "-lbz2", "-o", exe]
    log("building the floor: " + " ".join(cmd))
    subprocess.run(cmd, check=True)
    return exe


def build_extensions(out, installed):
    """Builds palisar_bench (and palisar itself, unless `installed`) from this tree.

    Returns the build directory, which holds the built modules."""
    tag = f"py{sys.version_info[0]}{sys.version_info[1]}"
    build = os.path.join(out, "build-" + tag)
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    # configured every time (cheap once done), so the options below always hold
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DPALISAR_MODULE=ON",
                    "-DPALISAR_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release",
                    "-DPython_EXECUTABLE=" + sys.executable],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    targets = ["palisar_bench"] + ([] if installed else ["palisar"])
    log("building " + " and ".join(targets) + " from the working tree")
    subprocess.run(["cmake", "--build", build, "--target", *targets], check=True, env=env,
                   stdout=subprocess.DEVNULL)
    return build


def tree_state():
    """The commit and the files under src/ that differ from it."""
    def git(*args):
        try:
            return subprocess.run(["git", "-C", ROOT, *args], capture_output=True,
                                  text=True).stdout
        except OSError:
            return ""
    dirty = [line[3:] for line in git("status", "--porcelain", "--", "src", "CMakeLists.txt").splitlines()]
    return git("rev-parse", "--short", "HEAD").strip() or "?", dirty


class Children:
    """Runs children one at a time, recording their peak memory and the load average."""

    def __init__(self, tmp, env):
        self.loads = []
        self.others = {}  # part -> CPUs kept busy by other processes, one figure per child
        self.part = None
        self.tmp = tmp
        self.env = env

    def run(self, cmd):
        """Runs `cmd`, returns (stdout, peak resident bytes of the process).

        The peak comes from /usr/bin/time, a small process that forks the
        command itself: a child of this (much larger) harness would otherwise
        report the harness's own peak when that is higher."""
        self.loads.append(os.getloadavg()[0])
        fd, report = tempfile.mkstemp(prefix="rss-", dir=self.tmp)
        os.close(fd)
        try:
            busy_before, started = busy_cpu_seconds(), time.monotonic()
            proc = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", "-o", report, *cmd],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                  env=self.env)
            busy_after, wall = busy_cpu_seconds(), time.monotonic() - started
            if proc.returncode != 0:
                raise SystemExit(f"{' '.join(cmd)} failed ({proc.returncode}):\n{proc.stderr}")
            with open(report) as f:
                maxrss, user, system = f.read().split()[-3:]
            peak = int(maxrss) * 1024
            # the machine's busy CPU time minus the child's own, per second of
            # the child's life: how many CPUs other processes took meanwhile
            if busy_before is not None and busy_after is not None and wall > 0:
                others = busy_after - busy_before - float(user) - float(system)
                self.others.setdefault(self.part, []).append(max(others, 0.0) / wall)
        finally:
            os.unlink(report)
        return proc.stdout, peak


def busy_cpu_seconds():
    """Seconds of CPU time the whole machine spent busy since boot, or None."""
    try:
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    # user, nice, system, idle, iowait, irq, softirq, steal (guest time is in user)
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def self_cmd(*args):
    return [sys.executable, os.path.abspath(__file__), *args]


def interleaved(jobs, runs):
    """Every job once per run; the order is reversed on every other run."""
    for r in range(runs):
        for job in (jobs if r % 2 == 0 else list(reversed(jobs))):
            yield r, job


def run_table(runner, floor, files, runs):
    jobs = [(kind, v) for kind in ("plain", "gzip") for v in TABLE_VARIANTS]
    samples = collections.defaultdict(list)
    for r, (kind, variant) in interleaved(jobs, runs):
        path = files["a"][kind]
        if variant == "floor":
            stdout, peak = runner.run([floor, path])
            secs = float(stdout.split()[0])
            rec = {"variant": "floor", "seconds": secs}
        else:
            stdout, peak = runner.run(self_cmd("--child", "table", variant, path))
            rec = json.loads(stdout)
        rec["peak_rss"] = peak
        samples[(kind, variant)].append(rec)
        log(f"  run {r + 1}/{runs} {kind:5} {variant:16} {rec['seconds']:8.3f} s  "
            f"peak {peak / 1e6:7.1f} MB  load avg {runner.loads[-1]:.2f}, "
            f"others {runner.others['table'][-1]:.2f} CPUs")
    return samples


def run_threads(runner, files, runs):
    samples = collections.defaultdict(list)
    jobs = [(kind, mode) for kind in ("plain", "gzip") for mode in ("sequential", "threads")]
    for r, (kind, mode) in interleaved(jobs, runs):
        paths = [files["a"][kind], files["b"][kind]]
        stdout, peak = runner.run(self_cmd("--child", "threads", mode, *paths))
        rec = json.loads(stdout)
        samples[(kind, mode)].append(rec["seconds"])
        log(f"  run {r + 1}/{runs} {kind:5} {mode:10} {rec['seconds']:7.3f} s  "
            f"load avg {runner.loads[-1]:.2f}, others {runner.others['threads'][-1]:.2f} CPUs")
    return samples


def run_empty(runner, files, bench_dir, runs):
    # each round is short (tens of milliseconds), so take many of them
    stdout, _ = runner.run(self_cmd("--child", "empty", files["empty"], bench_dir, str(5 * runs)))
    return json.loads(stdout)


def run_profile(runner, out, path, top=20):
    perf = shutil.which("perf")
    if not perf:
        log("perf not found: profile skipped")
        return None
    data = os.path.join(out, "perf.data")
    cmd = [perf, "record", "-g", "-o", data, "--"] + self_cmd("--child", "table", "iterate", path)
    log("profiling: " + " ".join(cmd))
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   env=runner.env)
    report = subprocess.run(
        [perf, "report", "-i", data, "--no-children", "--sort", "dso,symbol", "--stdio", "-g", "none"],
        check=True, capture_output=True, text=True).stdout
    rows = []
    for line in report.splitlines():
        match = re.match(r"\s*([\d.]+%)\s+(\S+)\s+\[.\]\s+(.*?)\s*$", line)
        if match:
            pct, dso, symbol = match.groups()
            # without hardware counters the IPC columns only hold dashes
            rows.append((pct, dso, re.sub(r"(\s+-)+$", "", symbol)[:110]))
        if len(rows) >= top:
            break
    by_object = subprocess.run(
        [perf, "report", "-i", data, "--no-children", "--sort", "dso", "--stdio", "-g", "none"],
        check=True, capture_output=True, text=True).stdout
    objects = []
    for line in by_object.splitlines():
        match = re.match(r"\s*([\d.]+%)\s+(\S+)", line)
        if match and len(objects) < 8:
            objects.append(match.groups())
    return {"command": " ".join(cmd), "rows": rows, "objects": objects}


# ---------------------------------------------------------------------------
# Summary


def shown(path):
    """`path` relative to the repository when it lies inside it."""
    rel = os.path.relpath(path, ROOT)
    return path if rel.startswith("..") else rel


def med(xs):
    return statistics.median(xs)


def machine(runner):
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    head, dirty = tree_state()
    where = json.loads(runner.run(self_cmd("--child", "where"))[0])
    return {"nproc": os.cpu_count(), "cpu": model, "python": platform.python_version(),
            "palisar": where["file"], "palisar_built": where["built"], "git_head": head,
            "uncommitted": dirty}


def summarise(args, files, table, threads, empty, profile, runner, started, finished):
    lines = []
    add = lines.append
    loads = list(runner.loads)
    runner.part = None  # the children below belong to no part
    m = machine(runner)
    add(f"Run {time.strftime('%Y-%m-%d %H:%M', time.localtime(started))}, "
        f"{(finished - started) / 60:.1f} min; git {m['git_head']}"
        + (f" with uncommitted changes in {', '.join(m['uncommitted'])}" if m["uncommitted"] else "")
        + f"; palisar {shown(m['palisar'])} (built {m['palisar_built']})")
    add(f"Machine: {m['nproc']} CPUs, {m['cpu']}; Python {m['python']}")
    if loads:
        add(f"Load average (1 min) at the start of each child: min {min(loads):.2f}, "
            f"median {med(loads):.2f}, max {max(loads):.2f}")
    others = {part: xs for part, xs in runner.others.items() if part and xs}
    if others:
        add("CPUs kept busy by other processes while a child ran (median, max): " + "; ".join(
            f"{part} {med(xs):.2f}, {max(xs):.2f}" for part, xs in others.items()))
    size = os.path.getsize(files["a"]["plain"])
    gz_size = os.path.getsize(files["a"]["gzip"])
    add(f"Input: {os.path.basename(files['a']['plain'])}, {size / 1e6:.1f} MB of JSON "
        f"(gzip twin {gz_size / 1e6:.1f} MB); medians of {args.runs} interleaved runs")
    add("")
    result = {"machine": m, "loads": loads, "others": others, "bytes": size, "runs": args.runs}
    bars = {}
    if table:
        add("| variant | plain s | plain msg/s | plain peak RSS MB | gzip s | gzip msg/s | gzip peak RSS MB |")
        add("|---|---:|---:|---:|---:|---:|---:|")
        msgs = table[("plain", "load")][0]["messages"]
        figures = {}
        for v in TABLE_VARIANTS:
            row = [v]
            for kind in ("plain", "gzip"):
                recs = table[(kind, v)]
                secs = med([r["seconds"] for r in recs])
                peak = med([r["peak_rss"] for r in recs])
                figures[(kind, v)] = secs
                row += [f"{secs:.3f}", f"{msgs / secs:,.0f}", f"{peak / 1e6:.0f}"]
            add("| " + " | ".join(row) + " |")
        add("")
        add(f"{msgs:,} messages. Iterate part alone (iterate - its own load), per step: " + ", ".join(
            f"{kind} {med([(r['seconds'] - r['load_seconds']) for r in table[(kind, 'iterate')]]) / msgs * 1e9:,.0f} ns"
            for kind in ("plain", "gzip")))
        add("")
        # Beside the ratio of the medians, the median of the ratios within each
        # run (the two processes ran next to each other, so a slow spell of
        # the machine weighs on both).
        def paired(kind, num, den):
            return med([a["seconds"] / b["seconds"]
                        for a, b in zip(table[(kind, num)], table[(kind, den)])])
        add("| ratio | plain | gzip | plain, paired | gzip, paired | bar |")
        add("|---|---:|---:|---:|---:|---|")
        for name, num, den, bar, limit in (
            ("load / floor", "load", "floor", "1: <= 1.3", 1.3),
            ("baseline / (load+iterate)", "baseline", "iterate", "2: >= 35", 35),
            ("baseline with consumer / (load+iterate+consumer)", "baseline_consume", "consume",
             "2: >= 18", 18),
            ("to_dict every 100th / iterate", "to_dict", "iterate", "", None),
            ("every 100th book kept / iterate", "keep_100", "iterate", "", None),
            ("every book kept / iterate", "keep_all", "iterate", "", None),
        ):
            vals = {k: figures[(k, num)] / figures[(k, den)] for k in ("plain", "gzip")}
            pairs = {k: paired(k, num, den) for k in ("plain", "gzip")}
            add(f"| {name} | {vals['plain']:.2f} | {vals['gzip']:.2f} | {pairs['plain']:.2f} | "
                f"{pairs['gzip']:.2f} | {bar} |")
            if limit is not None:
                ok = all((v <= limit) if name.startswith("load") else (v >= limit) for v in vals.values())
                bars[name] = {"values": vals, "limit": limit, "pass": ok}
        add("")
        add("| memory after loading | plain | gzip |")
        add("|---|---:|---:|")
        rss = {}
        for kind in ("plain", "gzip"):
            recs = table[(kind, "load")]
            after = med([r["rss_after_load"] for r in recs])
            grown = med([r["rss_after_load"] - r["rss_before_load"] for r in recs])
            peak = med([r["peak_rss"] for r in recs])
            rss[kind] = (after, grown, peak)
        add("| resident after load, MB | " + " | ".join(f"{rss[k][0] / 1e6:.1f}" for k in rss) + " |")
        add("| ... / decompressed JSON bytes | " + " | ".join(f"{rss[k][0] / size:.2f}" for k in rss) + " |")
        add("| growth by the load / JSON bytes | " + " | ".join(f"{rss[k][1] / size:.2f}" for k in rss) + " |")
        add("| peak of the load process / JSON bytes | " + " | ".join(f"{rss[k][2] / size:.2f}" for k in rss) + " |")
        bars["rss after load / JSON bytes"] = {
            "values": {k: rss[k][0] / size for k in rss}, "limit": 2.0,
            "pass": all(rss[k][0] / size <= 2.0 for k in rss)}
        add("")
        result["table"] = {f"{k}/{v}": recs for (k, v), recs in table.items()}
    if empty:
        s = empty["samples_ns"]
        step, floor_ns = med(s["step"]), med(s["floor"])
        add(f"Empty step ({empty['steps']:,} empty \"mc\" messages, {empty['runners']} runners, one "
            f"process, medians of {len(s['step'])}): next() {step:.0f} ns (drained by a deque), "
            f"{med(s['step_for']):.0f} ns (for loop), the bench build's own iterator "
            f"{med(s['bench_step']):.0f} ns; C-API floor {floor_ns:.0f} ns; "
            f"ratio {step / floor_ns:.2f} (bar 3: <= 2)")
        bars["empty step / C-API floor"] = {"values": {"step": step / floor_ns}, "limit": 2.0,
                                            "pass": step / floor_ns <= 2.0}
        add("")
        result["empty"] = empty
    if threads:
        add("| two files | plain | gzip |")
        add("|---|---:|---:|")
        seq = {k: med(threads[(k, "sequential")]) for k in ("plain", "gzip")}
        thr = {k: med(threads[(k, "threads")]) for k in ("plain", "gzip")}
        add("| one after the other, s | " + " | ".join(f"{seq[k]:.3f}" for k in seq) + " |")
        add("| two threads, s | " + " | ".join(f"{thr[k]:.3f}" for k in thr) + " |")
        add("| threads / sequential (bar 5: <= 0.6) | " + " | ".join(f"{thr[k] / seq[k]:.2f}" for k in seq) + " |")
        bars["two threads / sequential"] = {"values": {k: thr[k] / seq[k] for k in seq}, "limit": 0.6,
                                            "pass": all(thr[k] / seq[k] <= 0.6 for k in seq)}
        add("")
        result["threads"] = {f"{k}/{m}": v for (k, m), v in threads.items()}
    if bars:
        add("Bars:")
        for name, b in bars.items():
            vals = ", ".join(f"{k} {v:.2f}" for k, v in b["values"].items())
            add(f"- {name}: {vals} (limit {b['limit']:g}): {'pass' if b['pass'] else 'FAIL'}")
        add("")
        result["bars"] = bars
    if profile:
        add(f"Profile (self time, cpu-clock): {profile['command']}")
        add("")
        add("By object: " + ", ".join(f"{dso} {pct}" for pct, dso in profile["objects"]))
        add("")
        add("| self | object | symbol |")
        add("|---:|---|---|")
        for pct, dso, sym in profile["rows"]:
            add(f"| {pct} | {dso} | `{sym}` |")
        add("")
        result["profile"] = profile
    return "\n".join(lines), result


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "--child":
        what = argv[1]
        if what == "table":
            res = child_table(argv[2], argv[3])
        elif what == "threads":
            res = child_threads(argv[2], argv[3:])
        elif what == "empty":
            res = child_empty(argv[2], argv[3], int(argv[4]))
        elif what == "where":
            import palisar

            res = {"file": palisar.__file__, "built": time.strftime(
                "%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(palisar.__file__)))}
        else:
            raise SystemExit(f"unknown child {what}")
        print(json.dumps(res))
        return 0

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=float, default=50.0, help="size of the generated file (MB of JSON)")
    parser.add_argument("--runs", type=int, default=5, help="runs per variant (medians)")
    parser.add_argument("--out", default=os.path.join(HERE, "out"), help="cache and results directory")
    parser.add_argument("--parts", default="table,empty,threads,profile",
                        help="comma-separated: table, empty, threads, profile")
    parser.add_argument("--installed", action="store_true",
                        help="measure the palisar installed in this interpreter's environment "
                             "instead of building it from the working tree")
    args = parser.parse_args(argv)
    parts = set(p.strip() for p in args.parts.split(",") if p.strip())
    os.makedirs(args.out, exist_ok=True)
    out = os.path.abspath(args.out)

    started = time.time()
    files = generate_inputs(out, args.mb)
    floor = build_floor(out) if "table" in parts else None
    bench_dir = build_extensions(out, args.installed)
    env = dict(os.environ)
    if not args.installed:
        # the children import the palisar built above, not an installed one
        env["PYTHONPATH"] = bench_dir + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    runner = Children(out, env)
    table = threads = empty = profile = None
    if "table" in parts:
        log("table")
        runner.part = "table"
        table = run_table(runner, floor, files, args.runs)
    if "empty" in parts:
        log("empty step")
        runner.part = "empty"
        empty = run_empty(runner, files, bench_dir, args.runs)
    if "threads" in parts:
        log("threads")
        runner.part = "threads"
        threads = run_threads(runner, files, args.runs)
    if "profile" in parts:
        profile = run_profile(runner, out, files["a"]["plain"])
    finished = time.time()
    text, result = summarise(args, files, table, threads, empty, profile, runner, started, finished)
    result["command"] = " ".join([os.path.relpath(sys.executable, ROOT) if sys.executable.startswith(ROOT)
                                  else sys.executable, "bench/run.py", *argv])
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump(result, f, indent=1, default=str)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(text + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
