"""The store's units: volumes counted in units (the servers' lots times each security's lot
size) through the sync, the SQL views, the migration of a version 3 store and the Parquet
export; and the security type of each row."""
import json
import sqlite3
from contextlib import closing

import numpy as np
import pytest

from pelmora import DataWarning, instruments
from pelmora._core import TdxClient
from pelmora.store import Store, sync
from pelmora.store import checksums, reader, schema
from pelmora.store.check import check
from pelmora.symbols import MARKET_NAMES
from pelmora.testing import SimulatedServer

from store_market import DAY, FILL, SEED


@pytest.fixture(scope="module")
def server():
    with SimulatedServer(seed=SEED, fill=FILL, today=DAY) as s:
        yield s


@pytest.fixture(scope="module")
def market(server, tmp_path_factory):
    """A store synced from the simulated market, its security lists and every security's day
    bars (and two securities' 5-minute bars) as `pelmora._core` decodes them: volumes in
    lots."""
    folder = tmp_path_factory.mktemp("units")
    assert sync(folder, [f"{server.host}:{server.port}"], periods=["day", "5m"],
                symbols=["600036", "sh000001"]).ok
    assert sync(folder, [f"{server.host}:{server.port}"], connections=2).ok
    client = TdxClient()
    assert client.connect(server.host, server.port)
    listed, raw = {}, {}
    for market in (0, 1):
        for row in client.get_security_list(market, 0):
            name = MARKET_NAMES[market] + row["code"]
            listed[name] = row
            index = instruments.type_of(market, row["code"], row["decimal_point"]) == "index"
            get = client.get_index_bars if index else client.get_security_bars
            raw[name, "day"] = get(9, market, row["code"], 0, 800)
    for name in ("sh600036", "sh000001"):
        raw[name, "5m"] = (client.get_index_bars if name == "sh000001" else
                           client.get_security_bars)(0, 1, name[2:], 0, 800)
    client.disconnect()
    return folder, listed, raw


def test_stored_volumes_are_the_servers_lots_times_the_lot_size(market):
    folder, listed, raw = market
    kinds = set()
    with Store(folder) as store:
        for (name, period), bars in raw.items():
            got = store.bars(name, period, count=len(bars))
            lots = np.array([b["vol"] for b in bars])
            assert np.array_equal(got.volume.to_numpy(), lots * listed[name]["volunit"]), name
            assert np.array_equal(got.close.to_numpy(), [b["close"] for b in bars]), name
            kinds.add(instruments.type_of(int(name[:2] == "sh"), name[2:]))
        # The SQL views count the same units as the frames.
        view = store.sql("SELECT volume FROM bars_day WHERE symbol='sh600036' ORDER BY datetime")
        assert np.array_equal(view.volume.to_numpy(), store.bars("600036").volume.to_numpy())
        assert store.sql("SELECT value FROM meta WHERE key='volume_unit'").value[0] == "units"
    assert {"stock", "index"} <= kinds  # and whatever else the list holds


def test_a_security_without_a_lot_size_keeps_the_servers_count_and_is_named(
        server, market, tmp_path, monkeypatch):
    _, listed, raw = market
    listed_sizes = reader.listed_sizes
    monkeypatch.setattr(reader, "listed_sizes", lambda con: {
        k: (0, p) if k == "sh600036" else (v, p) for k, (v, p) in listed_sizes(con).items()})
    with pytest.warns(DataWarning, match=r"^lot size unknown for sh600036: their volumes are "
                                         r"the servers' counts of lots$"):
        assert sync(tmp_path, [f"{server.host}:{server.port}"], symbols=["600036", "600000"]).ok
    with Store(tmp_path) as store:
        for name, volunit in (("sh600036", 1), ("sh600000", listed["sh600000"]["volunit"])):
            bars = raw[name, "day"]
            got = store.bars(name, count=len(bars)).volume.to_numpy()
            assert np.array_equal(got, [b["vol"] * volunit for b in bars]), name


def test_frames_give_each_security_its_type(market):
    folder, listed, _ = market
    want = {name: instruments.type_of(int(name[:2] == "sh"), row["code"], row["decimal_point"])
            for name, row in listed.items()}
    with Store(folder) as store:
        securities = store.securities()
        many = store.bars_many(start=str(DAY), end=str(DAY))
        adjusted = store.bars_many(["600036", "sh000001"], count=3, adjust="qfq")
    assert "pre_close" not in securities.columns
    for frame in (securities, many, adjusted):
        assert frame["type"].dtype == instruments.type_dtype()
    assert securities["type"].to_dict() == want
    assert dict(zip(many.symbol, many["type"])) == {n: want[n] for n in many.symbol}
    assert adjusted["type"].tolist() == ["stock"] * 3 + ["index"] * 3


