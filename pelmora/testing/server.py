"""The simulated HQ server's process: socket loop, command line, and the handle that starts and
stops it from another Python program."""
import argparse
import contextlib
import ctypes
import os
import signal
import socket
import subprocess
import sys
import threading
from collections.abc import Iterator
from dataclasses import fields
from typing import Any

from ..servers import address_text
from .faults import Faults
from .loop import Loop, Timing
from .market import DEFAULT_SECURITIES, DEFAULT_TODAY, SHANGHAI_SHARE, SimulatedMarket
from .protocol import Responder
from .wrong import KINDS as WRONG_KINDS

__all__ = ["SimulatedServer", "serve", "main"]


def _listener(host: str, port: int, listen: bool) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    if listen:  # a bound socket that does not listen refuses connections, and keeps its port
        sock.listen(128)
    return sock


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def _milliseconds(text: str) -> float:
    value = float(text)
    if not 0 <= value <= 60_000:
        raise argparse.ArgumentTypeError(f"must lie in 0..60000, not {value:g}")
    return value


_EPILOG = """\
Timing: --latency holds every answer (set-up answers included) until MS milliseconds after its
request arrived, per connection, without delaying other connections; a client measures a round
trip of about MS. The TCP handshake is the kernel's and is not delayed, so a connect-time probe
(pelmora ping) does not see the latency.

Workers: --workers N forks N processes that accept on the one listening socket; each generates
the securities it is asked about by itself (the data follows from the seed, so all agree) and
keeps its own bounded cache. What answers about many securities at once need (every security's
previous close for the list, today's quotes) is worked out once before the workers fork: a
few seconds of start-up for the default market, well under one for a small one.

Faults: the counts are per connection and count answers to data requests only (the set-up
exchange is always answered), so they hold alike with any number of workers. Garbage bytes and
the jitter follow from the seed.
"""


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m pelmora.testing",
        description="Simulated TDX HQ server: deterministic synthetic market data over the "
                    "HQ protocol, for trying pelmora and for tests, without a network.",
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host", default="127.0.0.1",
                   help="address to listen on (default 127.0.0.1, loopback only)")
    p.add_argument("--port", type=int, default=7709, help="port (default 7709; 0 picks a free one)")
    p.add_argument("--seed", type=int, default=0, help="seed of the synthetic data (default 0)")
    p.add_argument("--securities", type=int, metavar="N",
                   help=f"securities of both markets together, {round(SHANGHAI_SHARE * 100)}%% of them in "
                        f"Shanghai (default {DEFAULT_SECURITIES}, the size of the real market)")
    p.add_argument("--fill", type=int, metavar="N",
                   help="instead of --securities: the well-known codes plus N generated "
                        "securities per market (a small, quick market: --fill 50)")
    p.add_argument("--today", type=int, default=DEFAULT_TODAY,
                   help=f"the simulated trading day, YYYYMMDD (default {DEFAULT_TODAY})")
    p.add_argument("--print-port", action="store_true",
                   help="print only the port number once listening")
    p.add_argument("--log", metavar="FILE",
                   help="append every request received, in hex, one a line, to FILE")
    p.add_argument("--exit-on-eof", action="store_true",
                   help="stop when standard input reaches its end (for a parent process)")
    p.add_argument("--write-vipdoc", metavar="DIR",
                   help="do not serve: write DIR/vipdoc/{sh,sz}/lday/*.day (and minute files of "
                        "the well-known codes) holding the bars the server answers, then exit")
    t = p.add_argument_group("timing and processes")
    t.add_argument("--workers", type=_positive, default=1, metavar="N",
                   help="server processes sharing the port (default 1)")
    t.add_argument("--latency", type=_milliseconds, default=0.0, metavar="MS",
                   help="hold each answer until MS ms after its request arrived (default 0)")
    t.add_argument("--jitter", type=_milliseconds, default=0.0, metavar="MS",
                   help="spread the latency evenly by up to +-MS ms (default 0)")
    f = p.add_argument_group("faults (counts per connection, data answers only)")
    f.add_argument("--drop-after", type=_positive, metavar="N",
                   help="hang up once N data answers have been sent")
    f.add_argument("--cut-answer", type=_positive, metavar="N",
                   help="send half of the Nth data answer, then hang up")
    f.add_argument("--stall-every", type=_positive, metavar="N",
                   help="never answer every Nth data request (later ones are answered)")
    f.add_argument("--corrupt-every", type=_positive, metavar="N",
                   help="every Nth data answer carries a compressed body that is not zlib")
    f.add_argument("--garbage-every", type=_positive, metavar="N",
                   help="every Nth data answer is random bytes without a header")
    f.add_argument("--quote-only", action="store_true",
                   help="answer bars, quotes, minute series and ticks with nothing; the security "
                        "count, list, finance and other commands still answer")
    f.add_argument("--refuse", action="store_true",
                   help="refuse every connection (the port is bound but does not listen)")
    f.add_argument("--trickle", type=_positive, metavar="BYTES",
                   help="send at most BYTES bytes a second on each connection")
    w = p.add_argument_group("well-framed wrong answers (counts per connection, data answers "
                             "only)")
    w.add_argument("--repeat-before", type=_positive, metavar="N",
                   help="send every Nth data answer twice at once (the copy arrives before the "
                        "next request is written)")
    w.add_argument("--repeat-after", type=_positive, metavar="N",
                   help="send every Nth data answer again once the next request has arrived, "
                        "before that request's own answer")
    w.add_argument("--wrong-command", type=_positive, metavar="N",
                   help="every Nth data answer is the answer to a request of another command, "
                        "its header echoing that command")
    w.add_argument("--cut-body", type=_positive, metavar="N",
                   help="cut every Nth data answer's plain body to half and frame it again")
    w.add_argument("--pad-body", type=_positive, metavar="N",
                   help="append random bytes to every Nth data answer's plain body and frame "
                        "it again")
    w.add_argument("--zero-body", type=_positive, metavar="N",
                   help="every Nth data answer is a zlib stream of 65,535 zero bytes")
    w.add_argument("--empty-list", action="store_true",
                   help="every security count and list page says 0 securities")
    w.add_argument("--garbage-list", action="store_true",
                   help="every security count is random and every list page holds random "
                        "records (as many as it would)")
    w.add_argument("--wrong-data", choices=WRONG_KINDS, metavar="KIND",
                   help="every bar answer carries wrong bars: 'other' (another security's), "
                        "'zero_volume', 'shift_day' (dated a trading day late) or 'times_ten' "
                        "(prices ten times too high)")
    return p


