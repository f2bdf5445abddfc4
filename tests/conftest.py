"""Shared fixtures for the Python tests of palisar.

Tests build their prices files on the fly in pytest's temporary directory;
the recorded markets under DATA_DIR are read in place (never copied here).
"""

import bz2
import dataclasses
import functools
import gzip
import json
import os
import shutil
import struct
import subprocess
import tempfile
import zlib

import pytest

from recorded import DATA_DIR, RECORDED_MARKETS, missing


def to_bytes(content):
    """bytes as they are; str encoded as UTF-8; a list or tuple of lines
    (str, bytes, or a dict/list to be JSON-encoded) joined with "\\n", each
    line ended by "\\n"."""
    if isinstance(content, (bytes, bytearray)):
        return bytes(content)
    if isinstance(content, str):
        return content.encode("utf-8")
    out = bytearray()
    for line in content:
        if isinstance(line, (dict, list)):
            line = json.dumps(line, separators=(",", ":"))
        out += line if isinstance(line, (bytes, bytearray)) else line.encode("utf-8")
        out += b"\n"
    return bytes(out)


NO_BZIP2_TEXT = "cannot read bzip2 files: palisar was built without the bzip2 library (libbz2)"
NO_ZSTD_TEXT = "cannot read zstd files: palisar was built without the zstd library (libzstd)"


def zstd_compress(data, level=3):
    """One zstd frame of `data` with its content checksum, from the zstd tool
    or from compression.zstd (Python 3.14); skips (fails under CI, where the
    tool is installed) without either."""
    if shutil.which("zstd"):
        return subprocess.run(["zstd", "-q", "-c", "--check", f"-{level}"], input=data,
                              capture_output=True, check=True).stdout
    try:
        from compression import zstd
    except ImportError:
        missing("neither the zstd tool nor compression.zstd is available to write zstd files",
                "the zstd tool")
    options = {zstd.CompressionParameter.compression_level: level,
               zstd.CompressionParameter.checksum_flag: 1}
    return zstd.compress(data, options=options)


@dataclasses.dataclass(frozen=True)
class Codec:
    """One encoding of prices files: the file name suffix that chooses it, how
    to compress one stream (gzip member, zstd frame) of it, the text of a
    header that is not its own, and the refusal of a build without its library."""
    name: str
    suffix: str
    compress: object
    bad_header: str = None
    not_built: str = None

    def streams(self, data, cuts):
        """`data` compressed as one stream per piece between the cut offsets."""
        bounds = [0, *cuts, len(data)]
        return b"".join(self.compress(data[a:b]) for a, b in zip(bounds, bounds[1:]))


CODECS = {
    "plain": Codec("plain", "", bytes),
    "gz": Codec("gz", ".gz", lambda data: gzip.compress(data, mtime=0), "invalid gzip header"),
    "bz2": Codec("bz2", ".bz2", lambda data: bz2.compress(data, 9), "invalid bzip2 header",
                 NO_BZIP2_TEXT),
    "zst": Codec("zst", ".zst", zstd_compress, "invalid zstd header", NO_ZSTD_TEXT),
}
COMPRESSED = ("gz", "bz2", "zst")


@functools.cache
def codec_built(name):
    """Whether this build of palisar reads the files of codec `name` (a build
    without the library refuses them when opened, whatever they hold)."""
    import palisar

    refusal = CODECS[name].not_built
    if refusal is None:
        return True
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "probe" + CODECS[name].suffix)
        open(path, "wb").close()
        try:
            palisar.iter_prices_file(path)
        except ValueError as exc:
            return str(exc) != refusal
    return True


def bzip2_built():
    return codec_built("bz2")


def use_codec(name):
    """The Codec `name`; skips when this build cannot read it or nothing here can write it."""
    if not codec_built(name):
        pytest.skip(f"this palisar was built without {name} files")
    if name == "zst":
        zstd_compress(b"")
    return CODECS[name]


@pytest.fixture(params=list(CODECS))
def codec(request):
    """Each encoding in turn: plain text, gzip, bzip2, zstd."""
    return use_codec(request.param)


@pytest.fixture(params=COMPRESSED)
def compressed_codec(request):
    """Each compressed encoding in turn: gzip, bzip2, zstd."""
    return use_codec(request.param)


def gzip_member(data, *, flags=0, extra=b"", name=b"", comment=b"",
                header_crc=None, method=8, level=6):
    """One gzip member of `data` (bytes), built by hand so that header fields
    can be chosen freely. `header_crc` overrides the FHCRC value."""
    header = bytearray(b"\x1f\x8b" + bytes([method, flags]) + b"\0\0\0\0" + b"\0\xff")
    if flags & 0x04:
        header += struct.pack("<H", len(extra)) + extra
    if flags & 0x08:
        header += name + b"\0"
    if flags & 0x10:
        header += comment + b"\0"
    if flags & 0x02:
        crc = zlib.crc32(header) & 0xFFFF if header_crc is None else header_crc
        header += struct.pack("<H", crc)
    deflater = zlib.compressobj(level, zlib.DEFLATED, -15)
    body = deflater.compress(data) + deflater.flush()
    trailer = struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)
    return bytes(header) + body + trailer


@pytest.fixture
def gz():
    """gz(content) -> the bytes of a single-member gzip file of `content`
    (anything `to_bytes` accepts), with a fixed modification time."""
    return lambda content, level=6: gzip.compress(to_bytes(content), compresslevel=level, mtime=0)


@pytest.fixture
def write(tmp_path):
    """write(name, content, compress=False) -> str path of a new file `name`
    (may contain "/" for subdirectories) under the test's temporary directory.
    `content` is anything `to_bytes` accepts; compress=True gzips it first."""

    def _write(name, content=b"", compress=False):
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        data = to_bytes(content)
        if compress:
            data = gzip.compress(data, mtime=0)
        path.write_bytes(data)
        return str(path)

    return _write


@pytest.fixture
def data_dir():
    if not all((DATA_DIR / name).is_file() for name in RECORDED_MARKETS):
        missing(f"recorded markets not available in {DATA_DIR}")
    return DATA_DIR


@pytest.fixture(params=RECORDED_MARKETS)
def recorded_market(request, data_dir):
    """Path (str) of one recorded prices file, read in place."""
    return str(data_dir / request.param)


@pytest.fixture(params=[1, 2], ids=["1cpu", "2cpus"])
def cpus(request):
    """The test runs with this thread on that many CPUs: with one, the calling
    thread decodes every bzip2 block and parses every line itself."""
    before = os.sched_getaffinity(0)
    if len(before) < request.param:
        pytest.skip(f"fewer than {request.param} CPUs")
    os.sched_setaffinity(0, sorted(before)[: request.param])
    yield request.param
    os.sched_setaffinity(0, before)


@pytest.fixture
def member():
    """member(data, **header) -> one hand-built gzip member; see gzip_member."""
    return lambda data, **header: gzip_member(to_bytes(data), **header)


@pytest.fixture
def open_fds():
    """open_fds() -> the number of file descriptors this process holds."""
    return lambda: len(os.listdir("/proc/self/fd"))
