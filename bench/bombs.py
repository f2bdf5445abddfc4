"""Loading decompression bombs: the peak memory of iter_prices_file, and how
long the load goes on after Ctrl-C. Each case runs in a child of its own.

    python bench/bombs.py [--dir DIR] [--gib 1] [--interrupt-after 0.3] [CASE...]

Cases: blank-lines.gz, blank-lines.bz2, blank-lines.zst, one-line.gz,
one-line.bz2, one-line.zst (a line of "x" with no line feed), repeated.gz (one
small message repeated). The files are written to DIR (default: a temporary
directory) once and kept there; the zstd ones with the zstd tool.
"""

import argparse
import bz2
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import zlib

MESSAGE = (b'{"op":"mcm","clk":"1","pt":1700000000000,"mc":[{"id":"1.1","rc":'
           b'[{"id":7,"atb":[[2.5,10.0]],"ltp":2.5}]}]}\n')
CASES = {
    "blank-lines.gz": b"\n",
    "blank-lines.bz2": b"\n",
    "one-line.gz": b"x",
    "one-line.bz2": b"x",
    "blank-lines.zst": b"\n",
    "one-line.zst": b"x",
    "repeated.gz": MESSAGE,
}

CHILD = r"""
import json, sys, time, palisar
def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
base = peak()
sys.stdout.write("started\n"); sys.stdout.flush()
start = time.perf_counter()
try:
    it = palisar.iter_prices_file(sys.argv[1])
    outcome = "loaded %d messages" % len(it)
except BaseException as e:
    outcome = type(e).__name__ + ": " + str(e)[:60]
print(json.dumps({"seconds": time.perf_counter() - start, "peak": peak(), "base": base,
                  "outcome": outcome, "ended": time.time()}))
"""


class ZstdTool:
    """The zstd tool as a compressor object writing to `out`."""

    def __init__(self, out):
        self.proc = subprocess.Popen(["zstd", "-q", "-3", "-c"], stdin=subprocess.PIPE, stdout=out)

    def compress(self, data):
        self.proc.stdin.write(data)
        return b""

    def flush(self):
        self.proc.stdin.close()
        if self.proc.wait() != 0:
            raise RuntimeError("zstd failed")
        return b""


def write_bomb(path, unit, size):
    size -= size % len(unit)  # whole messages only
    chunk = unit * ((8 << 20) // len(unit))
    with open(path, "wb") as f:
        packer = (zlib.compressobj(1, zlib.DEFLATED, 31) if path.endswith(".gz")
                  else ZstdTool(f) if path.endswith(".zst") else bz2.BZ2Compressor(9))
        written = 0
        while written < size:
            part = chunk[:size - written]
            f.write(packer.compress(part))
            written += len(part)
        f.write(packer.flush())


def run(path, interrupt_after=None):
    proc = subprocess.Popen([sys.executable, "-c", CHILD, path], stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline() == "started\n"
    sent = None
    if interrupt_after is not None:
        time.sleep(interrupt_after)
        sent = time.time()
        proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=3600)
    result = json.loads(out)
    if sent is not None:
        result["after_signal"] = result["ended"] - sent
    return result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("cases", nargs="*", default=list(CASES))
    ap.add_argument("--dir")
    ap.add_argument("--gib", type=float, default=1.0)
    ap.add_argument("--interrupt-after", type=float, default=0.3)
    args = ap.parse_args()
    folder = args.dir or tempfile.mkdtemp()
    size = int(args.gib * (1 << 30))
    print(f"{'case':16} {'file MB':>8} {'load s':>7} {'peak MiB':>9}  outcome; Ctrl-C after "
          f"{args.interrupt_after} s: load ended s after the signal")
    for name in args.cases:
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            write_bomb(path, CASES[name], size)
        full = run(path)
        cut = run(path, args.interrupt_after)
        print(f"{name:16} {os.path.getsize(path) / 1e6:8.1f} {full['seconds']:7.2f} "
              f"{(full['peak'] - full['base']) / 2**20:9.0f}  {full['outcome']}; "
              f"{cut['outcome']} {cut.get('after_signal', 0):.3f} s", flush=True)


if __name__ == "__main__":
    main()
