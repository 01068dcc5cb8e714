"""A simulated TDX HQ server, for trying pelmora and for testing code that uses it, offline.

The server speaks the server side of the HQ protocol (the set-up exchange, the 16-byte response
header, raw and zlib-compressed bodies) and answers every command of `TdxClient` with deterministic
synthetic data of a market of real size: about 2,300 Shanghai and 2,900 Shenzhen securities
(stocks, funds, indices, bonds, B shares and a few others) with listing dates since 1990,
suspensions, delistings, cash dividends, bonus shares and rights issues, K-line bars of every
category, minute series and ticks, quotes with five levels, ex-rights records, finance figures,
company texts and block files. The data follows from a seed and agrees with itself: a quote's price
is the last minute price and the close of today's bar; raw prices continue from the ex-rights
reference price on every ex-date, which is also that day's previous close; volumes add up across
minutes, ticks, bars and quotes (`pelmora.testing.market` and `pelmora.testing.history` tell how).
Like a real server it answers at most 800 bars, 2,000 ticks and 80 quotes a request, and keeps
intraday bars for the most recent 24,000 bars of each category only.

Run it from a shell::

    python -m pelmora.testing --port 0        # prints: listening on 127.0.0.1:PORT
    python -m pelmora.testing --port 0 --print-port --fill 50   # just PORT; a small market
    python -m pelmora.testing --port 0 --workers 4 --latency 20 --jitter 5
    python -m pelmora.testing --write-vipdoc DIR   # DIR/vipdoc/{sh,sz}/lday/*.day, then exit

or from Python, for a test of your own::

    from pelmora import TdxClient
    from pelmora.testing import serve

    with serve(fill=50) as (host, port):
        client = TdxClient()
        client.connect(host, port)
        bars = client.get_security_bars(9, 1, "600036", 0, 10)

`serve()` and `SimulatedServer` take the command line's options as keyword arguments:

* `seed`, `today` (YYYYMMDD; a later day gives the same history plus the new days),
  `securities` (both markets together) or `fill` (the dozen well-known codes plus `fill`
  generated ones per market: small and quick), `log` (a file receiving every request in hex);
* `workers` (server processes accepting on one port; each generates what it is asked for, the
  same data by the seed), `latency` and `jitter` in ms (each answer, set-up answers included,
  leaves that long after its request arrived, per connection; the TCP handshake is not delayed);
* faults, counted per connection over data answers (the set-up exchange is always answered):
  `drop_after=N` hangs up after N answers, `cut_answer=N` sends half of the Nth then hangs up,
  `stall_every=N` never answers every Nth request, `corrupt_every=N` sends a compressed body
  that is not zlib, `garbage_every=N` random bytes, `quote_only=True` answers bars, quotes,
  minute series and ticks with nothing while the list, finance and files still answer,
  `refuse=True` refuses connections, `trickle=BYTES` sends that many bytes a second;
* well-framed wrong answers, counted alike: `repeat_before=N` sends every Nth answer twice at
  once, `repeat_after=N` sends it again once the next request has arrived (before that
  request's answer), `wrong_command=N` answers another command's request instead (the header
  echoing that command), `cut_body=N` and `pad_body=N` cut the plain body to half or append
  random bytes and frame it again, `zero_body=N` sends 65,535 zero bytes compressed,
  `empty_list=True` and `garbage_list=True` make every security count and list page say 0
  securities, or random ones, and `wrong_data=KIND` makes every bar answer carry wrong bars:
  another security's (``"other"``), zero volumes (``"zero_volume"``), dates a trading day late
  (``"shift_day"``) or prices ten times too high (``"times_ten"``).

`serve(servers=[{...}, {...}])` starts one server per dict (each with its own faults, over the
common options) and gives [(host, port), ...], for failover tests.

The server runs in a child process, never as a thread of the caller: a `TdxClient` keeps the
interpreter lock while it waits for an answer, so a server thread in the same process could not
answer and the call would hang until its time-out. It listens on loopback (127.0.0.1) unless
told otherwise, and stops with the `with` block or when the calling process ends.

Bars of index codes come in the index layout with advancing and declining counts, which
`get_index_bars` reads; all other codes in the security layout of `get_security_bars` (the
request does not say which one the client wants).

`SimulatedMarket(seed, ...)` builds the same data in-process, so a test can compute what the
server will say without asking it.
"""
from .faults import Faults
from .history import Event, Security, reference_price
from .market import DEFAULT_SECURITIES, FEATURED, INTRADAY_DEPTH, SimulatedMarket
from .server import SimulatedServer, serve
from .wire import decode_volume, encode_price, encode_volume, quantize_volume

__all__ = [
    "serve", "SimulatedServer", "SimulatedMarket", "Security", "Event", "Faults", "FEATURED",
    "DEFAULT_SECURITIES", "INTRADAY_DEPTH", "reference_price", "encode_price", "encode_volume",
    "decode_volume", "quantize_volume",
]
