"""The methods of adjusted prices by name, apart from their arithmetic (`pelmora.adjust`) so
that naming and checking them imports no pandas: the command line's choices, `HQ`'s check of
its arguments before it fetches."""
from __future__ import annotations

METHODS = ("qfq", "hfq", "qfq-ratio", "hfq-ratio")


def check_method(method: str) -> None:
    """ValueError unless `method` is one of `METHODS`."""
    if method not in METHODS:
        raise ValueError(f"invalid adjustment method {method!r}: expected one of "
                         f"{', '.join(METHODS)} or None")
