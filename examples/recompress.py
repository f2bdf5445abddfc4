"""Converts a library of prices files to another compression, in parallel.

    python examples/recompress.py DIR... --to zst|gz [--workers N] [--level L]

Every prices file under the given directories (whole trees; names starting
with "." left out) that is not already in the target format gets a converted
twin beside it: "x.json.bz2" gives "x.json.zst", a plain "x" gives "x.zst".
zstd at a high level packs market data about as tightly as bzip2 and replays
far faster, so it is the format to convert to once and replay many times (the
zstd tool must be installed; gzip needs nothing).

Each new file is first written under a temporary name and replayed: it must
give the same number of snapshots as its source and the same last snapshot
(to_dict()); only then is it given its name. No source is ever deleted, and
no existing file is overwritten: a file whose twin already exists is left
alone. A bar on standard error counts the files; at the end one line per
file that was not converted says why, and the exit code is 1 if any failed.
"""

import argparse
import bz2
import gzip
import os
import shutil
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor, as_completed

import palisar

COMPRESSED = (".gz", ".gzip", ".bz2", ".zst")


def prices_files(roots):
    for root in roots:
        for directory, dirs, files in os.walk(root):
            dirs[:] = sorted(d for d in dirs if not d.startswith("."))
            for name in sorted(files):
                if not name.startswith(".") and ".recompress-" not in name:
                    yield os.path.join(directory, name)


def target_of(path, to):
    stem = path
    for ext in COMPRESSED:
        if path.endswith(ext):
            stem = path[: -len(ext)]
    return stem + "." + to


def read_text(path):
    if path.endswith((".gz", ".gzip")):
        with gzip.open(path, "rb") as f:
            return f.read()
    if path.endswith(".bz2"):
        with bz2.open(path, "rb") as f:
            return f.read()
    if path.endswith(".zst"):
        return subprocess.run(["zstd", "-dcq", path], capture_output=True, check=True).stdout
    with open(path, "rb") as f:
        return f.read()


def fingerprint(path):
    """(number of snapshots, the last snapshot as a dict)."""
    count, last = 0, None
    for book in palisar.iter_prices_file(path):
        count += 1
        last = book
    return count, last.to_dict() if last is not None else None


def convert(path, to, level):
    """Converts one file; returns (path, None) or (path, why it was not)."""
    target = target_of(path, to)
    if os.path.lexists(target):
        return path, f"{os.path.basename(target)} exists already"
    # The temporary name keeps the final extension, which chooses the decoder.
    tmp = os.path.join(os.path.dirname(target), f".recompress-{os.getpid()}-{os.path.basename(target)}")
    try:
        expected = fingerprint(path)
        text = read_text(path)
        if to == "gz":
            with gzip.open(tmp, "wb", compresslevel=level) as f:
                f.write(text)
        else:
            with open(tmp, "wb") as f:
                subprocess.run(["zstd", f"-{level}", "-q", "-c"], input=text, stdout=f, check=True)
        if fingerprint(tmp) != expected:
            return path, "the converted file does not replay to the same snapshots"
        os.link(tmp, target)  # fails rather than replace a file that appeared meanwhile
        return path, None
    except (ValueError, OSError, subprocess.CalledProcessError) as e:
        return path, str(e)
    finally:
        if os.path.lexists(tmp):
            os.unlink(tmp)


def bar(done, total, started, out=sys.stderr):
    width = 30
    filled = width * done // total if total else width
    rate = done / max(time.perf_counter() - started, 1e-9)
    out.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} files  {rate:.1f} files/s")
    out.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dirs", nargs="+", help="directories of prices files (whole trees)")
    parser.add_argument("--to", choices=("zst", "gz"), required=True)
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--level", type=int, help="compression level (default 19 for zst, 9 for gz)")
    args = parser.parse_args()
    if args.to == "zst" and shutil.which("zstd") is None:
        sys.exit("the zstd tool is needed for --to zst")
    level = args.level if args.level is not None else (19 if args.to == "zst" else 9)
    files = [p for p in prices_files(args.dirs) if not p.endswith("." + args.to)]
    failed = []
    started = time.perf_counter()
    bar(0, len(files), started)
    with ProcessPoolExecutor(max_workers=args.workers) as pool:
        futures = [pool.submit(convert, p, args.to, level) for p in files]
        for done, future in enumerate(as_completed(futures), 1):
            path, why = future.result()
            if why is not None:
                failed.append((path, why))
            bar(done, len(files), started)
    sys.stderr.write("\n")
    for path, why in sorted(failed):
        print(f"{path}: not converted: {why}")
    print(f"{len(files) - len(failed)} of {len(files)} files converted to {args.to}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
