"""A damaged store file: every damage is found (an error naming the file, or `sync --check`
failing) or harmless (everything reads as from the undamaged file)."""
import os
import random
import shutil
import sqlite3
import time
from contextlib import closing

import pytest

from pelmora.store import Store, StoreCorrupt, sync
from pelmora.store import schema
from pelmora.store.check import check
from pelmora.testing import SimulatedServer

FILL, SEED, DAY = 6, 5, 20250613


@pytest.fixture(scope="module")
def clean(tmp_path_factory):
    """A synced store of day and 5-minute bars, its WAL checkpointed into the main file."""
    folder = tmp_path_factory.mktemp("clean")
    with SimulatedServer(seed=SEED, fill=FILL, today=DAY) as s:
        assert sync(folder, [f"{s.host}:{s.port}"], periods=["day", "5m"]).ok
    with closing(schema.connect(folder)) as con:
        con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    return folder


def everything(folder):
    """All a user reads from the store: bars raw and adjusted, the tables, SQL over bars."""
    with Store(folder) as store:
        out = {"securities": store.securities(), "calendar": store.calendar(),
               "log": store.sync_log(),
               "sql": store.sql("SELECT * FROM bars_day WHERE symbol = 'sh600036'")}
        for period in ("day", "5m"):
            out[period] = store.bars_many(period=period)
        for name in out["securities"].index:
            out[name] = (store.bars(name, adjust="qfq"), store.xdxr(name), store.finance(name))
    return out


def same(a, b):
    if isinstance(a, tuple):
        return all(same(x, y) for x, y in zip(a, b))
    return a.equals(b)


def found(folder):
    """The check's findings, or the error it raised naming the file."""
    try:
        with closing(schema.connect(folder, readonly=True)) as con:
            return check(con)
    except (sqlite3.Error, RuntimeError) as exc:
        assert str(folder) in str(exc), exc
        return [str(exc)]


def flip_and_judge(clean, want, folder, rng):
    """Flips one random byte of a copy of `clean`: the reads raise an error naming the file
    or give what `want` holds; when they differ, the check finds it."""
    shutil.copytree(clean, folder)
    db = folder / schema.DB_NAME
    data = bytearray(db.read_bytes())
    at = rng.randrange(len(data))
    data[at] ^= rng.randrange(1, 256)
    db.write_bytes(bytes(data))
    try:
        got = everything(folder)
    except (sqlite3.Error, RuntimeError) as exc:
        assert str(folder) in str(exc), (at, exc)
        return "error"
    if all(same(got[k], want[k]) for k in want):
        return "harmless"
    assert found(folder), f"byte {at}: the reads differ and the check finds nothing"
    return "check"


def flips(clean, tmp_path, n):
    seed = int(os.environ.get("PELMORA_FLIP_SEED", time.time()))
    print("flip seed", seed)
    rng = random.Random(seed)
    want = everything(clean)
    return [flip_and_judge(clean, want, tmp_path / str(i), rng) for i in range(n)]


def test_random_byte_flips_are_found_or_harmless(clean, tmp_path):
    assert found(clean) == []
    flips(clean, tmp_path, 8)


@pytest.mark.slow
def test_many_random_byte_flips_are_found_or_harmless(clean, tmp_path):
    outcomes = flips(clean, tmp_path, 200)
    print({o: outcomes.count(o) for o in set(outcomes)})
    assert outcomes.count("harmless") < len(outcomes)


def test_a_damaged_block_is_named_then_fetched_again(clean, tmp_path):
    folder = tmp_path / "damaged"
    shutil.copytree(clean, folder)
    want = everything(clean)
    with closing(schema.connect(folder)) as con:  # a close changed behind the checksum
        con.execute("UPDATE blocks_5m SET close = zeroblob(length(close)) WHERE rowid = "
                    "(SELECT min(rowid) FROM blocks_5m WHERE symbol = 'sh600036')")
    with Store(folder) as store:
        with pytest.raises(StoreCorrupt, match=f"^{folder / schema.DB_NAME}: the 5m bars of "
                                               f"sh600036 are damaged"):
            store.bars("600036", "5m")
        with pytest.raises(StoreCorrupt, match="the bars of sh600036 are damaged"):
            store.sql("SELECT * FROM bars_5m WHERE symbol = 'sh600036'")
    assert [i[:3] for i in found(folder)] == [("sh600036", "5m", "damaged")]
    with SimulatedServer(seed=SEED, fill=FILL, today=DAY) as s:
        assert sync(folder, [f"{s.host}:{s.port}"], periods=["day", "5m"]).ok
    assert found(folder) == []
    got = everything(folder)
    assert all(same(got[k], want[k]) for k in want if k != "log")
