"""Completeness of a store: securities with bars missing or whose series stopped early.

A security's stored bars are, by construction, the server's series: days without a bar inside
it are the server's (suspensions). So a gap outside the suspensions shows as fewer stored bars
than the syncs wrote (bars lost since), and a series that stopped early as a security whose last
sync did not reach the market's latest day (its update failed or was never run). Beside those:
what a sync could not get (the ``failures`` table), rows whose checksums do not match, and what
SQLite's own ``PRAGMA integrity_check`` finds in the file.
"""
from __future__ import annotations

import sqlite3

from . import blocks, checksums, reader, schema

Issue = tuple[str, str, str, str]
# How the rows of each table are named in a report: (symbol, period, what).
_NAMED = {"meta": ("''", "''", "'meta ' || key"),
          "securities": ("symbol", "''", "'security list row'"),
          "xdxr": ("symbol", "''", "'ex-rights event ' || seq"),
          "finance": ("symbol", "''", "'finance record'"),
          "calendar": ("''", "''", "'calendar day ' || date"),
          "coverage": ("symbol", "period", "'coverage record'"),
          "sync_log": ("''", "''", "'sync log ' || id"),
          "sync_events": ("symbol", "coalesce(period, '')", "'sync event of sync ' || sync_id"),
          "failures": ("symbol", "''", "'failure record ' || part")}


def check(con: sqlite3.Connection) -> list[Issue]:
    """(symbol, period, problem, detail) of every incomplete security, every recorded failure,
    every damaged row and each of SQLite's findings, by symbol."""
    out = damaged(con)
    out.extend((symbol, "" if part in ("xdxr", "finance", "securities") else part, "failed",
                f"{_PARTS.get(part, part)}: {detail}")
               for symbol, part, detail in reader.failures(con))
    latest = reader.latest_day(con)
    for period in schema.STORED_PERIODS:
        for symbol, written, checked, last, stored in reader.coverage_counts(con, period):
            if stored < written:
                out.append((symbol, period, "gap",
                            f"{written - stored} of {written} bars missing"))
            if latest is not None and checked < latest:
                out.append((symbol, period, "stopped early",
                            f"last updated as of {checked}, bars up to {last}; the market "
                            f"is at {latest}"))
    out.extend((symbol, "", "never fetched", "in the security list, no bars stored")
               for symbol in reader.never_fetched(con))
    out.sort()
    return out


_PARTS = {"xdxr": "ex-rights events", "finance": "finance record",
          "securities": "security list"}


def damaged(con: sqlite3.Connection) -> list[Issue]:
    """What SQLite's integrity check finds (up to 100 findings), and every row whose checksum
    does not match."""
    checksums.attach(con)  # `con` may be any connection to the file
    out: list[Issue] = []

    def unreadable(exc: sqlite3.DatabaseError) -> None:
        # SQLite gives up on pages it cannot make sense of: that is a finding too.
        out.append(("", "", "damaged", f"{schema.DB_NAME}: {exc}"))

    try:
        out.extend(("", "", "damaged", f"{schema.DB_NAME}: {text}")
                   for text in reader.integrity(con, 100) if text != "ok")
    except sqlite3.DatabaseError as exc:
        unreadable(exc)
    for table, (symbol, period, what) in _NAMED.items():
        try:
            out.extend((s, p, "damaged", f"{w}: checksum mismatch") for s, p, w in
                       reader.mismatched(con, table, f"{symbol}, {period}, {what}"))
        except sqlite3.DatabaseError as exc:
            unreadable(exc)
    for period in schema.STORED_PERIODS:
        try:
            out.extend((s, period, "damaged", f"bars block {b}: checksum mismatch") for s, b in
                       reader.mismatched(con, blocks.table(period), "symbol, block"))
        except sqlite3.DatabaseError as exc:
            unreadable(exc)
    return out
