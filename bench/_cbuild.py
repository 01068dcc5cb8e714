"""Compile a small C extension of the benchmarks (the "floor" references) and import it.

The floors are measured in the same run as pelmora, built with the same compiler and -O2, so
that the ratio compares only the work done, not the toolchain.
"""

import importlib.util
import os
import subprocess
import sys
import sysconfig
import tempfile


def build(source_path: str, module_name: str):
    """Compile `source_path` (C) into extension `module_name` in a temp dir and import it."""
    out_dir = tempfile.mkdtemp(prefix="pelmora-bench-")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = os.path.join(out_dir, module_name + suffix)
    cmd = [
        os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC",
        "-I" + sysconfig.get_paths()["include"], source_path, "-o", target,
    ]
    subprocess.run(cmd, check=True)
    found = importlib.util.spec_from_file_location(module_name, target)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    sys.modules[module_name] = module
    return module
