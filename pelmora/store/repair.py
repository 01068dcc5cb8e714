"""Before a sync writes: the damaged rows it can fetch again are removed, so that the sync
fetches them as new (a write after them would compute a checksum over damaged values).

Damaged bars or coverage of a security drop its bars of that period (its whole history is
fetched again); damaged events or a damaged finance record drop those (fetched again with the
security's tables); a damaged security-list row is listed again; damaged calendar rows make
the calendar be rebuilt from the daily bars; damaged rows of the logs are dropped.
"""
from __future__ import annotations

import sqlite3

from . import blocks, reader, writer
from .schema import transaction


def repair(con: sqlite3.Connection, periods: list[str], sync_id: int) -> set[str]:
    """Removes the damaged rows (see the module docstring), each logged as "damaged" in the
    sync's events; returns the securities whose events or finance records were removed."""
    removed: list[tuple[str, str | None, str]] = []
    with transaction(con):
        for period in periods:
            table = blocks.table(period)
            bad = {s for (s,) in reader.mismatched(con, table, "symbol")}
            bad |= {s for s, p in reader.mismatched(con, "coverage", "symbol, period")
                    if p == period}
            for symbol in sorted(bad):
                writer.remove_bars(con, period, symbol)
                removed.append((symbol, period, "damaged bars removed, fetched again"))
        tables = set()
        for table, what in (("xdxr", "events"), ("finance", "finance record")):
            for symbol in sorted({s for (s,) in reader.mismatched(con, table, "symbol")}):
                writer.remove_rows(con, table, symbol)
                removed.append((symbol, None, f"damaged {what} removed, fetched again"))
                tables.add(symbol)
        for table in ("securities", "sync_log", "sync_events", "failures"):
            if reader.mismatched(con, table, "1"):
                writer.remove_damaged(con, table)
                removed.append(("", None, f"damaged rows of {table} removed"))
        if reader.mismatched(con, "calendar", "1"):
            writer.replace_calendar(con, reader.daily_keys(con))
            removed.append(("", None, "damaged calendar rebuilt from the daily bars"))
        writer.log_events(con, sync_id, "damaged", removed)
    return tables
