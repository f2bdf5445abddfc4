"""Allocation-failure sweep over a small prices file (run as a child by
test_memory.py): the load, every step, every property of every object, price
lists read late, repr, [] and to_dict(), with one allocation failing at a time.

    python oom_sweep.py RESULT.json PRICES [cpp|python]

cpp (with oom_inject.so preloaded): the k-th C++ allocation of the whole run
fails, for every k up to the number a run makes. python: the k-th Python
allocation inside every call into the module fails (_testcapi.set_nomemory),
for k = 0 to 255 and then in steps of an eighth, until three runs in a row
meet no failure.

Every failure must surface as MemoryError (python: or as the internal error
with a MemoryError as its cause); objects handed out before read the same
afterwards; a clean replay afterwards gives the results of a clean one before.
"""

import ctypes
import datetime
import json
import operator
import sys
import types

import palisar

CLASSES = tuple(getattr(palisar, name) for name in palisar.__all__[1:])


def out_of_memory(e, strict):
    if isinstance(e, MemoryError):
        return True
    return (not strict and type(e).__name__ == "InternalError"
            and isinstance(e.__cause__, MemoryError))


def walk(obj, call):
    """Everything an object shows, read through `call`, as plain values."""
    if isinstance(obj, palisar.PriceSize):
        return [call(repr, obj), call(operator.getitem, obj, "price"),
                call(operator.getitem, obj, "size"), call(getattr, obj, "price")]
    if isinstance(obj, CLASSES):
        out = {}
        for name, attr in sorted(vars(type(obj)).items()):
            if isinstance(attr, types.GetSetDescriptorType) and not name.startswith("__"):
                out[name] = walk(call(getattr, obj, name), call)
        if isinstance(obj, palisar.MarketBook):
            out["to_dict"] = call(obj.to_dict)
        return out
    if isinstance(obj, list):
        return [walk(x, call) for x in obj]
    if isinstance(obj, datetime.datetime):
        return obj.isoformat()
    return obj


def plain(f, *args):
    return f(*args)


def scenario(path, call, strict, messages):
    """One replay: every other book read at once, all of them read again at
    the end (lists of the others built late). Returns the failures, the books
    and the index of the first step that failed. (At most one step per
    message and one more: the StopIteration itself may fail to be made.)"""
    failures, books, early = [], [], {}
    first_failed_step = None

    def attempt(what, f, *args):
        try:
            return f(*args)
        except BaseException as e:
            if not out_of_memory(e, strict):
                raise
            failures.append(what)
            raise MemoryError from None

    try:
        it = attempt("load", call, palisar.iter_prices_file, path)
    except MemoryError:
        return failures, books, 0
    for _ in range(messages + 1):
        try:
            book = attempt("step", call, next, it)
        except StopIteration:
            break
        except MemoryError:
            if first_failed_step is None:
                first_failed_step = len(books)
            continue
        books.append(book)
        if len(books) % 2:
            try:
                early[len(books) - 1] = attempt("read", walk, book, call)
            except MemoryError:
                pass
    for i, book in enumerate(books):
        try:
            late = attempt("late read", walk, book, call)
        except MemoryError:
            continue
        assert early.get(i, late) == late, i
    return failures, books, first_failed_step


def main():
    result_path, path, mode = sys.argv[1:4]
    reference = [walk(b, plain) for b in palisar.iter_prices_file(path)]
    messages = len(palisar.iter_prices_file(path))
    tally = {"runs": 0, "failures": 0, "completed": 0, "by_place": {}}

    if mode == "cpp":
        lib = ctypes.CDLL(None)
        lib.oom_fail_at.argtypes = [ctypes.c_long]
        lib.oom_count.restype = ctypes.c_long
        lib.oom_fail_at(-1)
        scenario(path, plain, True, messages)
        total = lib.oom_count()
        tally["allocations"] = total

        def runs():
            for k in range(total):
                lib.oom_fail_at(k)
                yield plain
    else:
        import _testcapi

        def runs():
            quiet, k = 0, 0
            while quiet < 3:
                def call(f, *args, k=k):
                    _testcapi.set_nomemory(k, k + 1)
                    try:
                        return f(*args)
                    finally:
                        _testcapi.remove_mem_hooks()
                yield call
                quiet = quiet + 1 if tally["last_quiet"] else 0
                k += 1 if k < 256 else k // 8  # every one at first, then sparser
            tally["largest_k"] = k

    tally["last_quiet"] = False
    for call in runs():
        try:
            failures, books, first_failed = scenario(path, call, mode == "cpp", messages)
        finally:
            if mode == "cpp":
                lib.oom_fail_at(-1)
        tally["runs"] += 1
        tally["last_quiet"] = not failures
        tally["failures"] += len(failures)
        tally["completed"] += not failures
        for place in failures:
            tally["by_place"][place] = tally["by_place"].get(place, 0) + 1
        # What was handed out reads as in a clean replay, up to the first
        # failed step (that message stays applied only in part).
        shown = [walk(b, plain) for b in books]
        upto = len(books) if first_failed is None else first_failed
        assert shown[:upto] == reference[:upto], (tally["runs"], failures)
        # and the process is as good as new
        assert [walk(b, plain) for b in palisar.iter_prices_file(path)] == reference
    del tally["last_quiet"]
    with open(result_path, "w") as f:
        json.dump(tally, f)


if __name__ == "__main__":
    main()
