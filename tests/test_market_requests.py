"""Request bytes and argument handling of the market-data methods; the connection check of
every data method."""

import pytest

from pelmora._core import TdxClient

BARS, ZERO10 = "0c01086401011c001c002d05", "00" * 10
MINUTE, PAST_MINUTE = "0c1b080001010e000e001d05", "0c01300001010d000d00b40f"
QUOTES = "0c01206300021a001a003e050500" "000000000000"

REQUESTS = [  # (method, arguments, request bytes in hex)
    ("get_security_bars", (9, 1, "600036", 0, 100), BARS + "0100" "363030303336" "0900" "0100" "0000" "6400" + ZERO10),
    ("get_index_bars", (4, 0, "0000011", 300, 800), BARS + "0000" "303030303031" "0400" "0100" "2c01" "2003" + ZERO10),
    ("get_security_bars", (65535, 255, "", 65535, 65535),
     BARS + "ff00" "000000000000" "ffff" "0100" "ffff" "ffff" + ZERO10),
    ("get_security_bars", (True, 1, "中国人", 0, 1), BARS + "0100" "e4b8ade59bbd" "0100" "0100" "0000" "0100" + ZERO10),
    ("get_minute_time_data", (1, "600000"), MINUTE + "0100" "363030303030" "00000000"),
    ("get_minute_time_data", (0, "1"), MINUTE + "0000" "310000000000" "00000000"),
    ("get_history_minute_time_data", (0, "000001", 20260101), PAST_MINUTE + "05253501" "00" "303030303031"),
    ("get_history_minute_time_data", (255, "6000001", 4294967295), PAST_MINUTE + "ffffffff" "ff" "363030303030"),
    ("get_transaction_data", (1, "600000", 10, 2000), "0c17080101010e000e00c50f" "0100" "363030303030" "0a00" "d007"),
    ("get_history_transaction_data", (0, "000001", 0, 100, 20260101),
     "0c013001000112001200b50f" "05253501" "0000" "303030303031" "0000" "6400"),
    ("get_security_quotes", ([(0, "000001"), (1, "600000")],), QUOTES + "0200" "00303030303031" "01363030303030"),
    ("get_security_quotes", (((7, "12345678"), (1, "6")),), QUOTES + "0200" "07313233343536" "01360000000000"),
]


@pytest.mark.parametrize("method, args, expected", REQUESTS)
def test_request_bytes(served_client, method, args, expected):
    hq, client = served_client
    assert getattr(client, method)(*args) == []  # the server answers an empty body
    assert hq.requests()[-1].hex() == expected


def test_quotes_request_of_the_largest_list(served_client):
    hq, client = served_client
    items = [(i % 2, "%06d" % i) for i in range(9360)]
    assert client.get_security_quotes(items) == []
    sent = hq.requests()[-1]
    assert len(sent) == 22 + 7 * 9360
    assert sent[6:10] == (65532).to_bytes(2, "little") * 2
    assert sent[20:22] == (9360).to_bytes(2, "little")
    assert sent[-7:] == b"\x01009359"


TOO_MANY = "stock_list has 9361 items; at most 9360 fit in one request"


def test_quote_lists_that_send_nothing(served_client):
    hq, client = served_client
    sent = len(hq.requests())
    assert client.get_security_quotes([]) == [] and client.get_security_quotes(()) == []
    with pytest.raises(ValueError, match=f"^{TOO_MANY}$"):
        client.get_security_quotes([(0, "000001")] * 9361)
    assert len(hq.requests()) == sent
    assert client.get_minute_time_data(0, "000001") == []  # the connection is untouched


# On a client without a connection, argument errors come first (the quote limit, a number past
# 32 bits); the largest arguments that convert meet "Not connected", on every data method.
@pytest.mark.parametrize("method, args, exc, message", [
    ("get_security_quotes", ([(0, "000001")] * 9361,), ValueError, TOO_MANY),
    ("get_history_transaction_data", (0, "1", 0, 1, 2**32), OverflowError,
     "out of range integral type conversion attempted"),
    *[(method, args, ConnectionError, "Not connected") for method, args in [
        ("get_security_quotes", ([(255, "1")] * 9360,)),
        ("get_security_bars", (65535, 255, "1", 65535, 65535)), ("get_index_bars", (0, 0, "1", 0, 0)),
        ("get_minute_time_data", (0, "1")), ("get_history_minute_time_data", (0, "1", 2**32 - 1)),
        ("get_transaction_data", (0, "1", 65535, 65535)),
        ("get_history_transaction_data", (0, "1", 0, 1, 2**32 - 1)),
        ("get_xdxr_info", (255, "1")), ("get_finance_info", (255, "1")),
        ("get_company_info_category", (1, "1")), ("get_company_info_content", (1, "1", "f", 0, 2**32 - 1)),
        ("get_block_info_meta", ("b",)), ("get_block_info", ("b", 2**32 - 1, 0)),
        ("get_report_file", ("x", 2**32 - 1))]],
])
def test_argument_errors_come_before_the_connection(method, args, exc, message):
    with pytest.raises(exc) as info:
        getattr(TdxClient(), method)(*args)
    assert type(info.value) is exc and str(info.value) == message
