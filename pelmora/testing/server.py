"""The simulated HQ server's process: socket loop, command line, and the handle that starts and
stops it from another Python program."""
import argparse
import contextlib
import os
import socket
import subprocess
import sys
import threading
import traceback

from ..servers import address_text
from .market import DEFAULT_FILL, DEFAULT_TODAY, SimulatedMarket
from .protocol import Responder
from .wire import read_request

__all__ = ["SimulatedServer", "serve", "main"]


class _Listener:
    def __init__(self, host, port, responder, log=None):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, port))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.responder = responder
        self.log = log
        self.log_lock = threading.Lock()

    def serve_forever(self):
        while True:
            conn, _ = self.sock.accept()
            threading.Thread(target=self._converse, args=(conn,), daemon=True).start()

    def _converse(self, conn):
        with conn:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                while True:
                    request = read_request(conn)
                    if request is None:
                        return
                    if self.log is not None:
                        with self.log_lock:
                            self.log.write(request.hex() + "\n")
                            self.log.flush()
                    try:
                        answer = self.responder.respond(request)
                    except Exception:  # a fault of ours: say so, and hang up on this client
                        traceback.print_exc()
                        return
                    # The whole answer in one send: the client drains set-up answers with a
                    # single read of the header.
                    conn.sendall(answer)
            except OSError:  # the client went away mid-exchange
                return


def _parser():
    p = argparse.ArgumentParser(
        prog="python -m pelmora.testing",
        description="Simulated TDX HQ server: deterministic synthetic market data over the "
                    "HQ protocol, for trying pelmora and for tests, without a network.")
    p.add_argument("--host", default="127.0.0.1",
                   help="address to listen on (default 127.0.0.1, loopback only)")
    p.add_argument("--port", type=int, default=7709, help="port (default 7709; 0 picks a free one)")
    p.add_argument("--seed", type=int, default=0, help="seed of the synthetic data (default 0)")
    p.add_argument("--fill", type=int, default=DEFAULT_FILL,
                   help=f"generated securities per market besides the well-known ones "
                        f"(default {DEFAULT_FILL})")
    p.add_argument("--today", type=int, default=DEFAULT_TODAY,
                   help=f"the simulated trading day, YYYYMMDD (default {DEFAULT_TODAY})")
    p.add_argument("--print-port", action="store_true",
                   help="print only the port number once listening")
    p.add_argument("--log", metavar="FILE",
                   help="append every request received, in hex, one a line, to FILE")
    p.add_argument("--exit-on-eof", action="store_true",
                   help="stop when standard input reaches its end (for a parent process)")
    return p


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        market = SimulatedMarket(seed=args.seed, fill=args.fill, today=args.today)
        log = open(args.log, "a", encoding="ascii") if args.log else None
        listener = _Listener(args.host, args.port, Responder(market), log)
    except (OSError, ValueError) as exc:
        print(f"pelmora.testing: error: {exc}", file=sys.stderr)
        return 1
    if args.exit_on_eof:
        def watch_stdin():
            while sys.stdin.buffer.read(4096):
                pass
            os._exit(0)
        threading.Thread(target=watch_stdin, daemon=True).start()
    line = str(listener.port) if args.print_port else \
        f"listening on {address_text(args.host, listener.port)}"
    print(line, flush=True)
    try:
        listener.serve_forever()
    except KeyboardInterrupt:
        return 0


class SimulatedServer:
    """A simulated HQ server running in a child process.

    It has to be another process: a `TdxClient` keeps the interpreter lock while it waits for
    an answer, so a server thread in the client's own process would never get to answer.

    >>> with SimulatedServer() as server:
    ...     client = TdxClient(); client.connect(server.host, server.port)

    The keyword arguments are those of `python -m pelmora.testing` (`seed`, `fill`, `today`,
    `log`). The child stops when `stop()` is called, when the `with` block ends, or when this
    process ends (it watches its standard input).
    """

    def __init__(self, host="127.0.0.1", port=0, *, seed=0, fill=DEFAULT_FILL,
                 today=DEFAULT_TODAY, log=None, start_timeout=30.0):
        self.host, self.port = host, port
        self._options = ["--seed", str(seed), "--fill", str(fill), "--today", str(today)]
        if log is not None:
            self._options += ["--log", os.fspath(log)]
        self._start_timeout = start_timeout
        self._proc = None

    @property
    def address(self):
        """The address as HOST:PORT ([HOST]:PORT for IPv6)."""
        return address_text(self.host, self.port)

    def start(self):
        if self._proc is not None:
            return self
        # The child imports this very package, wherever it was imported from here: -P keeps the
        # working directory (perhaps a source tree without the built module) off its path.
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
        self._proc = subprocess.Popen(
            [sys.executable, "-P", "-m", "pelmora.testing", "--host", self.host, "--port",
             str(self.port), "--print-port", "--exit-on-eof", *self._options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        line = self._read_first_line()
        if not line.strip().isdigit():
            err = self._proc.stderr.read().decode(errors="replace").strip() if line == b"" else ""
            self.stop()
            raise RuntimeError(f"simulated HQ server did not start: {err or line!r}")
        self.port = int(line)
        return self

    def _read_first_line(self):
        result = []
        reader = threading.Thread(target=lambda: result.append(self._proc.stdout.readline()),
                                  daemon=True)
        reader.start()
        reader.join(self._start_timeout)
        return result[0] if result else b"timed out"

    def stop(self):
        proc, self._proc = self._proc, None
        if proc is None:
            return
        for stream in (proc.stdin, proc.stdout, proc.stderr):
            with contextlib.suppress(OSError):
                stream.close()  # end of input: the child exits
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


@contextlib.contextmanager
def serve(host="127.0.0.1", port=0, **options):
    """Run a simulated HQ server in a child process for the duration of a `with` block, which
    receives (host, port):

    >>> with serve() as (host, port):
    ...     client = TdxClient(); client.connect(host, port)

    Options as for `SimulatedServer`.
    """
    with SimulatedServer(host, port, **options) as server:
        yield server.host, server.port
