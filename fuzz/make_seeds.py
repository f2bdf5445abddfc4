"""Writes fuzzing seeds cut from the recorded prices files into a directory.

    python fuzz/make_seeds.py OUT_DIR [DATA_DIR]

Each seed is a few consecutive lines of one recorded file (the file's first
line, which carries the market definition, followed by a short run of later
lines), small enough for the fuzzer to mutate quickly. The recorded files are
read in place; the seeds go to OUT_DIR (a temporary directory, not the
repository). The hand-written cases in fuzz/corpus are copied beside them.
"""

import os
import shutil
import sys
from pathlib import Path

# The shared data folder, or a copy of it beside the repository.
DATA_DIR = Path(os.environ.get("PALISAR_DATA_DIR") or Path(__file__).resolve().parents[2] / "shared" / "data")
RECORDED = ("football-match-odds-1.200806927", "greyhound-place-1.197931751",
            "greyhound-win-1.197931750")
SEEDS_PER_FILE = 40
MAX_SEED = 12 * 1024


def main():
    out = Path(sys.argv[1])
    data_dir = Path(sys.argv[2]) if len(sys.argv) > 2 else DATA_DIR
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for name in RECORDED:
        path = data_dir / name
        if not path.is_file():
            print(f"skipping missing {path}", file=sys.stderr)
            continue
        lines = path.read_bytes().splitlines(keepends=True)
        step = max(1, len(lines) // SEEDS_PER_FILE)
        for k, start in enumerate(range(1, len(lines), step)):
            run = 1 + k % 4
            seed = lines[0] + b"".join(lines[start:start + run])
            if len(seed) > MAX_SEED:
                seed = b"".join(lines[start:start + run])[:MAX_SEED]
            (out / f"{name}-{start}").write_bytes(seed)
            count += 1
    for case in (Path(__file__).parent / "corpus").iterdir():
        shutil.copy(case, out / case.name)
        count += 1
    print(f"{count} seeds in {out}")


if __name__ == "__main__":
    main()
