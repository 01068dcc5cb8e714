"""Reference, memory and descriptor leaks: every callable, on success and on each error path,
called many times, must leave the interpreter's allocated blocks and the open descriptors flat."""
import leakcheck
import pytest

from pelmora import TdxClient, ping_servers, read_daily_bars, read_minute_bars

ROUNDS = 1500


def assert_flat(call, outcome, rounds=ROUNDS):
    """Calls `call` many times; each must raise exactly the exception type `outcome` or, when
    `outcome` is not an exception type, return a result for which `outcome(result)` holds."""
    raises = isinstance(outcome, type) and issubclass(outcome, BaseException)

    def run(n):
        for _ in range(n):
            try:
                result = call()
            except (Exception, KeyboardInterrupt) as exc:
                assert raises and type(exc) is outcome, repr(exc)
            else:
                assert not raises and outcome(result), repr(result)[:200]
    leakcheck.assert_flat(run, rounds, warm=50, allowance=rounds // 20)


NEW = TdxClient()

ARGUMENT_ERRORS = {
    "binding": (lambda: NEW.get_security_list(1, market=1), TypeError),
    "type": (lambda: NEW.get_security_count("1"), TypeError),
    "overflow": (lambda: NEW.get_security_count(256), OverflowError),
    "text": (lambda: NEW.connect(1, 1), TypeError),
    "pairs": (lambda: NEW.get_security_quotes([(1, "a"), [1, "b"]]), TypeError),
    "pair length": (lambda: NEW.get_security_quotes([(1, "a", 3)]), ValueError),
    "not connected": (lambda: NEW.get_security_list(1, 0), ConnectionError),
    "invalid address": (lambda: NEW.connect("localhost", 1), ValueError),
    "refused": (lambda: NEW.connect("127.0.0.1", 1), ConnectionError),
    "self": (lambda: TdxClient.get_security_count(object(), 1), TypeError),
    "new": (lambda: TdxClient(1), TypeError),
    "servers": (lambda: ping_servers([("127.0.0.1", 1), ["127.0.0.1", 2]]), TypeError),
    "content text": (lambda: NEW.get_company_info_content(1, "600036", b"f", 0, 10), TypeError),
    "too many quotes": (lambda: NEW.get_security_quotes([(1, "600000")] * 9361), ValueError),
}


@pytest.mark.parametrize("name", ARGUMENT_ERRORS)
def test_argument_and_connection_errors(name):
    assert_flat(*ARGUMENT_ERRORS[name])


def test_connect_disconnect_cycle(hq):
    def cycle():
        c = TdxClient()
        c.connect("127.0.0.1", hq.port)
        c.disconnect()
    assert_flat(cycle, lambda result: result is None, rounds=300)


def test_destroying_connected_clients(hq):
    assert_flat(lambda: TdxClient().connect("127.0.0.1", hq.port), lambda ok: ok is True,
                rounds=300)


def names(records):
    return [r["name"] for r in records]


def values(records, key):
    return [r[key] for r in records]


# (reply to queue, call, outcome) on a connected client; the reply is queued once per call.
def exchanges(c):
    sec = b"600036" + b"\x64\x00" + "平安银行".encode("gbk") + bytes(4) + b"\x02" + b"\0\0\0\x43" + bytes(4)
    return {
        "count": (dict(body=b"\x34\x12"), lambda: c.get_security_count(1), lambda n: n == 0x1234),
        "list": (dict(body=b"\x02\x00" + sec * 2, compress=True), lambda: c.get_security_list(1, 0),
                 lambda r: names(r) == ["平安银行"] * 2),
        "malformed": (dict(body=b"\x01"), lambda: c.get_security_count(1), RuntimeError),
        "corrupt deflate": (dict(wire=b"\x01\x02\x03", u=10), lambda: c.get_security_count(1), OSError),
        "xdxr": (dict(body=bytes(9) + b"\x02\x00" + (bytes(8) + b"\xbb\xd7\x34\x01\x01" + bytes(16)) * 2),
                 lambda: c.get_xdxr_info(1, "600036"), lambda r: values(r, "category") == [1, 1]),
        "finance": (dict(body=bytes(141)), lambda: c.get_finance_info(1, "600036"),
                    lambda r: len(r) == 36 and r["code"] == "600036"),
        "company category": (dict(body=b"\x01\x00" + "简介".encode("gbk").ljust(64, b"\0")
                                  + b"600036.txt".ljust(80, b"\0") + bytes(8)),
                             lambda: c.get_company_info_category(1, "600036"),
                             lambda r: values(r, "filename") == ["600036.txt"]),
        "company content": (dict(body=bytes(10) + b"\x04\x00" + "简介".encode("gbk")),
                            lambda: c.get_company_info_content(1, "600036", "600036.txt", 0, 100),
                            lambda text: text == "简介"),
        "block meta": (dict(body=bytes(38)), lambda: c.get_block_info_meta("block_zs.dat"),
                       lambda r: r == {"size": 0, "hash_value": ""}),
        "block meta malformed": (dict(body=bytes(37)), lambda: c.get_block_info_meta("block_zs.dat"),
                                 RuntimeError),
        "block chunk": (dict(body=bytes(100)), lambda: c.get_block_info("block_zs.dat", 0, 100),
                        lambda r: type(r) is bytes and len(r) > 0),
        "report file": (dict(body=bytes(100)), lambda: c.get_report_file("x", 0),
                        lambda r: r[0] == 0 and len(r[1]) > 0),
        "bars": (dict(body=bytes.fromhex("01003BA13F0284A40114324A1039304600801C4A")),
                 lambda: c.get_security_bars(8, 1, "600036", 0, 1), lambda r: values(r, "close") == [10.52]),
        "index bars": (dict(body=bytes.fromhex("01003BA13F0284A40114324A1039304600801C4A01000200")),
                       lambda: c.get_index_bars(8, 1, "600036", 0, 1),
                       lambda r: values(r, "up_count") == [1]),
        "minute": (dict(body=bytes.fromhex("02000000A80F00AC040507B801")),
                   lambda: c.get_minute_time_data(0, "000001"), lambda r: values(r, "vol") == [300, 120]),
        "history minute": (dict(body=bytes.fromhex("0200000000000000A80F00AC040507B801")),
                           lambda: c.get_history_minute_time_data(0, "000001", 20240102),
                           lambda r: values(r, "vol") == [1000, 5]),
        "transactions": (dict(body=bytes.fromhex("01003B0292130502010001")),
                         lambda: c.get_transaction_data(0, "000001", 0, 10),
                         lambda r: values(r, "price") == [12.34]),
        "history transactions": (dict(body=bytes.fromhex("01000000000003020192130501")),
                                 lambda: c.get_history_transaction_data(0, "000001", 0, 10, 20240102),
                                 lambda r: values(r, "vol") == [1234]),
        "quotes": (dict(body=bytes.fromhex("00000100013630303030300000A80F540005450000A40101000000430203"
                                           + "0000" + "41010A14" * 5 + "00" * 10)),
                   lambda: c.get_security_quotes([(1, "600000")]), lambda r: values(r, "code") == ["600000"]),
    }


EXCHANGES = ["count", "list", "malformed", "corrupt deflate", "xdxr", "finance", "company category",
             "company content", "block meta", "block meta malformed", "block chunk", "report file",
             "bars", "index bars", "minute", "history minute", "transactions", "history transactions",
             "quotes"]


@pytest.mark.parametrize("name", EXCHANGES)
def test_exchanges(hq, client, name):
    reply, call, outcome = exchanges(client)[name]
    hq.reply(**reply, repeat=ROUNDS + 50)
    assert_flat(call, outcome)


def test_ping_servers():
    import socket
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1024)
    servers = [("127.0.0.1", 1), ("localhost", 7709), ("127.0.0.1", listener.getsockname()[1])]
    try:
        # Only the listener answers; the others fail and come last, in their input order.
        assert_flat(lambda: ping_servers(servers),
                    lambda r: [(ip, late == 9999) for ip, _, late in r]
                    == [("127.0.0.1", False), ("127.0.0.1", True), ("localhost", True)],
                    rounds=300)
    finally:
        listener.close()


