"""Security lists believed only when consistent: a list much shorter than the one a caller knows
(or this HQ last saw) is asked of another server; one server alone is asked again, then
believed with a warning that names it."""
import warnings

import pytest

from pelmora import HQ, DataWarning
from pelmora.testing import serve

SEED = 11


@pytest.fixture(scope="module")
def short_and_full():
    """Two servers of the same market, the first listing 11 securities a market, the second
    26 (fills 5 and 20)."""
    with serve(seed=SEED, servers=[{"fill": 5}, {"fill": 20}]) as addresses:
        yield [f"{h}:{p}" for h, p in addresses]


def sz_list(hq, **kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DataWarning)
        frame = hq.securities("sz", **kwargs)
    return frame, [str(w.message) for w in caught]


def test_a_list_shorter_than_known_is_asked_of_another_server(short_and_full):
    short, full = short_and_full
    with HQ([full], connections=1) as hq:
        want = hq.securities("sz")
    assert len(want) == 26
    for connections in (1, 2, 3, 4):  # whichever server a worker asks first
        with HQ([short, full], connections=connections) as hq:
            got, _ = sz_list(hq, known=len(want))
            assert got.equals(want)
            # Now seen by this HQ: a later short answer is not believed either.
            assert sz_list(hq)[0].equals(want)


def test_one_server_with_a_short_list_is_believed_with_a_warning(short_and_full):
    short, _ = short_and_full
    with HQ([short], connections=2) as hq:
        got, said = sz_list(hq, known=26)
    assert len(got) == 11
    assert any(short in text and "believed" in text for text in said), said
    # A list within a tenth of what is known is believed at once, without a word.
    with HQ([short], connections=2) as hq:
        got, said = sz_list(hq, known=12)
    assert len(got) == 11 and said == []


def test_an_empty_list_is_never_believed_beside_a_server_that_has_one():
    with serve(seed=SEED, fill=5, servers=[{"empty_list": True}, {}]) as addresses:
        faulty, clean = (f"{h}:{p}" for h, p in addresses)
        for connections in (1, 2, 3):
            with HQ([faulty, clean], connections=connections) as hq:
                got, _ = sz_list(hq)
                assert len(got) == 11
                # ... and every listed security is found.
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DataWarning)
                    bars = hq.bars_many(["sz000001", "sh600036"], "day", 5)
                assert sorted(bars["symbol"].unique()) == ["sh600036", "sz000001"]


def test_records_of_securities_known_to_have_them_are_confirmed(short_and_full):
    _, full = short_and_full
    with HQ([full], connections=2) as hq:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", DataWarning)
            events = hq.xdxr_many(["sh600036", "sh000001"], had_records=["sh000001"])
            finance = hq.finance_many(["sh600036"], had_records=["600036"])
    said = [str(w.message) for w in caught]
    # The index has no events: with one server, asked again, then believed with a warning.
    assert len(events["sh000001"]) == 0 and len(events["sh600036"]) > 0
    assert [t for t in said if "believed" in t] == [
        f"only server {full} answered the ex-rights records of sh000001: 0, where at least 1 "
        f"were expected; believed"], said
    assert len(finance["sh600036"]) == 1
