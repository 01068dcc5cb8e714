"""Answers believed only when consistent: a count, list or table short of what the caller
expects is asked of another server, then once more on a fresh connection, before the pool
believes it, and says so when only one server gave it."""
import struct

import pytest

from fakehq import FakeHQ
from pelmora._engine import Pool
from pelmora.testing import serve

# One daily index bar, the answer that makes a server verified.
CHECK_BAR = struct.pack("<HI", 1, 20250102) + bytes(4 + 12)


def count(n):
    return struct.pack("<H", n)


@pytest.mark.parametrize("short, set_aside", [(10, False), (0, True)])
def test_a_short_count_is_not_believed_where_another_server_has_more(short, set_aside):
    with FakeHQ() as a, FakeHQ() as b:
        a.reply(CHECK_BAR)
        a.reply(count(short))
        b.reply(CHECK_BAR)
        b.reply(count(5000))
        names = [f"127.0.0.1:{a.port}", f"127.0.0.1:{b.port}"]
        with Pool(names, connections=1) as pool:  # the one worker's home is the first server
            assert pool.security_count(0, at_least=4200) == 5000
            warnings, states = pool.take_warnings(), pool.servers()
    if set_aside:
        assert warnings == [f"server {names[0]} set aside: answered nothing for the security "
                            "count of sz, which another server has"]
    assert (states[0][1] == "set aside") == set_aside and warnings == warnings[:set_aside]


@pytest.mark.parametrize("again, warned", [(10, True), (4300, False)])
def test_one_server_is_asked_again_on_a_fresh_connection(again, warned):
    with FakeHQ() as fake:
        for body in (CHECK_BAR, count(10), count(again)):
            fake.reply(body)
        name = f"127.0.0.1:{fake.port}"
        with Pool([name], connections=1) as pool:
            assert pool.security_count(0, 4200) == again
            assert fake.connections() == 2
            warnings = pool.take_warnings()
    assert warnings == [f"only server {name} answered the security count of sz: 10, where at "
                        "least 4,200 were expected; believed"][:warned]


def test_at_least_over_the_list_and_tables():
    with serve(seed=4, fill=10) as (host, port):
        with Pool([f"{host}:{port}"], connections=2) as pool:
            codes = pool.security_codes(0, at_least=10)
            assert codes == pool.security_codes(0) and len(codes) == 16
            got = pool.table("xdxr", [(1, "600036", 0, 0, 0), (1, "000001", 0, 0, 0)],
                             at_least=[1, 0])
            assert got.errors() == [] and memoryview(got.counts())[1] == 0
            with pytest.raises(ValueError, match="^at_least needs one number per query$"):
                pool.table("xdxr", [(1, "600036", 0, 0, 0)], at_least=[1, 1])
            with pytest.raises(ValueError, match="^at_least applies to securities, xdxr and "
                                                 "finance queries$"):
                pool.table("quotes", [[(1, "600036")]], at_least=[1])
            # An index has no events: asked again, then believed with a warning.
            got = pool.table("xdxr", [(1, "000001", 0, 0, 0)], at_least=[1])
            assert got.errors() == [] and len(got) == 0
            assert pool.take_warnings() == [
                f"only server {host}:{port} answered the ex-rights records of sh000001: 0, where "
                "at least 1 were expected; believed"]
