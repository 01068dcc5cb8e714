"""Faults the simulated server can show, as real HQ servers do, and what each does to an answer.

Every count is per connection and counts the answers to data requests only: the three set-up
answers are always given, so a client gets connected before a fault shows. The garbage bytes and
the timing spread follow from the seed, so a failing run can be repeated.

Besides answers that break (cut off, not zlib, random bytes, none at all), some faults give
answers that are well framed but wrong, which a client can tell only from their content:

* `repeat_before`: every Nth answer is sent twice at once, so the copy is waiting before the next
  request is written;
* `repeat_after`: every Nth answer is sent again once the next request has arrived, just before
  that request's own answer (the copy reaches the client after it has asked);
* `wrong_command`: every Nth answer is the answer to a request of another command, its header
  echoing that command;
* `cut_body`, `pad_body`: every Nth answer's plain body is cut to half, or has random bytes
  appended, and is framed again (sizes and compression agree with the new body);
* `zero_body`: every Nth answer is a zlib stream of 65,535 zero bytes;
* `empty_list`, `garbage_list`: every security count and list page (commands 0x044E, 0x0450)
  says 0 securities, or carries a random count and random records;
* `wrong_data`: every bar answer carries wrong bars of one kind (`pelmora.testing.wrong`):
  another security's, zero volumes, dates a trading day late or prices ten times too high.
"""
import random
from collections.abc import Callable
from dataclasses import dataclass, fields

from . import mangle
from .wrong import check_kind
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
# Seconds between a repeated copy and the answer it comes before: the client reads the copy
# alone, as it would from a server that repeats itself a moment late.
REPEAT_GAP = 0.05


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
    repeat_before: int | None = None  # every Nth data answer is sent twice at once
    repeat_after: int | None = None   # every Nth data answer is sent again after the next request
    wrong_command: int | None = None  # every Nth data answer answers a request of another command
    cut_body: int | None = None       # every Nth data answer's body is cut to half, framed again
    pad_body: int | None = None       # every Nth data answer's body has bytes appended
    zero_body: int | None = None      # every Nth data answer is 65,535 zero bytes, compressed
    empty_list: bool = False          # security counts and list pages say 0 securities
    garbage_list: bool = False        # security counts and list pages are random, well framed
    wrong_data: str | None = None     # bar answers carry wrong bars of this kind (see `wrong`)

    def __post_init__(self) -> None:
        if self.wrong_data is not None:
            check_kind(self.wrong_data)

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

    def __init__(self, faults: Faults, seed: int, connection: int,
                 respond: Callable[[bytes], bytes] | None = None) -> None:
        self.faults = faults
        self.answered = 0
        self.rng = random.Random(f"{seed}|faults|{connection}")
        self.respond = respond  # answers the other command's request of `wrong_command`
        self.held: bytes | None = None  # the copy `repeat_after` sends with the next answer

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
        else:
            answer = self._content(command, answer, n)
        if self._hits(f.repeat_after, n):
            self.held = answer
        sent = answer + answer if self._hits(f.repeat_before, n) else answer
        return sent, f.drop_after is not None and n >= f.drop_after

    def take_held(self) -> bytes | None:
        """The copy of an earlier answer that `repeat_after` sends once the next request is in
        (taken before that request is shaped)."""
        held, self.held = self.held, None
        return held

    def _content(self, command: int, answer: bytes, n: int) -> bytes:
        """The answer with the faults that keep it well framed."""
        f = self.faults
        if command in (mangle.LIST_COUNT, mangle.LIST_PAGE_COMMAND):
            if f.empty_list:
                return mangle.empty_list(answer)
            if f.garbage_list:
                return mangle.garbage_list(answer, self.rng)
        if self._hits(f.wrong_command, n) and self.respond is not None:
            return mangle.other_answer(answer, self.respond, self.rng)
        if self._hits(f.cut_body, n):
            return mangle.cut(answer)
        if self._hits(f.pad_body, n):
            return mangle.pad(answer, self.rng)
        if self._hits(f.zero_body, n):
            return mangle.zeros(answer)
        return answer
