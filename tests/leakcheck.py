"""The leak measure of the leak tests: the interpreter's allocated blocks, the open descriptors
and the threads of the process, before and after many calls."""
import gc
import os
import sys


def handles():
    """(open descriptors, threads) of this process."""
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))


def assert_flat(run, rounds, warm, allowance):
    """`run(n)` makes n calls: `warm` of them fill caches first (interned names, method
    wrappers, pandas' own), then `rounds` of them may leave fewer than `allowance` blocks more
    and no descriptor or thread more."""
    run(warm)
    gc.collect()
    blocks, before = sys.getallocatedblocks(), handles()
    run(rounds)
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    assert grown < allowance, f"{grown} blocks more after {rounds} calls"
    assert handles() == before
