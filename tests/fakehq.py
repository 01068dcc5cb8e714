"""Scriptable fake HQ quote server for the test suite.

The client under test keeps the interpreter lock while it waits on the
network, so the server cannot be a thread of the test process: it runs as a
child process (this file executed as a script) and is driven over its
stdin/stdout with one JSON object per line.  Each control call is answered
before the parent goes on, so the tests see a consistent state.

Wire framing the server relies on:
  request  = 10-byte prefix, u16 LE length L at offset 6, then L more bytes
  response = 16-byte header (u16 Z = wire body size at 12, u16 U = plain
             body size at 14) followed by Z body bytes, zlib when Z != U.
The first three requests of every connection are the set-up exchange.
"""
import json
import os
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib
from collections import deque

SETUP_MODES = ("answer", "compressed", "segments", "silent", "close", "close_after_accept")
_HEADER_LEAD = b"\xb1\xcb\x74\x00" + bytes(8)
# Plain bodies of the three set-up answers.
_SETUP_BODIES = (b"\x01\x02\x03", b"\x01\x02\x03", bytes(range(1, 43)))


def header(z, u):
    """16-byte response header announcing Z wire bytes and U plain bytes."""
    return _HEADER_LEAD + struct.pack("<HH", z, u)


def build_response(body=None, compress=False, z=None, u=None, wire=None, raw=None):
    """Whole response bytes (header + wire body) for the given reply options."""
    if raw is not None:
        return bytes(raw)
    body = b"" if body is None else bytes(body)
    if wire is None:
        wire = zlib.compress(body) if compress else body
        plain = len(body)
    else:
        wire = bytes(wire)
        plain = len(body) if body else len(wire)
    return header(len(wire) if z is None else z, plain if u is None else u) + wire


# ---------------------------------------------------------------- child side

class _Server:
    def __init__(self, host, setup):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, 0))
        self.sock.listen(64)
        self.setup = setup
        self.lock = threading.Lock()
        self.replies = deque()
        self.requests, self.setup_requests = [], []
        self.accepted = self.closed = 0

    def serve(self):
        while True:
            conn, _ = self.sock.accept()
            with self.lock:
                self.accepted += 1
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def control(self, msg):
        op = msg["op"]
        with self.lock:
            if op == "reply":
                self.replies.extend([msg["action"]] * msg.get("repeat", 1))
                return None
            if op in ("requests", "setup_requests"):
                return [r.hex() for r in getattr(self, op)]
            if op == "stats":
                return {"connections": self.accepted, "closed": self.closed}
        raise ValueError(f"unknown control op {op!r}")

    @staticmethod
    def _recv_exact(conn, n):
        buf = b""
        while len(buf) < n:
            part = conn.recv(n - len(buf))
            if not part:
                return None
            buf += part
        return buf

    def _read_request(self, conn):
        head = self._recv_exact(conn, 10)
        if head is None:
            return None
        rest = self._recv_exact(conn, struct.unpack_from("<H", head, 6)[0])
        return None if rest is None else head + rest

    @staticmethod
    def _send(conn, data, chunk=None):
        if not chunk:
            conn.sendall(data)
            return
        for i in range(0, len(data), chunk):
            conn.sendall(data[i:i + chunk])
            time.sleep(0.002)

    def _handle(self, conn):
        with conn:
            try:
                if self._converse(conn) == "eof":
                    with self.lock:
                        self.closed += 1
            except OSError:  # reset or broken pipe: the client went away
                with self.lock:
                    self.closed += 1

    def _converse(self, conn):
        """Serve one connection; returns "eof" when the client closed it."""
        if self.setup == "close_after_accept":
            return "server"
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        mute = self.setup == "silent"
        for body in _SETUP_BODIES:
            req = self._read_request(conn)
            if req is None:
                return "eof"
            with self.lock:
                self.setup_requests.append(req)
            if self.setup == "close":
                return "server"
            if not mute:
                data = build_response(body, compress=self.setup == "compressed")
                self._send(conn, data, 1 if self.setup == "segments" else None)
        while True:
            req = self._read_request(conn)
            if req is None:
                return "eof"
            with self.lock:  # record first: the client may return as soon as we act
                self.requests.append(req)
                action = None if mute or not self.replies else self.replies.popleft()
            if mute:
                continue
            action = action or {"data": header(0, 0).hex()}
            if action.get("silent"):
                mute = True  # this and later requests on this connection go unanswered
                continue
            if action.get("close"):
                return "server"
            data = bytes.fromhex(action["data"])
            if action.get("close_after") is not None:
                self._send(conn, data[:action["close_after"]])
                return "server"
            self._send(conn, data, action.get("chunk"))


