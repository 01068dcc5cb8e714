"""Faults the simulated server can show, as real HQ servers do, and what each does to an answer.

Every count is per connection and counts the answers to data requests only: the three set-up
answers are always given, so a client gets connected before a fault shows. The garbage bytes and
the timing spread follow from the seed, so a failing run can be repeated.
"""
import random
from dataclasses import dataclass, fields

from .wire import header

# Data commands that a "quote-only" server answers with nothing, and the empty body it sends.
_EMPTY_DATA = {
    0x052D: b"\x00\x00",              # bars
    0x053E: b"\x00\x00\x00\x00",      # quotes
    0x051D: b"\x00\x00\x00\x00",      # today's minute series
    0x0FB4: b"\x00\x00\x00\x00\x00\x00",  # a past day's minute series
    0x0FC5: b"\x00\x00",              # today's ticks
    0x0FB5: b"\x00\x00\x00\x00\x00\x00",  # a past day's ticks
}
SETUP_COMMANDS = frozenset((0x000D, 0x0FDB))


@dataclass(frozen=True)
class Faults:
    """What goes wrong, per connection; None or False leaves it out."""
    drop_after: int | None = None     # hang up once this many data answers have left
    cut_answer: int | None = None     # send the first half of this data answer, then hang up
    stall_every: int | None = None    # every Nth data request is never answered
    corrupt_every: int | None = None  # every Nth data answer says "compressed" but is not zlib
    garbage_every: int | None = None  # every Nth data answer is random bytes, no header
    quote_only: bool = False          # bars, quotes, minute series and ticks answer empty
    refuse: bool = False              # refuse every connection (the port is bound, not listening)
    trickle: int | None = None        # send at most this many bytes a second

    def options(self) -> list[str]:
        """The command-line flags that ask for these faults."""
        out: list[str] = []
        for f in fields(self):
            value = getattr(self, f.name)
            flag = "--" + f.name.replace("_", "-")
            if value is True:
                out.append(flag)
            elif value is not None and value is not False:
                out += [flag, str(value)]
        return out


class Fate:
    """Decides, request by request, what one connection's next answer turns into."""

    def __init__(self, faults: Faults, seed: int, connection: int) -> None:
        self.faults = faults
        self.answered = 0
        self.rng = random.Random(f"{seed}|faults|{connection}")

    @staticmethod
    def _hits(every: int | None, n: int) -> bool:
        return every is not None and every > 0 and n % every == 0

    def quote_only_body(self, command: int) -> bytes | None:
        return _EMPTY_DATA.get(command) if self.faults.quote_only else None

    def shape(self, command: int, answer: bytes) -> tuple[bytes | None, bool]:
        """(bytes to send or None for no answer, hang up after sending)."""
        if command in SETUP_COMMANDS:
            return answer, False
        f = self.faults
        self.answered += 1
        n = self.answered
        if self._hits(f.stall_every, n):
            return None, False
        if f.cut_answer is not None and n == f.cut_answer:
            return answer[:max(1, len(answer) // 2)], True
        if self._hits(f.garbage_every, n):
            answer = self.rng.randbytes(max(16, len(answer)))
        elif self._hits(f.corrupt_every, n):
            size = max(8, len(answer) - 16)
            answer = header(size, size + 100, answer[5:9], command) + self.rng.randbytes(size)
        return answer, f.drop_after is not None and n >= f.drop_after
