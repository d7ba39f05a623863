"""Odd arguments never crash the interpreter (run in a child process)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from crash_sweep import MODULES


@pytest.mark.parametrize("module", MODULES)
def test_odd_arguments_do_not_crash(module):
    script = Path(__file__).with_name("crash_sweep.py")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, str(script), module], capture_output=True, text=True, env=env,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
