"""A replaying HQ server for the benchmarks: answers each request with the bytes stored for it,
a fixed latency after the request arrived, per connection, at almost no CPU of its own.

The simulated server of pelmora.testing spends about 15 ms of CPU encoding an 800-bar answer,
so on a small machine it, not the client, would bound a parallel benchmark; this one only
looks the answer up. Run as a child process:

    python replay_server.py ANSWERS.pickle LATENCY_MS   # prints the port, stops at EOF on stdin

ANSWERS.pickle holds {request bytes: whole response bytes}; set-up requests and requests it
does not know get an empty answer.
"""
import heapq
import itertools
import os
import pickle
import selectors
import socket
import struct
import sys
import threading
import time

EMPTY = b"\xb1\xcb\x74\x00" + bytes(8) + struct.pack("<HH", 0, 0)


class Connection:
    def __init__(self, sock):
        self.sock = sock
        self.inbuf = bytearray()
        self.outbuf = bytearray()
        self.last_due = 0.0


def main(path, latency_ms):
    with open(path, "rb") as f:
        answers = pickle.load(f)
    latency = latency_ms / 1000.0
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(256)
    listener.setblocking(False)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ, None)
    timers = []
    order = itertools.count()
    print(listener.getsockname()[1], flush=True)
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()

    def close(conn):
        sel.unregister(conn.sock)
        conn.sock.close()
        conn.sock = None

    def flush(conn):
        if conn.sock is None:
            return
        try:
            sent = conn.sock.send(conn.outbuf)
        except BlockingIOError:
            sent = 0
        except OSError:
            return close(conn)
        del conn.outbuf[:sent]
        sel.modify(conn.sock, selectors.EVENT_READ | (selectors.EVENT_WRITE if conn.outbuf else 0),
                   conn)

    while True:
        wait = max(0.0, timers[0][0] - time.monotonic()) if timers else None
        for key, mask in sel.select(wait):
            if key.data is None:
                try:
                    sock, _ = listener.accept()
                except BlockingIOError:
                    continue
                sock.setblocking(False)
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                sel.register(sock, selectors.EVENT_READ, Connection(sock))
                continue
            conn = key.data
            if mask & selectors.EVENT_WRITE:
                flush(conn)
            if mask & selectors.EVENT_READ and conn.sock is not None:
                try:
                    data = conn.sock.recv(65536)
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                if not data:
                    close(conn)
                    continue
                conn.inbuf += data
                now = time.monotonic()
                while len(conn.inbuf) >= 10:
                    size = 10 + struct.unpack_from("<H", conn.inbuf, 6)[0]
                    if len(conn.inbuf) < size:
                        break
                    request = bytes(conn.inbuf[:size])
                    del conn.inbuf[:size]
                    due = max(now + latency, conn.last_due)
                    conn.last_due = due
                    heapq.heappush(timers, (due, next(order), conn, answers.get(request, EMPTY)))
        now = time.monotonic()
        while timers and timers[0][0] <= now:
            _, _, conn, answer = heapq.heappop(timers)
            if conn.sock is not None:
                conn.outbuf += answer
                flush(conn)


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]))
