"""A study over many prices files on all cores of this machine: every file is
summarised in a worker process (market_summary.summarise), and the summaries
are printed in the order of the files.

    python examples/study_pool.py DIR_OR_FILE... [--workers N] [--before SECONDS] [--json]

One file holds one market, and a replay needs no other file, so the files are
simply shared out among the processes. Each worker returns a small dict: the
snapshots themselves never leave the worker.
"""

import os
import sys
from concurrent.futures import ProcessPoolExecutor
from functools import partial

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from market_summary import arguments, prices_files, report, summarise  # noqa: E402


def main() -> None:
    parser = arguments(__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=os.cpu_count(),
                        help="worker processes (default: one per core)")
    args = parser.parse_args()
    files = prices_files(args.paths)
    with ProcessPoolExecutor(max_workers=args.workers) as pool:
        # map keeps the order of the files; chunksize 1 because files differ
        # widely in size.
        summaries = pool.map(partial(summarise, before=args.before), files, chunksize=1)
        report(summaries, args.json)


if __name__ == "__main__":
    main()
