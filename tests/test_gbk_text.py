"""The GBK text decoder end to end: get_company_info_content returns its text decoded whole,
nothing trimmed, so each case is one real exchange with the fake server."""
import struct

import pytest
from hypothesis import given, settings, strategies as st

from fakehq import FakeHQ
from pelmora._core import TdxClient

R = "\ufffd"


@pytest.fixture(scope="module")
def decode():
    with FakeHQ() as hq:
        client = TdxClient()
        client.connect("127.0.0.1", hq.port)

        def run(data):
            hq.reply(bytes(10) + struct.pack("<H", len(data)) + data, compress=len(data) > 64)
            return client.get_company_info_content(0, "000001", "000001.txt", 0, len(data))

        yield run
        client.disconnect()


@pytest.mark.parametrize("data, expected", [
    (b"", ""),
    (b"plain\0text\0\0", "plain\0text\0\0"),
    ("招商银行，股份有限公司。".encode("gbk"), "招商银行，股份有限公司。"),
    (b"\x81", R),                          # lone lead byte at the end
    (b"\x81A", "\u4e04"),                  # ASCII 0x40..0x7E is a valid trail byte
    (b"\x81)", R + ")"),                   # other ASCII after a lead is not swallowed
    (b"\xb0\x7f", R + "\x7f"),
    (b"\xb0\n\xd6\xd0", R + "\n中"),
    (b"\xa1\xff", R),                      # a non-ASCII bad trail goes with its lead
    (b"\x80", "\u20ac"),
    (b"\xff", R),
    (b"\xa8\xbc", "\u1e3f"),
    (b"\x81\x30\x81\x30", "\x80"),         # first four-byte sequence
    (b"\x84\x31\xa4\x39", "\uffff"),       # last one of the BMP ranges
    (b"\x84\x31\xa5\x30", R),              # unassigned gap before the supplementary planes
    (b"\x90\x30\x81\x30", "\U00010000"),
    (b"\xe3\x32\x9a\x35", "\U0010ffff"),
    (b"\xe3\x32\x9a\x36", R),
    (b"\x81\x35\xf4\x37", "\ue7c7"),
    (b"\x81\x30\x81)", R + "0" + R + ")"),  # cut four-byte sequence: bytes read again
    (b"\x81\x30\x81A", R + "0\u4e04"),
    (b"\x81\x30A", R + "0A"),
    (b"\x81\x30", R),                      # input ending inside a sequence: one U+FFFD
    (b"\x81\x30\x81", R),
    (b"\xef\xbb\xbf" + "中文".encode(), "中文"),
    (b"\xef\xbb\xbf\xd6\xd0\xe4\xb8", R + R + R),
    (b"\xef\xbb", "\u9518"),               # too short for the mark: GBK
    (b"A\xef\xbb\xbf", "A\u9518" + R),     # a mark after the start is GBK too
    (b"\xff\xfe", ""),
    (b"\xff\xfe" + "中A\U0001f600".encode("utf-16-le"), "中A\U0001f600"),
    (b"\xfe\xff" + "中A\U0001f600".encode("utf-16-be"), "中A\U0001f600"),
    (b"\xff\xfeA\x00B", "A" + R),          # odd byte at the end
    (b"\xff\xfe\x3d\xd8", R),              # lone high surrogate at the end
    (b"\xff\xfe\x3d\xd8\x00", R),          # ... followed by an odd byte: still one
    (b"\xff\xfe\x3d\xd8A\x00", R + "A"),   # unit after a lone high surrogate is read again
    (b"\xfe\xff\xdc\x00\x00B", R + "B"),   # lone low surrogate
])
def test_gbk_text_cases(decode, data, expected):
    assert decode(data) == expected


# Random bytes, mixed with whole, cut and surrogate UTF-8 sequences to reach every branch.
UTF8ISH = st.lists(st.one_of(
    st.binary(min_size=1, max_size=4),
    st.characters().map(lambda c: c.encode("utf-8", "surrogatepass")),
    st.characters(min_codepoint=0x80).map(lambda c: c.encode("utf-8", "surrogatepass")[:-1]),
), max_size=40).map(b"".join)


@settings(max_examples=80, deadline=None)
@given(UTF8ISH)
def test_utf8_after_mark_matches_python(decode, data):
    assert decode(b"\xef\xbb\xbf" + data) == data.decode("utf-8", "replace")


# Where the decoder's tables (the 2022 revision of GB18030) differ from Python's gb18030 codec,
# which follows the 2005 revision: ten vertical punctuation marks and eight CJK ideographs moved
# from private-use code points, A3A0 became a space, A8BC and the four-byte 81 35 F4 37 swapped.
REVISED_PAIRS = {
    "a3a0": "\u3000", "a8bc": "\u1e3f",
    "a6d9": "\ufe10", "a6da": "\ufe12", "a6db": "\ufe11", "a6dc": "\ufe13", "a6dd": "\ufe14",
    "a6de": "\ufe15", "a6df": "\ufe16", "a6ec": "\ufe17", "a6ed": "\ufe18", "a6f3": "\ufe19",
    "fe59": "\u9fb4", "fe61": "\u9fb5", "fe66": "\u9fb6", "fe67": "\u9fb7", "fe6d": "\u9fb8",
    "fe7e": "\u9fb9", "fe90": "\u9fba", "fea0": "\u9fbb",
}


def four_byte(pointer):
    b1, rest = divmod(pointer, 12600)
    b2, rest = divmod(rest, 1260)
    b3, b4 = divmod(rest, 10)
    return bytes([0x81 + b1, 0x30 + b2, 0x81 + b3, 0x30 + b4])


def test_every_two_byte_and_bmp_four_byte_sequence(decode):
    trails = [*range(0x40, 0x7F), *range(0x80, 0xFF)]
    seqs = [bytes([lead, t]) for lead in range(0x81, 0xFF) for t in trails]
    seqs += [four_byte(p) for p in range(39420)]
    got = ""
    for i in range(0, len(seqs), 16000):  # bodies of at most 64000 bytes
        got += decode(b"".join(seqs[i:i + 16000]))
    assert len(got) == len(seqs)
    differ = {s.hex(): g for s, g in zip(seqs, got) if g != s.decode("gb18030")}
    assert differ == {**REVISED_PAIRS, "8135f437": "\ue7c7"}
