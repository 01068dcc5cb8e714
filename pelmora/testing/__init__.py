"""A simulated TDX HQ server, for trying pelmora and for testing code that uses it, offline.

The server speaks the server side of the HQ protocol (the set-up exchange, the 16-byte response
header, raw and zlib-compressed bodies) and answers every command of `TdxClient` with
deterministic synthetic data: a security list of both markets (a dozen well-known names plus
`fill` generated ones per market), K-line bars of every category, today's and past days' minute
series and transactions, quotes with five levels, ex-rights records, finance figures, company
texts and block files. The data follows from a seed and agrees with itself: a quote's price is
the last minute price and the close of today's bar, its previous close the list's pre_close and
the close of the bar before, volumes add up across minutes, ticks, bars and quotes
(`pelmora.testing.market` tells how the series are derived).

Run it from a shell::

    python -m pelmora.testing --port 0        # prints: listening on 127.0.0.1:PORT
    python -m pelmora.testing --port 0 --print-port   # prints just PORT

or from Python, for a test of your own::

    from pelmora import TdxClient
    from pelmora.testing import serve

    with serve() as (host, port):
        client = TdxClient()
        client.connect(host, port)
        bars = client.get_security_bars(9, 1, "600036", 0, 10)

The server runs in a child process, never as a thread of the caller: a `TdxClient` keeps the
interpreter lock while it waits for an answer, so a server thread in the same process could not
answer and the call would hang until its time-out. It listens on loopback (127.0.0.1) unless
told otherwise.

Bars of index codes (Shanghai 000001 and 000300, Shenzhen 399001 and 399006) come in the index
layout with advancing and declining counts, which `get_index_bars` reads; all other codes in the
security layout of `get_security_bars` (the request does not say which one the client wants).

`SimulatedMarket(seed)` builds the same data in-process, so a test can compute what the server
will say without asking it.
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
