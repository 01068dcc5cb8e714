"""A progress bar on standard error (tqdm): the one the library draws when asked to, and the
command line hands to its calls."""
from __future__ import annotations

import sys
from typing import Any


class Bar:
    """A ``progress(done, total)`` callback that draws a bar of `what`
    (requests, files) and clears it when `done` reaches `total` or at `close()`. Inactive when
    standard error is not a terminal, unless `always`."""

    def __init__(self, what: str, always: bool = False) -> None:
        self.what = what
        stream = sys.stderr
        self.active = always or (stream is not None and stream.isatty())
        self._shown: Any = None

    def __call__(self, done: int, total: int) -> None:
        if not self.active or total <= 0:
            return
        if self._shown is None:
            from tqdm import tqdm
            self._shown = tqdm(total=total, unit=f" {self.what}", file=sys.stderr,
                               leave=False, dynamic_ncols=True)
        self._shown.update(min(done, total) - self._shown.n)
        if done >= total:
            self.close()

    def close(self) -> None:
        if self._shown is not None:
            self._shown.close()
            self._shown = None

    def __enter__(self) -> Bar:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
