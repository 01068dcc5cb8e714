"""The socket loop of one server process: every connection non-blocking on one selector, answers
held back on a timer heap until their latency has passed, so that a slow answer never delays
another connection's.
"""
import heapq
import itertools
import os
import random
import selectors
import socket
import struct
import time
import traceback
from collections import deque
from typing import IO, Callable

from .faults import REPEAT_GAP, Fate, Faults
from .wire import frame

# How often a worker looks up whether its parent is still there.
_WATCH_SECONDS = 0.5
# A trickling connection sends a slice of its allowance this often.
_TRICKLE_TICK = 0.01


class Timing:
    """When an answer may leave: its request's arrival plus the latency and a seeded spread."""

    def __init__(self, latency_ms: float, jitter_ms: float, seed: int, worker: int = 0) -> None:
        self.latency = latency_ms / 1000.0
        self.jitter = jitter_ms / 1000.0
        self.rng = random.Random(f"{seed}|jitter|{worker}")

    def due(self, arrived: float) -> float:
        spread = self.rng.uniform(-self.jitter, self.jitter) if self.jitter else 0.0
        return arrived + max(0.0, self.latency + spread)


class _Connection:
    def __init__(self, sock: socket.socket, fate: Fate) -> None:
        self.sock = sock
        self.fate = fate
        self.inbuf = bytearray()
        self.pending: deque[tuple[float, bytes, bool]] = deque()
        self.outbuf = bytearray()
        self.closing = False    # no more requests are read: a hang-up is coming
        self.flushing = False   # hang up once the output is sent
        self.last_due = 0.0
        self.next_slice = 0.0

    def requests(self) -> list[bytes]:
        """The whole requests received so far (10-byte prefix, then L more, L at offset 6)."""
        out = []
        while len(self.inbuf) >= 10:
            size = 10 + struct.unpack_from("<H", self.inbuf, 6)[0]
            if len(self.inbuf) < size:
                break
            out.append(bytes(self.inbuf[:size]))
            del self.inbuf[:size]
        return out


class Loop:
    """Accepts on a listening socket (shared with other workers) and answers its connections."""

    def __init__(self, listener: socket.socket, respond: Callable[[bytes], bytes],
                 faults: Faults, timing: Timing, seed: int, worker: int = 0,
                 log: IO[str] | None = None, parent: int | None = None) -> None:
        self.listener = listener
        self.respond = respond
        self.faults = faults
        self.timing = timing
        self.seed = seed
        self.worker = worker
        self.log = log
        self.parent = parent
        self.selector = selectors.DefaultSelector()
        self.timers: list[tuple[float, int, _Connection]] = []
        self.order = itertools.count()
        self.accepted = itertools.count()
        listener.setblocking(False)
        self.selector.register(listener, selectors.EVENT_READ, None)

    def run(self) -> None:
        while True:
            now = time.monotonic()
            wait = _WATCH_SECONDS
            if self.timers:
                wait = min(wait, max(0.0, self.timers[0][0] - now))
            for key, mask in self.selector.select(wait):
                if key.data is None:
                    self._accept()
                elif mask & selectors.EVENT_READ:
                    self._read(key.data)
                if key.data is not None and mask & selectors.EVENT_WRITE:
                    self._pump(key.data)
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now:
                self._pump(heapq.heappop(self.timers)[2])
            if self.parent is not None and os.getppid() != self.parent:
                return

    def _accept(self) -> None:
        try:
            sock, _ = self.listener.accept()
        except (BlockingIOError, InterruptedError):  # another worker took it
            return
        except OSError:
            return
        sock.setblocking(False)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # Connections are numbered in accepting order per worker: a run repeats its faults.
        number = next(self.accepted) * 1000 + self.worker
        conn = _Connection(sock, Fate(self.faults, self.seed, number, self.respond))
        self.selector.register(sock, selectors.EVENT_READ, conn)

    def _read(self, conn: _Connection) -> None:
        try:
            data = conn.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            self._close(conn)
            return
        arrived = time.monotonic()
        conn.inbuf += data
        for request in conn.requests():
            if conn.closing:
                return
            self._answer(conn, request, arrived)

    def _answer(self, conn: _Connection, request: bytes, arrived: float) -> None:
        if self.log is not None:
            self.log.write(request.hex() + "\n")
            self.log.flush()
        command = struct.unpack_from("<H", request, 10)[0] if len(request) >= 12 else 0
        try:
            empty = conn.fate.quote_only_body(command)
            if empty is not None:
                answer = frame(empty, request[1:5], command)
            else:
                answer = self.respond(request)
        except Exception:  # a fault of ours: say so, and hang up on this client
            traceback.print_exc()
            self._close(conn)
            return
        copy = conn.fate.take_held()
        sent, hang_up = conn.fate.shape(command, answer)
        # Answers of one connection leave in order even when the spread would swap them.
        due = max(self.timing.due(arrived), conn.last_due)
        if copy is not None:  # the copy as soon as the request is in, its own answer after
            early = max(arrived, conn.last_due)
            conn.pending.append((early, copy, False))
            self._schedule(conn, early)
            due = max(due, early + REPEAT_GAP)
        conn.last_due = due
        if sent is not None or hang_up:
            conn.pending.append((due, sent or b"", hang_up))
            self._schedule(conn, due)
        if hang_up:
            conn.closing = True

    def _schedule(self, conn: _Connection, when: float) -> None:
        heapq.heappush(self.timers, (when, next(self.order), conn))

    def _pump(self, conn: _Connection) -> None:
        """Moves the answers that are due to the output and sends what the socket takes."""
        if conn.sock.fileno() < 0:
            return
        now = time.monotonic()
        while conn.pending and conn.pending[0][0] <= now:
            _, data, hang_up = conn.pending.popleft()
            conn.outbuf += data
            if hang_up:
                conn.flushing = True
                conn.pending.clear()
        if conn.outbuf:
            limit = len(conn.outbuf)
            if self.faults.trickle:
                if now < conn.next_slice:
                    self._schedule(conn, conn.next_slice)
                    limit = 0
                else:
                    limit = max(1, int(self.faults.trickle * _TRICKLE_TICK))
                    conn.next_slice = now + _TRICKLE_TICK
            if limit:
                try:
                    n = conn.sock.send(conn.outbuf[:limit])
                except (BlockingIOError, InterruptedError):
                    n = 0
                except OSError:
                    self._close(conn)
                    return
                del conn.outbuf[:n]
        if conn.flushing and not conn.outbuf:
            self._close(conn)
            return
        if conn.pending:
            self._schedule(conn, conn.pending[0][0])
        if conn.outbuf and self.faults.trickle:
            self._schedule(conn, conn.next_slice)
        events = selectors.EVENT_READ
        if conn.outbuf and not self.faults.trickle:
            events |= selectors.EVENT_WRITE
        self.selector.modify(conn.sock, events, conn)

    def _close(self, conn: _Connection) -> None:
        if conn.sock.fileno() < 0:
            return
        self.selector.unregister(conn.sock)
        conn.sock.close()
