"""Replay one prices file and show what the snapshots hold.

    python examples/replay.py PATH [--moments N]

Prints the market and its runners, the best prices of every runner at a few
moments of the replay, the final state, and how fast it all went.
"""

import argparse
import os
import time

import palisar


def best(prices):
    return f"{prices[0].price:>7.2f} ({prices[0].size:>9.2f})" if prices else " " * 19


def runner_names(book):
    definition = book.market_definition
    if definition is None:
        return {}
    return {(r.selection_id, r.handicap): r.name for r in definition.runners}


def show_book(book, title):
    names = runner_names(book)
    print(f"\n{title}: {book.publish_time:%Y-%m-%d %H:%M:%S.%f} UTC  status {book.status}"
          f"  in play {book.inplay}  matched {book.total_matched:,.2f}")
    print(f"  {'runner':<24} {'status':<8} {'best back':>19} {'best lay':>19} {'last traded':>11}")
    for r in book.runners:
        name = names.get((r.selection_id, r.handicap)) or str(r.selection_id)
        ltp = f"{r.last_price_traded:.2f}" if r.last_price_traded is not None else "-"
        print(f"  {name[:24]:<24} {r.status:<8} {best(r.ex.available_to_back)} "
              f"{best(r.ex.available_to_lay)} {ltp:>11}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path")
    parser.add_argument("--moments", type=int, default=4, help="snapshots to show along the way")
    args = parser.parse_args()

    size = os.path.getsize(args.path)
    started = time.perf_counter()
    it = palisar.iter_prices_file(args.path)
    loaded = time.perf_counter()
    print(f"{args.path}: {size / 1e6:.1f} MB on disk, {len(it):,} messages kept, "
          f"loaded in {loaded - started:.3f} s")

    total = len(it)
    show_at = {max(1, total * (i + 1) // (args.moments + 1)) for i in range(args.moments)}
    count = 0
    first = book = None
    replay_started = time.perf_counter()
    for book in it:
        count += 1
        if first is None:
            first = book
            d = book.market_definition
            if d is not None:
                print(f"market {book.market_id}: {d.name} - {d.event_name} ({d.venue}, "
                      f"{d.country_code}), starts {d.market_time}, {len(d.runners)} runners")
        if count in show_at:
            show_book(book, f"snapshot {count:,}")
    replayed = time.perf_counter()
    if book is None:
        print("no snapshots")
        return
    show_book(book, "final state")
    winners = [r.selection_id for r in book.runners if r.status == "WINNER"]
    if winners:
        names = runner_names(book)
        print("  winner:", ", ".join(names.get((w, 0.0)) or str(w) for w in winners))
    print(f"\n{count:,} snapshots; first kept at {first.publish_time:%H:%M:%S}; "
          f"replay {replayed - replay_started:.3f} s "
          f"({count / max(replayed - replay_started, 1e-9):,.0f} snapshots/s); "
          f"load + replay {replayed - started:.3f} s")


if __name__ == "__main__":
    main()
