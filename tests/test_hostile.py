"""Hostile servers: maximal sizes, counts far above the bytes present, endless continuation
bytes, bodies that inflate past their announced size. Every command answers promptly with what
the body holds, never crashes, and keeps the connection in step."""
import time
import zlib

import pytest

COMMANDS = {
    "security_list": lambda c: c.get_security_list(0, 0),
    "security_bars": lambda c: c.get_security_bars(8, 1, "600036", 0, 800),
    "index_bars": lambda c: c.get_index_bars(9, 1, "000001", 0, 800),
    "minute": lambda c: c.get_minute_time_data(1, "600036"),
    "history_minute": lambda c: c.get_history_minute_time_data(1, "600036", 20240105),
    "transactions": lambda c: c.get_transaction_data(1, "600036", 0, 2000),
    "history_transactions": lambda c: c.get_history_transaction_data(1, "600036", 0, 2000, 20240105),
    "quotes": lambda c: c.get_security_quotes([(1, "600036")]),
    "xdxr": lambda c: c.get_xdxr_info(1, "600036"),
    "finance": lambda c: c.get_finance_info(1, "600036"),
    "company_category": lambda c: c.get_company_info_category(1, "600036"),
    "company_content": lambda c: c.get_company_info_content(1, "600036", "x.txt", 0, 65535),
    "block_meta": lambda c: c.get_block_info_meta("block_zs.dat"),
    "block_chunk": lambda c: c.get_block_info("block_zs.dat", 0, 65535),
    "report_file": lambda c: c.get_report_file("x", 0),
}

MAX = 65535
BODIES = {
    # The largest body there is, all continuation bytes: every variable-length value runs to the end.
    "continuation": b"\xff\xff" * 2 + b"\xff" * (MAX - 4),
    "continuation_80": b"\xff\xff\xff\xff" + b"\x80" * (MAX - 4),
    # Counts of 65535 everywhere a count may stand, over a few bytes.
    "huge_counts_short": b"\xff" * 16,
    "huge_counts_zero_fill": b"\xff" * 12 + bytes(MAX - 12),
    "random": bytes((i * 2654435761 >> 13) & 0xFF for i in range(MAX)),
}


@pytest.mark.parametrize("body", BODIES, ids=list(BODIES))
@pytest.mark.parametrize("command", COMMANDS, ids=list(COMMANDS))
def test_hostile_bodies(served_client, command, body):
    hq, client = served_client
    hq.reply(BODIES[body], compress=True)
    start = time.monotonic()
    try:
        COMMANDS[command](client)
    except RuntimeError as e:  # the commands with a "Malformed" check may refuse a short body
        assert str(e).startswith("Malformed")
    assert time.monotonic() - start < 2
    hq.reply(b"\x05\x00")
    assert client.get_security_count(0) == 5


@pytest.mark.parametrize("command", COMMANDS, ids=list(COMMANDS))
def test_inflating_past_the_announced_size(served_client, command):
    # 65535 wire bytes that would inflate to tens of megabytes: only U bytes are ever produced.
    hq, client = served_client
    bomb = zlib.compress(b"\x00" * 60_000_000, 9)[:MAX]
    hq.reply(wire=bomb, u=MAX)
    start = time.monotonic()
    try:
        COMMANDS[command](client)
    except RuntimeError as e:
        assert str(e).startswith("Malformed")
    assert time.monotonic() - start < 2
    hq.reply(b"\x05\x00")
    assert client.get_security_count(0) == 5


def test_wire_size_above_the_plain_size(served_client):
    # Z = 65535 raw-looking bytes announced as 10 plain bytes: treated as a stream and refused,
    # after the whole response was read, so the connection stays in step.
    hq, client = served_client
    hq.reply(wire=b"\x00" * MAX, u=10)
    with pytest.raises(OSError, match="^corrupt deflate stream$"):
        client.get_security_count(0)
    hq.reply(b"\x05\x00")
    assert client.get_security_count(0) == 5
