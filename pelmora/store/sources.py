"""Security lists, ex-rights records and finance figures for a sync.

Replace with ``HQ.securities`` / ``HQ.xdxr_many`` / ``HQ.finance`` once every supported HQ has
them: until then they are asked with `TdxClient`s in worker processes (a `TdxClient` holds the
interpreter lock while it waits, so threads of this process would stall the sync's writer).
The workers are plain child processes (``python -m pelmora.store.sources_worker``) fed pickled
requests over a pipe, so the caller's main module is never imported again. Where the HQ has
the methods they are used instead.
"""
from __future__ import annotations

import concurrent.futures
import pickle
import queue
import subprocess
import sys
from typing import TYPE_CHECKING, Any, Callable, Sequence

from ..symbols import Symbol

if TYPE_CHECKING:
    from ..hq import HQ

Record = dict[str, Any]
Fetched = tuple[list[Record] | None, Record | None, str | None]


class _Worker:
    def __init__(self, servers: Sequence[str]) -> None:
        self.proc = subprocess.Popen([sys.executable, "-m", "pelmora.store.sources_worker", *servers],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def call(self, op: str, *args: Any) -> Any:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        pickle.dump((op, args), self.proc.stdin)
        self.proc.stdin.flush()
        result = pickle.load(self.proc.stdout)
        if isinstance(result, BaseException):
            raise result
        return result

    def close(self) -> None:
        if self.proc.stdin is not None:
            self.proc.stdin.close()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        if self.proc.stdout is not None:
            self.proc.stdout.close()


class Tables:
    """Fetches lists, ex-rights records and finance snapshots beside an `HQ`."""

    def __init__(self, hq: HQ, servers: Sequence[str], processes: int = 4) -> None:
        self._hq = hq
        self._servers = list(servers)
        self._processes = processes
        self._pool: concurrent.futures.ThreadPoolExecutor | None = None
        self._idle: queue.Queue[_Worker] = queue.Queue()

    def _workers(self) -> concurrent.futures.ThreadPoolExecutor:
        if self._pool is None:
            for _ in range(self._processes):
                self._idle.put(_Worker(self._servers))
            self._pool = concurrent.futures.ThreadPoolExecutor(self._processes)
        return self._pool

    def _call(self, op: str, *args: Any) -> Any:
        worker = self._idle.get()
        try:
            return worker.call(op, *args)
        finally:
            self._idle.put(worker)

    def close(self) -> None:
        if self._pool is not None:
            self._pool.shutdown(wait=True, cancel_futures=True)
            self._pool = None
        while not self._idle.empty():
            self._idle.get().close()

    def security_list(self, market: int) -> list[Record]:
        hq: Any = self._hq
        if hasattr(hq, "securities"):
            frame = hq.securities(market)
            return [{"code": str(r.code), "name": str(r.name), "volunit": int(r.volunit),
                     "decimal_point": int(r.decimal_point), "pre_close": float(r.pre_close)}
                    for r in frame.itertuples()]
        result: list[Record] = self._workers().submit(self._call, "list", market).result()
        return result

    def quotes(self, symbols: Sequence[Symbol]) -> dict[Symbol, tuple[float, float]]:
        """(previous close in yuan, today's volume) of each security, from its quote: the
        previous close is the reference price on an ex-date, exact to the cent (the security
        list's is packed into a lossy 32-bit form)."""
        parts = [symbols[i:i + 800] for i in range(0, len(symbols), 800)]
        futures = [self._workers().submit(self._call, "quotes",
                                          [(s.market, s.code) for s in part])
                   for part in parts]
        out: dict[Symbol, tuple[float, float]] = {}
        for part, future in zip(parts, futures):
            out.update((s, q) for s, q in zip(part, future.result()) if q is not None)
        return out

    def request(self, symbols: Sequence[Symbol], finance: bool = True, chunk: int = 40
                ) -> Callable[[], dict[Symbol, Fetched]]:
        """Starts fetching the ex-rights records (and finance records) of `symbols`; the
        returned callable waits for them: (records, finance record, error) by security."""
        parts = [symbols[i:i + chunk] for i in range(0, len(symbols), chunk)]
        futures = [self._workers().submit(self._call, "tables",
                                          [(s.market, s.code) for s in part], finance)
                   for part in parts]

        def collect() -> dict[Symbol, Fetched]:
            out: dict[Symbol, Fetched] = {}
            for part, future in zip(parts, futures):
                try:
                    results = future.result()
                except Exception as exc:  # a worker that died fails its securities only
                    results = [(None, None, f"{type(exc).__name__}: {exc}")] * len(part)
                out.update(zip(part, results))
            return out
        return collect
