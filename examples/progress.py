"""A progress bar over one long replay (needs tqdm: pip install tqdm).

    python examples/progress.py PATH

iter_prices_file reads and parses the whole file before it returns (that part
has no bar); len() of the iterator is then the number of messages to replay,
which makes it the bar's total. At the end it prints what the replay saw.
"""

import sys
import time

from tqdm import tqdm

import palisar


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    path = sys.argv[1]
    started = time.perf_counter()
    it = palisar.iter_prices_file(path)
    print(f"read {len(it):,} messages in {time.perf_counter() - started:.2f} s", file=sys.stderr)

    snapshots = in_play = 0
    book = None
    with tqdm(it, total=len(it), unit="msg", unit_scale=True, desc="replay") as bar:
        for book in bar:
            snapshots += 1
            in_play += book.inplay
            if snapshots % 2000 == 0:
                bar.set_postfix_str(f"{book.publish_time:%H:%M:%S}", refresh=False)
    if book is None:
        print("no snapshots")
        return
    print(f"{book.market_id}: {snapshots:,} snapshots, {in_play:,} in play, "
          f"last at {book.publish_time:%Y-%m-%d %H:%M:%S}, final status {book.status}")


if __name__ == "__main__":
    main()
