"""Misuses that the stubs must reject; tests/test_typing.py expects one error per marked line."""
from pelmora import TdxClient, read_daily_bars

client = TdxClient()
client.connect(7709, "127.0.0.1")  # E
client.get_security_bars(9, 1, 600036, 0, 10)  # E
bad: str = client.get_security_count(1)  # E
client.get_security_list(1, 0)[0]["nmae"]  # E
read_daily_bars("x.day", price_coeff="0.01")  # E
client.get_security_quotes([("600036", 1)])  # E