def _child_main(host, setup):
    srv = _Server(host, setup)
    threading.Thread(target=srv.serve, daemon=True).start()
    print(json.dumps({"port": srv.sock.getsockname()[1]}), flush=True)
    for line in sys.stdin:  # EOF (parent gone or stopping) ends the server
        msg = json.loads(line)
        if msg["op"] == "stop":  # not acknowledged: the parent has stopped listening
            break
        try:
            out = {"ok": srv.control(msg)}
        except Exception as exc:  # report to the parent rather than dying
            out = {"error": repr(exc)}
        print(json.dumps(out), flush=True)
    os._exit(0)  # do not wait for connection threads


# --------------------------------------------------------------- parent side

class FakeHQ:
    """Handle on a fake HQ server running in a child process."""

    header = staticmethod(header)

    def __init__(self, host="127.0.0.1", setup="answer"):
        if setup not in SETUP_MODES:
            raise ValueError(f"setup must be one of {SETUP_MODES}")
        self.host, self.setup = host, setup
        self.port = None
        self._proc = None
        self._lock = threading.Lock()

    @staticmethod
    def compress(body):
        return zlib.compress(bytes(body))

    def start(self):
        self._proc = subprocess.Popen(
            [sys.executable, "-I", os.path.abspath(__file__), self.host, self.setup],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        line = self._proc.stdout.readline()
        if not line:
            self.stop()
            raise RuntimeError("fake HQ server failed to start")
        self.port = json.loads(line)["port"]
        return self

    def stop(self):
        proc, self._proc = self._proc, None
        if proc is None:
            return
        try:
            proc.stdin.write('{"op": "stop"}\n')
            proc.stdin.flush()
        except (OSError, ValueError):  # pipe already broken or closed
            pass
        for stream in (proc.stdin, proc.stdout):
            try:
                stream.close()
            except OSError:
                pass
        try:
            proc.wait(timeout=3)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _call(self, op, **kw):
        if self._proc is None:
            raise RuntimeError("fake HQ server is not running")
        with self._lock:
            self._proc.stdin.write(json.dumps({"op": op, **kw}) + "\n")
            self._proc.stdin.flush()
            line = self._proc.stdout.readline()
        if not line:
            raise RuntimeError("fake HQ server died")
        out = json.loads(line)
        if "error" in out:
            raise RuntimeError(f"fake HQ server: {out['error']}")
        return out["ok"]

    def reply(self, body=None, *, compress=False, z=None, u=None, wire=None, raw=None,
              chunk=None, close_after=None, silent=False, close=False, repeat=1):
        """Queue the way to answer the next command request (FIFO over all connections);
        `repeat` queues the same answer for that many requests."""
        data = build_response(body, compress, z, u, wire, raw)
        action = {"data": data.hex(), "chunk": chunk, "close_after": close_after,
                  "silent": silent, "close": close}
        self._call("reply", action=action, repeat=repeat)

    def requests(self):
        return [bytes.fromhex(r) for r in self._call("requests")]

    def setup_requests(self):
        return [bytes.fromhex(r) for r in self._call("setup_requests")]

    def connections(self):
        return self._call("stats")["connections"]

    def closed_connections(self):
        return self._call("stats")["closed"]

    def wait_closed(self, n, timeout=2.0):
        """Poll until at least n connections were closed by the client; True on success."""
        deadline = time.monotonic() + timeout
        while self.closed_connections() < n:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.005)
        return True


if __name__ == "__main__":
    _child_main(sys.argv[1], sys.argv[2])
