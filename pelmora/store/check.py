"""Completeness of a store: securities with bars missing or whose series stopped early.

A security's stored bars are, by construction, the server's series: days without a bar inside
it are the server's (suspensions). So a gap outside the suspensions shows as fewer stored bars
than the syncs wrote (bars lost since), and a series that stopped early as a security whose last
sync did not reach the market's latest day (its update failed or was never run).
"""
from __future__ import annotations

import sqlite3
from typing import Any

from . import schema


def check(con: sqlite3.Connection) -> list[tuple[str, str, str, str]]:
    """(symbol, period, problem, detail) of every incomplete security, by symbol."""
    out: list[tuple[str, str, str, str]] = []
    row = con.execute("SELECT max(date) FROM calendar").fetchone()
    latest = row[0] if row else None
    for period in schema.STORED_PERIODS:
        table = schema.bars_table(period)
        rows: list[Any] = con.execute(
            f"SELECT c.symbol, c.bars, c.checked, c.last, (SELECT coalesce(sum(b.bars), 0) FROM "
            f"{table} b WHERE b.symbol = c.symbol) FROM coverage c WHERE c.period = ? ORDER BY c.symbol",
            (period,)).fetchall()
        for symbol, written, checked, last, stored in rows:
            if stored < written:
                out.append((symbol, period, "gap",
                            f"{written - stored} of {written} bars missing"))
            if latest is not None and checked < latest:
                out.append((symbol, period, "stopped early",
                            f"last updated as of {checked}, bars up to {last}; the market "
                            f"is at {latest}"))
    listed = con.execute(
        "SELECT s.symbol FROM securities s WHERE s.in_list = 1 AND NOT EXISTS "
        "(SELECT 1 FROM coverage c WHERE c.symbol = s.symbol) ORDER BY s.symbol").fetchall()
    out.extend((symbol, "", "never fetched", "in the security list, no bars stored")
               for (symbol,) in listed)
    out.sort()
    return out
