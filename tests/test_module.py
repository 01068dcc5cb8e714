"""The module surface, argument binding and conversion rules shared by every callable."""
import importlib.metadata
import pathlib
import re
import shutil
import struct
import subprocess
import sys

import pytest

import pelmora
import pelmora._core as core
from pelmora import PanicException, TdxClient

METHODS = [
    ("connect", "ip, port"), ("get_security_count", "market"), ("get_security_list", "market, start"),
    ("get_security_bars", "category, market, code, start, count"),
    ("get_index_bars", "category, market, code, start, count"),
    ("get_minute_time_data", "market, code"), ("get_history_minute_time_data", "market, code, date"),
    ("get_transaction_data", "market, code, start, count"),
    ("get_history_transaction_data", "market, code, start, count, date"),
    ("get_security_quotes", "stock_list"), ("get_xdxr_info", "market, code"),
    ("get_finance_info", "market, code"), ("get_company_info_category", "market, code"),
    ("get_company_info_content", "market, code, filename, start, length"),
    ("get_block_info_meta", "block_file"), ("get_block_info", "block_file, start, size"),
    ("get_report_file", "filename, offset"),
]


def test_module_surface():
    assert core.__doc__ == "pelmora._core \u2014 High-performance TDX data reader implemented in C++"
    own = [k for k in vars(core) if not k.startswith("__")]
    assert own == ["read_daily_bars", "read_minute_bars", "ping_servers", "TdxClient"]
    assert pelmora.TdxClient is core.TdxClient
    assert PanicException.__bases__ == (BaseException,)


def test_reimport_returns_the_cached_module():
    del sys.modules["pelmora._core"]
    import pelmora._core as again
    assert again is core


# The low-level interpreters module: _interpreters from 3.13 on (whose run_string returns the
# failure), _xxsubinterpreters before (whose run_string raises it).
SECOND_INTERPRETER = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
import pelmora._core
interp = interpreters.create()
try:
    failure = interpreters.run_string(interp, "import pelmora._core")
except interpreters.RunFailedError as e:
    failure = e
