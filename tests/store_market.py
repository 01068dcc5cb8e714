"""The small simulated market the store's tests sync: two servers of it, the second a trading
day later than the first."""
import contextlib

from pelmora.testing import SimulatedServer

FILL, SEED, DAY, NEXT = 6, 5, 20250613, 20250617


@contextlib.contextmanager
def two_days():
    """("host:port" of the market on DAY, "host:port" of it on NEXT)."""
    with SimulatedServer(seed=SEED, fill=FILL, today=DAY) as a, \
            SimulatedServer(seed=SEED, fill=FILL, today=NEXT) as b:
        yield f"{a.host}:{a.port}", f"{b.host}:{b.port}"


def alike(got, want):
    """Whether the store's bar frame `got` is HQ's `want` in every column, volumes in units and
    the type column included."""
    return got.equals(want)
