"""The word-at-a-time field readers the engine's bar decoder uses (src/protocol/packed_fields.hpp)
give what the byte readers give, checked by a small C++ program built from the sources."""
import os
import random
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_packed_fields_equal_the_byte_readers(tmp_path):
    exe = str(tmp_path / "packed_fields")
    sources = [os.path.join(ROOT, f) for f in ("tests/cpp/packed_fields.cpp",
                                               "src/protocol/fields.cpp")]
    subprocess.run(["g++", "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror",
                    "-I", os.path.join(ROOT, "src"), *sources, "-o", exe], check=True)
    seed = random.randrange(2**32)
    out = subprocess.run([exe, str(seed)], capture_output=True, text=True)
    assert (out.returncode, out.stdout) == (0, "ok\n"), f"seed {seed}: {out.stdout}"
