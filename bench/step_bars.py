#!/usr/bin/env python3
"""The step against its floor, the load against its floor, per file, in one run.

    python bench/step_bars.py [--runs 5] [--instructions] [--files F ...]
        [--reference REF ...] [--soak] [--out bench/out]

Run it with the Python of a development environment (.venv/py3.13/bin/python,
with cmake and ninja). Like run.py it builds palisar, the benchmark extension
palisar_bench (bench/capi_floor.cpp) and the native load floor (bench/floor.cpp)
from the working tree into --out, and measures that build.

Files: the generated 5 MB and 50 MB markets (generate.py, seed 1, cached in
--out) and the recorded markets ($PALISAR_DATA_DIR, else shared/data beside the
repository; absent ones are left out), or the --files given.

Per file, four parts:
    step        next() over every message with nothing read (a `for` loop;
                under callgrind palisar_bench.drain, see below)
    step floor  the same messages' ladder deltas applied to flat sorted
                vectors, and the objects a snapshot must create: a MarketBook,
                its runners list, and a Runner and an ExchangePrices per
                runner that changed (the publish-time datetime is made on its
                first read) (palisar_bench.plan_steps
                and run_step_floor; the deltas are taken from the file before
                the clock starts: parsing belongs to the load)
    load        iter_prices_file(path)
    load floor  bench/floor.cpp: read and parse every line natively, keeping
                nothing
and the bars: step <= 1.5 x step floor, load + step <= 1.3 x (load floor + step
floor). The floor is also shown split into its ladder and object parts, and
with one new unread listing per changed back, lay or traded ladder ("with
listings"), which the floor itself does not count.

Timing (the default): every run measures each file in two fresh processes (the
load floor; then load, step and step floor in one child), files in reversed
order on every other run; small files repeat each part in the child until it
covers about 20,000 messages (and the load floor runs up to 15 times, its
median taken); medians of the runs, and beside them the median of the ratios
within each run. --instructions counts instructions instead, under callgrind:
one process loads, steps (palisar_bench.drain: next() and the release of each
previous snapshot, as a `for` loop does them) and runs the step floor, each
part counted as the inclusive cost of its function (next() alone beside it);
one runs the floor with listings, one each reference, one the load floor; and
a fresh process that imports palisar and replays the greyhound WIN recording
is counted whole and inside iter_prices_file and next() only.

--reference REF (repeatable): another palisar, as a directory holding a build
of it, or as a git revision, which is exported (git archive) and built with
CMake into --out/ref-REV once; its load, step and resident memory after loading
are measured beside this build's in the same runs (and its greyhound process
under --instructions): the load and step of each build in a child that only
loads and steps, the children in alternating order. --soak runs tests/soak.py against this build and shows its
slopes. Results go to --out/step_bars.md and step_bars.json.
"""

import argparse
import collections
import json
import math
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

STEP_BAR = 1.5
BOTH_BAR = 1.3
RSS_BAR = 1.1
# Small files repeat each timed part until it covers this many messages.
COVER_MESSAGES = 20_000
FLOOR_PARTS = ("floor", "ladders", "objects", "listings")
GREYHOUND = "greyhound-win-1.197931750"
# The entry points of a load and of a step: the outermost function whose name
# holds these (a wrapper may call the function of the same name).
LOAD_ENTRY = "iter_prices_file("
STEP_ENTRY = "prices_next"


def data_dir():
    return os.environ.get("PALISAR_DATA_DIR") or os.path.join(os.path.dirname(ROOT), "shared", "data")


