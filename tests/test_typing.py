"""The type stubs, checked by mypy over typed use and over misuse it must reject."""
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
HERE = pathlib.Path(__file__).parent / "typing"
ROOT = HERE.parents[1]
# The annotated parts of the package, checked strictly.
TYPED = [
    "pelmora/__init__.py",
    "pelmora/__main__.py",
    "pelmora/_missing_core.py",
    "pelmora/_version.py",
    "pelmora/exceptions.py",
    "pelmora/limits.py",
    "pelmora/records.py",
    "pelmora/servers.py",
    "pelmora/symbols.py",
    "pelmora/cli",
    "pelmora/testing",
    "pelmora/hq.py",
    "pelmora/frames.py",
    "pelmora/adjust.py",
    "pelmora/config.py",
    "pelmora/local_files.py",
    "pelmora/tables.py",
    "pelmora/securities.py",
    "pelmora/corporate.py",
    "pelmora/quotes.py",
    "pelmora/intraday.py",
    "pelmora/adjusted.py",
    "pelmora/store",
]


def mypy(paths, tmp_path, *flags):
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path), *flags,
                           *map(str, paths)], capture_output=True, text=True, cwd=ROOT)


def test_typed_packages_check_clean(tmp_path):
    out = mypy(TYPED, tmp_path, "--strict", "--follow-imports=silent")
    assert out.returncode == 0, out.stdout


def test_typed_use_checks_clean(tmp_path):
    out = mypy([HERE / "usage.py"], tmp_path, "--strict")
    assert out.returncode == 0, out.stdout


def test_misuse_is_rejected_line_by_line(tmp_path):
    source = (HERE / "errors.py").read_text().splitlines()
    expected = {i for i, line in enumerate(source, 1) if line.endswith("# E")}
    out = mypy([HERE / "errors.py"], tmp_path)
    flagged = {int(line.split(":")[1]) for line in out.stdout.splitlines() if ": error:" in line}
    assert flagged == expected, out.stdout

