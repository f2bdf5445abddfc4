"""Measuring memory and replaying markets in the ways callers keep and drop
snapshots; shared by the memory tests, the soak run and the child
interpreters of child.py and hostile_big.py (which import it by path)."""

import os

import palisar


def rss():
    """This process's resident set size in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss():
    # This process's own high-water mark (getrusage would also count the
    # parent's memory that the child had between fork and exec).
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024


def slope(ys):
    """Least-squares slope of ys against 0, 1, 2, ..."""
    n = len(ys)
    mean_x, mean_y = (n - 1) / 2, sum(ys) / n
    num = sum((x - mean_x) * (y - mean_y) for x, y in enumerate(ys))
    return num / sum((x - mean_x) ** 2 for x in range(n))


def touch(book):
    """Reads every attribute of a snapshot once, so that every lazily made object is made."""
    book.publish_time, book.status
    for r in book.runners:
        sp = r.sp
        sp.back_stake_taken, sp.lay_liability_taken, sp.near_price, sp.far_price, sp.actual_sp
        r.orders, r.matches, r.removal_date, r.status, r.last_price_traded
        for ps in r.ex.available_to_back[:3]:
            ps["price"], repr(ps)
    d = book.market_definition
    if d is not None:
        d.regulators, d.runners, d.market_time


# Ways of keeping and dropping the snapshots of one replay: each takes the
# iterator and a random.Random.
def drop_each(it, rng):
    for book in it:
        touch(book)


def keep_all_drop_forward(it, rng):
    books = list(it)
    del it
    for i in range(len(books)):
        books[i] = None


def keep_all_drop_backward(it, rng):
    books = list(it)
    while books:
        books.pop()


def keep_sparse_drop_iterator_first(it, rng):
    books = [book for i, book in enumerate(it) if i % 10 == 0]
    del it
    for book in books[::3]:
        book.to_dict()


def keep_all_drop_shuffled(it, rng):
    books = list(it)
    order = list(range(len(books)))
    rng.shuffle(order)
    for i in order:
        books[i] = None
    del it


def abandon_half_way(it, rng):
    half = len(it) // 2
    for i, book in enumerate(it):
        if i == half:
            break
        if i % 10 == 0:
            book.to_dict()


def to_dict_some(it, rng):
    for i, book in enumerate(it):
        if i % 10 == 0:
            book.to_dict()
        book.streaming_unique_id = i


PATTERNS = [drop_each, keep_all_drop_forward, keep_all_drop_backward,
            keep_sparse_drop_iterator_first, keep_all_drop_shuffled, abandon_half_way,
            to_dict_some]


def failing_steps(path, error=ValueError):
    """Steps through the prices file `path` to its end; returns how many steps raised `error`."""
    it = palisar.iter_prices_file(str(path))
    failures = 0
    while True:
        try:
            next(it)
        except StopIteration:
            return failures
        except error:
            failures += 1
