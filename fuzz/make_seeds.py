"""Writes fuzzing seeds cut from the recorded prices files into a directory.

    python fuzz/make_seeds.py OUT_DIR [DATA_DIR]

Each seed is a few consecutive lines of one recorded file (the file's first
line, which carries the market definition, followed by a short run of later
lines), small enough for the fuzzer to mutate quickly. The recorded files are
read in place; the seeds go to OUT_DIR (a temporary directory, not the
repository). The hand-written cases in fuzz/corpus are copied beside them,
and hostile compressed inputs are made for the decoders (see hostile()).
"""

import bz2
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

# The shared data folder, or a copy of it beside the repository.
DATA_DIR = Path(os.environ.get("PALISAR_DATA_DIR") or Path(__file__).resolve().parents[2] / "shared" / "data")
RECORDED = ("football-match-odds-1.200806927", "greyhound-place-1.197931751",
            "greyhound-win-1.197931750")
SEEDS_PER_FILE = 40
MAX_SEED = 12 * 1024


def fake_block_magic():
    """A bzip2 -1 stream whose compressed bits hold a block magic 89 bits into
    its block, where no block starts: the block's header (the index of the
    original rotation, 12609, and the maps of the byte values used) reads
    0x314159265359 there. The text: one unique "0", then 12609 bytes below it
    among others above it, every byte of the first map present, no run of
    four equal bytes."""
    low = b"\x11\x13\x16\x17\x19\x1b\x1c\x1f"
    high = b"123456789:;<=>?@ABCDEFGHIJKLMNOpqrstuvwxyz{|}~\xa0\xa5\xaf\xd0\xd9\xe1\xee"
    block, small, x = bytearray(b"0"), 0, 1
    while small < 12609 or len(block) < 14000:
        x = (x * 6364136223846793005 + 1442695040888963407) % 2**64
        take_small = small < 12609 and (x >> 60) < 14
        c = (low if take_small else high)[(x >> 33) % len(low if take_small else high)]
        if len(block) < len(low) + 1:
            c, take_small = low[len(block) - 1], True
        if len(block) >= 3 and c == block[-1] == block[-2]:
            continue
        block.append(c)
        small += take_small
    data = bz2.compress(bytes(block), 1)
    bits = int.from_bytes(data, "big")
    total = len(data) * 8
    assert (bits >> (total - 121 - 48)) & (2**48 - 1) == 0x314159265359
    return data


def hostile():
    """Compressed inputs for the decoders' hostile paths."""
    lines = b"".join(b'{"pt":%d,"mc":[{"id":"1.5","tv":%d}]}\n' % (1000 + i, i) for i in range(300))
    seeds = {
        "bzip2-fake-block-magic": fake_block_magic(),
        # 45 MB of blank lines in one block of bzip2 -9.
        "bzip2-bomb": bz2.compress((b" " * 250 + b"\n") * 180_000, 9),
        "bzip2-blocks-cut": bz2.compress(lines * 40, 1)[:3000],
        "zstd-huge-window": struct.pack("<IBB", 0xFD2FB528, 0, 30 << 3) + b"\0" * 16,
        "zstd-huge-single-segment": struct.pack("<IBQ", 0xFD2FB528, 0xE0, 1 << 40) + b"\0" * 16,
        "zstd-skippable-frame": struct.pack("<II", 0x184D2A5F, 4) + b"skip",
    }
    if shutil.which("zstd"):
        frame = subprocess.run(["zstd", "-q", "-c", "--check", "-3"], input=lines, capture_output=True,
                               check=True).stdout
        seeds["zstd-two-frames"] = frame + frame
        seeds["zstd-bad-checksum"] = frame[:-1] + bytes([frame[-1] ^ 1])
    return seeds


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
    for name, data in hostile().items():
        (out / name).write_bytes(data)
        count += 1
    for case in (Path(__file__).parent / "corpus").iterdir():
        shutil.copy(case, out / case.name)
        count += 1
    print(f"{count} seeds in {out}")


if __name__ == "__main__":
    main()
