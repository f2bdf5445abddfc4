"""A fully typed use of palisar, checked with `mypy --strict`.

    python examples/typed_usage.py PATH

Prints, for the last snapshot before the market went in play (or the last
snapshot of a market that never did), each runner's name, best back and lay
price and traded volume.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass

import palisar
from palisar import MarketBook, PriceSize, Runner


@dataclass(frozen=True)
class RunnerLine:
    selection_id: int
    name: str
    best_back: float | None
    best_lay: float | None
    traded: float


def best(prices: list[PriceSize]) -> float | None:
    return prices[0].price if prices else None


def names(book: MarketBook) -> dict[int, str]:
    definition = book.market_definition
    if definition is None:
        return {}
    return {r.selection_id: r.name or str(r.selection_id) for r in definition.runners}


def line(runner: Runner, known: dict[int, str]) -> RunnerLine:
    ex = runner.ex
    return RunnerLine(
        selection_id=runner.selection_id,
        name=known.get(runner.selection_id, str(runner.selection_id)),
        best_back=best(ex.available_to_back),
        best_lay=best(ex.available_to_lay),
        traded=sum(ps["size"] for ps in ex.traded_volume),
    )


def last_pre_play(path: str) -> MarketBook | None:
    last: MarketBook | None = None
    for book in palisar.iter_prices_file(path):
        if book.inplay:
            break
        last = book
    return last


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    book = last_pre_play(argv[1])
    if book is None:
        print("no snapshot before the off")
        return 1
    exported = book.to_dict()
    definition = exported.get("marketDefinition")
    title = definition["name"] if definition is not None else None
    print(f"{exported['marketId']} {title or ''} at {book.publish_time:%Y-%m-%d %H:%M:%S}")
    known = names(book)
    for runner in book.runners:
        r = line(runner, known)
        back = f"{r.best_back:.2f}" if r.best_back is not None else "-"
        lay = f"{r.best_lay:.2f}" if r.best_lay is not None else "-"
        print(f"  {r.name:<28} back {back:>7} lay {lay:>7} traded {r.traded:>12,.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
