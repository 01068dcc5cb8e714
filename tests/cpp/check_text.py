"""Checks the C++ text decoders, driven through tests/cpp/bin/text_tool, against oracles that
share no code with them: Python's codecs where they agree with the WHATWG decoders, a literal
transcription of the WHATWG gb18030 state machine over the raw index files, and expectations
worked out by hand from the tables.

Run `bash tools/check_text.sh`, or `python tests/cpp/check_text.py [TOOL]` once the tool is
built; pytest collects it too (PELMORA_TEXT_TOOL names the tool).
"""

import atexit
import bisect
import os
import struct
import subprocess
import sys
from pathlib import Path

from hypothesis import given, settings, strategies as st

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT.parent / "shared" / "data"
TOOL = os.environ.get("PELMORA_TEXT_TOOL", str(ROOT / "tests" / "cpp" / "bin" / "text_tool"))
R = "\ufffd"

_server = None


def _stop_server(server):
    server.stdin.close()
    server.stdout.close()
    if server.wait(timeout=10) != 0:
        raise RuntimeError(f"text_tool exited with status {server.returncode}")


def decode(mode, data):
    """Output of the decoder named by `mode` (g, k, u, v), strictly decoded: it must be UTF-8."""
    global _server
    if _server is None:
        _server = subprocess.Popen([TOOL, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        atexit.register(_stop_server, _server)
    _server.stdin.write(mode.encode() + struct.pack("<I", len(data)) + data)
    _server.stdin.flush()
    (size,) = struct.unpack("<I", _server.stdout.read(4))
    return _server.stdout.read(size).decode("utf-8")


def read_index(name):
    with open(DATA / name, encoding="utf-8") as f:
        rows = [line.split("\t") for line in f if line.strip() and not line.startswith("#")]
    return [(int(p), int(cp, 16)) for p, cp, *_ in rows]


INDEX = dict(read_index("index-gb18030.txt"))
RANGES = read_index("index-gb18030-ranges.txt")


def ranges_code_point(pointer):
    if 39419 < pointer < 189000 or pointer > 1237575:
        return None
    if pointer == 7457:
        return 0xE7C7
    start, cp = RANGES[bisect.bisect_right(RANGES, (pointer, 0x10FFFF)) - 1]
    return cp + pointer - start


def whatwg_gb18030(data):
    """The standard's decoder, step by step, with put-back bytes queued ahead of the input."""
    out, pending, i = [], [], 0
    first = second = third = 0
    while True:
        if pending:
            byte = pending.pop(0)
        elif i < len(data):
            byte, i = data[i], i + 1
        else:
            return "".join(out) + (R if first or second or third else "")
        cp = None
        if third:
            if 0x30 <= byte <= 0x39:
                pointer = (first - 0x81) * 12600 + (second - 0x30) * 1260 + (third - 0x81) * 10
                cp = ranges_code_point(pointer + byte - 0x30)
            else:
                pending[:0] = [second, third, byte]
            first = second = third = 0
        elif second:
            if 0x81 <= byte <= 0xFE:
                third = byte
                continue
            pending[:0] = [second, byte]
            first = second = 0
        elif first:
            if 0x30 <= byte <= 0x39:
                second = byte
                continue
            lead, first = first, 0
            if 0x40 <= byte <= 0x7E or 0x80 <= byte <= 0xFE:
                cp = INDEX.get((lead - 0x81) * 190 + byte - (0x40 if byte < 0x7F else 0x41))
            if cp is None and byte < 0x80:
                pending[:0] = [byte]
        elif byte < 0x80:
            cp = byte
        elif byte == 0x80:
            cp = 0x20AC
        elif byte < 0xFF:
            first = byte
            continue
        out.append(R if cp is None else chr(cp))


def four_bytes(pointer):
    a, rest = divmod(pointer, 12600)
    b, rest = divmod(rest, 1260)
    c, d = divmod(rest, 10)
    return bytes([a + 0x81, b + 0x30, c + 0x81, d + 0x30])


# Pairs whose WHATWG code point differs from Python's (GB18030-2005) gb18030 codec: the
# GB18030-2022 remapping of vertical forms and CJK characters out of the private-use area,
# A8 BC taking U+1E3F, and A3 A0 as the ideographic space. Found by comparing every pair.
PYTHON_DIFFERS = {bytes.fromhex(h): c for h, c in [
    ("a3a0", "\u3000"), ("a8bc", "\u1e3f"),
    ("a6d9", "\ufe10"), ("a6da", "\ufe12"), ("a6db", "\ufe11"), ("a6dc", "\ufe13"),
    ("a6dd", "\ufe14"), ("a6de", "\ufe15"), ("a6df", "\ufe16"), ("a6ec", "\ufe17"),
    ("a6ed", "\ufe18"), ("a6f3", "\ufe19"),
    ("fe59", "\u9fb4"), ("fe61", "\u9fb5"), ("fe66", "\u9fb6"), ("fe67", "\u9fb7"),
    ("fe6d", "\u9fb8"), ("fe7e", "\u9fb9"), ("fe90", "\u9fba"), ("fea0", "\u9fbb"),
]}
TRAILS = [t for t in range(0x40, 0xFF) if t != 0x7F]


def test_gb18030_cases():
    cases = [
        ("c6bdb0b2d2f8d0d0", "平安银行"),
        ("8140 8141 817e 8180 fefe", "\u4e02\u4e04\u4e8a\u4e90\ue4c5"),  # table corners
        ("a8bc a3a0 a6d9 fe59", "\u1e3f\u3000\ufe10\u9fb4"),
        ("80 ff 00 41", "\u20ac" + R + "\x00A"),
        ("81", R), ("8130", R), ("813081", R),  # input ending inside a sequence: one U+FFFD
        ("8141", "\u4e04"), ("8130 41", R + "0A"), ("817f", R + "\x7f"), ("8120", R + " "),
        ("81ff 41", R + "A"), ("8100", R + "\x00"),
        ("81308130", "\x80"), ("8431a439", "\uffff"), ("8431a530", R),  # 39419, 39420
        ("8135f437", "\ue7c7"), ("90308130", "\U00010000"), ("e3329a35", "\U0010ffff"),
        ("e3329a36", R), ("8f39fe39", R), ("fe39fe39", R),  # 188999 and the very last pointer
        ("813081 41", R + "0\u4e04"), ("813081 ff", R + "0" + R),
        ("8130ff30", R + "0" + R + "0"), ("81308130 81", "\x80" + R),
        ("818130 8130", "\u4e96" + "0" + R),
    ]
    for hex_in, expected in cases:
        data = bytes.fromhex(hex_in)
        assert decode("g", data) == expected, hex_in
        assert whatwg_gb18030(data) == expected, hex_in  # the oracle itself, on the same cases


def test_gbk_text_cases():
    cases = [
        ("efbbbf e5b9b3 ff", "平" + R), ("efbbbf", ""), ("efbbbf d2f8", R * 2),
        ("efbb", "\u9518"), ("fe fe", "\ue4c5"), ("ff ff", R * 2), ("00", "\x00"),  # no mark
        ("fffe", ""), ("fffe 4100 00d8", "A" + R), ("fffe 41", R), ("fffe 00d8 41", R),
        ("fffe 3dd8 00de", "\U0001f600"), ("fffe 00dc 4100 00d8 4100", R + "A" + R + "A"),
        ("fffe c6bd", "\ubdc6"), ("feff 0041 d800 dc00", "A\U00010000"), ("feff dc00", R),
        ("feff d800 d800 dc00", R + "\U00010000"), ("feff d800 e000", R + "\ue000"),
    ]
    for hex_in, expected in cases:
        assert decode("k", bytes.fromhex(hex_in)) == expected, hex_in


def test_gb18030_every_short_input():
    # Every lead byte against every second byte, each pair followed by a byte that pushes
    # any open four-byte sequence into its error path.
    for first in range(256):
        for third in (0x20, 0x81):
            data = b"".join(bytes([first, second, third]) for second in range(256))
            assert decode("g", data) == whatwg_gb18030(data), hex(first)


def test_gb18030_every_bmp_four_byte_sequence_and_boundaries():
    pointers = list(range(39421)) + [p + d for p, _ in RANGES for d in (-1, 0, 1)]
    pointers += [188999, 189000, 1237575, 1237576, 126 * 12600 - 1]
    data = b"".join(four_bytes(p) for p in pointers if p >= 0)
    assert decode("g", data) == whatwg_gb18030(data)


def test_gbk_pairs_match_python_codec_except_known():
    # Every valid pair, a lead byte's 190 at a time, all run together.
    for lead in range(0x81, 0xFF):
        pairs = [bytes([lead, t]) for t in TRAILS]
        expected = "".join(PYTHON_DIFFERS.get(p) or p.decode("gb18030") for p in pairs)
        assert decode("g", b"".join(pairs)) == expected, hex(lead)


def test_utf8_boundaries():
    # Each lead byte's first continuation range ends where overlong forms, surrogates and
    # values past U+10FFFF begin; the lossy decoding of all of it goes in one request, with a
    # zero byte ending each sample so that none runs into the next.
    edges = [0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0,
             0xED, 0xEE, 0xF0, 0xF4, 0xF5, 0xFF]
    data = b"".join(bytes([a, b, c, 0x80, 0]) for a in edges for b in edges for c in edges)
    assert decode("u", data) == data.decode("utf-8", "replace")
    valid = ["c280", "dfbf", "e0a080", "ed9fbf", "ee8080", "f0908080", "f48fbfbf"]
    invalid = ["c1bf", "e09fbf", "eda080", "f08fbfbf", "f4908080", "f5808080", "e0a0", "80"]
    assert [decode("v", bytes.fromhex(h)) for h in valid + invalid] == list("1" * 7 + "0" * 8)


TRICKY = st.sampled_from([0x00, 0x30, 0x35, 0x39, 0x41, 0x7F, 0x80, 0x81, 0x84, 0x90, 0xA4,
                          0xBB, 0xBF, 0xE3, 0xEF, 0xFE, 0xFF])
SOME_BYTES = st.one_of(st.binary(max_size=64), st.lists(TRICKY, max_size=64).map(bytes))
UTF8ISH = st.one_of(st.binary(max_size=64), st.text(max_size=24).map(str.encode), st.lists(
    st.one_of(st.integers(0x7E, 0x82), st.integers(0x8E, 0xC3), st.integers(0xDF, 0xF5)),
    max_size=32).map(bytes))
CHECK = settings(max_examples=int(os.environ.get("PELMORA_TEXT_EXAMPLES", "1000")),
                 deadline=None, database=None)


@CHECK
@given(SOME_BYTES)
def test_gb18030_matches_whatwg_transcription(data):
    expected = whatwg_gb18030(data)
    assert decode("g", data) == expected
    if not data.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")):
        assert decode("k", data) == expected


@CHECK
@given(UTF8ISH)
def test_utf8_matches_python(data):
    assert decode("u", data) == data.decode("utf-8", "replace")
    try:
        data.decode("utf-8")
        assert decode("v", data) == "1"
    except UnicodeDecodeError:
        assert decode("v", data) == "0"


UTF16ISH = st.one_of(st.binary(max_size=64), st.lists(
    st.sampled_from([0x00, 0x41, 0xD8, 0xDB, 0xDC, 0xDF, 0xE0, 0xFF]), max_size=16).map(bytes))


@CHECK
@given(st.sampled_from(["utf-16-le", "utf-16-be"]), UTF16ISH)
def test_utf16_matches_python(codec, data):
    bom = b"\xff\xfe" if codec == "utf-16-le" else b"\xfe\xff"
    assert decode("k", bom + data) == data.decode(codec, "replace")


def main():
    global TOOL
    if len(sys.argv) > 1:
        TOOL = sys.argv[1]
    tests = [f for name, f in sorted(globals().items()) if name.startswith("test_")]
    failed = 0
    for test in tests:
        try:
            test()
            print(f"ok   {test.__name__}")
        except Exception as e:
            failed += 1
            print(f"FAIL {test.__name__}: {e!r}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
