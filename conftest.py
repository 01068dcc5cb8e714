"""The README's and the documentation's examples, run as tests (Sybil).

Python blocks run in one namespace per page; blocks with ``>>>`` prompts are doctests whose
shown output must match. ``console`` blocks are shell sessions: each ``$ pelmora ...`` line runs
the command-line tool with the page's simulated server as the configured server
(``PELMORA_SERVERS``), in the page's folder ``cwd`` (a temporary one unless the page names
one), and what it prints must match the lines shown. A block preceded by a
``skip: next`` comment (examples meant for real servers) is shown but not run.
"""
import doctest
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

import pytest

try:
    from sybil import Sybil
    from sybil.parsers.myst import CodeBlockParser, PythonCodeBlockParser, SkipParser
except ModuleNotFoundError:  # the suite in tests/ still runs; the pages say what they need
    Sybil = None

FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE

# pytest puts this file's folder first on sys.path to import it. From a clone's root that folder
# holds pelmora's sources, without the built modules, which would hide the installed package:
# take it off again. (The tests find their helpers through tests/conftest.py's own folder.)
if sys.path and os.path.abspath(sys.path[0]) == os.path.dirname(os.path.abspath(__file__)):
    del sys.path[0]


def run_console(example):
    """Runs each ``$ pelmora ...`` line of a console block and compares its output."""
    server = example.namespace.get("server")
    env = dict(os.environ, COLUMNS="200")
    if env.get("PYTHONPATH"):  # a working tree on the path stays found from another folder
        paths = env["PYTHONPATH"].split(os.pathsep)
        env["PYTHONPATH"] = os.pathsep.join(map(os.path.abspath, paths))
    if server is not None:
        env["PELMORA_SERVERS"] = server.address
    checker = doctest.OutputChecker()
    command, expected = None, []
    for line in [*str(example.parsed).splitlines(), "$"]:
        if not line.startswith("$"):
            expected.append(line)
            continue
        if command is not None:
            argv = shlex.split(command)
            assert argv[0] == "pelmora", f"only pelmora commands run: {command}"
            if "cwd" not in example.namespace:
                example.namespace["cwd"] = tempfile.mkdtemp(prefix="pelmora-docs-")
            got = subprocess.run([sys.executable, "-m", "pelmora", *argv[1:]], env=env,
                                 cwd=example.namespace["cwd"], capture_output=True, text=True,
                                 timeout=60)
            want = "\n".join(expected).rstrip() + "\n"
            out = got.stdout + got.stderr
            if not checker.check_output(want, out, FLAGS):
                return f"$ {command}\nexpected:\n{want}got:\n{out}"
        command, expected = line[1:].strip(), []
    return None


def tear_down(namespace):
    """Stops a page's simulated server (when its examples failed before doing so) and removes
    its temporary folder."""
    server = namespace.get("server")
    if server is not None:
        server.stop()
    if "cwd" in namespace:
        shutil.rmtree(namespace["cwd"], ignore_errors=True)


class _NeedsSybil(pytest.File):
    def collect(self):
        raise ModuleNotFoundError("the examples of the README and the docs need sybil: "
                                  "pip install \".[test]\"")


def _needs_sybil(file_path, parent):
    if file_path.suffix == ".md":
        return _NeedsSybil.from_parent(parent, path=file_path)
    return None


pytest_collect_file = _needs_sybil if Sybil is None else Sybil(
    parsers=[
        PythonCodeBlockParser(doctest_optionflags=FLAGS),
        CodeBlockParser("console", run_console),
        SkipParser(),
    ],
    patterns=["README.md", "docs/*.md", "docs/*/*.md"],
    teardown=tear_down,
).pytest()
