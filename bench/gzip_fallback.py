"""The gzip load of two builds of palisar, interleaved in fresh processes.

    python bench/gzip_fallback.py FILE.gz PYTHON_A PYTHON_B [--runs 11]

Each interpreter (of a virtual environment with its own palisar build, e.g.
the default ISA-L build and one configured with -DPALISAR_GZIP=zlib) loads
FILE.gz with palisar.iter_prices_file in a fresh process, once per run, the
order reversed on every other run. Prints the median load time of each and
the ratio B / A, as the ratio of the medians and as the median of the
per-run ratios.
"""
import argparse
import json
import statistics
import subprocess

CHILD = """
import json, sys, time, palisar
started = time.perf_counter()
it = palisar.iter_prices_file(sys.argv[1])
seconds = time.perf_counter() - started
print(json.dumps({"seconds": seconds, "module": palisar.__file__}))
"""


def load(python, path):
    out = subprocess.run([python, "-c", CHILD, path], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("path")
    parser.add_argument("python_a")
    parser.add_argument("python_b")
    parser.add_argument("--runs", type=int, default=11)
    args = parser.parse_args()
    pair = [args.python_a, args.python_b]
    times = {p: [] for p in pair}
    for r in range(args.runs):
        for p in pair if r % 2 == 0 else pair[::-1]:
            result = load(p, args.path)
            times[p].append(result["seconds"])
            if r == 0:
                print(f"{p}: {result['module']}")
    a, b = (statistics.median(times[p]) for p in pair)
    per_run = statistics.median(y / x for x, y in zip(times[args.python_a], times[args.python_b]))
    print(f"A median {a:.3f} s, B median {b:.3f} s over {args.runs} runs")
    print(f"B / A: {b / a:.3f} (medians), {per_run:.3f} (median of per-run ratios)")


if __name__ == "__main__":
    main()
