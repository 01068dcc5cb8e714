"""The simulated market's kinds of security: the code ranges, lot sizes and decimal places the
exchanges use, and the units each of them is served and written in."""
import collections

import numpy as np
import pytest

from pelmora.testing import SimulatedMarket, quantize_volume
from pelmora.testing.vipdoc import DAY_RECORD, MINUTE_RECORD, day_file_bytes, minute_file_bytes

KINDS = ("stock", "index", "fund", "bond", "b_share", "other")


def expected_units(market, code):
    """(kind, units a lot, decimal places) of a code, as the exchanges number them."""
    if market == 1:
        table = [(tuple(map(str, range(600, 606))) + ("688", "689"), "stock", 100, 2),
                 (("000", "880", "881", "999"), "index", 100, 2),
                 (("50", "51", "52", "56", "58"), "fund", 100, 3),
                 (("01", "10", "11", "12", "13"), "bond", 10, 3), (("900",), "b_share", 100, 3),
                 (("20",), "other", 100, 3), (("7",), "other", 100, 2)]
    else:
        table = [(("000", "001", "002", "003", "004", "300", "301"), "stock", 100, 2),
                 (("399",), "index", 100, 2), (("15", "16", "18"), "fund", 100, 3),
                 (("10", "11", "12", "13"), "bond", 10, 3),
                 (("200", "201"), "b_share", 100, 2), (("03",), "other", 100, 3)]
    return next((kind, unit, places) for prefixes, kind, unit, places in table
                if code.startswith(prefixes))


def test_default_market_holds_every_kind_in_its_ranges():
    market = SimulatedMarket()
    counts = collections.Counter()
    for m in (0, 1):
        for sec in market.securities(m):
            assert (sec.kind, sec.volunit, sec.decimal_point) == \
                expected_units(m, sec.code), sec.key
            counts[sec.kind] += 1
    total = sum(counts.values())
    assert total == 5200 and set(counts) == set(KINDS)
    assert 0.02 < counts["bond"] / total < 0.04 and 0.005 < counts["b_share"] / total < 0.015
    assert 0.001 < counts["other"] / total < 0.005


def traded(sim_market):
    """A security of each (market, kind, decimal places) with a month of bars up to today."""
    picks = {}
    for m in (0, 1):
        for sec in sim_market.securities(m):
            if sim_market.traded_today(sec.key) and len(sim_market.traded_days(sec.key)) > 30:
                picks.setdefault((m, sec.kind, sec.decimal_point), sec)
    return picks


def test_list_pages_give_each_kind_its_units(sim_client, sim_market):
    picks = traded(sim_market)
    assert {kind for _, kind, _ in picks} == set(KINDS)
    for m in (0, 1):
        rows = [r for start in range(0, len(sim_market.securities(m)), 1000)
                for r in sim_client.get_security_list(m, start)]
        assert [r["code"] for r in rows] == [s.code for s in sim_market.securities(m)]
        for row in rows:
            assert (row["volunit"], row["decimal_point"]) == expected_units(m, row["code"])[1:]
        # Bonds stand above 100, where the list's previous close keeps its thousandths.
        bonds = [(r, s) for r, s in zip(rows, sim_market.securities(m)) if s.kind == "bond"]
        assert bonds and all(r["pre_close"] == pytest.approx(
            sim_market.pre_close(s.key) / 1000, abs=2e-3) for r, s in bonds)


@pytest.mark.parametrize("kind", KINDS)
def test_quotes_ticks_and_minutes_carry_ticks_and_bars_thousandths(sim_client, sim_market, kind):
    """The client reads quote, tick and minute prices as hundredths and bar prices as
    thousandths: for 3-decimal securities the former show ten times the bar's price."""
    for (m, k, places), sec in traded(sim_market).items():
        if k != kind:
            continue
        c = sim_client
        bars = c.get_index_bars if sec.is_index else c.get_security_bars
        today = bars(9, *sec.key, 0, 1)[-1]
        quote, = c.get_security_quotes([sec.key])
        shown = 10 ** (places - 2)
        ticks = round(today["close"] * 10 ** places)
        assert ticks == sim_market.last_close(sec.key)
        assert round(quote["price"] * 100) == ticks
        assert round(c.get_minute_time_data(*sec.key)[-1]["price"] * 100) == ticks
        assert round(c.get_transaction_data(*sec.key, 0, 1)[-1]["price"] * 100) == ticks
        assert quote["price"] == pytest.approx(today["close"] * shown)
        assert quantize_volume(quote["vol"]) == today["vol"] and quote["amount"] == today["amount"]
        if not sec.is_index:
            assert round(quote["bid1"] * 100) == ticks - 1


