"""Throws odd arguments at every public function and class of the native
modules. Run as a script (the test runs it in a child process, so a crash
is reported as a failure instead of killing the test run)."""

import faulthandler
import importlib
import inspect
import itertools
import math
import random
import sys

MODULES = [
    "quillon.gateways.qmt.symbols",
    "quillon.gateways.qmt.ashare_charges",
    "quillon.gateways.futu.hk_charges",
    "quillon.gateways.cqg.futures_charges",
    "quillon.gateways.qmt.kv_link",
    "quillon.gateways.qmt.kline_history",
    "quillon.core.candle_rollup",
]


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


def public_callables(module):
    for name, obj in vars(module).items():
        if name.startswith("__") or not callable(obj):
            continue
        if getattr(obj, "__module__", None) != module.__name__ and not inspect.isbuiltin(obj):
            continue
        if inspect.isbuiltin(obj) and getattr(obj, "__self__", None) is not module:
            continue
        yield name, obj


def attempt(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except Exception:
        pass


def sweep(module_name):
    module = importlib.import_module(module_name)
    rng = random.Random(7)
    calls = 0
    for name, fn in public_callables(module):
        try:
            params = list(inspect.signature(fn).parameters)
        except (TypeError, ValueError):
            params = []
        for n in range(3):
            for args in itertools.product(ODD, repeat=n):
                attempt(fn, args, {})
                calls += 1
        for _ in range(400):
            args = rng.choices(ODD, k=rng.randint(0, 5))
            kwargs = {p: rng.choice(ODD) for p in rng.sample(params, k=min(len(params), rng.randint(0, 3)))}
            if rng.random() < 0.3:
                kwargs[rng.choice(["bogus", "x" * 300])] = None
            attempt(fn, args, kwargs)
            calls += 1
    return calls


def main():
    faulthandler.enable()
    for name in sys.argv[1:] or MODULES:
        print(name, sweep(name), "calls", flush=True)


if __name__ == "__main__":
    main()