# ---------------------------------------------------------------------------
# Child side


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def check_plan(palisar, path, counts):
    """The plan's counts against what palisar's own snapshots show: the books,
    the Runner objects made anew and the lists made anew (read afterwards)."""
    books = changed = lists = 0
    previous = {}
    for book in palisar.iter_prices_file(path):
        books += 1
        for r in book.runners:
            key = (r.selection_id, r.handicap)
            old = previous.get(key)
            if old is not r:
                changed += 1
                for name in ("available_to_back", "available_to_lay", "traded_volume"):
                    if old is None or getattr(old.ex, name) is not getattr(r.ex, name):
                        lists += 1
            previous[key] = r
    seen = {"snapshots": books, "changed_runners": changed, "changed_lists": lists}
    wrong = {k: (v, counts[k]) for k, v in seen.items() if counts[k] != v}
    if wrong:
        raise SystemExit(f"the step floor's plan of {path} disagrees with palisar "
                         f"(palisar, plan): {wrong}")


def child(mode, path, repeat, parts):
    """One process: `mode` is "time" (load, step and floor parts, interleaved
    as `parts` orders them, each repeated `repeat` times), or for callgrind
    "count" (a load, a step over every message, the step floor once) or one
    floor part alone."""
    import palisar

    out = {"mode": mode}
    if mode in ("time", "count"):
        before = _rss()
        started = time.perf_counter()
        it = palisar.iter_prices_file(path)
        out["load_first"] = time.perf_counter() - started
        out["rss_after_load"] = _rss()
        out["rss_before_load"] = before
        out["messages"] = len(it)
        if mode == "count":
            import palisar_bench

            palisar_bench.drain(it)
        del it
    try:
        import palisar_bench
    except ImportError:
        palisar_bench = None
    if palisar_bench and os.path.dirname(palisar_bench.__file__) != os.path.dirname(palisar.__file__):
        palisar_bench = None  # another build's palisar: its floor is not measured
    if mode in FLOOR_PARTS or (mode == "count" and palisar_bench is not None):
        plan, counts = palisar_bench.plan_steps(path)
        palisar_bench.run_step_floor(plan, "floor" if mode == "count" else mode)
        out["counts"] = counts
    if mode != "time":
        return out
    plan = None
    if palisar_bench is not None:
        plan, counts = palisar_bench.plan_steps(path)
        out["counts"] = counts
        if parts.startswith("check,"):
            check_plan(palisar, path, counts)
    samples = collections.defaultdict(list)
    order = [p for p in parts.split(",") if p != "check" and (plan is not None or p in ("load", "step"))]
    for r in range(repeat):
        for part in (order if r % 2 == 0 else order[::-1]):
            if part == "load":
                started = time.perf_counter()
                it = palisar.iter_prices_file(path)
                samples["load"].append(time.perf_counter() - started)
                del it
            elif part == "step":
                it = palisar.iter_prices_file(path)
                started = time.perf_counter()
                for book in it:
                    pass
                samples["step"].append(time.perf_counter() - started)
                del book, it
            else:
                samples[part].append(palisar_bench.run_step_floor(plan, part))
    out["seconds"] = {k: statistics.median(v) for k, v in samples.items()}
    return out


# ---------------------------------------------------------------------------
# Parent side


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def self_cmd(*args):
    return [sys.executable, os.path.abspath(__file__), *args]


def run_child(env, *args):
    proc = subprocess.run(self_cmd("--child", *args), capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"child {args} failed ({proc.returncode}):\n{proc.stderr}")
    return json.loads(proc.stdout)