@pytest.mark.parametrize("call, outcome", [
    (lambda d: read_daily_bars(str(d / "x.day")), lambda r: len(r) == 50),
    (lambda d: read_minute_bars(str(d / "x.day")), lambda r: len(r) == 50),
    (lambda d: read_daily_bars(str(d / "missing.day")), FileNotFoundError),
    (lambda d: read_minute_bars(str(d)), OSError),
    (lambda d: read_daily_bars(str(d / "x.day"), None), TypeError),
], ids=["daily", "minute", "missing", "directory", "argument"])
def test_file_readers(tmp_path, call, outcome):
    (tmp_path / "x.day").write_bytes(bytes(range(32)) * 50 + b"tail")
    assert_flat(lambda: call(tmp_path), outcome, rounds=500)


def test_dropped_connections(hq):
    c = TdxClient()

    def broken_exchange():
        c.connect("127.0.0.1", hq.port)
        c.get_security_count(1)  # the server closes instead of answering
    hq.reply(close=True, repeat=350)
    assert_flat(broken_exchange, OSError, rounds=300)


def test_arrow_exports():
    """Every export of an ArrowTable, consumed or dropped, lets go of its views, text and
    structs; the arrays it exported are referenced as often as before."""
    pa = pytest.importorskip("pyarrow")
    import sys

    import numpy as np
    from pelmora._engine import ArrowTable
    close = np.linspace(0, 1, 50)
    codes = np.arange(50, dtype=np.int8) % 3
    names = [str(i) for i in range(50)]
    before = sys.getrefcount(close), sys.getrefcount(codes)

    def export():
        t = ArrowTable([("close", "float64", close, None), ("name", "utf8", names, None),
                        ("code", "dictionary", codes, ["a", "b", "c"])], chunk_rows=16)
        t.__arrow_c_schema__()
        t.__arrow_c_array__()
        t.__arrow_c_stream__()
        return pa.table(t).num_rows + pa.record_batch(t).num_rows
    assert_flat(export, lambda rows: rows == 100, rounds=500)
    assert_flat(lambda: ArrowTable([("close", "float64", close, None),
                                    ("code", "dictionary", codes, ["a"])]), ValueError, rounds=500)
    assert (sys.getrefcount(close), sys.getrefcount(codes)) == before
