"""Keep freed memory in the process heap.

Answering a page builds numpy temporaries of a few hundred kilobytes. glibc serves blocks that
size with fresh mappings and gives them back to the system on every free, or trims the top of
the heap once that much lies free, so each request faulted in its pages anew: for a page of
60-minute bars that was three quarters of the server's CPU. Raising both thresholds lets the
blocks be reused; the heap keeps at most `RETAINED` bytes it does not use.
"""
import ctypes
import ctypes.util

RETAINED = 32 << 20
_M_TRIM_THRESHOLD = -1
_M_MMAP_THRESHOLD = -3


def retain_freed_memory() -> bool:
    """True if the C library took the settings (glibc); elsewhere nothing changes."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallopt = libc.mallopt
    except (OSError, AttributeError, TypeError):
        return False
    mallopt.argtypes, mallopt.restype = [ctypes.c_int, ctypes.c_int], ctypes.c_int
    return bool(mallopt(_M_TRIM_THRESHOLD, RETAINED)) and bool(mallopt(_M_MMAP_THRESHOLD, RETAINED))
