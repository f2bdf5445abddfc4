"""iter_prices_file: opening and decoding a prices file, the line and message
rules, every failure text, and the iterator object it returns."""

import gzip
import json
import os
import re
import struct
import zlib

import pytest

import palisar

from conftest import CODECS, COMPRESSED, codec_built, to_bytes, use_codec

load = palisar.iter_prices_file

KEPT = '{"pt":1,"mc":[]}'  # the smallest message that is retained
BIG_INT = "123456789012345678901234567890"  # 30 digits, beyond 64 bits

# Every code point with the Unicode White_Space property.
WHITE_SPACE = [
    0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
    *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
]
# Look like separators but are not White_Space: never a blank line.
NOT_WHITE_SPACE = [0x00, 0x1C, 0x1D, 0x1E, 0x1F, 0x180E, 0x200B, 0x2060, 0xFEFF]


def failure(path):
    """The message of the ValueError that loading `path` raises."""
    with pytest.raises(ValueError) as exc:
        load(path)
    assert type(exc.value) is ValueError  # not a subclass such as UnicodeDecodeError
    return str(exc.value)


def pt_lines(first, count, id="1.1"):
    return [f'{{"op":"mcm","pt":{first + i},"mc":[{{"id":"{id}"}}]}}' for i in range(count)]


def publish_times(it):
    return [book.publish_time_epoch for book in it]


# ---- opening ---------------------------------------------------------------------


def test_missing_file(tmp_path):
    assert failure(str(tmp_path / "absent")) == "No such file or directory (os error 2)"
    assert failure(str(tmp_path / "absent.gz")) == "No such file or directory (os error 2)"
    assert failure(str(tmp_path / "no-dir" / "absent")) == "No such file or directory (os error 2)"


def test_empty_path():
    assert failure("") == "No such file or directory (os error 2)"


@pytest.mark.parametrize("name", ["dir", "dir.gz", "dir.gzip"])
def test_directory(tmp_path, name):
    (tmp_path / name).mkdir()
    assert failure(str(tmp_path / name)) == "Is a directory (os error 21)"
    assert failure(str(tmp_path / name) + "/") == "Is a directory (os error 21)"


def test_path_through_a_file(write):
    path = write("prices", [KEPT])
    assert failure(path + "/") == "Not a directory (os error 20)"
    assert failure(path + "/x.gz") == "Not a directory (os error 20)"


@pytest.mark.parametrize("path", ["\0", "a\0b", "prices\0.gz", "/tmp\0/x"])
def test_nul_in_path(path):
    assert failure(path) == "file name contained an unexpected NUL byte"


def test_nul_in_path_of_existing_file(write):
    path = write("prices", [KEPT])
    assert failure(path + "\0") == "file name contained an unexpected NUL byte"


def test_relative_path_against_working_directory(write, tmp_path, monkeypatch):
    write("sub/prices", [KEPT, KEPT])
    monkeypatch.chdir(tmp_path)
    assert len(load("sub/prices")) == 2
    assert len(load("./sub/../sub/prices")) == 2


# ---- UTF-8 -------------------------------------------------------------------------

UTF8_TEXT = "stream did not contain valid UTF-8"


@pytest.mark.parametrize("data", [
    pytest.param(b"\xff\n", id="first-byte"),
    pytest.param(b'{"pt":1,"mc":["\xe9"]}\n', id="latin-1-in-string"),
    pytest.param(b'{"pt":1,"mc":[],"caf\xe9":1}\n', id="latin-1-in-key"),
    pytest.param(b'{"op":"status","x":"\xff"}\n', id="in-a-dropped-message"),
    pytest.param(KEPT.encode() + b"\n" + KEPT.encode() + b"\n\x80" + KEPT.encode() + b"\n", id="third-line"),
    pytest.param(b"  \xa0  \n", id="in-a-blank-looking-line"),
    pytest.param(b"\xc0\xaf\n", id="overlong"),
    pytest.param(b'["\xed\xa0\x80"]\n', id="encoded-surrogate"),
    pytest.param(b'["\xf4\x90\x80\x80"]\n', id="above-U+10FFFF"),
    pytest.param(b'["\xf8\x88\x80\x80\x80"]\n', id="five-byte-form"),
    pytest.param(b'["\xe2\x82"]\n', id="truncated-sequence"),
    pytest.param(KEPT.encode() + b"\n\xe2\x82", id="truncated-at-end-of-file"),
    pytest.param(KEPT.encode() + b"\xe2\x82\n", id="truncated-before-newline"),
])
def test_invalid_utf8(write, data):
    assert failure(write("prices", data)) == UTF8_TEXT


def test_invalid_utf8_after_first_megabyte(write):
    lines = [f'{{"pt":{i + 1},"mc":[],"pad":"{"x" * 60}"}}' for i in range(40_000)]
    path = write("prices", "\n".join(lines).encode() + b"\n\xfe\n")
    assert os.path.getsize(path) > 2 << 20
    assert failure(path) == UTF8_TEXT


@pytest.mark.parametrize("data, message", [
    pytest.param(b"x\n\xff\n", "expected value at line 1 column 1", id="json-first"),
    pytest.param(b"\xff\nx\n", UTF8_TEXT, id="utf8-first"),
])
def test_first_failure_wins(write, data, message):
    assert failure(write("prices", data)) == message


