"""The keys of the records pelmora._core returns, in the order of its dicts.

Written once here for whoever needs them in order (the ex-rights and finance frames, the
adjustment arithmetic, the store's tables, the tests); a test holds them against what the
module returns and against its type stubs.
"""
from __future__ import annotations

SECURITY = ("code", "volunit", "name", "decimal_point", "pre_close")
BAR = ("datetime", "open", "high", "low", "close", "vol", "amount")
INDEX_BAR = BAR + ("up_count", "down_count")
MINUTE = ("price", "vol")
TRANSACTION = ("time", "price", "vol", "num", "buyorsell")
HISTORY_TRANSACTION = ("time", "price", "vol", "buyorsell")
QUOTE = ("market", "code", "price", "last_close", "open", "high", "low", "servertime", "vol",
         "cur_vol", "amount", "s_vol", "b_vol") + tuple(
    key for level in range(1, 6)
    for key in (f"bid{level}", f"ask{level}", f"bid_vol{level}", f"ask_vol{level}"))

# An ex-rights record: the common keys, then the values of its category.
XDXR = ("year", "month", "day", "category", "name")
XDXR_DIVIDEND = ("fenhong", "peigujia", "songzhuangu", "peigu")       # category 1
XDXR_CONSOLIDATION = ("suogu",)                                        # 11 and 12
XDXR_WARRANT = ("xingquanjia", "fenshu")                               # 13 and 14
XDXR_SHARES = ("panqianliutong", "qianzongguben", "panhouliutong", "houzongguben")  # the rest
# Every value key, in record order: the columns of an ex-rights table.
XDXR_VALUES = XDXR_DIVIDEND + XDXR_CONSOLIDATION + XDXR_WARRANT + XDXR_SHARES


def xdxr_keys(category: int) -> tuple[str, ...]:
    """Every key of an ex-rights record of this category, in order."""
    values = {1: XDXR_DIVIDEND, 11: XDXR_CONSOLIDATION, 12: XDXR_CONSOLIDATION,
              13: XDXR_WARRANT, 14: XDXR_WARRANT}.get(category, XDXR_SHARES)
    return XDXR + values


FINANCE = tuple((
    "market code liutongguben province industry updated_date ipo_date zongguben guojiagu "
    "faqirenfarengu farengu bgu hgu zhigonggu zongzichan liudongzichan gudingzichan wuxingzichan "
    "gudongrenshu liudongfuzhai changqifuzhai zibengongjijin jingzichan zhuyingshouru zhuyinglirun "
    "yingshouzhangkuan yingyelirun touzishouyu jingyingxianjinliu zongxianjinliu cunhuo "
    "lirunzonghe shuihoulirun jinglirun weifenpeilirun meigujingzichan").split())
COMPANY_CATEGORY = ("name", "filename", "start", "length")
BLOCK_META = ("size", "hash_value")
DAILY_BAR = ("date", "open", "high", "low", "close", "amount", "volume")
MINUTE_BAR = ("datetime", "open", "high", "low", "close", "amount", "volume")

# English names of the ex-rights and finance columns, which keep the servers' pinyin names:
# ``frame.rename(columns=ENGLISH_NAMES)``. Units: see docs/units.md.
ENGLISH_NAMES = {
    # ex-rights events
    "fenhong": "cash_dividend_per_10",
    "peigujia": "rights_price",
    "songzhuangu": "bonus_shares_per_10",
    "peigu": "rights_shares_per_10",
    "suogu": "split_ratio",
    "xingquanjia": "exercise_price",
    "fenshu": "warrants",
    "panqianliutong": "float_shares_before",
    "qianzongguben": "total_shares_before",
    "panhouliutong": "float_shares_after",
    "houzongguben": "total_shares_after",
    # finance summaries
    "liutongguben": "float_shares",
    "zongguben": "total_shares",
    "guojiagu": "state_shares",
    "faqirenfarengu": "promoter_legal_person_shares",
    "farengu": "legal_person_shares",
    "bgu": "b_shares",
    "hgu": "h_shares",
    "zhigonggu": "employee_shares",
    "zongzichan": "total_assets",
    "liudongzichan": "current_assets",
    "gudingzichan": "fixed_assets",
    "wuxingzichan": "intangible_assets",
    "gudongrenshu": "shareholders",
    "liudongfuzhai": "current_liabilities",
    "changqifuzhai": "long_term_liabilities",
    "zibengongjijin": "capital_reserve",
    "jingzichan": "net_assets",
    "zhuyingshouru": "main_revenue",
    "zhuyinglirun": "main_profit",
    "yingshouzhangkuan": "accounts_receivable",
    "yingyelirun": "operating_profit",
    "touzishouyu": "investment_income",
    "jingyingxianjinliu": "operating_cash_flow",
    "zongxianjinliu": "total_cash_flow",
    "cunhuo": "inventory",
    "lirunzonghe": "total_profit",
    "shuihoulirun": "net_profit_after_tax",
    "jinglirun": "net_profit",
    "weifenpeilirun": "undistributed_profit",
    "meigujingzichan": "net_assets_per_share",
}
