"""Shared timing helpers for the benchmarks.

Every case times the native function and a plain-Python implementation of
the same function in the same run, on the same inputs, and prints both with
their ratio. Times are the best of several repeats of a timed loop (the
minimum is the least noisy estimate on a shared machine).
"""

import time

ROW = "{:<44} {:>12} {:>12} {:>8}"


def best_time(fn, number, repeat=5):
    """Seconds per call of ``fn()``: the best of ``repeat`` loops of ``number``."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, time.perf_counter() - t0)
    return best / number


def fmt(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.3f} us"


def header(title, left="native", right="python"):
    print()
    print(title)
    print(ROW.format("case", left, right, right + "/" + left if len(right) < 7 else "ratio"))


def compare(name, native, python, number, repeat=5, right_label=None):
    """Time both callables and print one row; returns (native_s, python_s)."""
    a = native()
    b = python()
    if a != b:
        raise AssertionError(f"{name}: native and python results differ: {a!r} != {b!r}")
    tn = best_time(native, number, repeat)
    tp = best_time(python, number, repeat)
    print(ROW.format(name, fmt(tn), fmt(tp), f"{tp / tn:.1f}x"))
    return tn, tp
