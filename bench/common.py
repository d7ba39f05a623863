"""Shared timing helpers for the benchmarks.

Every case times the native function and a plain-Python implementation of
the same function in the same run, on the same inputs, and prints both with
their ratio. A time is the best of several repeats of a timed loop that
calls the function directly (no wrapper lambda, which would add the same
constant to both sides and hide the ratio).
"""

import timeit

ROW = "{:<46} {:>12} {:>12} {:>8}"


def best_time(fn, args=(), number=10_000, repeat=5):
    """Seconds per call of ``fn(*args)``: the best of ``repeat`` loops."""
    names = [f"a{i}" for i in range(len(args))]
    env = dict(zip(names, args), fn=fn)
    timer = timeit.Timer(f"fn({', '.join(names)})", globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def fmt(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.3f} us"


def header(title, left="native", right="python"):
    print()
    print(title)
    print(ROW.format("case", left, right, "ratio"))


def row(name, left_s, right_s):
    print(ROW.format(name, fmt(left_s), fmt(right_s), f"{right_s / left_s:.1f}x"), flush=True)


def compare(name, native, python, args=(), number=10_000, repeat=5, check=None):
    """Time ``native(*args)`` and ``python(*args)``; print one row.

    ``check`` turns a result into something comparable (default: the result
    itself); the two implementations must agree before they are timed.
    """
    check = check or (lambda r: r)
    a, b = check(native(*args)), check(python(*args))
    if a != b:
        raise AssertionError(f"{name}: native and python results differ: {a!r} != {b!r}")
    tn = best_time(native, args, number, repeat)
    tp = best_time(python, args, number, repeat)
    row(name, tn, tp)
    return tn, tp
