"""Plain-Python history helpers, step for step as the native module does them."""

from datetime import datetime

from quillon.core.data import Bar
from quillon.core.utility import try_parsing_datetime

FREQ_TO_QMT_PERIOD = {"1Day": "1d", "1Min": "1m"}
DEFAULT_MAX_COUNT = {"1Day": 5000, "1Min": 1000}
_QMT_TIME_FORMATS = ("%Y%m%d%H%M%S", "%Y-%m-%d %H:%M:%S", "%Y%m%d", "%Y-%m-%d")
_TIME_KEYS = ("time", "datetime", "index", "bar_time", "stime")
_OPEN = ("open", "open_price")
_HIGH = ("high", "high_price")
_LOW = ("low", "low_price")
_CLOSE = ("close", "close_price", "last")
_VOLUME = ("volume", "vol")


def _exact_str(value, name):
    if type(value) is not str:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"
        )
    return value


def qmt_period_for_freq(freq):
    _exact_str(freq, "freq")
    period = FREQ_TO_QMT_PERIOD.get(freq)
    if not period:
        allowed = ", ".join(sorted(FREQ_TO_QMT_PERIOD))
        raise ValueError(f"freq={freq!r} is not supported. Allowed: {allowed}")
    return period


def clamp_periods(freq, periods, max_count=None):
    _exact_str(freq, "freq")
    periods = int(periods)
    if max_count is not None:
        max_count = int(max_count)
    if periods <= 0:
        raise ValueError(f"periods must be a positive int, got {periods!r}")
    cap = max_count if max_count is not None else DEFAULT_MAX_COUNT.get(freq, 1000)
    return min(periods, int(cap))


def parse_qmt_bar_time(value):
    if isinstance(value, datetime):
        return value
    if value is None:
        return datetime.now()
    text = str(value).strip()
    if not text:
        return datetime.now()
    for fmt in _QMT_TIME_FORMATS:
        try:
            return datetime.strptime(text, fmt)
        except ValueError:
            continue
    return try_parsing_datetime(text)


def _row_number(row, keys, default=0.0):
    lower = {str(k).lower(): v for k, v in row.items()}
    for key in keys:
        value = lower.get(key)
        if value is None:
            continue
        try:
            return float(value)
        except (TypeError, ValueError, OverflowError):
            continue
    return float(default)


def is_placeholder_bar(bar):
    for value in (bar.open, bar.high, bar.low, bar.close, bar.volume):
        if value and float(value) != 0:
            return False
    return True


def records_to_bars(records, security, drop_placeholders=True):
    out = []
    if not records:
        return out
    for row in records:
        if not isinstance(row, dict):
            continue
        t = None
        for key in _TIME_KEYS:
            t = row.get(key)
            if t is not None:
                break
            for k, v in row.items():
                if str(k).lower() == key and v is not None:
                    t = v
                    break
            if t is not None:
                break
        bar = Bar(
            datetime=parse_qmt_bar_time(t),
            security=security,
            open=_row_number(row, _OPEN),
            high=_row_number(row, _HIGH),
            low=_row_number(row, _LOW),
            close=_row_number(row, _CLOSE),
            volume=_row_number(row, _VOLUME),
        )
        if drop_placeholders and is_placeholder_bar(bar):
            continue
        out.append(bar)
    return out
