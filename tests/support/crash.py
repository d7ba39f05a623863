"""Crash sweeps: odd values, a loop that throws them at callables, and a
runner that executes a sweep script in a child process, so a crash shows as
a failed test instead of killing the test run."""

import faulthandler
import inspect
import itertools
import math
import os
import subprocess
import sys
import warnings


class OddStr(str):
    pass


class Hostile:
    """Every protocol it has raises."""

    def __getattr__(self, name):
        raise RuntimeError("hostile " + name)

    def __eq__(self, other):
        raise RuntimeError("hostile ==")

    def __hash__(self):
        raise RuntimeError("hostile hash")

    def __bool__(self):
        raise RuntimeError("hostile bool")

    def __index__(self):
        raise RuntimeError("hostile index")

    def __float__(self):
        raise RuntimeError("hostile float")


ODD = [None, b"SH.600000", OddStr("5Min"), 10**100, -(10**100), math.nan, math.inf, -1.5, 0, True, "",
       "SH.600000", "5Min", [], [[None]], {}, {"a": {"b": [1]}}, (1, 2), object(), Hostile(), "\ud800"]


def attempt(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except Exception:
        pass


def sweep(fn, rng, values=ODD, rounds=400, max_positional=2):
    """Every combination of up to ``max_positional`` odd positionals, then
    ``rounds`` random mixes of positionals and keywords (real parameter names
    and unknown ones). Returns the number of calls made."""
    try:
        params = list(inspect.signature(fn).parameters)
    except (TypeError, ValueError):
        params = []
    calls = 0
    for n in range(max_positional + 1):
        for args in itertools.product(values, repeat=n):
            attempt(fn, args, {})
            calls += 1
    for _ in range(rounds):
        args = rng.choices(values, k=rng.randint(0, 5))
        kwargs = {p: rng.choice(values) for p in rng.sample(params, k=min(len(params), rng.randint(0, 3)))}
        if rng.random() < 0.3:
            kwargs[rng.choice(["bogus", "x" * 300])] = None
        attempt(fn, args, kwargs)
        calls += 1
    return calls


def run_calls(calls):
    """The body of a sweep script: runs each zero-argument callable, ignoring
    its exceptions and warnings, and prints the count."""
    faulthandler.enable()
    warnings.simplefilter("ignore")
    count = 0
    for call in calls:
        attempt(call, (), {})
        count += 1
    print(count, "calls", flush=True)


def assert_child_ok(script, *args, timeout=600):
    """Runs ``script`` with this interpreter and sys.path; fails unless it
    exits cleanly after printing its call count."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, str(script), *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=timeout)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert proc.stdout.rstrip().endswith(" calls"), proc.stdout[-3000:]
