"""Bars that are well framed and wrong in content, as some real servers send them: the fault
`wrong_data` of the simulated server.

Such a server answers every request normally; only the bars it puts in its bar answers are not
the market's. A client can tell them only by comparing with another server. Each kind changes
a page of bars (`BarColumns`) before it is encoded, the same way on every request, so a run
can be repeated:

* ``other``: the bars of another security of the same market and kind (the next one in the
  market's list that has bars for the page);
* ``zero_volume``: every volume is 0;
* ``shift_day``: every bar is dated one trading day later;
* ``times_ten``: every price is ten times the market's.
"""
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from .calendar import DAYS

if TYPE_CHECKING:
    from .market import BarColumns, SimulatedMarket

KINDS = ("other", "zero_volume", "shift_day", "times_ten")

# Securities tried after the one asked for when `other` looks for one with bars for the page.
_OTHER_TRIES = 8


def check_kind(kind: str) -> str:
    """The kind itself; ValueError naming the kinds for another."""
    if kind not in KINDS:
        raise ValueError(f"unknown wrong-data kind {kind!r}: expected one of {', '.join(KINDS)}")
    return kind


def wrong_page(kind: str, market: SimulatedMarket, key: tuple[int, str], category: int,
               start: int, count: int, page: BarColumns) -> BarColumns:
    """The page of bars a server of this kind sends instead of `page` (the bars of `key` it
    was asked for)."""
    if kind == "other":
        return _other(market, key, category, start, count) or page
    if kind == "zero_volume":
        return page._replace(vol=np.zeros_like(page.vol))
    if kind == "shift_day":
        later = np.minimum(np.searchsorted(DAYS, page.date) + 1, len(DAYS) - 1)
        return page._replace(date=DAYS[later])
    if kind == "times_ten":
        return page._replace(open=page.open * 10, high=page.high * 10, low=page.low * 10,
                             close=page.close * 10)
    check_kind(kind)
    return page


def _other(market: SimulatedMarket, key: tuple[int, str], category: int, start: int,
           count: int) -> BarColumns | None:
    """The page of the next security of the market's list of the same kind (an index for an
    index) that has bars there; None when none of the next few has."""
    secs = market.securities(key[0])
    own = market.security(*key)
    kin = [s for s in secs if own is None or s.is_index == own.is_index] or secs
    at = next((i for i, s in enumerate(kin) if s.key == key), -1)
    for step in range(1, min(_OTHER_TRIES, len(kin)) + 1):
        other = kin[(at + step) % len(kin)]
        if other.key == key:
            continue
        page = market.bar_columns(other.key, category, start, count)
        if len(page.date):
            return page
    return None
