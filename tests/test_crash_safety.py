"""Odd arguments never crash the interpreter (run in a child process)."""

from pathlib import Path

import pytest

from crash_sweep import MODULES
from support.crash import assert_child_ok


@pytest.mark.parametrize("module", MODULES)
def test_odd_arguments_do_not_crash(module):
    assert_child_ok(Path(__file__).with_name("crash_sweep.py"), module, timeout=300)