def _faults(args: argparse.Namespace) -> Faults:
    return Faults(**{f.name: getattr(args, f.name) for f in fields(Faults)})


def _die_with_parent() -> None:
    """Asks the kernel to end this process when its parent ends (Linux), besides the loop's own
    check of the parent."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _fork_workers(count: int) -> tuple[int, list[int]]:
    """Forks count - 1 more worker processes; returns this process's worker number (0 for the
    parent) and the children's ids (none in a child)."""
    children: list[int] = []
    parent = os.getpid()
    for number in range(1, count):
        pid = os.fork()
        if pid == 0:
            _die_with_parent()
            if os.getppid() != parent:
                os._exit(0)
            return number, []
        children.append(pid)
    return 0, children


def _stop_workers(children: list[int]) -> None:
    for pid in children:
        with contextlib.suppress(OSError):
            os.kill(pid, signal.SIGTERM)
    for pid in children:
        with contextlib.suppress(OSError):
            os.waitpid(pid, 0)


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    faults = _faults(args)
    try:
        market = SimulatedMarket(seed=args.seed, fill=args.fill, today=args.today,
                                 securities=args.securities)
        if args.write_vipdoc:
            from .vipdoc import write_vipdoc
            count = write_vipdoc(market, args.write_vipdoc)
            print(f"wrote {count} files under {os.path.join(args.write_vipdoc, 'vipdoc')}")
            return 0
        log = open(args.log, "a", encoding="ascii") if args.log else None
        sock = _listener(args.host, args.port, not faults.refuse)
    except (OSError, ValueError) as exc:
        print(f"pelmora.testing: error: {exc}", file=sys.stderr)
        return 1
    port = sock.getsockname()[1]
    responder = Responder(market, faults.wrong_data)
    responder.prepare()  # before forking: the workers share it
    parent = os.getpid()
    worker, children = (0, []) if faults.refuse else _fork_workers(args.workers)
    timing = Timing(args.latency, args.jitter, args.seed, worker)
    if worker:  # a forked worker: serve until the parent goes
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        with contextlib.suppress(KeyboardInterrupt):
            Loop(sock, responder.respond, faults, timing, args.seed, worker, log,
                 parent=parent).run()
        os._exit(0)

    def finish(*_: object) -> None:
        _stop_workers(children)
        os._exit(0)

    signal.signal(signal.SIGTERM, finish)
    if args.exit_on_eof:
        def watch_stdin() -> None:
            while sys.stdin.buffer.read(4096):
                pass
            finish()
        threading.Thread(target=watch_stdin, daemon=True).start()
    line = str(port) if args.print_port else f"listening on {address_text(args.host, port)}"
    print(line, flush=True)
    try:
        if faults.refuse:
            threading.Event().wait()
        Loop(sock, responder.respond, faults, timing, args.seed, worker, log).run()
    except KeyboardInterrupt:
        pass
    _stop_workers(children)
    return 0


