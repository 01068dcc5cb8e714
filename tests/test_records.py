"""The key lists of pelmora.records against what pelmora._core returns and its type stubs."""
import ast
import pathlib

import pytest

import pelmora
from pelmora import read_daily_bars, read_minute_bars, records

STUBS = pathlib.Path(pelmora.__file__).with_name("_core.pyi")


def stub_keys():
    """{TypedDict name: its keys in order} of _core.pyi, inherited keys first."""
    out = {}
    for node in ast.parse(STUBS.read_text()).body:
        bases = [b.id for b in getattr(node, "bases", ()) if isinstance(b, ast.Name)]
        if isinstance(node, ast.ClassDef) and any(b == "TypedDict" or b in out for b in bases):
            inherited = [k for base in bases for k in out.get(base, ())]
            out[node.name] = tuple(inherited) + tuple(
                item.target.id for item in node.body if isinstance(item, ast.AnnAssign))
        elif isinstance(node, ast.Assign) and isinstance(node.value, ast.Call):  # Quote = TypedDict(...)
            out[node.targets[0].id] = tuple(k.value for k in node.value.args[1].keys)
    return out


def test_stubs_declare_the_same_keys():
    xdxr_values = dict.fromkeys(records.XDXR_DIVIDEND + records.XDXR_CONSOLIDATION
                                + records.XDXR_WARRANT + records.XDXR_SHARES)
    expected = {
        "SecurityRecord": records.SECURITY, "SecurityBar": records.BAR,
        "IndexBar": records.INDEX_BAR, "MinuteRecord": records.MINUTE,
        "Transaction": records.TRANSACTION, "HistoryTransaction": records.HISTORY_TRANSACTION,
        "Quote": records.QUOTE, "XdxrRecord": records.XDXR + tuple(xdxr_values),
        "FinanceInfo": records.FINANCE, "CompanyInfoCategory": records.COMPANY_CATEGORY,
        "BlockMeta": records.BLOCK_META, "DailyBar": records.DAILY_BAR,
        "MinuteBar": records.MINUTE_BAR,
    }
    assert stub_keys() == expected


def test_simulated_server_records_have_the_keys_in_order(sim_client, sim_market):
    c, day = sim_client, sim_market.days[-2]
    cases = [
        (c.get_security_list(1, 0), records.SECURITY),
        (c.get_security_bars(9, 1, "600036", 0, 2), records.BAR),
        (c.get_index_bars(3, 1, "000001", 0, 2), records.INDEX_BAR),
        (c.get_minute_time_data(1, "600036"), records.MINUTE),
        (c.get_history_minute_time_data(1, "600036", day), records.MINUTE),
        (c.get_transaction_data(1, "600036", 0, 2), records.TRANSACTION),
        (c.get_history_transaction_data(1, "600036", 0, 2, day), records.HISTORY_TRANSACTION),
        (c.get_security_quotes([(1, "600036"), (0, "000001")]), records.QUOTE),
        ([c.get_finance_info(1, "600036")], records.FINANCE),
        (c.get_company_info_category(1, "600036"), records.COMPANY_CATEGORY),
        ([c.get_block_info_meta("block_zs.dat")], records.BLOCK_META),
    ]
    for got, keys in cases:
        assert got and all(tuple(r) == keys for r in got), keys
    xdxr = c.get_xdxr_info(1, "600036")
    assert xdxr and all(tuple(r) == records.xdxr_keys(r["category"]) for r in xdxr)


@pytest.mark.parametrize("reader, keys", [(read_daily_bars, records.DAILY_BAR),
                                          (read_minute_bars, records.MINUTE_BAR)])
def test_file_records_have_the_keys_in_order(tmp_path, reader, keys):
    (tmp_path / "f").write_bytes(bytes(64))
    assert [tuple(r) for r in reader(str(tmp_path / "f"))] == [keys, keys]
