"""Throws odd arguments at every public function and class of the native
modules. Run as a script (tests/test_crash_safety.py runs it in a child)."""

import importlib
import inspect
import random
import sys

from support.crash import run_calls, sweep

MODULES = [
    "quillon.gateways.qmt.symbols",
    "quillon.gateways.qmt.ashare_charges",
    "quillon.gateways.futu.hk_charges",
    "quillon.gateways.cqg.futures_charges",
    "quillon.gateways.qmt.kv_link",
    "quillon.gateways.qmt.kline_history",
    "quillon.core.candle_rollup",
]


def public_callables(module):
    for name, obj in vars(module).items():
        if name.startswith("__") or not callable(obj):
            continue
        if getattr(obj, "__module__", None) != module.__name__ and not inspect.isbuiltin(obj):
            continue
        if inspect.isbuiltin(obj) and getattr(obj, "__self__", None) is not module:
            continue
        yield obj


def module_calls(module_name):
    module = importlib.import_module(module_name)
    rng = random.Random(7)
    for fn in public_callables(module):
        yield lambda fn=fn: sweep(fn, rng)


if __name__ == "__main__":
    for name in sys.argv[1:] or MODULES:
        run_calls(module_calls(name))
