"""Random numbers that can be drawn in any order: a number is a hash of (security, stream,
position), so a day's bars come out the same whichever page, worker or `today` asks for them.
"""
import hashlib
import sys

import numpy as np
import numpy.typing as npt

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_M1 = np.uint64(0xBF58476D1CE4E5B9)
_M2 = np.uint64(0x94D049BB133111EB)

Floats = npt.NDArray[np.float64]


def key_of(*parts: object) -> int:
    """A 64-bit key for a tuple of values (seed, market, code, ...)."""
    digest = hashlib.blake2b("|".join(map(str, parts)).encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little")


def _mix(x: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
    """The splitmix64 finaliser, on arrays (their multiplications wrap without warning)."""
    x = x ^ (x >> np.uint64(30))
    x = x * _M1
    x = x ^ (x >> np.uint64(27))
    x = x * _M2
    return x ^ (x >> np.uint64(31))


Keys = int | npt.NDArray[np.uint64]


def _salt(key: Keys, stream: int) -> npt.NDArray[np.uint64]:
    """The salt of a stream for one key, or for one key per position (the series of many
    securities drawn at once)."""
    mixed = (stream * 0x632BE59BD9B4E019) & 0xFFFFFFFFFFFFFFFF
    if isinstance(key, np.ndarray):
        return key ^ np.uint64(mixed)
    return np.array([key ^ mixed], np.uint64)


def uniform(key: Keys, stream: int, positions: npt.ArrayLike) -> Floats:
    """Uniform numbers in [0, 1), one per position."""
    at = np.atleast_1d(np.asarray(positions)).astype(np.uint64)
    x = _mix(at * _GOLDEN + _salt(key, stream))
    return (x >> np.uint64(11)).astype(np.float64) * (1.0 / (1 << 53))


def bits16(key: Keys, stream: int,
           positions: npt.ArrayLike) -> tuple[npt.NDArray[np.uint16], ...]:
    """Four 16-bit numbers (0 ... 65535) per position, from one hash: divided by 65536 they are
    coarse uniform numbers in [0, 1), and integer arithmetic on them stays exact."""
    at = np.atleast_1d(np.asarray(positions)).astype(np.uint64)
    x = _mix(at * _GOLDEN + _salt(key, stream))
    parts = x.view(np.uint16)
    if sys.byteorder == "big":
        parts = parts.reshape(-1, 4)[:, ::-1].reshape(-1)
    return tuple(parts[i::4] for i in range(4))