@pytest.mark.parametrize("category", [9, 5, 6, 8, 0, 3])
def test_amounts_are_lots_times_units_times_a_price_within_the_bar(sim_client, sim_market,
                                                                   category):
    for (m, kind, places), sec in traded(sim_market).items():
        bars = (sim_client.get_index_bars if sec.is_index else
                sim_client.get_security_bars)(category, *sec.key, 0, 800)
        vol = np.array([b["vol"] for b in bars])
        per_unit = np.array([b["amount"] for b in bars]) / (vol * sec.volunit)
        low, high, close = (np.array([b[k] for b in bars]) for k in ("low", "high", "close"))
        if sec.is_index:  # 12 yuan a unit, whatever the level
            assert np.all((per_unit > 0.0005 * close) & (per_unit < 0.025 * close)), sec.key
        else:  # the amount and volume words round to 1e-6 or so
            assert np.all((per_unit >= low * (1 - 1e-5)) & (per_unit <= high * (1 + 1e-5))), \
                sec.key


def test_day_and_minute_files_hold_the_served_bars(sim_client, sim_market):
    """Prices in ticks (floats in the currency in minute files); volumes in units, but an
    index's in lots."""
    picks = traded(sim_market)
    for m, kind, places in [(1, "index", 2), (0, "stock", 2), (1, "bond", 3), (1, "fund", 3),
                            (0, "b_share", 2)]:
        sec = picks[m, kind, places]
        read = sim_client.get_index_bars if sec.is_index else sim_client.get_security_bars
        unit = 1 if sec.is_index else sec.volunit
        served = read(9, *sec.key, 0, 800)
        day = np.frombuffer(day_file_bytes(sim_market, sec.key), DAY_RECORD)[-len(served):]
        assert day["date"].tolist() == [int(b["datetime"][:10].replace("-", "")) for b in served]
        for name in ("open", "high", "low", "close"):
            assert day[name].tolist() == [round(b[name] * 10 ** places) for b in served]
        lots = sim_market.bar_columns(sec.key, 9, 0, 800).vol
        assert [quantize_volume(v) for v in lots.tolist()] == [b["vol"] for b in served]
        # The file holds the lots served (an index's rounded to the packed word's 24 bits).
        assert day["volume"].tolist() == [b["vol"] * unit for b in served]
        assert sec.is_index == (day["volume"] != lots * unit).any()
        assert day["amount"] == pytest.approx([b["amount"] for b in served], rel=1e-6)
        if kind in ("index", "bond"):
            minutes = np.frombuffer(minute_file_bytes(sim_market, sec.key, 8), MINUTE_RECORD)
            recent = read(8, *sec.key, 0, 240)
            lots = sim_market.bar_columns(sec.key, 8, 0, 240).vol
            assert minutes["volume"][-240:].tolist() == (lots * unit).tolist()
            assert [quantize_volume(v) for v in lots.tolist()] == [b["vol"] for b in recent]
            assert minutes["close"][-240:].tolist() == \
                pytest.approx([b["close"] for b in recent], rel=1e-7)


def test_a_volume_that_would_wrap_raises(monkeypatch):
    market = SimulatedMarket(fill=0)
    key = (1, "000001")
    served = market.bar_columns(key, 9, 0, 800)
    monkeypatch.setattr(market, "bar_columns",
                        lambda *args: served._replace(vol=served.vol * 100))
    with pytest.raises(ValueError, match=r"^sh000001: volume \d+ does not fit a file's 32-bit "
                                         r"field$"):
        day_file_bytes(market, key)
