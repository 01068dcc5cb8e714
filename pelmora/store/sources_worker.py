"""The worker process of `pelmora.store.sources`: asks one server with a `TdxClient`.

Run as ``python -m pelmora.store.sources_worker HOST:PORT...``; reads pickled (operation,
arguments) from standard input and writes each pickled result (or the exception) to standard
output, until standard input closes.
"""
from __future__ import annotations

import pickle
import sys
from typing import IO, Any, Callable, Sequence

from ..limits import LIST_PAGE, QUOTE_PAGE
from ..servers import literal_host, parse_address

from .sources import Fetched, Record


def _connect(servers: Sequence[str]) -> Any:
    from .. import TdxClient
    last: Exception | None = None
    for text in servers:
        host, port = parse_address(text)
        client = TdxClient()
        try:
            client.connect(literal_host(host.strip("[]")), port)
            return client
        except OSError as exc:
            last = exc
    raise ConnectionError(f"no server answered: {last}")


def _tables(client: Any, symbols: Sequence[tuple[int, str]], finance: bool) -> list[Fetched]:
    """(xdxr records, finance record, error) of each security, asked in turn."""
    out: list[Fetched] = []
    for market, code in symbols:
        try:
            events = client.get_xdxr_info(market, code)
            fin = client.get_finance_info(market, code) if finance else None
            out.append((events, fin, None))
        except OSError as exc:
            out.append((None, None, f"{type(exc).__name__}: {exc}"))
    return out


def _security_list(client: Any, market: int) -> list[Record]:
    count = client.get_security_count(market)
    rows: list[Record] = []
    for start in range(0, count, LIST_PAGE):
        rows.extend(client.get_security_list(market, start))
    return rows


def _quotes(client: Any, symbols: Sequence[tuple[int, str]]
            ) -> list[tuple[float, float] | None]:
    """(previous close, volume) of each security (None where the server gave no quote),
    asked a page at a time."""
    out: dict[tuple[int, str], tuple[float, float]] = {}
    for a in range(0, len(symbols), QUOTE_PAGE):
        for q in client.get_security_quotes(list(symbols[a:a + QUOTE_PAGE])):
            out[(q["market"], q["code"])] = (q["last_close"], q["vol"])
    return [out.get(s) for s in symbols]


_OPERATIONS: dict[str, Callable[..., Any]] = {
    "tables": _tables, "list": _security_list, "quotes": _quotes}


def _serve(servers: Sequence[str], inp: IO[bytes], out: IO[bytes]) -> None:
    """A worker's loop: one pickled (operation, arguments) in, one pickled result out."""
    client = None
    while True:
        try:
            op, args = pickle.load(inp)
        except EOFError:
            return
        try:
            if client is None:
                client = _connect(servers)
            result: Any = _OPERATIONS[op](client, *args)
        except (OSError, RuntimeError) as exc:
            client = None
            result = exc
        pickle.dump(result, out)
        out.flush()


if __name__ == "__main__":
    _serve(sys.argv[1:], sys.stdin.buffer, sys.stdout.buffer)
