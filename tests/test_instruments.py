"""Security types by code range, and the one conversion of the servers' counts and prices."""
import warnings

import numpy as np
import pytest

from pelmora import DataWarning
from pelmora.instruments import TYPES, kind_of, type_column
from pelmora.units import packed, rescale_prices, to_units, warn_unknown_lots

SH, SZ = 1, 0


@pytest.mark.parametrize("market, codes, kind", [
    (SH, ["600000", "601318", "602001", "603288", "604001", "605499", "688981", "689009"],
     ("stock", 100, 2)),
    (SH, ["000001", "000300", "880001", "881155", "999999"], ("index", 100, 2)),
    (SH, ["500001", "510300", "521001", "560010", "588000"], ("fund", 100, 3)),
    (SH, ["010107", "019666", "100001", "110059", "113050", "120001", "130001"],
     ("bond", 10, 3)),
    (SH, ["900901"], ("b_share", 100, 3)),
    (SH, ["204001", "204182"], ("other", 100, 3)),  # repos
    (SH, ["730001", "799999", "400001"], ("other", 100, 2)),
    (SZ, ["000001", "001979", "002594", "003816", "004001", "300750", "301001"],
     ("stock", 100, 2)),
    (SZ, ["399001", "399006"], ("index", 100, 2)),
    (SZ, ["159915", "161725", "184801"], ("fund", 100, 3)),
    (SZ, ["100001", "110001", "123001", "127001", "128001", "131810"], ("bond", 10, 3)),
    (SZ, ["200002", "201872"], ("b_share", 100, 2)),
    (SZ, ["031001"], ("other", 100, 3)),           # warrants
    (SZ, ["080001", "390001"], ("other", 100, 2)),
])
def test_code_ranges(market, codes, kind):
    for code in codes:
        assert tuple(kind_of(market, code)) == kind, (market, code)


def test_the_list_decides_where_it_says_more():
    # The same six digits are Shanghai's composite index and a Shenzhen bank.
    assert kind_of(SH, "000001").type == "index" and kind_of(SZ, "000001").type == "stock"
    assert kind_of(SH, "400001", decimal_point=3) == ("fund", 100, 3)  # no range: a fund by 3
    assert kind_of(SH, "799999", decimal_point=3) == ("other", 100, 3)
    assert kind_of(SH, "600000", decimal_point=3, volunit=200) == ("stock", 200, 3)
    assert kind_of(SH, "113050", volunit=0) == ("bond", 10, 3)  # unknown: the range's
    column = type_column(["bond", "stock"])
    assert list(column.categories) == list(TYPES) and not column.ordered


def test_counts_of_lots_become_units():
    assert to_units([3.0, 5.0], 100).tolist() == [300.0, 500.0]
    assert to_units([3, 5, 7, 9], [100, 10, 0, np.nan]).tolist() == [300.0, 50.0, 7.0, 9.0]
    assert to_units(np.array([2**31], dtype=np.int64), 100).dtype == np.float64


def test_prices_rescaled_to_their_decimals():
    wire = np.array([41.23, 12.34, 0.01, -0.07])   # the integers / 100, as a client shows them
    assert rescale_prices(wire, 2).tolist() == wire.tolist()
    assert rescale_prices(wire, 3).tolist() == [4.123, 1.234, 0.001, -0.007]
    assert rescale_prices(wire, [3, 2, 3, 2]).tolist() == [4.123, 12.34, 0.001, -0.07]
    # Exact: the nearest double to the decimal price, as a literal gives it.
    many = np.arange(1, 200001) / 100
    assert (rescale_prices(many, 3) == np.arange(1, 200001) / 1000).all()


def test_packed_zero_is_zero():
    values = [2.0 ** -127, -(2.0 ** -127), 0.0, 1.5, 123456789.0]
    assert packed(values).tolist() == [0.0, 0.0, 0.0, 1.5, 123456789.0]


def test_unknown_lot_sizes_are_named_once():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        warn_unknown_lots([])
    with pytest.warns(DataWarning, match=r"^lot size unknown for sh1, sh2: their volumes are "
                                         r"the servers' counts of lots$") as said:
        warn_unknown_lots(["sh2", "sh1", "sh2"])
    assert len(said) == 1
    with pytest.warns(DataWarning, match=r"sz10, sz11, .* and 2 more: "):
        warn_unknown_lots([f"sz{i}" for i in range(10, 22)])
