"""The old home of HQ's adjusted bars (now `pelmora.hq.adjusted`): the check of a method's
name, importable from here as before."""
from .methods import check_method

__all__ = ["check_method"]