interpreters.destroy(interp)
print(getattr(failure, "formatted", failure))
"""


def test_second_interpreter_cannot_import(tmp_path):
    # Run away from the working tree so that both interpreters find the same module file.
    out = subprocess.run([sys.executable, "-c", SECOND_INTERPRETER], capture_output=True, text=True,
                         check=True, cwd=tmp_path)
    # 3.11 sees the module's own refusal; 3.12 and later refuse single-phase modules first.
    assert re.search(r"ImportError.*(does not support sub-interpreters|"
                     r"does not support loading in subinterpreters)", out.stdout), out.stdout


@pytest.mark.parametrize("clone, advice", [
    (True, r"not built in .*/pelmora, the source folder of a clone, .*Run from another folder "
           r".*`pip install \.` builds and installs it"),
    (False, r"missing from .*/pelmora: the installation is incomplete\. Reinstall pelmora"),
])
def test_package_without_its_module_says_what_to_do(tmp_path, clone, advice):
    shutil.copytree(pathlib.Path(pelmora.__file__).parent, tmp_path / "pelmora",
                    ignore=shutil.ignore_patterns("_core*.so", "__pycache__"))
    if clone:
        (tmp_path / "pyproject.toml").write_text("[project]\n")
    out = subprocess.run([sys.executable, "-c", "import pelmora"], capture_output=True, text=True,
                         cwd=tmp_path)
    assert out.returncode == 1
    assert re.fullmatch(f"ImportError: pelmora's native module _core is {advice}.*",
                        out.stderr.splitlines()[-1]), out.stderr
    assert "No module named" not in out.stderr  # one message, not a chain


def test_version_is_the_distribution_version():
    assert pelmora.__version__ == importlib.metadata.version("pelmora")


def test_client_type():
    assert TdxClient.__module__ == "builtins"
    assert TdxClient.__text_signature__ == "()"
    c = TdxClient()
    assert not hasattr(c, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(c)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (TdxClient,), {})
    for name, params in METHODS:
        assert getattr(TdxClient, name).__text_signature__ == f"($self, {params})"
        assert getattr(c, name).__text_signature__ == f"($self, {params})"
    assert TdxClient.disconnect.__text_signature__ == "($self)"
    assert core.read_daily_bars.__text_signature__ == "(filepath, price_coeff=0.01, vol_coeff=0.01)"
    assert core.read_minute_bars.__text_signature__ == "(filepath)"
    assert core.ping_servers.__text_signature__ == "(servers)"
    assert TdxClient.connect.__doc__ is None  # the signature is its whole docstring
    assert TdxClient.get_security_count.__doc__ == (
        "Get the total number of securities for a given market.\n"
        "market: 0 = Shenzhen (深圳), 1 = Shanghai (上海)\nReturns the total count of securities.")


C = TdxClient()

BINDING_ERRORS = [
    (lambda: TdxClient(1), "TdxClient.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: TdxClient(a=1), "TdxClient.__new__() got an unexpected keyword argument 'a'"),
    (lambda: C.connect("a", 1, 2), "TdxClient.connect() takes 2 positional arguments but 3 were given"),
    (lambda: C.get_security_count(1, 2),
     "TdxClient.get_security_count() takes 1 positional arguments but 2 were given"),
    (lambda: C.connect(), "TdxClient.connect() missing 2 required positional arguments: 'ip' and 'port'"),
    (lambda: C.connect("a"), "TdxClient.connect() missing 1 required positional argument: 'port'"),
    (lambda: C.get_security_bars(1, 1),
     "TdxClient.get_security_bars() missing 3 required positional arguments: 'code', 'start', and 'count'"),
    (lambda: C.connect("a", 1, host=2), "TdxClient.connect() got an unexpected keyword argument 'host'"),
    (lambda: C.get_security_list(1, market=1),
     "TdxClient.get_security_list() got multiple values for argument 'market'"),
    (lambda: core.read_daily_bars("a", 1, 1, 1),
     "read_daily_bars() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: core.read_minute_bars(), "read_minute_bars() missing 1 required positional argument: 'filepath'"),
    (lambda: C.disconnect(1), "TdxClient.disconnect() takes no arguments (1 given)"),
    (lambda: TdxClient.connect(object(), "a", 1), "'object' object cannot be cast as 'TdxClient'"),
    # Conversions: a TypeError names its parameter, other errors pass unchanged.
    (lambda: C.get_security_count("0"),
     "argument 'market': 'str' object cannot be interpreted as an integer"),
    (lambda: C.get_security_count(1.0),
     "argument 'market': 'float' object cannot be interpreted as an integer"),
    (lambda: C.connect(123, 1), "argument 'ip': 'int' object cannot be cast as 'str'"),
    (lambda: C.get_security_quotes("600036"), "argument 'stock_list': Can't extract `str` to `Vec`"),
    (lambda: C.get_security_quotes({1: 2}), "argument 'stock_list': 'dict' object cannot be cast as 'Sequence'"),
    (lambda: C.get_security_quotes([[1, "600036"]]), "argument 'stock_list': 'list' object cannot be cast as 'tuple'"),
    (lambda: C.get_security_quotes([(1, 600036)]), "argument 'stock_list': 'int' object cannot be cast as 'str'"),
    (lambda: C.get_security_quotes([("1", "600036")]),
     "argument 'stock_list': 'str' object cannot be interpreted as an integer"),
    # The length an object claims sizes nothing: the first item decides.
    (lambda: C.get_security_quotes(range(2**57)), "argument 'stock_list': 'int' object cannot be cast as 'tuple'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    if message.startswith("argument '"):
        assert type(info.value.__cause__) is TypeError
        assert message.endswith(str(info.value.__cause__))


OTHER_ERRORS = [
    (lambda: C.get_security_count(-1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: C.get_security_count(256), OverflowError, "out of range integral type conversion attempted"),
    (lambda: C.get_security_list(0, 65536), OverflowError, "out of range integral type conversion attempted"),
    (lambda: C.get_security_count(2**70), OverflowError, "Python int too large to convert to C long"),
    (lambda: C.get_security_quotes([(1, "a", 2)]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda: C.get_security_quotes([(256, "a")]), OverflowError, "out of range integral type conversion attempted"),
    (lambda: C.connect("\udc80", 1), UnicodeEncodeError, None),
    # Conversions come before the connection check.
    (lambda: C.get_security_count(True), ConnectionError, "Not connected"),
    (lambda: C.get_security_list(market=1, start=0), ConnectionError, "Not connected"),
    (lambda: C.get_security_quotes([]), ConnectionError, "Not connected"),
]


@pytest.mark.parametrize("call, exc, message", OTHER_ERRORS)
def test_unchanged_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert info.value.__cause__ is None
    if message is not None:
        assert str(info.value) == message


def runtime_str(name):
    """A str equal to `name` but built at run time: not the interned object a literal is."""
    text = "".join(list(name))
    assert text == name and text is not name
    return text


def test_keyword_names_match_by_equality(tmp_path):
    with pytest.raises(ConnectionError, match="^Not connected$"):
        C.get_security_list(**{runtime_str("market"): 1, runtime_str("start"): 0})
    (tmp_path / "x.day").write_bytes(struct.pack("<5IfI4x", 20240105, 100, 0, 0, 0, 0.0, 10))
    [bar] = core.read_daily_bars(str(tmp_path / "x.day"), **{runtime_str("vol_coeff"): 3,
                                                            runtime_str("price_coeff"): 2})
    assert (bar["open"], bar["volume"]) == (200.0, 30.0)


def test_index_objects_convert():
    class Idx:
        def __index__(self):
            return 1
    with pytest.raises(ConnectionError, match="^Not connected$"):
        C.get_security_count(Idx())


def test_reentrant_call_is_refused():
    c = TdxClient()

    class Reenter:
        def __index__(self):
            return c.get_security_count(1)

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        c.get_security_count(Reenter())
    # The borrow is released on the failure path.
    with pytest.raises(ConnectionError, match="^Not connected$"):
        c.get_security_count(1)
