"""What this installation of pelmora is, in one line for bug reports."""
import platform

from ._version import __version__

__all__ = ["build_info"]


def build_info() -> str:
    """pelmora's version, the Python that runs it and the inflater its engine was built with,
    for example ``pelmora 0.2.0 (CPython 3.11.7, inflate: libdeflate 1.14)``. ``pelmora
    --version`` prints the same line."""
    from ._engine import INFLATER
    python = f"{platform.python_implementation()} {platform.python_version()}"
    return f"pelmora {__version__} ({python}, inflate: {INFLATER})"
