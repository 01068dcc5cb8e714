"""Typed use of the public API; mypy checks it against the stubs (tests/test_typing.py)."""
from pelmora import PanicException, TdxClient, __version__, ping_servers, read_daily_bars, read_minute_bars

client = TdxClient()
ok: bool = client.connect("127.0.0.1", 7709)
count: int = client.get_security_count(1)
for sec in client.get_security_list(1, 0):
    name: str = sec["name"]
    pre_close: float = sec["pre_close"]
bar = client.get_security_bars(9, 1, "600036", 0, 10)[0]
close: float = bar["close"]
ibar = client.get_index_bars(9, 1, "000001", 0, 10)[0]
up: int = ibar["up_count"]
quote = client.get_security_quotes([(1, "600036")])[0]
bid1: float = quote["bid1"]
ask_vol5: int = quote["ask_vol5"]
price: float = client.get_minute_time_data(1, "600036")[0]["price"]
num: int = client.get_transaction_data(1, "600036", 0, 10)[0]["num"]
side: int = client.get_history_transaction_data(1, "600036", 0, 10, 20240105)[0]["buyorsell"]
fenhong: float = client.get_xdxr_info(1, "600036")[0]["fenhong"]
finance = client.get_finance_info(1, "600036")
text: str = client.get_company_info_content(1, "600036", "x", 0, 10)
size: int = client.get_block_info_meta("block_zs.dat")["size"]
chunk: bytes = client.get_block_info("block_zs.dat", 0, size)
head, data = client.get_report_file("x", 0)
latencies: list[tuple[str, int, int]] = ping_servers([("127.0.0.1", 7709)])
day: str = read_daily_bars("x.day", 0.01, vol_coeff=1)[0]["date"]
when: str = read_minute_bars("x.lc1")[0]["datetime"]
client.disconnect()
try:
    pass
except PanicException:
    pass
version: str = __version__

import pelmora  # noqa: E402

store: pelmora.Store = pelmora.Store("/nonexistent")
store.close()
with pelmora.HQ(["127.0.0.1:7709"]) as hq:
    bars: pelmora.ArrowBars = hq.bars_many(["600036"], count=10, output="arrow")
columns: list[str] = bars.column_names
rows: int = len(bars)
stream: object = bars.__arrow_c_stream__()
vipdoc: pelmora.ArrowBars = pelmora.read_vipdoc("/nonexistent", output="arrow")
stored: pelmora.ArrowBars = store.bars_many(output="arrow")
