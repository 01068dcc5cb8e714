"""Timing contenders in rotation, so that drift of a busy machine hits all of them alike."""

import gc
import statistics
import time


def time_rounds(contenders, rounds, clock=time.perf_counter_ns):
    """Elapsed ns of each contender in each round, garbage collector off."""
    samples = {name: [] for name in contenders}
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            for name, call in contenders.items():
                start = clock()
                result = call()
                elapsed = clock() - start
                del result
                samples[name].append(elapsed)
    finally:
        gc.enable()
    return samples


def paired_ratio(samples, num, den):
    """Median of the per-round ratios num / den: steadier than a ratio of medians."""
    return statistics.median(a / b for a, b in zip(samples[num], samples[den]))
