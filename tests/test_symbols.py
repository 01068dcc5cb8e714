"""parse_symbol's memory of names already parsed: the same answers as a first parse, failures
raised every time, and a bound on what it keeps."""
import pytest

from pelmora import symbols
from pelmora.periods import to_period
from pelmora.symbols import Symbol, parse_symbol

NAMES = {"600036": Symbol(1, "600036"), " 000001.sz": Symbol(0, "000001"),
         "SH000001": Symbol(1, "000001"), "399001.XSHE": Symbol(0, "399001")}


def test_repeated_names_parse_alike(monkeypatch):
    monkeypatch.setattr(symbols, "_parsed", {})
    monkeypatch.setattr(symbols, "_PARSED_LIMIT", 3)
    for _ in range(3):
        assert {name: parse_symbol(name) for name in NAMES} == NAMES
        assert len(symbols._parsed) <= 3
        for bad in ("60003", "bj430001"):
            with pytest.raises(ValueError, match=repr(bad)):
                parse_symbol(bad)


@pytest.mark.parametrize("name, index", [
    ("sh000001", True), ("sh880001", True), ("sh999999", True), ("sz399001", True),
    ("sz000001", False), ("sh600036", False), ("sh399001", False), ("sz880001", False),
    ("bj000001", False)])
def test_index_names_agree_with_symbols(name, index):
    assert symbols.is_index_name(name) is index
    if not name.startswith("bj"):
        assert symbols.is_index(parse_symbol(name)) is index


# Every range of bare codes the market rule relies on: Shenzhen's main board, SME board,
# ChiNext, B shares, funds and indices; Shanghai's main board, STAR market, B shares, funds and
# TDX's indices; TDX's sector indices 880-888, which the servers list under Shanghai.
@pytest.mark.parametrize("code, market", [
    ("000001", 0), ("001979", 0), ("002594", 0), ("003816", 0), ("159915", 0), ("160106", 0),
    ("184801", 0), ("200002", 0), ("300750", 0), ("301236", 0), ("399001", 0), ("880001", 0),
    ("600036", 1), ("601318", 1), ("603259", 1), ("605499", 1), ("688981", 1), ("689009", 1),
    ("510300", 1), ("900901", 1), ("999999", 1),
])
def test_bare_codes_of_shenzhen_and_shanghai(code, market):
    assert parse_symbol(code) == Symbol(market, code)


@pytest.mark.parametrize("code", ["430047", "830799", "832000", "870199", "889001", "920001",
                                  "920999"])
def test_bare_beijing_codes_are_refused_as_bj_ones_are(code):
    with pytest.raises(ValueError, match=f"^security '{code}' is a code of market bj "
                                         r"\(Beijing\), which the HQ servers do not serve"):
        parse_symbol(code)
    with pytest.raises(ValueError, match="market bj"):
        parse_symbol("bj" + code)
    assert parse_symbol("sz" + code) == Symbol(0, code)  # a prefix names the market outright


@pytest.mark.parametrize("period, name", [
    ("1m", "1m"), ("1M", None), ("m", None), ("M", "month"), ("ME", "month"), ("month", "month"),
    ("MONTH", "month"), ("min", "1m"), ("MIN", None), ("5m", "5m"), ("5min", "5m"),
    ("5M", None), ("h", "60m"), ("H", "60m"), ("60M", None), ("D", "day"), ("Day", "day"),
    ("W", "week"), ("QE", "quarter"), ("Y", "year"), ("A", "year"), ("YE", "year"),
    (9, "day"), ("9", "day"), (8, "1m"), (4, "4"), (7, "7"), ("12", None), (True, None),
    ("2h", None), ("", None), ("d", "day"), (" Day ", "day"), ("Q", "quarter"), ("1min", "1m"),
    ("15min", "15m"), ("30min", "30m"), ("60min", "60m"), ("1h", "60m"),
])
def test_period_names(period, name):
    if name is None:
        with pytest.raises(ValueError, match=r"(invalid|ambiguous) period .*: .*"):
            symbols.period_name(period)
        return
    assert symbols.period_name(period) == name
    assert symbols.parse_period(period) == symbols.PERIODS.get(name, int(name) if name.isdigit()
                                                               else -1)
    assert set(symbols.PERIOD_ALIASES.values()) <= set(symbols.PERIODS)


@pytest.mark.parametrize("period, minutes, daily, longer", [
    ("1m", 1, False, False), ("5min", 5, False, False), ("h", 60, False, False),
    (7, None, False, False), ("D", None, True, False), ("4", None, True, False),
    ("W", None, True, True), ("quarter", None, True, True), (11, None, True, True),
])
def test_a_period_says_how_long_its_bars_are(period, minutes, daily, longer):
    parsed = to_period(period)
    assert (parsed.minutes, parsed.daily, parsed.longer) == (minutes, daily, longer)
    assert to_period(parsed) is parsed  # parsed once, handed on as it is
    assert str(parsed) == parsed.name == symbols.period_name(period)
    assert parsed.category == symbols.parse_period(period)


@pytest.mark.parametrize("value, want", [
    ("sh600036", ["sh600036"]), ((1, "600036"), [(1, "600036")]),
    (Symbol(0, "000001"), [Symbol(0, "000001")]), (["600036", "000001"], ["600036", "000001"]),
    (("600036", "000001"), ["600036", "000001"]), (iter(["600036"]), ["600036"]),
])
def test_one_name_where_many_are_expected(value, want):
    assert symbols.many(value) == want
