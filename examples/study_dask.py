"""The study of study_pool.py on a Dask cluster: a LocalCluster of two worker
processes on this machine, or the cluster whose scheduler address is given.

    python examples/study_dask.py DIR_OR_FILE... [--scheduler tcp://HOST:8786]
                                  [--workers 2] [--before SECONDS] [--json]

Needs dask[distributed] (pip install "dask[distributed]"). On a real cluster,
every worker needs palisar installed and must see the files under the same
paths (a shared file system); market_summary.py is sent to the workers by
this script.
"""

import os
import sys

from dask.distributed import Client, LocalCluster

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import market_summary  # noqa: E402
from market_summary import arguments, prices_files, report, summarise  # noqa: E402


def study(client: Client, files: list[str], before: float) -> list[dict]:
    # One task per file; the results come back in the order of the files.
    futures = client.map(summarise, files, before=before)
    return client.gather(futures)


def main() -> None:
    parser = arguments(__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running scheduler (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    args = parser.parse_args()
    files = [os.path.abspath(p) for p in prices_files(args.paths)]
    if args.scheduler:
        with Client(args.scheduler) as client:
            client.upload_file(market_summary.__file__)
            summaries = study(client, files, args.before)
    else:
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            summaries = study(client, files, args.before)
    report(summaries, args.json)


if __name__ == "__main__":
    main()
