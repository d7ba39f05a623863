"""The leak check used across the suite must itself catch a leak."""

import pytest

from support.leaks import assert_no_leak


def test_detects_growth_and_accepts_steady_calls():
    kept = []
    with pytest.raises(AssertionError, match="memory grew"):
        assert_no_leak(lambda: kept.append(bytearray(64)), calls=2000)
    assert_no_leak(lambda: bytearray(64))
