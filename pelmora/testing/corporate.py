"""Corporate data of the simulated market: ex-rights records, finance figures, company texts,
block files and other server files. Like the prices, all of it follows from the seed.

Share capital is counted in units of 10,000 shares and money in units of 10,000 yuan, as the
HQ protocol carries them. The figures agree with each other: the finance summary's share
capital is the capital after the last ex-rights record, the net assets per share are the net
assets over the total capital, and the company texts quote these same numbers.
"""
import functools
import hashlib
import random
from dataclasses import dataclass

from typing import TYPE_CHECKING

from .history import Event, single

if TYPE_CHECKING:
    from .market import SimulatedMarket

CATEGORY_NAMES = {1: "除权除息", 5: "股本变化"}

# Keys of the 29 single-precision values of the finance record, in wire order; the two marked
# False are passed unscaled by the client, the others are multiplied by 10000.
FINANCE_VALUES = (
    ("zongguben", True), ("guojiagu", True), ("faqirenfarengu", True), ("farengu", True),
    ("bgu", True), ("hgu", True), ("zhigonggu", True), ("zongzichan", True),
    ("liudongzichan", True), ("gudingzichan", True), ("wuxingzichan", True),
    ("gudongrenshu", False), ("liudongfuzhai", True), ("changqifuzhai", True),
    ("zibengongjijin", True), ("jingzichan", True), ("zhuyingshouru", True),
    ("zhuyinglirun", True), ("yingshouzhangkuan", True), ("yingyelirun", True),
    ("touzishouyu", True), ("jingyingxianjinliu", True), ("zongxianjinliu", True),
    ("cunhuo", True), ("lirunzonghe", True), ("shuihoulirun", True), ("jinglirun", True),
    ("weifenpeilirun", True), ("meigujingzichan", False),
)

# Shares of total assets of the balance and income figures.
_ASSET_SHARES = {
    "liudongzichan": 0.42, "gudingzichan": 0.21, "wuxingzichan": 0.05, "liudongfuzhai": 0.33,
    "changqifuzhai": 0.17, "zibengongjijin": 0.09, "zhuyingshouru": 0.31, "zhuyinglirun": 0.11,
    "yingshouzhangkuan": 0.06, "yingyelirun": 0.08, "touzishouyu": 0.012,
    "jingyingxianjinliu": 0.065, "zongxianjinliu": 0.021, "cunhuo": 0.12, "lirunzonghe": 0.085,
    "shuihoulirun": 0.07, "jinglirun": 0.068, "weifenpeilirun": 0.16,
}

CONCEPTS = (
    "人工智能", "新能源车", "半导体", "白酒", "银行", "保险", "锂电池", "光伏", "储能", "芯片",
    "消费电子", "医疗器械", "创新药", "云计算", "数据中心", "机器人", "军工", "物联网",
    "区块链", "安防", "智能电网", "风电", "氢能源", "无人驾驶", "大数据", "网络安全",
    "工业母机", "稀土永磁", "猪肉", "中药", "游戏", "传媒", "跨境电商", "预制菜", "低空经济",
    "国企改革",
)
STYLES = ("大盘股", "中盘股", "小盘股", "高股息", "低价股", "高价股")
# Members every simulated block file puts in these blocks, besides its random ones.
_KNOWN_MEMBERS = {
    "白酒": ("sh600519", "sz000858"), "银行": ("sh600000", "sh600036", "sz000001"),
    "保险": ("sh601318",), "锂电池": ("sz300750",), "新能源车": ("sz300750",),
    "储能": ("sz300750",), "安防": ("sz002415",), "人工智能": ("sz002415",),
}
BLOCK_FILES = ("block_zs.dat", "block_gn.dat", "block_fg.dat")
INDUSTRY_FILE = "tdxhy.cfg"