def with_path(*builds):
    """The environment of a child importing palisar from the first of `builds`
    (palisar_bench, when needed, from a later one)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*builds, *([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])])
    return env


def inputs(args):
    if args.files:
        return [os.path.abspath(f) for f in args.files]
    import generate

    files = []
    for mb in (5, 50):
        path = os.path.join(args.out, f"win-{mb}mb-seed1.json")
        if not os.path.exists(path):
            log(f"generating {path}")
            generate.generate(path + ".partial", mb, 1, 1, gz=False)
            os.replace(path + ".partial", path)
        files.append(path)
    for name in ("football-match-odds-1.200806927", "greyhound-place-1.197931751", GREYHOUND):
        path = os.path.join(data_dir(), name)
        if os.path.isfile(path):
            files.append(path)
        else:
            log(f"{path} is not available: left out")
    return files


def message_count(path):
    with open(path, "rb") as f:
        return sum(1 for line in f if line.strip())


def callgrind(cmd, env, tmp):
    """Runs `cmd` under callgrind; returns its instructions and the callgrind file."""
    fd, out = tempfile.mkstemp(prefix="cg-", dir=tmp)
    os.close(fd)
    vg = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"]
    # On one CPU a load parses on the calling thread alone, so that all of its
    # work is counted inside iter_prices_file (workers run outside it).
    proc = subprocess.run(vg + cmd, capture_output=True, text=True, env=env,
                          preexec_fn=lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}))
    if proc.returncode != 0:
        raise SystemExit(f"{' '.join(vg + cmd)} failed:\n{proc.stderr[-2000:]}")
    with open(out) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1]), out
    raise SystemExit(f"no totals in {out}")


def inclusive(cg_file, match, exact=False):
    """Inclusive instructions of the outermost function whose name holds
    `match` (or is `match`, with `exact`): the largest inclusive count among
    them; 0 when none ran."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", cg_file],
                          capture_output=True, text=True, check=True).stdout
    best = 0
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\([^)]*\)\s+)?[^:\s]*:(.*?)(?: \[[^\]]*\])?$", line)
        if not m:
            continue
        name = m.group(2)
        if name == match if exact else match in name:
            best = max(best, int(m.group(1).replace(",", "")))
    return best


def time_runs(args, files, floor, build, references):
    env = with_path(build)
    samples = collections.defaultdict(list)
    for r in range(args.runs):
        for path in (files if r % 2 == 0 else files[::-1]):
            name = os.path.basename(path)
            repeat = max(1, math.ceil(COVER_MESSAGES / message_count(path)))
            # a small file's floor is short beside starting its process: several, their median
            floor_secs = [float(subprocess.run([floor, path], capture_output=True, text=True,
                                               check=True).stdout.split()[0])
                          for _ in range(min(repeat, 15))]
            samples[(name, "load_floor")].append(med(floor_secs))
            parts = ["load", "step", *FLOOR_PARTS]
            if r == 0:
                parts.insert(0, "check")
            rec = run_child(env, "time", path, str(repeat), ",".join(parts if r % 2 == 0 else parts[::-1]))
            for k, v in rec["seconds"].items():
                samples[(name, k)].append(v)
            samples[(name, "rss_after_load")].append(rec["rss_after_load"])
            samples[(name, "messages")] = [rec["messages"]]
            # Against a reference, this build's load and step come from a child
            # that does only what the reference's does: the child above also
            # plans and runs the floors, and its load and step run beside them.
            others = ([("same", env)] + [(label, with_path(where)) for label, where in references.items()]
                      if references else [])
            if r % 2:
                others.reverse()
            for label, child_env in others:
                ref = run_child(child_env, "time", path, str(repeat), "load,step")
                for k, v in ref["seconds"].items():
                    samples[(name, f"{label}:{k}")].append(v)
                if label != "same":
                    samples[(name, f"{label}:rss_after_load")].append(ref["rss_after_load"])
            log(f"  run {r + 1}/{args.runs} {name}: step {rec['seconds']['step'] / rec['messages'] * 1e9:,.0f} ns, "
                f"floor {rec['seconds']['floor'] / rec['messages'] * 1e9:,.0f} ns a message "
                f"(x{repeat}), load {rec['seconds']['load'] * 1e3:.1f} ms, "
                f"load floor {samples[(name, 'load_floor')][-1] * 1e3:.1f} ms")
    return samples


