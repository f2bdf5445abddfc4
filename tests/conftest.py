"""Shared fixtures for the Python tests of palisar.

Tests build their prices files on the fly in pytest's temporary directory;
the recorded markets under DATA_DIR are read in place (never copied here).
"""

import bz2
import functools
import gzip
import json
import os
import struct
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


@functools.cache
def bzip2_built():
    """Whether this build of palisar reads bzip2 files (a build without libbz2
    refuses them with NO_BZIP2_TEXT)."""
    import palisar

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "probe.bz2")
        with open(path, "wb") as f:
            f.write(bz2.compress(b'{"pt":1,"mc":[]}\n'))
        try:
            palisar.iter_prices_file(path)
        except ValueError as exc:
            if str(exc) == NO_BZIP2_TEXT:
                return False
            raise
    return True


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


@pytest.fixture
def member():
    """member(data, **header) -> one hand-built gzip member; see gzip_member."""
    return lambda data, **header: gzip_member(to_bytes(data), **header)


@pytest.fixture
def open_fds():
    """open_fds() -> the number of file descriptors this process holds."""
    return lambda: len(os.listdir("/proc/self/fd"))