def _version_3(folder, source):
    """A version 3 store of `source`'s securities, coverage and day bars, made the way a
    pelmora of that version made it (volumes in lots), and the bars in `source`'s units."""
    with closing(schema.connect(source, readonly=True)) as con:
        rows = con.execute("SELECT * FROM bars_day ORDER BY symbol, datetime").fetchall()
        securities = con.execute("SELECT symbol, market, code, name, volunit, decimal_point, "
                                 "pre_close, in_list, first_seen, last_seen FROM securities "
                                 "ORDER BY symbol").fetchall()
        coverage = con.execute("SELECT period, symbol, first, last, bars, checked, sync_id "
                               "FROM coverage WHERE period='day'").fetchall()
        calendar = con.execute("SELECT date FROM calendar").fetchall()
    volunit = {r[0]: r[4] for r in securities}
    folder.mkdir()
    with closing(sqlite3.connect(folder / schema.DB_NAME)) as con:
        checksums.attach(con)
        schema.create_v1(con)
        # A security without a row of its own is migrated by its code range's lot size.
        con.executemany("INSERT INTO securities VALUES (?,?,?,?,?,?,?,?,?,?)",
                        [r for r in securities if r[0] != "sh600036"])
        con.executemany("INSERT INTO coverage VALUES (?,?,?,?,?,?,?)", coverage)
        con.executemany("INSERT INTO calendar VALUES (?)", calendar)
        con.executemany("INSERT INTO bars_day VALUES (?,?,?,?,?,?,?,?,?,?)",
                        [(*r[:6], r[6] / volunit[r[0]], *r[7:]) for r in rows])
        schema.MIGRATIONS[1](con)
        schema.MIGRATIONS[2](con)
        con.execute("UPDATE meta SET value='3' WHERE key='schema_version'")
        con.commit()
    return rows


def test_a_version_3_store_migrates_to_volumes_in_units(market, tmp_path):
    folder, _, _ = market
    rows = _version_3(tmp_path / "v3", folder)
    with closing(schema.connect(tmp_path / "v3")) as con:
        assert schema.schema_version(con) == 4
        assert con.execute("SELECT * FROM bars_day ORDER BY symbol, datetime").fetchall() == rows
        assert check(con) == []
        assert con.execute("SELECT value FROM meta WHERE key='volume_unit'").fetchone() == \
            ("units",)
    # A block damaged before the migration is still found damaged after it.
    _version_3(tmp_path / "damaged", folder)
    with closing(sqlite3.connect(tmp_path / "damaged" / schema.DB_NAME)) as con:
        con.execute("UPDATE blocks_day SET amount=zeroblob(length(amount)) WHERE "
                    "symbol='sz000001' AND block=20251")
        con.commit()
    with closing(schema.connect(tmp_path / "damaged")) as con:
        assert check(con) == [("sz000001", "day", "damaged",
                               "bars block 20251: checksum mismatch")]


def test_a_migration_that_would_guess_a_lot_size_is_refused(market, tmp_path):
    folder, _, _ = market
    _version_3(tmp_path / "v3", folder)
    with closing(sqlite3.connect(tmp_path / "v3" / schema.DB_NAME)) as con:
        con.execute("UPDATE blocks_day SET symbol='sh12345' WHERE symbol='sh600036'")
        con.commit()
    with pytest.raises(RuntimeError, match=r"lot size of sh12345 is unknown.*a fresh sync is "
                                        r"needed"):
        schema.connect(tmp_path / "v3")
    with closing(sqlite3.connect(tmp_path / "v3" / schema.DB_NAME)) as con:
        assert schema.schema_version(con) == 3  # nothing changed


def test_the_export_records_its_units(market, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    from pelmora.store.export import UNITS, export_parquet
    folder, _, _ = market
    with closing(schema.connect(folder, readonly=True)) as con:
        export_parquet(con, tmp_path / "out")
    part = tmp_path / "out" / "period=day" / "market=sh"
    files = sorted(part.rglob("*.parquet"))
    meta = pq.read_metadata(files[-1]).metadata
    assert json.loads(meta[b"pelmora.units"]) == UNITS
    assert "shares" in UNITS["volume"]
    assert json.loads(meta[b"pelmora.types"]) == list(instruments.TYPES)
    table = pq.read_table(files[-1]).to_pandas()
    mine = table[table.symbol == "sh600036"].set_index("datetime")
    with Store(folder) as store:
        want = store.bars("600036", start=str(mine.index[0]), end=str(mine.index[-1]))
    assert np.array_equal(mine.volume.to_numpy(), want.volume.to_numpy())
    assert set(table.type.astype(str)) <= set(instruments.TYPES)
    assert (mine.type.astype(str) == "stock").all()
