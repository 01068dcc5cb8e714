"""What `HQ`'s calls say of their shortfalls: a `DataWarning`, unless the `HQ` is quiet, and
the error raised when nothing could be fetched."""
from __future__ import annotations

import inspect
import os
import threading
import warnings
from typing import Any

from ..exceptions import DataWarning
from ..fetch import Fetch

# Warnings point at the first caller outside the package, however deep inside it they are
# given: the same call says it from its own frame whichever way it came.
_PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


def _stacklevel() -> int:
    """The stack level of `warnings.warn` called from the caller of this that names the first
    frame outside the package."""
    frame: Any = inspect.currentframe()
    frame = frame.f_back if frame is not None else None
    level = 1
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back
        level += 1
    return level


def message(exc: BaseException) -> str:
    # str() of a KeyError is the repr of its key: quotes around the message.
    return str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)


def reason(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {message(exc)}"


def raise_nothing(fails: dict[str, BaseException]) -> None:
    """Raises that no security could be fetched, naming each with its error."""
    if not fails:
        raise ValueError("bars_many needs at least one security")
    name, first = next(iter(fails.items()))
    listing = "; ".join(f"{n}: {message(e)}" for n, e in fails.items())
    raise type(first)(f"no security could be fetched: {listing}") from first


class Notices:
    """The warnings of one `HQ` (and of its quiet view, which shares what was said)."""

    def __init__(self, fetch: Fetch, quiet: bool) -> None:
        self._fetch = fetch
        self.quiet = quiet
        # (security, period name) whose short history has been warned of (see `short`).
        self._short_warned: set[tuple[Any, str]] = set()
        self._lock = threading.Lock()

    def quieted(self) -> Notices:
        """These notices without warnings: for fetches whose shortfalls repeat what their
        caller has already said (daily bars that build longer ones)."""
        view = Notices(self._fetch, True)
        view._short_warned, view._lock = self._short_warned, self._lock
        return view

    def warn(self, text: str) -> None:
        """A `DataWarning` unless quiet. Not a warnings filter: that is process-wide, and other
        threads warn meanwhile."""
        if not self.quiet:
            warnings.warn(text, DataWarning, stacklevel=_stacklevel())

    def lots_unknown(self, names: list[str]) -> None:
        """The warning that these securities' volumes stay counts of lots, unless quiet."""
        if not self.quiet:
            from ..units import warn_unknown_lots
            warn_unknown_lots(names, stacklevel=_stacklevel())

    def short(self, key: tuple[Any, str], text: str) -> None:
        """The warning of a history shorter than asked, given once per (security, period) in
        the HQ's life: a loop that asks again learns nothing new from it."""
        if self.quiet:  # said in no warning: leave it to a caller that warns
            return
        with self._lock:
            if key in self._short_warned:
                return
            self._short_warned.add(key)
        self.warn(text)

    def servers(self) -> None:
        """What the pool has to say (servers set aside, answers believed unconfirmed)."""
        for text in self._fetch.take_warnings():
            self.warn(text)

    def drop_servers(self) -> None:
        """Forgets what the pool had to say: a failure's error says it already."""
        self._fetch.take_warnings()
