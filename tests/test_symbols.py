"""parse_symbol's memory of names already parsed: the same answers as a first parse, failures
raised every time, and a bound on what it keeps."""
import pytest

from pelmora import symbols
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