class SimulatedServer:
    """A simulated HQ server running in a child process.

    It has to be another process: a `TdxClient` keeps the interpreter lock while it waits for
    an answer, so a server thread in the client's own process would never get to answer.

    >>> with SimulatedServer() as server:
    ...     client = TdxClient(); client.connect(server.host, server.port)

    The keyword arguments are those of `python -m pelmora.testing`, with underscores: `seed`,
    `securities`, `fill`, `today`, `log`, `workers`, `latency`, `jitter` and the faults `drop_after`,
    `cut_answer`, `stall_every`, `corrupt_every`, `garbage_every`, `quote_only`, `refuse`,
    `trickle`, `repeat_before`, `repeat_after`, `wrong_command`, `cut_body`, `pad_body`,
    `zero_body`, `empty_list`, `garbage_list`, `wrong_data` (see `Faults`). The child stops when `stop()` is called, when the `with` block
    ends, or when this process ends (it watches its standard input).
    """

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *, seed: int = 0,
                 fill: int | None = None, securities: int | None = None,
                 today: int = DEFAULT_TODAY,
                 log: str | os.PathLike[str] | None = None, start_timeout: float = 30.0,
                 workers: int = 1, latency: float = 0.0, jitter: float = 0.0,
                 **faults: Any) -> None:
        self.host, self.port = host, port
        sizes = ["--fill", str(fill)] if fill is not None else []
        if securities is not None:
            sizes += ["--securities", str(securities)]
        self._options = ["--seed", str(seed), *sizes, "--today", str(today),
                         "--workers", str(workers), "--latency", str(latency),
                         "--jitter", str(jitter), *Faults(**faults).options()]
        if log is not None:
            self._options += ["--log", os.fspath(log)]
        self._start_timeout = start_timeout
        self._proc: subprocess.Popen[bytes] | None = None
        self._ready = False

    @property
    def address(self) -> str:
        """The address as HOST:PORT ([HOST]:PORT for IPv6)."""
        return address_text(self.host, self.port)

    def launch(self) -> None:
        """Starts the child without waiting for it to listen (`start` waits)."""
        if self._proc is not None:
            return
        # The child imports this very package, wherever it was imported from here: -P keeps the
        # working directory (perhaps a source tree without the built module) off its path.
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
        self._proc = subprocess.Popen(
            [sys.executable, "-P", "-m", "pelmora.testing", "--host", self.host, "--port",
             str(self.port), "--print-port", "--exit-on-eof", *self._options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)

    def start(self) -> "SimulatedServer":
        if self._ready:
            return self
        self.launch()
        line = self._read_first_line()
        if not line.strip().isdigit():
            err = ""
            if line == b"" and self._proc is not None and self._proc.stderr is not None:
                err = self._proc.stderr.read().decode(errors="replace").strip()
            self.stop()
            raise RuntimeError(f"simulated HQ server did not start: {err or line!r}")
        self.port = int(line)
        self._ready = True
        return self

    def _read_first_line(self) -> bytes:
        result: list[bytes] = []
        proc = self._proc
        assert proc is not None and proc.stdout is not None
        out = proc.stdout
        reader = threading.Thread(target=lambda: result.append(out.readline()), daemon=True)
        reader.start()
        reader.join(self._start_timeout)
        return result[0] if result else b"timed out"

    def stop(self) -> None:
        proc, self._proc = self._proc, None
        self._ready = False
        if proc is None:
            return
        for stream in (proc.stdin, proc.stdout, proc.stderr):
            if stream is not None:
                with contextlib.suppress(OSError):
                    stream.close()  # end of input: the child exits
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def __enter__(self) -> "SimulatedServer":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


@contextlib.contextmanager
def serve(host: str = "127.0.0.1", port: int = 0, *, servers: list[dict[str, Any]] | None = None,
          **options: Any) -> Iterator[Any]:
    """Run a simulated HQ server in a child process for the duration of a `with` block, which
    receives (host, port):

    >>> with serve() as (host, port):
    ...     client = TdxClient(); client.connect(host, port)

    Options as for `SimulatedServer`. With `servers`, a list of option dicts, it starts one
    server for each (each dict over the common options, e.g. its own faults) on free ports and
    the block receives their [(host, port), ...] in that order, for failover tests.
    """
    if servers is None:
        with SimulatedServer(host, port, **options) as server:
            yield server.host, server.port
        return
    fleet = [SimulatedServer(host, 0, **{**options, **own}) for own in servers]
    try:
        for server in fleet:  # all children start at once; each then tells its port
            server.launch()
        for server in fleet:
            server.start()
        yield [(server.host, server.port) for server in fleet]
    finally:
        for server in fleet:
            server.stop()