def count_runs(args, files, floor, build, references, tmp):
    env = with_path(build)
    counts = {}
    for path in files:
        name = os.path.basename(path)
        c = {}
        _, cg = callgrind([floor, path], env, tmp)
        c["load_floor"] = inclusive(cg, "main", exact=True)
        _, cg = callgrind(self_cmd("--child", "count", path, "1", ""), env, tmp)
        c["load"] = inclusive(cg, LOAD_ENTRY)
        c["step"] = inclusive(cg, "drain_steps(")
        c["next"] = inclusive(cg, STEP_ENTRY)
        c["floor"] = inclusive(cg, "step_floor_run(")
        c["ladders"] = inclusive(cg, "floor_apply_deltas(")
        c["objects"] = c["floor"] - c["ladders"]
        _, cg = callgrind(self_cmd("--child", "listings", path, "1", ""), env, tmp)
        c["listings"] = inclusive(cg, "step_floor_run(")
        for label, where in references.items():
            _, cg = callgrind(self_cmd("--child", "count", path, "1", ""), with_path(where, build), tmp)
            c[f"{label}:load"] = inclusive(cg, LOAD_ENTRY)
            c[f"{label}:step"] = inclusive(cg, "drain_steps(")
        c["messages"] = run_child(env, "count", path, "1", "")["messages"]
        counts[name] = c
        log(f"  {name}: " + ", ".join(f"{k} {v:,}" for k, v in c.items()))
    return counts


def greyhound_counts(build, references, tmp):
    path = os.path.join(data_dir(), GREYHOUND)
    if not os.path.isfile(path):
        return None
    code = f"import palisar; [b for b in palisar.iter_prices_file({path!r})]"
    result = {}
    for label, where in (("this", build), *references.items()):
        whole, cg = callgrind([sys.executable, "-c", code], with_path(where), tmp)
        replay = inclusive(cg, LOAD_ENTRY) + inclusive(cg, STEP_ENTRY)
        result[label] = {"whole": whole, "replay": replay}
        log(f"  greyhound process ({label}): {whole:,} instructions, {replay:,} in the replay")
    return result


def reference_build(ref, out):
    """The build directory of a reference: `ref` itself when it is a
    directory, else the build of git revision `ref`, made once into out."""
    if os.path.isdir(ref):
        return os.path.abspath(ref)
    rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", ref], capture_output=True,
                         text=True, check=True).stdout.strip()
    where = os.path.join(out, f"ref-{rev}")
    build = os.path.join(where, "build")
    if not os.path.isdir(build):
        log(f"building {ref} ({rev}) into {where}")
        source = os.path.join(where, "src")
        os.makedirs(source, exist_ok=True)
        archive = subprocess.run(["git", "-C", ROOT, "archive", rev], capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
        env = dict(os.environ)
        env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
        subprocess.run(["cmake", "-S", source, "-B", build + ".partial", "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DPython_EXECUTABLE=" + sys.executable],
                       check=True, env=env, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build + ".partial", "--target", "palisar"], check=True,
                       env=env, stdout=subprocess.DEVNULL)
        os.replace(build + ".partial", build)
    return build


def soak(build):
    fd, out = tempfile.mkstemp(suffix=".json")
    os.close(fd)
    try:
        subprocess.run([sys.executable, os.path.join(ROOT, "tests", "soak.py"), "--json", out],
                       check=True, env=with_path(build), stdout=subprocess.DEVNULL)
        with open(out) as f:
            return json.load(f)
    finally:
        os.unlink(out)


# ---------------------------------------------------------------------------
# Summary


def med(xs):
    return statistics.median(xs)


def verdict(value, limit):
    return "passes" if value <= limit else "FAILS"


