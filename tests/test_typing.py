"""The type stubs, checked by mypy over typed use and over misuse it must reject."""
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
HERE = pathlib.Path(__file__).parent / "typing"


def mypy(path, tmp_path, *flags):
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path), *flags, str(path)],
                          capture_output=True, text=True)


def test_typed_use_checks_clean(tmp_path):
    out = mypy(HERE / "usage.py", tmp_path, "--strict")
    assert out.returncode == 0, out.stdout


def test_misuse_is_rejected_line_by_line(tmp_path):
    source = (HERE / "errors.py").read_text().splitlines()
    expected = {i for i, line in enumerate(source, 1) if line.endswith("# E")}
    out = mypy(HERE / "errors.py", tmp_path)
    flagged = {int(line.split(":")[1]) for line in out.stdout.splitlines() if ": error:" in line}
    assert flagged == expected, out.stdout


def test_simulated_server_package_checks_clean(tmp_path):
    out = mypy(HERE.parent.parent / "pelmora" / "testing", tmp_path)
    assert out.returncode == 0, out.stdout
