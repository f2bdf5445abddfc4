"""One market per prices file, summarised: the function the study recipes
(study_pool.py, study_dask.py) run on every file, and the helpers they share.

    python examples/market_summary.py PATH... [--before SECONDS] [--json]

summarise(path) replays one file and returns a plain dict (picklable, JSON
friendly):

- file, market_id, market_name, event_name, market_type, market_time;
- snapshot_time and, per runner, best_back / best_lay at that moment: the
  last snapshot published at least `before` seconds (default 60) before the
  definition's market time, while the market was open and not in play; when
  the file has no market time, the last open pre-play snapshot; None when the
  file has no such snapshot;
- traded: per runner the traded volume at its peak (the exchange empties the
  ladders when a market closes, so the last snapshot may show none), and
  traded_volume, their sum; total_matched, the market total the stream sent
  (its largest value);
- winners: the names of the runners whose final status is WINNER;
- snapshots: how many snapshots the replay produced.

A file that cannot be read gives {"file": ..., "error": "..."} instead, so
that one bad file does not stop a study of thousands.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import json
import os
import sys
from collections.abc import Iterable

import palisar


def _best(prices):
    return prices[0].price if prices else None


def _names(definition):
    if definition is None:
        return {}
    return {(r.selection_id, r.handicap): r.name for r in definition.runners}


def summarise(path: str, before: float = 60.0) -> dict:
    """The summary of the market in the prices file `path` (see the module
    docstring)."""
    try:
        it = palisar.iter_prices_file(path)
    except ValueError as e:
        return {"file": os.path.basename(path), "error": str(e)}

    chosen = None  # the snapshot the prices are taken from
    last = None
    count = 0
    total_matched = 0.0
    peak = {}  # (selection id, handicap) -> largest traded volume seen
    seen_runner = {}  # key -> the Runner object last summed
    for book in it:
        count += 1
        last = book
        total_matched = max(total_matched, book.total_matched)
        # A runner that did not change is the very same object as in the
        # previous snapshot: only changed runners need their ladder summed.
        for runner in book.runners:
            key = (runner.selection_id, runner.handicap)
            if seen_runner.get(key) is not runner:
                seen_runner[key] = runner
                traded = sum(ps.size for ps in runner.ex.traded_volume)
                if traded > peak.get(key, 0.0):
                    peak[key] = traded
        if book.inplay or book.status != "OPEN":
            continue
        definition = book.market_definition
        off = definition.market_time if definition is not None else None
        if off is None or book.publish_time <= off - _dt.timedelta(seconds=before):
            # Kept snapshots never change, so holding on to one is enough.
            chosen = book

    if last is None:
        return {"file": os.path.basename(path), "market_id": None, "snapshots": 0}

    definition = last.market_definition
    names = _names(definition)
    prices = {}
    if chosen is not None:
        names = {**_names(chosen.market_definition), **names}
        prices = {(r.selection_id, r.handicap): r for r in chosen.runners}
    runners = []
    for runner in last.runners:
        key = (runner.selection_id, runner.handicap)
        then = prices.get(key)
        runners.append({
            "selection_id": runner.selection_id,
            "handicap": runner.handicap,
            "name": names.get(key),
            "best_back": _best(then.ex.available_to_back) if then is not None else None,
            "best_lay": _best(then.ex.available_to_lay) if then is not None else None,
            "traded": round(peak.get(key, 0.0), 2),
            "status": runner.status,
        })
    market_time = definition.market_time if definition is not None else None
    return {
        "file": os.path.basename(path),
        "market_id": last.market_id,
        "market_name": definition.name if definition is not None else None,
        "event_name": definition.event_name if definition is not None else None,
        "market_type": definition.market_type if definition is not None else None,
        "market_time": market_time.isoformat() if market_time is not None else None,
        "snapshot_time": chosen.publish_time.isoformat() if chosen is not None else None,
        "runners": runners,
        "traded_volume": round(sum(r["traded"] for r in runners), 2),
        "total_matched": total_matched,
        "winners": [r["name"] or str(r["selection_id"]) for r in runners if r["status"] == "WINNER"],
        "snapshots": count,
    }


def prices_files(paths: Iterable[str]) -> list[str]:
    """The given files, and the files directly inside the given directories
    (names starting with "." left out), each directory's sorted by name."""
    out = []
    for path in paths:
        if os.path.isdir(path):
            out.extend(os.path.join(path, name) for name in sorted(os.listdir(path))
                       if not name.startswith(".") and os.path.isfile(os.path.join(path, name)))
        else:
            out.append(path)
    return out


def _price(value):
    return f"{value:7.2f}" if value is not None else "      -"


def report(summaries: Iterable[dict], as_json: bool = False, out=sys.stdout) -> None:
    """Prints the summaries: one JSON object a line, or a readable table."""
    for s in summaries:
        if as_json:
            print(json.dumps(s), file=out)
            continue
        if "error" in s:
            print(f"{s['file']}: cannot be read: {s['error']}\n", file=out)
            continue
        if s["market_id"] is None:
            print(f"{s['file']}: no snapshots\n", file=out)
            continue
        print(f"{s['market_id']}  {s['event_name'] or ''} / {s['market_name'] or ''}"
              f"  ({s['market_type'] or '?'}, off {s['market_time'] or '?'})", file=out)
        print(f"  prices at {s['snapshot_time'] or '(no open pre-play snapshot)'};"
              f" traded {s['traded_volume']:,.2f}; {s['snapshots']:,} snapshots", file=out)
        for r in s["runners"]:
            name = r["name"] or str(r["selection_id"])
            print(f"    {name[:28]:<28} back {_price(r['best_back'])}  lay {_price(r['best_lay'])}"
                  f"  traded {r['traded']:>12,.2f}  {r['status']}", file=out)
        print(f"  winner: {', '.join(s['winners']) or '-'}\n", file=out)


def arguments(description: str) -> argparse.ArgumentParser:
    """The command-line arguments every study recipe takes."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("paths", nargs="+", help="prices files, or directories of them")
    parser.add_argument("--before", type=float, default=60.0,
                        help="take prices this many seconds before the off (default 60)")
    parser.add_argument("--json", action="store_true", help="one JSON object per market")
    return parser


def main() -> None:
    args = arguments("Summarise prices files one after another.").parse_args()
    report((summarise(p, args.before) for p in prices_files(args.paths)), args.json)


if __name__ == "__main__":
    main()
