"""Splits a recording of several markets into one prices file per market.

    python examples/split_markets.py IN OUTDIR [--format plain|gz|bz2|zst]

A replay follows the first market of its file, so a recorder's file that
interleaves several markets is split first; every output then replays on its
own (and many of them in parallel, as examples/study_pool.py does).

The input is read line by line, in any format the reader knows (chosen by its
extension, as the reader chooses), and memory stays bounded whatever its size.
Each output is OUTDIR/<market id> (plus ".gz", ".bz2" or ".zst"; the default
format is the input's). Lines keep their order. A message whose changes all
belong to one market is written as it was read; a message that mixes markets
is written once per market, holding that market's changes only (a change
without a market id goes with the change before it, or with the message's
first market). A line that names no market (an empty change list, a status or
heartbeat message) goes to every market seen so far, where it means to the
replay what it meant in the recording. Existing files are never overwritten.
"""

import argparse
import bz2
import gzip
import json
import os
import re
import sys
from collections import OrderedDict

FORMATS = {"plain": "", "gz": ".gz", "bz2": ".bz2", "zst": ".zst"}
MAX_OPEN = 64  # output files kept open at once; others are reopened to append


def format_of(path: str) -> str:
    ext = os.path.basename(path.rstrip("/")).rpartition(".")[2]
    return {"gz": "gz", "gzip": "gz", "bz2": "bz2", "zst": "zst"}.get(ext, "plain")


def zstd_module():
    try:
        from compression import zstd  # Python 3.14 and later
        return zstd
    except ImportError:
        pass
    try:
        import zstandard
        return zstandard
    except ImportError:
        sys.exit("zstd files need Python 3.14 or the zstandard package (pip install zstandard)")


def open_prices(path: str, mode: str):
    """A binary file object reading or appending `path` in its format. Appending
    to a compressed file adds a member, stream or frame, which the reader
    decodes one after another."""
    fmt = format_of(path)
    if fmt == "gz":
        return gzip.open(path, mode, compresslevel=6)
    if fmt == "bz2":
        return bz2.open(path, mode)
    if fmt == "zst":
        return zstd_module().open(path, mode)
    return open(path, mode)


def market_of(item) -> str | None:
    market_id = item.get("id") if isinstance(item, dict) else None
    return market_id if isinstance(market_id, str) and market_id else None


def split_message(message) -> dict[str, list]:
    """The message's changes grouped by market, in the order markets appear."""
    changes = message.get("mc") if isinstance(message, dict) else None
    if not isinstance(changes, list):
        return {}
    groups: dict[str, list] = {}
    pending, current = [], None
    for item in changes:
        market_id = market_of(item)
        if market_id is not None:
            current = market_id
            groups.setdefault(current, []).extend(pending)
            pending = []
        if current is None:
            pending.append(item)
        else:
            groups.setdefault(current, []).append(item)
    return groups


def file_name(market_id: str) -> str:
    """A safe file name for a market id ("1.234" stays as it is)."""
    name = re.sub(r"[^A-Za-z0-9._-]", lambda m: "%%%02X" % ord(m.group()), market_id)
    return "_" + name if name.startswith(".") else name


class Outputs:
    def __init__(self, outdir: str, suffix: str):
        self.outdir, self.suffix = outdir, suffix
        self.paths: dict[str, str] = {}  # every market seen, in order
        self.open: OrderedDict = OrderedDict()

    def write(self, market_id: str, line: bytes) -> None:
        out = self.open.pop(market_id, None)
        if out is None:
            path = self.paths.get(market_id)
            if path is None:
                path = os.path.join(self.outdir, file_name(market_id) + self.suffix)
                if os.path.exists(path):
                    sys.exit(f"{path} exists already: choose an empty output directory")
                self.paths[market_id] = path
            if len(self.open) >= MAX_OPEN:
                self.open.popitem(last=False)[1].close()
            out = open_prices(path, "ab")
        self.open[market_id] = out
        out.write(line)

    def close(self) -> None:
        while self.open:
            self.open.popitem()[1].close()


def split(source: str, outdir: str, fmt: str) -> dict[str, str]:
    """Writes one file per market of `source` into `outdir`; returns them by market id."""
    os.makedirs(outdir, exist_ok=True)
    outputs = Outputs(outdir, FORMATS[fmt])
    try:
        with open_prices(source, "rb") as f:
            for number, line in enumerate(f, 1):
                if not line.strip():
                    continue
                if not line.endswith(b"\n"):
                    line += b"\n"
                try:
                    message = json.loads(line)
                except ValueError as e:
                    sys.exit(f"{source}, line {number}: {e}")
                groups = split_message(message)
                if len(groups) == 1:
                    outputs.write(next(iter(groups)), line)
                elif not groups:
                    for market_id in outputs.paths:
                        outputs.write(market_id, line)
                else:
                    for market_id, changes in groups.items():
                        part = dict(message, mc=changes)
                        outputs.write(market_id, json.dumps(part, separators=(",", ":")).encode() + b"\n")
    finally:
        outputs.close()
    return outputs.paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source", help="a prices file holding one or more markets")
    parser.add_argument("outdir", help="the folder for the files of the markets")
    parser.add_argument("--format", choices=sorted(FORMATS), help="output format (default: the input's)")
    args = parser.parse_args()
    paths = split(args.source, args.outdir, args.format or format_of(args.source))
    for market_id, path in paths.items():
        print(f"{market_id}\t{path}")


if __name__ == "__main__":
    main()
