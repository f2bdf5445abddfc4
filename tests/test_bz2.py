"""bzip2 and zstd prices files: chosen by the "bz2" and "zst" extensions, the
decoders' own failures raised as ValueError, bzip2 decoded on several threads,
and the recorded markets giving the same snapshots in every encoding. What
every encoding shares (streams, cut files, trailing data) is in test_reader.py."""

import bz2
import functools
import gzip
import hashlib
import marshal
import os
import random
import struct

import pytest

import palisar

from child import SANITIZED, run_child
from conftest import bzip2_built, codec_built, to_bytes, use_codec, zstd_compress as zstd

pytestmark = pytest.mark.skipif(not bzip2_built(), reason="this palisar was built without libbz2")
load = palisar.iter_prices_file
zstd_built = pytest.mark.skipif(not codec_built("zst"), reason="this palisar was built without libzstd")

LINES = [f'{{"op":"mcm","pt":{1000 + i},"mc":[{{"id":"1.5","tv":{i}}}]}}' for i in range(40)]


def failure(path):
    with pytest.raises(ValueError) as exc:
        load(path)
    assert type(exc.value) is ValueError
    return str(exc.value)


def publish_times(path):
    return [book.publish_time_epoch for book in load(path)]


def digest(path):
    """(snapshot count, SHA-256 over the to_dict() of every snapshot). Marshal
    format 2 writes every value in full (no back-references), so equal
    dictionaries give equal bytes."""
    h = hashlib.sha256()
    count = 0
    for book in load(path):
        h.update(marshal.dumps(book.to_dict(), 2))
        count += 1
    return count, h.hexdigest()


plain_digest = functools.lru_cache(digest)