# ---- the text parsed on several threads ------------------------------------------
# Beyond half a megabyte, the lines are parsed in pieces on every CPU,
# each piece ending at a line feed; the reads of the file are those of the
# calling thread alone.

PIECE_LINES = [f'{{"pt":{i + 1},"mc":[],"pad":"{"x" * 50}"}}' for i in range(45_000)]  # 3.3 MB


def with_lines(**at):
    """PIECE_LINES joined by line feeds, the line at each fraction `at` replaced."""
    lines = list(PIECE_LINES)
    for fraction, line in at.values():
        lines[int(len(lines) * fraction)] = line
    return "\n".join(lines).encode("utf-8", "surrogateescape") + b"\n"


def cut_gzip(text):
    data = gzip.compress(text, 1, mtime=0)
    return data[: len(data) * 2 // 3]


LONG_LINE = '{"pt":7,"mc":[{"id":"1.1","x":"' + "y" * (5 << 19) + '"}]}'  # 2.5 MB
PIECES = {
    "crlf": ("\r\n".join(PIECE_LINES).encode() + b"\r\n", 45_000),
    "no-final-line-feed": ("\n".join(PIECE_LINES).encode(), 45_000),
    "blank-lines": (with_lines(a=(0.2, "\u3000 \u00a0\t"), b=(0.6, ""), c=(0.9, "\r")), 44_997),
    "line-longer-than-a-read": (with_lines(a=(0.5, LONG_LINE)), 45_000),
    "long-line-at-the-end": ("\n".join(PIECE_LINES + [LONG_LINE]).encode(), 45_001),
    "json-errors-early-and-late": (with_lines(a=(0.05, "x"), b=(0.8, "{]")), "expected value at line 1 column 1"),
    "json-error-late": (with_lines(a=(0.97, '{"pt":1,]')), "key must be a string at line 1 column 9"),
    "json-error-in-the-long-line": (with_lines(a=(0.3, LONG_LINE[:-1]), b=(0.9, "x")),
                                    f"EOF while parsing an object at line 1 column {len(LONG_LINE) - 1}"),
    "utf8-after-a-json-error": (with_lines(a=(0.3, "[}"), b=(0.6, "\udcff")), "expected value at line 1 column 2"),
    "json-error-after-bad-utf8": (with_lines(a=(0.3, '{"pt":1,"mc":["\udcff"]}'), b=(0.6, "x")), UTF8_TEXT),
    "gz-truncated": (cut_gzip(with_lines()), "unexpected end of file"),
    "gz-json-error-then-truncated": (cut_gzip(with_lines(a=(0.1, "x"))), "expected value at line 1 column 1"),
}


def outcome(path):
    try:
        return len(load(path))
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("case", PIECES)
def test_text_in_pieces_loads_as_on_one_cpu(tmp_path, case, cpus):
    data, expected = PIECES[case]
    path = tmp_path / ("p.gz" if case.startswith("gz") else "p")
    path.write_bytes(data)
    assert outcome(str(path)) == expected


WHOLE = b'{"pt":2,"mc":[{"id":"1.1","tv":3.5,"rc":[{"id":7,"atb":[[1.5,2]]}]}]}\n'


@pytest.mark.parametrize("cut", [*range(1, len(WHOLE) - 1, 4), len(WHOLE) - 2, len(WHOLE) - 1])
def test_a_text_cut_short_is_not_completed_by_the_text_loaded_before(tmp_path, cut):
    """Loads read into buffers kept from the loads before: what an earlier
    text left past the end of this one is never read as part of it."""
    before, cut_short = tmp_path / "before", tmp_path / "cut"
    cut_short.write_bytes(WHOLE[:cut])
    before.write_bytes(b" " * (len(WHOLE) - 1) + b"\n")
    load(str(before))
    expected = outcome(str(cut_short))
    before.write_bytes(WHOLE)
    load(str(before))
    assert outcome(str(cut_short)) == expected
    assert expected == 1 if cut == len(WHOLE) - 1 else isinstance(expected, str)


def test_valid_multibyte_text_loads(write):
    line = '{"pt":1,"mc":[{"id":"1.1","name":"café – 東京 😀"}],"\u00e9":"\u2028"}'
    assert len(load(write("prices", [line]))) == 1


# ---- every compressed encoding --------------------------------------------------------

TRUNCATED = "unexpected end of file"
PLAIN = "\n".join(f'{{"pt":{i},"mc":[{{"id":"1.1"}}]}}' for i in range(1, 200)).encode() + b"\n"
LINES = pt_lines(1000, 40)
CUT_AT = [1, 2, 3, 4, 9, 10, 11, 20, 30, 0.5, -9, -8, -5, -1]


def write_encoded(tmp_path, codec, data, name="prices.json"):
    path = tmp_path / (name + codec.suffix)
    path.write_bytes(data)
    return str(path)


def test_empty_file(tmp_path, codec):
    if codec.name == "plain":
        assert len(load(write_encoded(tmp_path, codec, b""))) == 0
    else:
        assert failure(write_encoded(tmp_path, codec, b"")) == TRUNCATED


def test_one_stream(tmp_path, compressed_codec):
    path = write_encoded(tmp_path, compressed_codec, compressed_codec.compress(PLAIN))
    assert publish_times(load(path)) == list(range(1, 200))


def test_empty_stream_gives_no_messages(tmp_path, compressed_codec):
    path = write_encoded(tmp_path, compressed_codec, compressed_codec.compress(b""))
    assert len(load(path)) == 0


@pytest.mark.parametrize("keep", CUT_AT)
def test_truncated_stream(tmp_path, compressed_codec, keep):
    data = compressed_codec.compress(PLAIN)
    cut = int(len(data) * keep) if isinstance(keep, float) else keep % len(data)
    assert failure(write_encoded(tmp_path, compressed_codec, data[:cut])) == TRUNCATED


def test_second_stream_truncated(tmp_path, compressed_codec):
    # A complete first stream, then a second one cut short.
    data = compressed_codec.compress(PLAIN)
    assert failure(write_encoded(tmp_path, compressed_codec, data + data[: len(data) // 2])) == TRUNCATED


@pytest.mark.parametrize("cuts", [
    [1],                                      # a stream holding one byte
    [len(LINES[0]) + 1],                      # cut at a line boundary
    [len(LINES[0]), len(LINES[0]) + 1],       # a stream holding a line feed alone
    [10, 200, 201, 900],                      # cuts inside lines, a one-byte stream
    [0, 0, 500],                              # empty streams in front
])
def test_every_stream_of_a_multi_stream_file(tmp_path, compressed_codec, cuts):
    path = write_encoded(tmp_path, compressed_codec, compressed_codec.streams(to_bytes(LINES), cuts))
    assert publish_times(load(path)) == list(range(1000, 1040))


TRAILERS = {
    "text": b"text after the stream\n",
    "one-zero": b"\0",
    "zeros": b"\0" * 1000,
    "lone-gzip-magic-byte": b"\x1f",
    "gzip-magic-reversed": b"\x8b\x1f",
    # not a complete bzip2 stream header
    "B": b"B", "BZ": b"BZ", "BZh": b"BZh", "BZh0data": b"BZh0data", "BZhX": b"BZhX",
    "gzip-member": gzip.compress(b'{"pt":1,"mc":[]}\n'),
}


@pytest.mark.parametrize("name, trailer", [
    pytest.param(name, trailer, id=f"{name}-{tail}") for name in COMPRESSED
    for tail, trailer in TRAILERS.items() if (name, tail) != ("gz", "gzip-member")])
def test_data_after_a_stream_that_is_not_a_stream_is_ignored(tmp_path, name, trailer):
    codec = use_codec(name)
    path = write_encoded(tmp_path, codec, codec.compress(to_bytes(LINES)) + trailer)
    assert publish_times(load(path)) == list(range(1000, 1040))


@pytest.mark.parametrize("name, other", [
    (name, other) for name in COMPRESSED for other in CODECS if other != name])
def test_data_of_another_encoding_is_an_invalid_header(tmp_path, name, other):
    # The name decides the decoder; the content is not inspected.
    codec = use_codec(name)
    data = use_codec(other).compress(to_bytes(LINES))
    assert failure(write_encoded(tmp_path, codec, data)) == codec.bad_header


@pytest.mark.parametrize("line, message", [
    ("{]", "key must be a string at line 1 column 2"),
    (b'{"pt":1,"mc":["\xff"]}', UTF8_TEXT),
], ids=["json", "utf8"])
def test_decoded_text_fails_as_plain_text_does(tmp_path, codec, line, message):
    data = to_bytes([LINES[0], line])
    assert failure(write_encoded(tmp_path, codec, codec.compress(data))) == message


def test_line_rules_apply_after_decoding(tmp_path, codec):
    lines = [LINES[0] + "\r", "", "   \u00a0", '{"op":"status"}', '{"pt":0,"mc":[]}', LINES[1]]
    data = to_bytes(lines)[:-1]  # the last line without its "\n"
    path = write_encoded(tmp_path, codec, codec.streams(data, [len(LINES[0]) + 1]))
    assert publish_times(load(path)) == [1000, 1001]


# ---- gzip decoding failures ----------------------------------------------------------

CHECKSUM = "corrupt gzip stream does not have a matching checksum"


def flipped(data, index, mask=0xFF):
    data = bytearray(data)
    data[index] ^= mask
    return bytes(data)


def with_byte(data, index, value):
    data = bytearray(data)
    data[index] = value
    return bytes(data)


@pytest.mark.parametrize("encoding", ["bz2", "zst"])
def test_a_build_without_the_library_refuses_the_file(write, encoding):
    codec = CODECS[encoding]
    if codec_built(encoding):
        pytest.skip(f"this palisar reads {encoding} files")
    # Refused when opened, whatever the file holds.
    assert failure(write("prices" + codec.suffix, [KEPT])) == codec.not_built


@pytest.mark.parametrize("data", [b"\x1f\x8c\x08\x00", b"\x1e\x8b\x08\x00", b"PK\x03\x04"], ids=repr)
def test_bad_magic(write, data):
    assert failure(write("prices.gz", data + b"\0" * 30)) == "invalid gzip header"


@pytest.mark.parametrize("offset", [-8, -7, -6, -5], ids=lambda o: f"crc-byte{o + 8}")
def test_checksum_mismatch(write, gz, offset):
    data = gz(PLAIN)
    assert failure(write("prices.gz", flipped(data, len(data) + offset))) == CHECKSUM


@pytest.mark.parametrize("offset, mask", [(-4, 0x01), (-3, 0x10), (-1, 0x80)])
def test_wrong_isize(write, gz, offset, mask):
    data = gz(PLAIN)
    failure(write("prices.gz", flipped(data, len(data) + offset, mask)))


def test_reserved_deflate_block_type(write, gz):
    data = gz(PLAIN)
    # Byte 10 starts the deflate data; bits 1-2 of it are the first block's type.
    assert failure(write("prices.gz", with_byte(data, 10, data[10] | 0x06))).startswith("corrupt")


@pytest.mark.parametrize("where", [0.3, 0.5, 0.7])
def test_corrupted_deflate_data(write, gz, where):
    data = gz(PLAIN)
    index = 10 + int((len(data) - 18) * where)
    assert failure(write("prices.gz", flipped(data, index))).startswith("corrupt")


@pytest.mark.parametrize("flag", [0x20, 0x40, 0x80])
def test_reserved_header_flags(write, member, flag):
    failure(write("prices.gz", member(PLAIN, flags=flag)))


@pytest.mark.parametrize("method", [0, 1, 7, 9, 255])
def test_compression_method_other_than_deflate(write, member, method):
    failure(write("prices.gz", member(PLAIN, method=method)))


def test_bad_header_checksum(write, member):
    good = member(PLAIN, flags=0x02)
    stored = int.from_bytes(good[10:12], "little")
    failure(write("prices.gz", member(PLAIN, flags=0x02, header_crc=stored ^ 0x0101)))


@pytest.mark.parametrize("header", [
    pytest.param({}, id="minimal"),
    pytest.param({"flags": 0x01}, id="FTEXT"),
    pytest.param({"flags": 0x02}, id="FHCRC"),
    pytest.param({"flags": 0x04, "extra": b"AB\x04\x00data"}, id="FEXTRA"),
    pytest.param({"flags": 0x04, "extra": b""}, id="FEXTRA-empty"),
    pytest.param({"flags": 0x08, "name": b"prices.txt"}, id="FNAME"),
    pytest.param({"flags": 0x10, "comment": b"recorded"}, id="FCOMMENT"),
    pytest.param({"flags": 0x1F, "extra": b"\x1f\x8b" * 300, "name": b"n" * 70000,
                  "comment": b"c" * 3}, id="all-fields-long"),
    pytest.param({"level": 0}, id="stored-blocks"),
    pytest.param({"level": 9}, id="level-9"),
])
def test_header_forms(write, member, header):
    assert publish_times(load(write("prices.gz", member(PLAIN, **header)))) == list(range(1, 200))


# ---- gzip members ------------------------------------------------------------------


def test_many_members_including_empty_ones(write, gz, member):
    data = gz(b"") + gz(pt_lines(1, 2)) + member(b"") + member(pt_lines(3, 1), flags=0x1E, name=b"x")
    assert publish_times(load(write("prices.gz", data))) == [1, 2, 3]


@pytest.mark.parametrize("tail", [b"\x1f\x8b", b"\x1f\x8bgarbage after it", b"\x1f\x8b\x08\x00" + b"\0" * 6 + b"\xff\xff"],
                         ids=["magic-only", "magic-then-garbage", "header-then-bad-data"])
def test_gzip_magic_after_a_member_starts_another(write, gz, tail):
    failure(write("prices.gz", gz(pt_lines(1, 3)) + tail))


def stored_member(data):
    """A gzip member of `data` in stored deflate blocks: 18 bytes of header and
    trailer plus 5 bytes per block of at most 65535 bytes."""
    blocks = [data[i:i + 65535] for i in range(0, len(data), 65535)] or [b""]
    body = b""
    for n, block in enumerate(blocks):
        body += bytes([1 if n == len(blocks) - 1 else 0]) + struct.pack("<HH", len(block), len(block) ^ 0xFFFF) + block
    return b"\x1f\x8b\x08\x00\0\0\0\0\0\xff" + body + struct.pack("<II", zlib.crc32(data), len(data))


@pytest.mark.parametrize("end", [(1 << n) + d for n in (15, 16, 17, 18) for d in (-3, -2, -1, 0, 1, 2)])
def test_member_boundary_at_buffer_sizes(write, gz, end):
    """The first member ends at byte `end` of the file, around the power-of-two
    sizes a reader buffers input in; the second member must still be found."""
    head, tail = b'{"pt":1,"mc":[]}\n', b'{"pt":2,"mc":[]}\n'
    blocks = -(-(end - 18) // 65540)
    size = end - 18 - 5 * blocks
    first = stored_member(head + b" " * (size - len(head) - len(tail) - 1) + b"\n" + tail)
    assert len(first) == end
    assert len(load(write("prices.gz", first + gz(['{"pt":3,"mc":[]}'])))) == 3


# ---- the extension rule ----------------------------------------------------------------


@pytest.mark.parametrize("name, encoding", [
    *[(name, "gz") for name in ("prices.gz", "prices.json.gz", "prices.gzip", "prices.tar.gzip",
                                ".hidden.gz", "a.b.c.gz", "dir.gz/prices.gz")],
    *[(name, "bz2") for name in ("p.bz2", "p.json.bz2", "a.b.c.bz2", "..bz2", "dir.gz/p.bz2")],
    *[(name, "zst") for name in ("p.zst", "p.json.zst", "..zst", "dir.bz2/p.zst")],
    *[(name, "plain") for name in (
        "prices.GZ", "prices.Gz", "prices.GZIP", "prices.gz.bak", "prices.tgz", "prices.gz.",
        "pricesgz", ".gz", ".gzip", "dir.gz/prices", "dir.gz/.gz", "prices",
        "p.BZ2", "p.Bz2", "p.bz2.bak", "p.bz", "p.bzip2", ".bz2", "bz2", "p.bz2x", "dir.bz2/p",
        "p.ZST", "p.zstd", "p.zs", ".zst", "p.zst.bak", "dir.zst/p")],
])
def test_extension_decides_the_decoder(write, name, encoding):
    codec = use_codec(encoding)
    lines = pt_lines(1, 3)
    assert publish_times(load(write(name, codec.compress(to_bytes(lines))))) == [1, 2, 3]
    # The content is never inspected: another form fails.
    if encoding == "plain":
        lookalike = "bz2" if "bz" in name.lower() else "zst" if "zs" in name.lower() else "gz"
        assert failure(write(name, CODECS[lookalike].compress(to_bytes(lines)))) == UTF8_TEXT
    else:
        assert failure(write(name, lines)) == codec.bad_header


# ---- JSON --------------------------------------------------------------------------


@pytest.mark.parametrize("line, message", [
    ("x", "expected value at line 1 column 1"),
    ("  x", "expected value at line 1 column 3"),
    ("{} x", "trailing characters at line 1 column 4"),
    ("{}{}", "trailing characters at line 1 column 3"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ('{"a"', "EOF while parsing an object at line 1 column 4"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ("\ufeff" + KEPT, "expected value at line 1 column 1"),
    ('{"pt":1}\u00a0', "trailing characters at line 1 column 9"),
    ("\u00a0" + KEPT, "expected value at line 1 column 1"),
    (KEPT + "\u2028", "trailing characters at line 1 column 17"),
    ("\x0b" + KEPT, "expected value at line 1 column 1"),
    (KEPT + "\x0c", "trailing characters at line 1 column 17"),
    (KEPT + "\r" + KEPT, "trailing characters at line 1 column 18"),
    (KEPT + "\0", "trailing characters at line 1 column 17"),
])
def test_json_error_text(write, line, message):
    assert failure(write("prices", [line])) == message


def test_json_error_is_located_inside_its_line(write):
    lines = [KEPT, KEPT, '{"pt":3,"mc":[] x}', KEPT]
    assert failure(write("prices", lines)) == "expected `,` or `}` at line 1 column 17"


def test_json_error_column_in_a_long_line(write):
    line = '{"pt":1,"mc":[],"pad":"' + "a" * (3 << 20) + '"} x'
    assert failure(write("prices", [KEPT, line])) == f"trailing characters at line 1 column {len(line)}"


BAD_VALUES = [
    "NaN", "-NaN", "Infinity", "-Infinity", "1e400", "-1e400", "1e999999999999",
    r'"\ud800"', r'"\udc00"', r'"\ud800\u0041"', r'"\ud800x"',
    "[1,]", '{"a":1,}', "'a'", "{a:1}", "01", "-01", "+1", ".5", "1.", "1e", "0x1", "--1",
    '"a\tb"', '"\x01"', r'"\x"', r'"\u12"', "tru", "nul", "True", "None", "[1 2]", "/*c*/1",
]
POSITIONS = {
    "alone": "{}",
    "in-array": "[{}]",
    "in-market-change": '{{"pt":1,"mc":[{{"id":"1.1","x":{}}}]}}',
    "beside-mc": '{{"pt":1,"mc":[],"clk":{}}}',
    "in-bare-change": '{{"pt":1,"rc":[],"x":{}}}',
    "in-dropped-message": '{{"op":"status","x":{}}}',
}


@pytest.mark.parametrize("position", POSITIONS)
@pytest.mark.parametrize("value", BAD_VALUES)
def test_invalid_json_fails_wherever_it_is(write, value, position):
    line = POSITIONS[position].format(value)
    message = failure(write("prices", [KEPT, line, KEPT]))
    match = re.fullmatch(r".+ at line 1 column (\d+)", message)
    assert match, message
    assert 1 <= int(match.group(1)) <= len(line.encode())


GOOD_VALUES = [
    "1e-400", "-1e-400", BIG_INT, "-" + BIG_INT, "18446744073709551615", "-9223372036854775808",
    "1E+2", "-0", "0.0", "1.5e-3", r'"\ud83d\ude00"', r'"\u0000"', r'"\/\b\f\n\r\t\\\""',
    '"é"', '""', '{"":1}', '{"a":1,"a":2}', "[[],{}]", "true", "false", "null",
]


@pytest.mark.parametrize("position", ["in-market-change", "beside-mc", "in-bare-change"])
@pytest.mark.parametrize("value", GOOD_VALUES)
def test_valid_json_values_load(write, value, position):
    assert len(load(write("prices", [POSITIONS[position].format(value)]))) == 1


def nesting_column(line, limit=128):
    """1-based column of the first container that opens beyond `limit` levels."""
    depth, in_string = 0, False
    for i, c in enumerate(line):
        if in_string:
            in_string = c != '"'
        elif c == '"':
            in_string = True
        elif c in "[{":
            depth += 1
            if depth > limit:
                return i + 1
        elif c in "]}":
            depth -= 1
    return None


# Lines nested `d` levels deep in total.
NESTINGS = {
    "arrays": lambda d: "[" * d + "]" * d,
    "objects": lambda d: '{"a":' * (d - 1) + "{}" + "}" * (d - 1),
    "in-mc": lambda d: '{"pt":1,"mc":' + "[" * (d - 1) + "]" * (d - 1) + "}",
    "in-market-change": lambda d: '{"pt":1,"mc":[{"id":"1.1","x":' + "[" * (d - 3) + "]" * (d - 3) + "}]}",
    "in-bare-change": lambda d: '{"pt":1,"rc":[],"x":' + "[" * (d - 1) + "]" * (d - 1) + "}",
    "beside-mc": lambda d: '{"pt":1,"mc":[],"x":' + "[" * (d - 1) + "]" * (d - 1) + "}",
    "in-dropped-message": lambda d: '{"op":"status","x":' + '{"a":' * (d - 2) + "{}" + "}" * (d - 2) + "}",
}
KEPT_NESTINGS = {"in-mc", "in-market-change", "in-bare-change", "beside-mc"}


@pytest.mark.parametrize("shape", NESTINGS)
def test_nesting_of_128_levels_loads(write, shape):
    line = NESTINGS[shape](128)
    assert nesting_column(line) is None
    assert len(load(write("prices", [line]))) == (1 if shape in KEPT_NESTINGS else 0)


@pytest.mark.parametrize("depth", [129, 1000, 100_000])
@pytest.mark.parametrize("shape", NESTINGS)
def test_nesting_beyond_128_levels_fails(write, shape, depth):
    line = NESTINGS[shape](depth)
    column = nesting_column(line)
    assert failure(write("prices", [KEPT, line])) == f"recursion limit exceeded at line 1 column {column}"


def test_129_nested_arrays(write):
    assert failure(write("prices", ["[" * 129 + "]" * 129])) == "recursion limit exceeded at line 1 column 129"


# ---- lines -------------------------------------------------------------------------


@pytest.mark.parametrize("code_point", WHITE_SPACE, ids=lambda c: f"U+{c:04X}")
def test_white_space_lines_are_skipped(write, code_point):
    c = chr(code_point)
    lines = [c, KEPT, c * 3, f" {c}\t", KEPT, c, " " * 17 + c + " " * 8]
    assert len(load(write("prices", lines))) == 2
    # Also as the last line without a line feed.
    assert len(load(write("prices", KEPT + "\n" + c * 2))) == 1


def test_mixed_white_space_line_is_skipped(write):
    line = "".join(chr(c) for c in WHITE_SPACE if c != 0x0A)
    assert len(load(write("prices", [line, KEPT, line]))) == 1


@pytest.mark.parametrize("code_point", NOT_WHITE_SPACE, ids=lambda c: f"U+{c:04X}")
def test_other_separators_are_not_blank(write, code_point):
    lines = [KEPT, chr(code_point) * 2, KEPT]
    assert failure(write("prices", lines)) == "expected value at line 1 column 1"
    # Also after spaces, which are skipped eight at a time.
    for spaces in (8, 9, 16, 23):
        lines = [KEPT, " " * spaces + chr(code_point) + " " * 8, KEPT]
        assert failure(write("prices", lines)) == f"expected value at line 1 column {spaces + 1}"


@pytest.mark.parametrize("data, count", [
    pytest.param(b"", 0, id="empty-file"),
    pytest.param(b"\n", 0, id="one-line-feed"),
    pytest.param(b"\n\n\r\n \n\t\r\n", 0, id="blank-lines-only"),
    pytest.param(b"\r\r\n", 0, id="carriage-returns-only"),
    pytest.param(KEPT.encode(), 1, id="no-final-line-feed"),
    pytest.param((KEPT + "\n" + KEPT).encode(), 2, id="last-line-without-line-feed"),
    pytest.param((KEPT + "\r\n" + KEPT + "\r\n").encode(), 2, id="crlf"),
    pytest.param((KEPT + "\r\n" + KEPT).encode(), 2, id="crlf-then-no-line-feed"),
    pytest.param((KEPT + "\r\r\n").encode(), 1, id="second-cr-is-json-white-space"),
    pytest.param((KEPT + "\r").encode(), 1, id="cr-at-end-of-file"),
    pytest.param((" \t " + KEPT + " \t\r ").encode(), 1, id="json-white-space-around"),
    pytest.param(("\n" * 1000 + KEPT + "\n" * 1000).encode(), 1, id="many-blank-lines"),
])
def test_line_splitting(write, data, count):
    it = load(write("prices", data))
    assert len(it) == count


def test_crlf_gives_the_same_messages_as_lf(write):
    lines = pt_lines(10, 5)
    lf = publish_times(load(write("lf", lines)))
    crlf = publish_times(load(write("crlf", "\r\n".join(lines) + "\r\n")))
    assert lf == crlf == [10, 11, 12, 13, 14]


@pytest.mark.parametrize("shift", [0, 1, 2, 3])
def test_lines_and_characters_across_megabyte_boundaries(write, shift):
    lines = [" " * shift + '{"pt":1,"mc":[],"s":"é€😀"}'] + [
        f'{{"pt":{i},"mc":[],"s":"é€😀{"é" * (i % 7)}"}}' for i in range(2, 80_001)
    ]
    path = write("prices", lines)
    assert os.path.getsize(path) > 3 << 20
    assert len(load(path)) == 80_000


@pytest.mark.parametrize("size", [(1 << 20) - 1, 1 << 20, (1 << 20) + 1, 5 << 20])
def test_line_longer_than_any_buffer(write, size):
    head = '{"pt":1,"mc":[],"pad":"'
    line = head + "é" * ((size - len(head) - 2) // 2) + '"}'
    assert len(load(write("prices", [KEPT, line, KEPT]))) == 3
    assert len(load(write("prices", (KEPT + "\n" + line).encode()))) == 2


# ---- the message envelope ----------------------------------------------------------

DROPPED_PT = [
    None, "0", "-0", "-5", '"5"', '"1700000000000"', "1.0", "1e3", "1E3", "10.5", "1.7e12",
    "9223372036854775808", "18446744073709551615", BIG_INT, "-9223372036854775808",
    "null", "true", "[1]", '{"v":1}',
]


@pytest.mark.parametrize("pt", DROPPED_PT, ids=str)
@pytest.mark.parametrize("kind", ["mc", "rc", "marketDefinition"])
def test_unusable_publish_time_drops_the_message(write, pt, kind):
    value = "[]" if kind != "marketDefinition" else "{}"
    body = f'"{kind}":{value}'
    line = "{" + (f'"pt":{pt},' if pt is not None else "") + body + "}"
    assert len(load(write("prices", [KEPT, line, KEPT]))) == 2


@pytest.mark.parametrize("pt", ["1", "1700000000123", "9223372036854775807"])
def test_usable_publish_time_keeps_the_message(write, pt):
    assert len(load(write("prices", [f'{{"pt":{pt},"mc":[]}}']))) == 1


ENVELOPES = [
    # retained
    ('{"pt":1,"mc":[]}', 1),
    ('{"op":"mcm","clk":"AA","pt":1,"mc":[{"id":"1.1"}]}', 1),
    ('{"pt":1,"mc":[1,"x",null,[],{}]}', 1),
    ('{"pt":1,"mc":null,"rc":null}', 1),
    ('{"pt":1,"rc":null}', 1),
    ('{"pt":1,"rc":[]}', 1),
    ('{"pt":1,"marketDefinition":null}', 1),
    ('{"pt":1,"mc":{},"marketDefinition":{}}', 1),
    ('{"pt":1,"mc":"x","rc":[]}', 1),
    ('{"pt":1,"op":"status","mc":[]}', 1),
    ('{"pt":1,"op":"connection","mc":[]}', 1),
    ('{"pt":0,"pt":2,"mc":[]}', 1),
    ('{"pt":1,"mc":5,"mc":[]}', 1),
    # dropped
    ('{"pt":2,"pt":0,"mc":[]}', 0),
    ('{"pt":1,"mc":[],"mc":5}', 0),
    ('{"pt":1}', 0),
    ('{"op":"status","id":1,"pt":1,"statusCode":"SUCCESS"}', 0),
    ('{"op":"connection","connectionId":"002-1"}', 0),
    ('{"pt":1,"mc":{}}', 0),
    ('{"pt":1,"mc":null}', 0),
    ('{"pt":1,"MC":[]}', 0),
    ('{"pt":1,"Rc":[]}', 0),
    ('{"pt":1,"marketdefinition":{}}', 0),
    ('{"mc":[],"x":{"pt":1}}', 0),
    ('{"x":{"pt":1,"mc":[]}}', 0),
    ("{}", 0),
    ("[]", 0),
    ('[{"pt":1,"mc":[]}]', 0),
    ("1", 0),
    ("-1.5", 0),
    ('"x"', 0),
    ("true", 0),
    ("null", 0),
]


@pytest.mark.parametrize("extra", ["", f',"big":{BIG_INT}'], ids=["plain", "with-big-integer"])
@pytest.mark.parametrize("line, kept", ENVELOPES)
def test_envelope_rules(write, line, kept, extra):
    if extra and line.startswith("{") and line != "{}":
        line = line[:-1] + extra + "}"
    assert len(load(write("prices", [KEPT, line, KEPT]))) == 2 + kept


@pytest.mark.parametrize("extra", ["", f',"big":{BIG_INT}'], ids=["plain", "with-big-integer"])
def test_market_changes_are_handed_on_in_order(write, extra):
    line = ('{"pt":7,"mc":[{"id":"1.7","rc":[{"id":3,"ltp":1.5}]},'
            '{"id":"1.7","rc":[{"id":4,"ltp":2.5}]}]' + extra + "}")
    (book,) = list(load(write("prices", [line])))
    assert book.market_id == "1.7"
    assert book.publish_time_epoch == 7
    assert [(r.selection_id, r.last_price_traded) for r in book.runners] == [(3, 1.5), (4, 2.5)]


@pytest.mark.parametrize("extra", ["", f',"big":{BIG_INT}'], ids=["plain", "with-big-integer"])
@pytest.mark.parametrize("key, value", [("rc", '[{"id":7,"ltp":2.0}]'), ("marketDefinition", '{"status":"OPEN"}')])
def test_bare_market_change_is_one_item(write, key, value, extra):
    line = f'{{"op":"mcm","pt":5,"id":"1.5","{key}":{value}{extra}}}'
    it = load(write("prices", [line]))
    assert len(it) == 1
    (book,) = list(it)
    assert book.market_id == "1.5"
    assert book.publish_time_epoch == 5
    if key == "rc":
        assert [(r.selection_id, r.last_price_traded) for r in book.runners] == [(7, 2.0)]
    else:
        assert book.market_definition is not None


@pytest.mark.parametrize("line, market_id", [
    ('{"pt":5,"mc":[{"id":"1.1","id":"1.2"}]}', "1.2"),
    ('{"pt":5,"id":"1.1","rc":[],"id":"1.2"}', "1.2"),
    (f'{{"pt":5,"mc":[{{"id":"1.1","id":"1.2","n":{BIG_INT}}}]}}', "1.2"),
])
def test_repeated_key_keeps_the_last_value(write, line, market_id):
    (book,) = list(load(write("prices", [line])))
    assert book.market_id == market_id


@pytest.mark.parametrize("where", ["first", "middle", "last", "last-without-line-feed"])
def test_one_bad_line_fails_the_whole_file(write, where):
    good = pt_lines(1, 4)
    lines = {"first": ["x"] + good, "middle": good[:2] + ["x"] + good[2:], "last": good + ["x"]}
    data = lines[where] if where in lines else "\n".join(good) + "\nx"
    assert failure(write("prices", data)) == "expected value at line 1 column 1"


# ---- recorded markets ----------------------------------------------------------------


def expected_messages(path):
    """(count, publish times) of the retained messages, by Python's own parser."""
    times = []
    with open(path, "rb") as f:
        for raw in f:
            line = raw.decode("utf-8").strip()
            if not line:
                continue
            message = json.loads(line)
            pt = message.get("pt") if isinstance(message, dict) else None
            if type(pt) is int and 0 < pt < 1 << 63 and isinstance(message.get("mc"), list):
                times.append(pt)
    return times


def variants(path, tmp_path):
    data = open(path, "rb").read()
    lines = data.splitlines(keepends=True)
    half = len(lines) // 2
    out = {
        "plain": path,
        "gz": tmp_path / "market.json.gz",
        "gzip": tmp_path / "market.gzip",
        "two-members": tmp_path / "two.gz",
        "crlf": tmp_path / "crlf",
    }
    out["gz"].write_bytes(gzip.compress(data, mtime=0))
    out["gzip"].write_bytes(gzip.compress(data, compresslevel=1, mtime=0))
    out["two-members"].write_bytes(gzip.compress(b"".join(lines[:half]), mtime=0)
                                   + gzip.compress(b"".join(lines[half:]), mtime=0))
    out["crlf"].write_bytes(data.replace(b"\n", b"\r\n"))
    return {k: str(v) for k, v in out.items()}


def test_recorded_market_and_its_variants(recorded_market, tmp_path):
    # Every retained message of a recorded market carries market changes with
    # the market id, so each one yields a snapshot with its own publish time.
    expected = expected_messages(recorded_market)
    assert len(expected) > 100
    for name, path in variants(recorded_market, tmp_path).items():
        it = load(path)
        assert len(it) == len(expected), name
        assert publish_times(it) == expected, name


# ---- the file is closed ---------------------------------------------------------------


def test_file_is_closed_after_each_call(write, open_fds, gz, tmp_path):
    good = [write("plain", pt_lines(1, 10)), write("good.gz", gz(pt_lines(1, 10)))]
    bad = [
        write("bad-json", pt_lines(1, 10) + ["x"]),
        write("bad-utf8", b"\xff\n"),
        write("truncated.gz", gz(pt_lines(1, 10))[:-3]),
        write("checksum.gz", flipped(gz(pt_lines(1, 10)), -8)),
        write("plain.gz", pt_lines(1, 10)),
        str(tmp_path),
        str(tmp_path / "absent"),
    ]
    before = open_fds()
    kept = [load(path) for path in good for _ in range(3)]
    assert open_fds() == before
    for path in bad:
        for _ in range(3):
            failure(path)
    assert open_fds() == before
    assert [len(it) for it in kept] == [10] * 6


def test_iteration_does_not_read_the_file(write):
    path = write("prices.gz", pt_lines(1, 5), compress=True)
    it = load(path)
    os.remove(path)
    assert publish_times(it) == [1, 2, 3, 4, 5]


# ---- the returned iterator --------------------------------------------------------------


def test_iterator_protocol(write):
    it = load(write("prices", pt_lines(1, 3)))
    assert type(it) is palisar.PricesIterator
    assert iter(it) is it
    assert len(it) == 3
    first = next(it)
    assert iter(it) is it
    assert first.publish_time_epoch == 1
    assert [b.publish_time_epoch for b in it] == [2, 3]  # iter() does not rewind
    assert iter(it) is it
    assert len(it) == 3
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert list(it) == []
    assert len(it) == 3


@pytest.mark.parametrize("data", [b"", "\n \n\t\r\n\u3000\n\u00a0".encode()], ids=["empty", "blank"])
def test_iterator_without_messages(write, data):
    it = load(write("prices", data))
    assert len(it) == 0
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(StopIteration):
        next(it)
    assert len(it) == 0


def test_len_counts_messages_not_snapshots(write):
    it = load(write("prices", ['{"pt":1,"mc":[]}', '{"pt":2,"mc":[{"x":1}]}', '{"pt":3,"mc":[5]}']))
    assert len(it) == 3
    assert list(it) == []
    assert len(it) == 3