@dataclass(frozen=True)
class Profile:
    """The static figures of one stock."""
    total: int        # share capital before the first event, 10,000 shares
    tradable: int     # of which tradable
    province: int
    industry: int
    ipo_date: int
    assets: float     # total assets, 10,000 yuan
    holders: int      # number of shareholders


class Corporate:
    """Corporate data of a `SimulatedMarket`."""

    def __init__(self, market: "SimulatedMarket") -> None:
        self.market = market

    def _rng(self, *parts: object) -> random.Random:
        return random.Random("|".join(map(str, (self.market.seed,) + parts)))

    @functools.lru_cache(maxsize=4096)
    def profile(self, key: tuple[int, str]) -> Profile:
        sec = self.market.history(key).sec
        rng = self._rng(*key, "profile")
        first = self.market.history(key).events[0].slots
        total = int(first[3])
        return Profile(
            total=total, tradable=int(first[2]),
            province=rng.randrange(1, 32), industry=rng.randrange(1, 61),
            ipo_date=sec.listed,
            assets=float(total) * sec.start_price / sec.scale * rng.uniform(1.5, 6.0),
            holders=rng.randrange(20_000, 800_000))

    def events(self, key: tuple[int, str]) -> tuple[Event, ...]:
        """Ex-rights records of a security known today, oldest first; indexes have none."""
        sec = self.market.security(*key)
        if sec is None or sec.is_index:
            return ()
        return tuple(self.market.events(key))

    def capital(self, key: tuple[int, str]) -> tuple[int, int]:
        """(tradable, total) share capital after the last event, 10,000 shares."""
        last = [e for e in self.events(key) if e.category == 5][-1]
        return int(last.slots[2]), int(last.slots[3])

    def updated_date(self) -> int:
        """The last quarter end before today, the date of the finance figures."""
        y, m = self.market.today // 10000, self.market.today // 100 % 100
        quarter_end = {0: (y - 1, 1231), 1: (y, 331), 2: (y, 630), 3: (y, 930)}[(m - 1) // 3]
        return quarter_end[0] * 10000 + quarter_end[1]

    @functools.lru_cache(maxsize=256)
    def finance(self, key: tuple[int, str]) -> tuple[float, int, int, int, int, dict[str, float]] | None:
        """The finance record of a stock as wire numbers: (liutongguben, province, industry,
        updated_date, ipo_date, {value key: number}), or None for an index or unknown code."""
        sec = self.market.security(*key)
        if sec is None or sec.is_index:
            return None
        prof = self.profile(key)
        tradable, total = self.capital(key)
        values = {k: 0.0 for k, _ in FINANCE_VALUES}
        values.update({k: prof.assets * share for k, share in _ASSET_SHARES.items()})
        values.update(zongguben=float(total), farengu=float(total - tradable),
                      zongzichan=prof.assets, gudongrenshu=float(prof.holders))
        values["jingzichan"] = prof.assets - values["liudongfuzhai"] - values["changqifuzhai"]
        values["meigujingzichan"] = values["jingzichan"] / total
        return (float(tradable), prof.province, prof.industry, self.updated_date(),
                prof.ipo_date, {k: single(v) for k, v in values.items()})

    # ------------------------------------------------------------------ company texts

    def company_file(self, key: tuple[int, str]) -> str:
        return f"{key[1]}.txt"

    @functools.lru_cache(maxsize=64)
    def company_sections(self, key: tuple[int, str]) -> tuple[tuple[str, bytes], ...]:
        """[(title, GBK text bytes)] of a stock's company information; none for an index."""
        sec = self.market.security(*key)
        if sec is None or sec.is_index:
            return ()
        fin = self.finance(key)
        assert fin is not None
        tradable, total = self.capital(key)
        day = self.market.bars(key, 9, 0, 1)[-1]
        pre_close = self.market.pre_close(key)
        prefix = "sh" if sec.market == 1 else "sz"
        lines = {
            "最新提示": [f"{sec.name}({prefix}{sec.code}) 最新提示",
                         f"最新收盘价：{day.close / sec.scale:.{sec.decimal_point}f}元  "
                         f"前收盘价：{pre_close / sec.scale:.{sec.decimal_point}f}元",
                         f"今日成交量：{day.vol}手"],
            "公司概况": [f"公司名称：{sec.name}股份有限公司", f"上市日期：{fin[4]}",
                         f"所属地区代码：{fin[1]}  所属行业代码：{fin[2]}"],
            "财务分析": [f"报告期：{fin[3]}", f"总资产：{fin[5]['zongzichan']:.2f}万元",
                         f"净资产：{fin[5]['jingzichan']:.2f}万元",
                         f"每股净资产：{fin[5]['meigujingzichan']:.4f}元"],
            "股本结构": [f"总股本：{total}万股", f"流通股本：{tradable}万股"],
            "分红扩股": [f"{e.date} 每10股派{e.slots[0]:g}元" + (f" 送{e.slots[2]:g}股" if e.slots[2] else "")
                         for e in self.events(key) if e.category == 1] or ["暂无分红记录"],
        }
        return tuple((title, ("\r\n".join(text) + "\r\n").encode("gbk"))
                     for title, text in lines.items())

    def company_categories(self, key: tuple[int, str]) -> list[tuple[str, str, int, int]]:
        """[(title, filename, start, length)] of the sections within the company file."""
        out, start = [], 0
        for title, text in self.company_sections(key):
            out.append((title, self.company_file(key), start, len(text)))
            start += len(text)
        return out

    def company_bytes(self, key: tuple[int, str]) -> bytes:
        return b"".join(text for _, text in self.company_sections(key))

    # ------------------------------------------------------------------ server files

    @functools.lru_cache(maxsize=8)
    def server_file(self, name: str) -> bytes | None:
        """Bytes of a server file (block files, the industry table), or None."""
        # Blocks group the stocks and funds; bonds, B shares and the like belong to none.
        stocks = [s for m in (1, 0) for s in self.market.securities(m)
                  if s.kind in ("stock", "fund")]
        label = {s.key: ("sh" if s.market == 1 else "sz") + s.code for s in stocks}
        rng = self._rng("file", name)
        if name == "block_zs.dat":
            blocks = [("沪深300", rng.sample(stocks, min(300, len(stocks)))),
                      ("上证50", rng.sample([s for s in stocks if s.market == 1],
                                            min(50, sum(s.market == 1 for s in stocks)))),
                      ("深证100", rng.sample([s for s in stocks if s.market == 0],
                                             min(100, sum(s.market == 0 for s in stocks))))]
        elif name == "block_gn.dat":
            blocks = [(c, rng.sample(stocks, min(len(stocks), rng.randrange(60, 140))))
                      for c in CONCEPTS]
        elif name == "block_fg.dat":
            by_price = sorted(stocks, key=lambda s: s.start_price)
            third = len(by_price) // 3
            blocks = [("大盘股", rng.sample(stocks, len(stocks) // 10)),
                      ("中盘股", rng.sample(stocks, len(stocks) // 10)),
                      ("小盘股", rng.sample(stocks, len(stocks) // 10)),
                      ("高股息", rng.sample(stocks, len(stocks) // 20)),
                      ("低价股", by_price[:third]), ("高价股", by_price[-third:])]
        elif name == INDUSTRY_FILE:
            text = "".join(f"{s.market}|{s.code}|T{self.profile(s.key).industry:04d}\r\n"
                           for s in stocks)
            return text.encode("gbk")
        else:
            return None
        text = ""
        for title, members in blocks:
            codes = list(_KNOWN_MEMBERS.get(title, ()))
            codes += [label[s.key] for s in members if label[s.key] not in codes]
            text += ",".join([title] + codes) + "\r\n"
        return text.encode("gbk")

    def file_hash(self, name: str) -> str:
        data = self.server_file(name)
        return hashlib.md5(data).hexdigest() if data is not None else ""
