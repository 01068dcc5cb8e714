"""pelmora._core — High-performance TDX data reader implemented in C++"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict, final

class SecurityRecord(TypedDict):
    code: str
    volunit: int
    name: str
    decimal_point: int
    pre_close: float

class SecurityBar(TypedDict):
    datetime: str
    open: float
    high: float
    low: float
    close: float
    vol: float
    amount: float

class IndexBar(SecurityBar):
    up_count: int
    down_count: int

class MinuteRecord(TypedDict):
    price: float
    vol: int

class HistoryTransaction(TypedDict):
    time: str
    price: float
    vol: int
    buyorsell: int

class Transaction(TypedDict):
    time: str
    price: float
    vol: int
    num: int
    buyorsell: int

Quote = TypedDict(
    "Quote",
    {
        "market": int, "code": str, "price": float, "last_close": float, "open": float,
        "high": float, "low": float, "servertime": int, "vol": int, "cur_vol": int,
        "amount": float, "s_vol": int, "b_vol": int,
        "bid1": float, "ask1": float, "bid_vol1": int, "ask_vol1": int,
        "bid2": float, "ask2": float, "bid_vol2": int, "ask_vol2": int,
        "bid3": float, "ask3": float, "bid_vol3": int, "ask_vol3": int,
        "bid4": float, "ask4": float, "bid_vol4": int, "ask_vol4": int,
        "bid5": float, "ask5": float, "bid_vol5": int, "ask_vol5": int,
    },
)

class XdxrRecord(TypedDict, total=False):
    year: int
    month: int
    day: int
    category: int
    name: str
    # category 1
    fenhong: float
    peigujia: float
    songzhuangu: float
    peigu: float
    # categories 11 and 12
    suogu: float
    # categories 13 and 14
    xingquanjia: float
    fenshu: float
    # every other category
    panqianliutong: float
    qianzongguben: float
    panhouliutong: float
    houzongguben: float

class FinanceInfo(TypedDict, total=False):
    market: int
    code: str
    liutongguben: float
    province: int
    industry: int
    updated_date: int
    ipo_date: int
    zongguben: float
    guojiagu: float
    faqirenfarengu: float
    farengu: float
    bgu: float
    hgu: float
    zhigonggu: float
    zongzichan: float
    liudongzichan: float
    gudingzichan: float
    wuxingzichan: float
    gudongrenshu: float
    liudongfuzhai: float
    changqifuzhai: float
    zibengongjijin: float
    jingzichan: float
    zhuyingshouru: float
    zhuyinglirun: float
    yingshouzhangkuan: float
    yingyelirun: float
    touzishouyu: float
    jingyingxianjinliu: float
    zongxianjinliu: float
    cunhuo: float
    lirunzonghe: float
    shuihoulirun: float
    jinglirun: float
    weifenpeilirun: float
    meigujingzichan: float

class CompanyInfoCategory(TypedDict):
    name: str
    filename: str
    start: int
    length: int

class BlockMeta(TypedDict):
    size: int
    hash_value: str

class DailyBar(TypedDict):
    date: str
    open: float
    high: float
    low: float
    close: float
    amount: float
    volume: float

class MinuteBar(TypedDict):
    datetime: str
    open: float
    high: float
    low: float
    close: float
    amount: float
    volume: float

def read_daily_bars(
    filepath: str, price_coeff: SupportsFloat | SupportsIndex = 0.01, vol_coeff: SupportsFloat | SupportsIndex = 0.01
) -> list[DailyBar]:
    """The records of a .day file, in file order.

    Units: see the units table in the docs (docs/units.md).
    """
def read_minute_bars(filepath: str) -> list[MinuteBar]:
    """The records of a .lc1 or .lc5 file, in file order (volumes as stored).

    Units: see the units table in the docs (docs/units.md).
    """
def ping_servers(servers: Sequence[tuple[str, int]]) -> list[tuple[str, int, int]]: ...

@final
class TdxClient:
    """One connection to an HQ server; each command sends one request and returns its records as
    dicts.

    Units: see the units table in the docs (docs/units.md).
    """

    def __init__(self) -> None: ...
    def connect(self, ip: str, port: int) -> bool: ...
    def disconnect(self) -> None: ...
    def get_security_count(self, market: int) -> int: ...
    def get_security_list(self, market: int, start: int) -> list[SecurityRecord]:
        """A page of up to 1,000 securities from `start`.

        Units: see the units table in the docs (docs/units.md).
        """
    def get_security_bars(self, category: int, market: int, code: str, start: int, count: int) -> list[SecurityBar]:
        """Bars, oldest first, at most 800 a request, `start` counted back from the latest.

        Units: see the units table in the docs (docs/units.md).
        """
    def get_index_bars(self, category: int, market: int, code: str, start: int, count: int) -> list[IndexBar]:
        """An index's bars with advancing and declining counts, as `get_security_bars`.

        Units: see the units table in the docs (docs/units.md).
        """
    def get_minute_time_data(self, market: int, code: str) -> list[MinuteRecord]:
        """Today's minute series.

        Units: see the units table in the docs (docs/units.md).
        """
    def get_history_minute_time_data(self, market: int, code: str, date: int) -> list[MinuteRecord]:
        """The minute series of a past day (`date` as YYYYMMDD).

        Units: see the units table in the docs (docs/units.md).
        """
    def get_transaction_data(self, market: int, code: str, start: int, count: int) -> list[Transaction]:
        """Today's ticks, from `start` counted back from the latest.

        Units: see the units table in the docs (docs/units.md).
        """
    def get_history_transaction_data(
        self, market: int, code: str, start: int, count: int, date: int
    ) -> list[HistoryTransaction]:
        """The ticks of a past day (`date` as YYYYMMDD).

        Units: see the units table in the docs (docs/units.md).
        """
    def get_security_quotes(self, stock_list: Sequence[tuple[int, str]]) -> list[Quote]:
        """A quote per (market, code) the server answers, with five levels.

        Units: see the units table in the docs (docs/units.md).
        """
    def get_xdxr_info(self, market: int, code: str) -> list[XdxrRecord]:
        """The ex-rights and share-capital records of a security, oldest first.

        Units: see the units table in the docs (docs/units.md).
        """
    def get_finance_info(self, market: int, code: str) -> FinanceInfo:
        """The finance summary of a security ({} when the server has none).

        Units: see the units table in the docs (docs/units.md).
        """
    def get_company_info_category(self, market: int, code: str) -> list[CompanyInfoCategory]: ...
    def get_company_info_content(self, market: int, code: str, filename: str, start: int, length: int) -> str: ...
    def get_block_info_meta(self, block_file: str) -> BlockMeta: ...
    def get_block_info(self, block_file: str, start: int, size: int) -> bytes: ...
    def get_report_file(self, filename: str, offset: int) -> tuple[int, bytes]: ...
