"""The type stubs, checked by mypy over typed use and over misuse it must reject."""
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
HERE = pathlib.Path(__file__).parent / "typing"
ROOT = HERE.parents[1]


def mypy(targets, tmp_path, *flags):
    """mypy with the project's settings, run from an empty folder: `pelmora` is the installed
    package, never a source folder that happens to be the working directory."""
    return subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
                           "--cache-dir", str(tmp_path / "cache"), *flags, *map(str, targets)],
                          capture_output=True, text=True, cwd=tmp_path)


def test_typed_packages_check_clean(tmp_path):
    out = mypy(["-p", "pelmora"], tmp_path, "--strict")
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