def summarise_times(samples, files, runs, references):
    lines = [f"Timing, medians of {runs} interleaved runs; ns a message; (paired: the median of the "
             "ratios within each run)", ""]
    lines.append("| file | messages | step | floor | ladders | objects | with listings | step / floor "
                 f"(<= {STEP_BAR}) | paired | load ms | load floor ms | (load + step) / (both floors) "
                 f"(<= {BOTH_BAR}) | paired | resident after load MB |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    bars = {}
    for path in files:
        name = os.path.basename(path)
        s = {k[1]: v for k, v in samples.items() if k[0] == name}
        n = s["messages"][0]
        ns = {k: med(s[k]) / n * 1e9 for k in ("step", *FLOOR_PARTS)}
        step_ratio = med(s["step"]) / med(s["floor"])
        step_paired = med([a / b for a, b in zip(s["step"], s["floor"])])
        both = (med(s["load"]) + med(s["step"])) / (med(s["load_floor"]) + med(s["floor"]))
        both_paired = med([(a + b) / (c + d) for a, b, c, d in
                           zip(s["load"], s["step"], s["load_floor"], s["floor"])])
        lines.append(
            f"| {name} | {n:,} | {ns['step']:,.0f} | {ns['floor']:,.0f} | {ns['ladders']:,.0f} | "
            f"{ns['objects']:,.0f} | {ns['listings']:,.0f} | {step_ratio:.2f} {verdict(step_ratio, STEP_BAR)} | "
            f"{step_paired:.2f} | {med(s['load']) * 1e3:.1f} | {med(s['load_floor']) * 1e3:.1f} | "
            f"{both:.2f} {verdict(both, BOTH_BAR)} | {both_paired:.2f} | {med(s['rss_after_load']) / 1e6:.1f} |")
        bars[name] = {"step_over_floor": step_ratio, "step_over_floor_paired": step_paired,
                      "both_over_floors": both, "both_over_floors_paired": both_paired}
    for label in references:
        lines += ["", f"Against {label} ({references[label]}), same runs (the steps and loads of both "
                  "in children that only load and step):", "",
                  f"| file | step ns, this | {label} | this / {label} | load ms, this | {label} | "
                  f"this / {label} | resident after load MB, this | {label} | resident / {label} (<= {RSS_BAR}) |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for path in files:
            name = os.path.basename(path)
            s = {k[1]: v for k, v in samples.items() if k[0] == name}
            n = s["messages"][0]
            rss, ref_rss = med(s["rss_after_load"]), med(s[f"{label}:rss_after_load"])
            step, ref_step = med(s["same:step"]), med(s[label + ":step"])
            load, ref_load = med(s["same:load"]), med(s[label + ":load"])
            lines.append(
                f"| {name} | {step / n * 1e9:,.0f} | {ref_step / n * 1e9:,.0f} | {step / ref_step:.3f} | "
                f"{load * 1e3:.1f} | {ref_load * 1e3:.1f} | {load / ref_load:.3f} | {rss / 1e6:.1f} | "
                f"{ref_rss / 1e6:.1f} | {rss / ref_rss:.2f} {verdict(rss / ref_rss, RSS_BAR)} |")
            bars[name][f"rss_over_{label}"] = rss / ref_rss
    return lines, bars


def summarise_counts(counts, greyhound, references):
    lines = ["Instructions (callgrind) a message, counted inside each part's function only: the step "
             "in palisar_bench.drain (next() and the release of the previous snapshot, as a `for` loop "
             "does it), next() alone inside palisar's next(); the load in iter_prices_file; the floors in "
             "step_floor_run and the floor binary's main", ""]
    lines.append("| file | messages | step | next() alone | floor | ladders | objects | with listings | step / floor "
                 f"(<= {STEP_BAR}) | load | load floor | (load + step) / (both floors) (<= {BOTH_BAR}) |"
                 + "".join(f" step, {label} |" for label in references))
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|" + "---:|" * len(references))
    bars = {}
    for name, c in counts.items():
        n = c["messages"]
        per = {k: c[k] / n for k in ("step", "next", *FLOOR_PARTS, "load", "load_floor")}
        step_ratio = c["step"] / c["floor"]
        both = (c["load"] + c["step"]) / (c["load_floor"] + c["floor"])
        lines.append(
            f"| {name} | {n:,} | {per['step']:,.0f} | {per['next']:,.0f} | {per['floor']:,.0f} | {per['ladders']:,.0f} | "
            f"{per['objects']:,.0f} | {per['listings']:,.0f} | {step_ratio:.2f} {verdict(step_ratio, STEP_BAR)} | "
            f"{per['load']:,.0f} | {per['load_floor']:,.0f} | {both:.2f} {verdict(both, BOTH_BAR)} |"
            + "".join(f" {c[label + ':step'] / n:,.0f} |" for label in references))
        bars[name] = {"step_over_floor": step_ratio, "both_over_floors": both}
    if greyhound:
        lines += ["", f"A fresh process replaying {GREYHOUND} (`python -c \"import palisar; "
                  "[b for b in palisar.iter_prices_file(F)]\"`):", ""]
        for label, g in greyhound.items():
            lines.append(f"- {label}: {g['whole']:,} instructions in all, {g['replay']:,} inside "
                         "iter_prices_file and next()")
        for label in references:
            ratio = greyhound["this"]["whole"] / greyhound[label]["whole"]
            lines.append(f"- this / {label}: {ratio:.2f} (bar against the reference build: "
                         f"<= 0.5), replay alone {greyhound['this']['replay'] / greyhound[label]['replay']:.2f}")
            bars[f"greyhound_process_over_{label}"] = ratio
    return lines, bars


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "--child":
        print(json.dumps(child(argv[1], argv[2], int(argv[3]), argv[4])))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="interleaved runs (timing)")
    parser.add_argument("--instructions", action="store_true", help="count instructions under callgrind")
    parser.add_argument("--files", nargs="+", help="prices files (default: generated and recorded)")
    parser.add_argument("--reference", action="append", default=[],
                        help="another palisar to compare with: a build directory or a git revision")
    parser.add_argument("--soak", action="store_true", help="also run tests/soak.py")
    parser.add_argument("--out", default=os.path.join(HERE, "out"), help="cache and results directory")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    args.out = os.path.abspath(args.out)
    import run

    references = {ref: reference_build(ref, args.out) for ref in args.reference}

    files = inputs(args)
    floor = run.build_floor(args.out)
    build = run.build_extensions(args.out, installed=False)
    head, dirty = run.tree_state()
    lines = [f"step_bars {' '.join(argv)}: git {head}" + (f" (uncommitted: {', '.join(dirty)})" if dirty else "")
             + f", {time.strftime('%Y-%m-%d %H:%M')}, load average {os.getloadavg()[0]:.2f}", ""]
    result = {"argv": argv, "git": head, "files": files}
    if args.instructions:
        with tempfile.TemporaryDirectory(prefix="step-bars-") as tmp:
            counts = count_runs(args, files, floor, build, references, tmp)
            greyhound = greyhound_counts(build, references, tmp)
        text, bars = summarise_counts(counts, greyhound, references)
        result.update(counts=counts, greyhound=greyhound, bars=bars)
    else:
        samples = time_runs(args, files, floor, build, references)
        text, bars = summarise_times(samples, files, args.runs, references)
        result.update(samples={f"{k[0]}/{k[1]}": v for k, v in samples.items()}, bars=bars)
    lines += text
    if args.soak:
        s = soak(build)
        result["soak"] = {k: {n: v for n, v in f.items() if "slope" in n or n == "rounds"} for k, f in s.items()}
        lines += ["", "Soak (tests/soak.py; flat: fewer than 1 allocated block and 16 KiB resident a round):"]
        for series, f in s.items():
            flat = abs(f["blocks_slope"]) < 1.0 and f["rss_slope"] < 16 * 1024
            lines.append(f"- {series}: {f['rounds']} rounds, resident {f['rss'][0] / 2**20:.1f} -> "
                         f"{f['rss'][-1] / 2**20:.1f} MiB, slope {f['rss_slope']:,.0f} bytes and "
                         f"{f['blocks_slope']:.3f} allocated blocks a round: {'flat' if flat else 'GROWS'}")
    lines.append("")
    text = "\n".join(lines)
    with open(os.path.join(args.out, "step_bars.md"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(args.out, "step_bars.json"), "w") as f:
        json.dump(result, f, indent=1, default=str)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
