"""Quotes of many securities: requests of QUOTE_PAGE securities, the answers as one frame."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Sequence

from ..fetch import raise_first
from ..limits import QUOTE_PAGE
from ..symbols import MARKET_NAMES, Symbol

if TYPE_CHECKING:
    import pandas as pd

    from .scaling import Scaling

LEVELS = tuple(f"{key}{level}" for level in range(1, 6)
               for key in ("bid", "ask", "bid_vol", "ask_vol"))
COLUMNS = ("price", "last_close", "open", "high", "low", "servertime", "vol", "cur_vol",
           "amount", "s_vol", "b_vol") + LEVELS
# The columns sent in units of the security's last decimal, and those counting lots.
PRICES = ("price", "last_close", "open", "high", "low") + tuple(
    f"{side}{level}" for level in range(1, 6) for side in ("bid", "ask"))
VOLUMES = ("vol", "cur_vol", "s_vol", "b_vol") + tuple(
    f"{side}_vol{level}" for level in range(1, 6) for side in ("bid", "ask"))


def clock_time(packed: Any) -> Any:
    """The server's times of day, packed as the digits HHMMSSxx (xx hundredths, dropped), as
    timedelta64[s] since midnight; NaT for a value that is no clock time."""
    import numpy as np
    v = np.asarray(packed, dtype=np.int64)
    hh, mm, ss = v // 1000000, v // 10000 % 100, v // 100 % 100
    ok = (v >= 0) & (hh < 24) & (mm < 60) & (ss < 60)
    seconds = (hh * 60 + mm) * 60 + ss
    return np.where(ok, seconds, np.iinfo(np.int64).min).astype("m8[s]")


def requests(syms: Sequence[Symbol]) -> list[list[tuple[int, str]]]:
    pairs = [(s.market, s.code) for s in syms]
    return [pairs[i:i + QUOTE_PAGE] for i in range(0, len(pairs), QUOTE_PAGE)]


def frame(batch: Any, syms: Sequence[Symbol], warn: Callable[[str], None],
          day: Callable[[], Any], scaling: Scaling) -> pd.DataFrame:
    """The frame of the securities answered (index ``symbol``, a row each, in the order
    answered), ``servertime`` the time of each quote on the trading day `day()` gives, prices
    and volumes in the frames' units (`scaling`), ``amount`` with the packed zero made 0.
    Securities asked of a failed request or not answered are named through `warn` and in
    ``attrs["errors"]`` and ``attrs["missing"]``; raises the first failure when every request
    failed."""
    import numpy as np
    import pandas as pd
    from ..units import packed
    errors = batch.errors()
    if len(errors) == len(requests(syms)):
        raise_first(errors)
    data = batch.columns(("market", "code") + COLUMNS)
    markets, codes = data.pop("market").tolist(), data.pop("code")
    names = [MARKET_NAMES.get(int(m), str(m)) + c for m, c in zip(markets, codes)]
    failed = {s.canonical: f"{type(e).__name__}: {e}" for i, e in errors
              for s in syms[i * QUOTE_PAGE:(i + 1) * QUOTE_PAGE]}
    asked = [s.canonical for s in syms if s.canonical not in failed]
    index = pd.Index(names, name="symbol")
    keep = index.isin(asked) & ~index.duplicated()
    if not keep.all():  # rows not asked for, or answered twice, are left out before scaling
        data = {n: np.asarray(c)[keep] for n, c in data.items()}
        index = index[keep]
        markets = [m for m, k in zip(markets, keep) if k]
        codes = [c for c, k in zip(codes, keep) if k]
    data = scaling.rows(data, markets, codes, PRICES, VOLUMES)
    data["amount"] = packed(data["amount"])
    data["servertime"] = day().astype("M8[s]") + clock_time(data["servertime"])
    out = pd.DataFrame(data, index=index, columns=list(COLUMNS))
    answered = set(out.index)
    missing = [name for name in asked if name not in answered]
    out.attrs.update(missing=missing, errors=failed)
    if missing:
        warn(f"no quote for {len(missing)} securities: {', '.join(missing)}")
    if failed:
        listing = "; ".join(f"{n} ({r})" for n, r in failed.items())
        warn(f"quotes of {len(failed)} securities failed: {listing}")
    return out
