"""A server's security lists as a TdxClient reads them: the lot sizes and decimals by which the
tests expect HQ's frames to scale the servers' counts and prices."""
from pelmora.limits import LIST_PAGE


def security_list(client, market):
    """code -> the list's record (volunit, decimal_point, ...), every page."""
    out = {}
    for start in range(0, client.get_security_count(market), LIST_PAGE):
        out.update((r["code"], r) for r in client.get_security_list(market, start))
    return out


def volunit(client, market, code):
    return security_list(client, market)[code]["volunit"]


def in_units(frame, entries, prices=(), volumes=()):
    """TdxClient's rows as HQ gives them: `prices` (which it divides by 100 whatever the
    decimals) at each row's decimals, `volumes` (lots) times its lot size; `entries` are the
    list records of the rows, one each, or one for them all."""
    import numpy as np
    entries = entries if isinstance(entries, list) else [entries] * len(frame)
    points = np.array([e["decimal_point"] for e in entries])
    sizes = np.array([e["volunit"] for e in entries], dtype=float)
    out = frame.copy()
    for name in prices:
        out[name] = np.round(out[name].to_numpy() * 100) / 10.0 ** points
    for name in volumes:
        out[name] = out[name].to_numpy() * sizes
    return out
