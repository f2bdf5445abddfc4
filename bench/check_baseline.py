#!/usr/bin/env python3
"""Check that the pure-Python baseline sees the same numbers as palisar.

    python bench/check_baseline.py [FILE ...] [--target-mb 3] [--seed 1] [--show 10] [--self-test]

Replays every file with both and compares, snapshot by snapshot and runner
by runner: the runner's selection id and handicap, best back (price, size),
best lay (price, size) and last traded price. Without FILE arguments it uses
the recorded files in $PALISAR_DATA_DIR (default: shared/data beside the
repository; skipped when absent) and two generated markets (plain and gzip) in a temporary directory.

--self-test also replays a generated file with one value of the baseline
deliberately altered and fails unless that mismatch is reported.

Exit status 0 when everything matches, 1 otherwise.
"""

import argparse
import itertools
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline  # noqa: E402
import generate  # noqa: E402

REAL_DATA_DIR = os.path.normpath(
    os.environ.get("PALISAR_DATA_DIR") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data"))


def module_view(path):
    import palisar

    for book in palisar.iter_prices_file(path):
        rows = []
        for r in book.runners:
            back = r.ex.available_to_back
            lay = r.ex.available_to_lay
            rows.append((
                r.selection_id, r.handicap,
                (back[0].price, back[0].size) if back else None,
                (lay[0].price, lay[0].size) if lay else None,
                r.last_price_traded,
            ))
        yield book.publish_time_epoch, rows


def baseline_view(path, corrupt_at=None):
    for i, book in enumerate(baseline.iter_books(path)):
        rows = []
        for r in book.runners:
            back = r.available_to_back
            lay = r.available_to_lay
            rows.append((
                r.selection_id, r.handicap,
                (float(back[0][0]), float(back[0][1])) if back else None,
                (float(lay[0][0]), float(lay[0][1])) if lay else None,
                None if r.last_price_traded is None else float(r.last_price_traded),
            ))
        if i == corrupt_at and rows:
            sid, hc, back, lay, ltp = rows[-1]
            rows[-1] = (sid, hc, back, lay, (ltp or 0.0) + 0.01)
        yield book.publish_time_epoch, rows


def compare(path, corrupt_at=None):
    """Returns (books, runner rows, values compared, mismatches)."""
    books = rows = values = 0
    mismatches = []
    missing = object()
    pairs = itertools.zip_longest(module_view(path), baseline_view(path, corrupt_at), fillvalue=missing)
    for n, (mod, base) in enumerate(pairs):
        if mod is missing or base is missing:
            side = "module" if mod is missing else "baseline"
            mismatches.append(f"snapshot {n}: the {side} has no more snapshots")
            break
        books += 1
        mod_pt, mod_rows = mod
        base_pt, base_rows = base
        if mod_pt != base_pt:
            mismatches.append(f"snapshot {n}: publish time {mod_pt} (module) vs {base_pt} (baseline)")
        if len(mod_rows) != len(base_rows):
            mismatches.append(f"snapshot {n}: {len(mod_rows)} runners (module) vs {len(base_rows)} (baseline)")
        for m, b in zip(mod_rows, base_rows):
            rows += 1
            values += sum(v is not None for v in m[2:])
            if m != b:
                mismatches.append(f"snapshot {n} (pt {mod_pt}): module {m} vs baseline {b}")
        if len(mismatches) > 1000:
            mismatches.append("... stopped after 1000 mismatches")
            break
    return books, rows, values, mismatches


def main(argv=None):
    parser = argparse.ArgumentParser(description="Compare the pure-Python baseline with palisar.")
    parser.add_argument("files", nargs="*")
    parser.add_argument("--target-mb", type=float, default=3.0, help="size of the generated markets")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--show", type=int, default=10, help="mismatches to print per file")
    parser.add_argument("--self-test", action="store_true",
                        help="also check that an altered baseline value is reported")
    args = parser.parse_args(argv)

    import palisar
    print(f"palisar from {palisar.__file__}")

    tmp = tempfile.TemporaryDirectory()
    files = list(args.files)
    generated = []
    if not files:
        if os.path.isdir(REAL_DATA_DIR):
            files += [os.path.join(REAL_DATA_DIR, n) for n in sorted(os.listdir(REAL_DATA_DIR))]
        else:
            print(f"{REAL_DATA_DIR} is absent: recorded files skipped")
        for name, seed in (("generated-win", args.seed), ("generated-win.json.gz", args.seed + 1)):
            path = os.path.join(tmp.name, name)
            generate.generate(path, args.target_mb, seed, 1)
            generated.append(path)
        files += generated

    failed = False
    for path in files:
        started = time.perf_counter()
        books, rows, values, mismatches = compare(path)
        took = time.perf_counter() - started
        verdict = "OK" if not mismatches and books else "MISMATCH"
        if not books:
            mismatches.append("no snapshots at all")
        print(f"{verdict:8} {os.path.basename(path)}: {books:,} snapshots, {rows:,} runner rows, "
              f"{values:,} prices compared, {len(mismatches)} mismatches ({took:.1f} s)")
        for line in mismatches[:args.show]:
            print("    " + line)
        failed |= bool(mismatches)

    if args.self_test:
        path = generated[0] if generated else files[0]
        books, rows, values, mismatches = compare(path, corrupt_at=baseline.replay(path) // 2)
        ok = len(mismatches) == 1
        print(f"{'OK' if ok else 'FAILED':8} self-test: one altered baseline value gave "
              f"{len(mismatches)} reported mismatch(es)")
        failed |= not ok

    tmp.cleanup()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