def write_bytes(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def skippable(payload, kind=0):
    return struct.pack("<II", 0x184D2A50 + kind, len(payload)) + payload


# ---- the recorded markets in every encoding ---------------------------------------


@pytest.mark.parametrize("streams", [1, 3])
def test_recorded_market_same_snapshots_in_every_encoding(recorded_market, tmp_path,
                                                          compressed_codec, streams, cpus):
    with open(recorded_market, "rb") as f:
        data = f.read()
    # Cut in the middle of lines, as a parallel compressor cuts blocks.
    cuts = [len(data) // 3 + 7, 2 * len(data) // 3 + 11] if streams == 3 else []
    encoded = compressed_codec.streams(data, cuts)
    expected = plain_digest(recorded_market)
    assert expected[0] > 100
    assert digest(write_bytes(tmp_path, "market.json" + compressed_codec.suffix, encoded)) == expected


@functools.lru_cache
def one_cpu_digest(path):
    before = os.sched_getaffinity(0)
    os.sched_setaffinity(0, sorted(before)[:1])
    try:
        return digest(path)
    finally:
        os.sched_setaffinity(0, before)


def test_recorded_market_parsed_on_every_cpu_as_on_one(recorded_market, tmp_path):
    """The plain text (and its gzip form) parsed in pieces on every CPU gives
    the snapshots of one CPU."""
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("one CPU")
    expected = one_cpu_digest(recorded_market)
    with open(recorded_market, "rb") as f:
        packed = write_bytes(tmp_path, "market.gz", gzip.compress(f.read(), 1, mtime=0))
    assert digest(recorded_market) == digest(packed) == expected


# ---- streams -----------------------------------------------------------------------


@zstd_built
@pytest.mark.parametrize("where", ["front", "between", "end", "only"])
def test_skippable_zstd_frames_are_passed_over(tmp_path, where):
    data = to_bytes(LINES)
    skip = skippable(b'{"pt":5,"mc":[]}\n' * 3, kind=where == "between" and 15)
    parts = {"front": [skip, zstd(data)], "between": [zstd(data[:100]), skip, zstd(data[100:])],
             "end": [zstd(data), skip], "only": [skip, skippable(b"")]}[where]
    expected = [] if where == "only" else list(range(1000, 1040))
    assert publish_times(write_bytes(tmp_path, "p.zst", b"".join(parts))) == expected


def test_large_output_from_small_input(tmp_path):
    # Highly repetitive: a few kilobytes expand to many megabytes, well past
    # every buffer, and one line is longer than the reader's 1 MiB buffer.
    long_line = '{"pt":5,"mc":[{"id":"1.5","x":"' + "a" * (3 << 20) + '"}]}'
    data = to_bytes(LINES[:20] + [long_line] + LINES[20:] * 2000)
    encoded = bz2.compress(data, 9)
    assert len(encoded) < len(data) // 100
    it = load(write_bytes(tmp_path, "p.bz2", encoded))
    assert len(it) == 20 + 1 + 20 * 2000


def test_data_after_garbage_is_not_read(tmp_path):
    second = bz2.compress(to_bytes(['{"pt":9999,"mc":[]}']))
    path = write_bytes(tmp_path, "p.bz2", bz2.compress(to_bytes(LINES)) + b"junk" + second)
    assert publish_times(path)[-1] == 1039


# ---- decoder failures --------------------------------------------------------------


def compressed():
    return bz2.compress(to_bytes(LINES * 50), 9)


def flip(data, index):
    out = bytearray(data)
    out[index] ^= 0xFF
    return bytes(out)


# Cut and foreign files: test_reader.py, for every encoding.
@pytest.mark.parametrize("make, message", [
    (lambda: b"XYZ9" + compressed()[4:], "invalid bzip2 header"),
    (lambda: b"BZh0" + compressed()[4:], "invalid bzip2 header"),
    (lambda: flip(compressed(), 4), "corrupt bzip2 data"),  # block magic
    (lambda: flip(compressed(), 11), "corrupt bzip2 data"),  # block checksum
    (lambda: flip(compressed(), len(compressed()) // 2), "corrupt bzip2 data"),
    (lambda: flip(compressed(), len(compressed()) - 2), "corrupt bzip2 data"),  # stream checksum
    (lambda: compressed() + flip(compressed(), 11), "corrupt bzip2 data"),  # in the second stream
], ids=["bad magic", "bad block size", "block magic", "block checksum", "data", "stream checksum", "second stream corrupt"])
def test_decoder_failures(tmp_path, make, message):
    assert failure(write_bytes(tmp_path, "p.json.bz2", make())) == message


def zcompressed():
    return zstd(to_bytes(LINES * 50), 19)


def frame_header(descriptor, window_or_size):
    """A zstd frame header: the frame header descriptor byte, then a window
    descriptor (no single segment) or an 8-byte content size (single segment)."""
    tail = bytes([window_or_size]) if not descriptor & 0x20 else struct.pack("<Q", window_or_size)
    return struct.pack("<I", 0xFD2FB528) + bytes([descriptor]) + tail


CHECKSUM = "corrupt zstd stream does not have a matching checksum"
WINDOW = "zstd frame asks for a window larger than 128 MiB"


@zstd_built
@pytest.mark.parametrize("make, message", [
    (lambda: skippable(b"x" * 10)[:-2], "unexpected end of file"),
    (lambda: flip(zcompressed(), -1), CHECKSUM),
    (lambda: zcompressed() + flip(zcompressed(), -2), CHECKSUM),  # in the second frame
    (lambda: flip(zcompressed(), len(zcompressed()) // 2), "corrupt zstd data"),
    (lambda: flip(zcompressed(), 4), "corrupt zstd data"),  # reserved header bit
    # Windows of 2 GiB and 1 TiB, and a single segment of 1 TiB: refused from
    # the header, before anything is allocated for them.
    (lambda: frame_header(0x00, 21 << 3) + b"\0" * 16, WINDOW),
    (lambda: frame_header(0x00, 30 << 3) + b"\0" * 16, WINDOW),
    (lambda: frame_header(0xE0, 1 << 40) + b"\0" * 16, WINDOW),
], ids=["skippable frame cut", "checksum", "second frame checksum",
        "data", "reserved bit", "2 GiB window", "1 TiB window", "1 TiB single segment"])
def test_zstd_decoder_failures(tmp_path, make, message):
    assert failure(write_bytes(tmp_path, "p.json.zst", make())) == message


# ---- bzip2 decoded on several threads ----------------------------------------------


@functools.lru_cache
def many_blocks():
    """40,000 lines of varied messages: 2.9 MB of text, about 0.3 MB as bzip2 -1
    (30 blocks), enough for the blocks to be decoded on several threads."""
    rng = random.Random(5)
    lines = [f'{{"op":"mcm","pt":{1000 + i},"mc":[{{"id":"1.5","rc":[{{"id":{rng.randrange(1, 10)},'
             f'"atb":[[{rng.randrange(101, 130) / 100},{rng.randrange(0, 10**6) / 100}]]}}]}}]}}'
             for i in range(40_000)]
    return lines, bz2.compress(to_bytes(lines), 1)


def test_many_blocks_same_snapshots_as_plain_text(tmp_path, cpus):
    lines, data = many_blocks()
    assert len(data) > 48 * 1024
    plain = write_bytes(tmp_path, "p.json", to_bytes(lines))
    assert digest(write_bytes(tmp_path, "p.json.bz2", data)) == digest(plain)
    # Several streams, an empty one among them, and garbage after the last.
    multi = data + bz2.compress(b"") + data + b"\0garbage"
    assert publish_times(write_bytes(tmp_path, "m.bz2", multi)) == list(range(1000, 41000)) * 2


def middle_block_offset(data, nth):
    """The byte offset a little after the `nth` block magic (byte-aligned search
    is enough: any offset well inside the compressed data will do)."""
    return len(data) * nth // 30 + 5


@pytest.mark.parametrize("codec, message", [
    ("gz", "corrupt gzip stream does not have a matching checksum"),
    ("zst", "corrupt zstd stream does not have a matching checksum"),
])
def test_large_gzip_and_zstd_failures_in_file_order(tmp_path, codec, message, cpus):
    """A text parsed on every CPU while the rest is inflated: a wrong
    checksum at the end of the file, alone and after a bad line."""
    use_codec(codec)
    lines = many_blocks()[0] * 4
    pack = (lambda t: gzip.compress(t, 1, mtime=0)) if codec == "gz" else zstd
    good = pack(to_bytes(lines))
    assert len(load(write_bytes(tmp_path, "p." + codec, good))) == len(lines)
    checksum = -6 if codec == "gz" else -2  # a byte of the CRC-32 / of the frame's checksum
    assert failure(write_bytes(tmp_path, "p." + codec, flip(good, checksum))) == message
    bad = list(lines)
    bad[len(bad) * 2 // 3] = "x"
    data = flip(pack(to_bytes(bad)), checksum)
    assert failure(write_bytes(tmp_path, "p." + codec, data)) == "expected value at line 1 column 1"


@pytest.mark.parametrize("case, message", [
    ("block corrupt", "corrupt bzip2 data"),
    ("cut inside a block", "unexpected end of file"),
    ("stream checksum", "corrupt bzip2 data"),
    ("json error, then a corrupt block", "expected value at line 1 column 1"),
    ("corrupt block, then a json error", "corrupt bzip2 data"),
])
def test_many_blocks_first_failure_in_file_order(tmp_path, case, message, cpus):
    lines, data = many_blocks()
    if case == "block corrupt":
        data = flip(data, middle_block_offset(data, 17))
    elif case == "cut inside a block":
        data = data[: middle_block_offset(data, 23)]
    elif case == "stream checksum":
        data = flip(data, len(data) - 3)
    else:
        bad = list(lines)
        bad[len(bad) // 3 if case.startswith("json") else 2 * len(bad) // 3] = "x"
        data = bz2.compress(to_bytes(bad), 1)
        data = flip(data, len(data) * (2 if case.startswith("json") else 1) // 3 + 40)
    assert failure(write_bytes(tmp_path, "p.bz2", data)) == message


THREADS_CHILD = r"""
import threading
path, cpus = sys.argv[2], int(sys.argv[3])
os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:cpus])
tasks = lambda: len(os.listdir("/proc/self/task"))
base = tasks()
seen, stop = [0], []
def sample():
    while not stop:
        seen[0] = max(seen[0], tasks())
sampler = threading.Thread(target=sample)
sampler.start()
it = palisar.iter_prices_file(path)
stop.append(1)
sampler.join()
# A joined thread may still be listed for a moment (Python 3.12 returns from
# join before the system thread has ended).
deadline = time.monotonic() + 2
while tasks() > base and time.monotonic() < deadline:
    time.sleep(0.01)
done(base=base, seen=seen[0], after=tasks(), count=len(it))
"""


SMALL_STACK_CHILD = r"""
import threading
path, cpus = sys.argv[2], int(sys.argv[3])
os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:cpus])
threading.stack_size(32768)  # the least the interpreter allows
out = []
thread = threading.Thread(target=lambda: out.append(len(palisar.iter_prices_file(path))))
thread.start()
thread.join()
done(count=out)
"""


@pytest.mark.parametrize("codec", ["bz2", "gz", "zst", "plain"])
@pytest.mark.parametrize("cpus", [1, 2])
def test_a_thread_with_the_smallest_stack_loads(tmp_path, cpus, codec):
    """The calling thread decodes and parses too: nothing it does may need
    more stack than a thread the interpreter lets a user make."""
    if len(os.sched_getaffinity(0)) < cpus:
        pytest.skip(f"fewer than {cpus} CPUs")
    use_codec(codec)
    lines, data = many_blocks()
    text = to_bytes(lines)
    data = {"bz2": lambda: bz2.compress(text, 9), "gz": lambda: gzip.compress(text, 1, mtime=0),
            "zst": lambda: zstd(text), "plain": lambda: text}[codec]()
    r = run_child(SMALL_STACK_CHILD, write_bytes(tmp_path, "p." + codec, data), cpus)
    r.assert_quiet_success()
    assert r["count"] == [40_000]


@pytest.mark.parametrize("codec", ["bz2", "gz", "zst", "plain"])
@pytest.mark.parametrize("cpus", [1, 2, 4])
def test_no_more_threads_than_cpus_and_none_after_the_call(tmp_path, cpus, codec):
    """bzip2 blocks decoded on several threads (and the text parsed on the
    calling one); gzip and zstd inflated on the calling thread, and the text
    parsed on every CPU, as plain text is."""
    if len(os.sched_getaffinity(0)) < cpus:
        pytest.skip(f"fewer than {cpus} CPUs")
    use_codec(codec)
    lines, data = many_blocks()
    if codec != "bz2":
        text = to_bytes(lines)
        data = {"gz": lambda: gzip.compress(text, 1, mtime=0), "zst": lambda: zstd(text),
                "plain": lambda: text}[codec]()
    path = write_bytes(tmp_path, "p." + codec, data * 3)
    r = run_child(THREADS_CHILD, path, cpus)
    r.assert_quiet_success()
    assert r["count"] == 120_000 and r["after"] == r["base"]
    # The sampler, and the decoding and parsing threads besides the calling one.
    decoding = cpus - 1 if codec == "bz2" else 0
    parsing = 0 if codec == "bz2" else cpus - 1
    assert r["seen"] <= r["base"] + 1 + decoding + parsing
    if cpus > 1:
        assert r["seen"] > r["base"] + 1


BOMB_CHILD = r"""
before = rss()
it = palisar.iter_prices_file(sys.argv[2])
done(count=len(it), grown=peak_rss() - before)
"""


def test_a_bzip2_bomb_stays_within_the_window(tmp_path, cpus):
    # Lines of 1000 spaces, whose runs pack about 43 MB of text into a block;
    # 8 blocks behind enough ordinary blocks for several threads (the child
    # runs on the CPUs of this thread).
    bomb = bz2.compress((b" " * 1000 + b"\n") * 350_000, 9)
    assert len(bomb) < 10_000
    path = write_bytes(tmp_path, "p.bz2", many_blocks()[1] + bomb)
    r = run_child(BOMB_CHILD, path)
    r.assert_quiet_success()
    assert r["count"] == 40_000
    if not SANITIZED:
        # 350 MB of text; the messages kept take about 20 MB.
        assert r["grown"] < 120 << 20, r["grown"]


def test_failure_closes_the_file(tmp_path, open_fds):
    path = write_bytes(tmp_path, "p.bz2", compressed()[:-1])
    before = open_fds()
    for _ in range(5):
        failure(path)
    assert open_fds() == before
