"""Plain-Python bar-frequency grammar and N-minute aggregation, step for step
as the native module does them (the benchmarks' baseline and the tests'
oracle)."""

import re
from datetime import timedelta

import pandas as pd

from quillon.core.data import Bar

AGGREGATABLE_NMIN = (2, 3, 5, 10, 15, 20, 30, 60)
_FREQ_RE = re.compile(r"^\s*(\d+)\s*(min|m|mins|minutes|day|d|days)\s*$", re.IGNORECASE)


def _exact_str(value, name):
    if type(value) is not str:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"
        )
    return value


def _int_arg(value, name):
    # Numbers only, converted as int() does (text is not a number here).
    if isinstance(value, (str, bytes, bytearray)) or not (
            isinstance(value, (int, float)) or hasattr(type(value), "__int__") or hasattr(type(value), "__index__")):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected int, got {type(value).__name__})"
        )
    return int(value)


def _float_arg(value, name):
    if isinstance(value, (str, bytes, bytearray)) or not (
            isinstance(value, (int, float)) or hasattr(type(value), "__float__") or hasattr(type(value), "__index__")):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected float, got {type(value).__name__})"
        )
    return float(value)


# ---- frequency grammar -------------------------------------------------------


def parse_bar_freq(freq):
    _exact_str(freq, "freq")
    if freq == "":
        raise ValueError(f"freq={freq!r} is not a valid bar frequency")
    m = _FREQ_RE.match(freq)
    if not m:
        raise ValueError(
            f"freq={freq!r} is not supported. Use forms like '1Min', '5Min', '15min', or '1Day'."
        )
    n = int(m.group(1))
    if m.group(2).lower().startswith("d"):
        return ("day", n)
    return ("min", n)


def try_parse_aggregatable_nmin(freq):
    try:
        unit, n = parse_bar_freq(freq)
    except ValueError:
        return None
    if unit != "min" or n <= 1:
        return None
    return n if n in AGGREGATABLE_NMIN else None


def is_nmin_aggregatable(freq):
    return try_parse_aggregatable_nmin(freq) is not None


def to_backtest_interval(freq):
    unit, n = parse_bar_freq(freq)
    return f"{n}day" if unit == "day" else f"{n}min"


# ---- bar lists -----------------------------------------------------------------


def _bucket_start(dt, n_min):
    n_min = _int_arg(n_min, "n_min")
    total = dt.hour * 60 + dt.minute
    floored = (total // n_min) * n_min
    return dt.replace(hour=floored // 60, minute=floored % 60, second=0, microsecond=0)


def _merge_bucket(bars, bar_convention):
    _exact_str(bar_convention, "bar_convention")
    first = bars[0]
    last = bars[-1]
    kwargs = dict(
        datetime=first.datetime if bar_convention == "start" else last.datetime,
        security=first.security,
        open=first.open,
        high=max(b.high for b in bars),
        low=min(b.low for b in bars),
        close=last.close,
        volume=sum(b.volume for b in bars),
    )
    num_trds = [getattr(b, "num_trds", 0) for b in bars]
    if any(num_trds):
        kwargs["num_trds"] = sum(x or 0 for x in num_trds)
    value = [getattr(b, "value", 0) for b in bars]
    if any(value):
        kwargs["value"] = sum(x or 0 for x in value)
    return Bar(**kwargs)


def aggregate_1min_bars(bars, n_min, *, require_full=True, bar_convention="end", max_gap_minutes=1.5):
    n_min = _int_arg(n_min, "n_min")
    _exact_str(bar_convention, "bar_convention")
    max_gap_minutes = _float_arg(max_gap_minutes, "max_gap_minutes")
    if n_min <= 1:
        raise ValueError(f"n_min must be > 1, got {n_min}")
    if n_min not in AGGREGATABLE_NMIN:
        allowed = ", ".join(str(x) for x in AGGREGATABLE_NMIN)
        raise ValueError(f"n_min={n_min} is not supported. Allowed: {allowed}")
    if not bars:
        return []
    ordered = sorted(bars, key=lambda b: b.datetime)
    max_gap = timedelta(minutes=max_gap_minutes)
    out = []
    bucket = []
    bucket_key = None

    def flush():
        nonlocal bucket, bucket_key
        if not bucket:
            return
        if not require_full or len(bucket) >= n_min:
            out.append(_merge_bucket(bucket, bar_convention))
        bucket = []
        bucket_key = None

    for bar in ordered:
        key = _bucket_start(bar.datetime, n_min)
        if bucket:
            gap = bar.datetime - bucket[-1].datetime
            if gap > max_gap or key != bucket_key:
                flush()
        if not bucket:
            bucket_key = key
        bucket.append(bar)
    flush()
    return out


# ---- tables ----------------------------------------------------------------------


def aggregate_1min_ohlcv_df(df, n_min, *, require_full=True, bar_convention="end", max_gap_minutes=1.5,
                            time_col="time_key"):
    """Aggregate a 1-min OHLCV DataFrame into N-min rows (same columns kept)."""
    n_min = _int_arg(n_min, "n_min")
    _exact_str(bar_convention, "bar_convention")
    max_gap_minutes = _float_arg(max_gap_minutes, "max_gap_minutes")
    _exact_str(time_col, "time_col")
    if df is None:
        return pd.DataFrame()
    if df.empty:
        return df.copy()
    if n_min <= 1:
        return df.copy()

    # Rows are put in order of their converted times, and stably: time texts
    # need not sort as text, and equal times keep their input order.
    times = pd.to_datetime(df[time_col]).reset_index(drop=True)
    order = times.sort_values(kind="stable").index
    work = df.iloc[order].reset_index(drop=True)
    times = times.iloc[order].reset_index(drop=True)

    max_gap = timedelta(minutes=max_gap_minutes)
    rows = []
    start_i = 0
    bucket_key = _bucket_start(times[0].to_pydatetime(), n_min)

    def emit(i0, i1):
        chunk = work.iloc[i0:i1]
        if chunk.empty:
            return
        if require_full and len(chunk) < n_min:
            return
        first = chunk.iloc[0]
        last = chunk.iloc[-1]
        row = dict(first)
        row[time_col] = (first if bar_convention == "start" else last)[time_col]
        row["open"] = first["open"]
        row["high"] = chunk["high"].max()
        row["low"] = chunk["low"].min()
        row["close"] = last["close"]
        row["volume"] = chunk["volume"].sum()
        if "num_trds" in work.columns:
            row["num_trds"] = chunk["num_trds"].fillna(0).sum()
        if "value" in work.columns:
            row["value"] = chunk["value"].fillna(0).sum()
        rows.append(row)

    for i in range(1, len(work)):
        t = times[i].to_pydatetime()
        key = _bucket_start(t, n_min)
        gap = t - times[i - 1].to_pydatetime()
        if gap > max_gap or key != bucket_key:
            emit(start_i, i)
            start_i = i
            bucket_key = key
    emit(start_i, len(work))

    if not rows:
        return work.iloc[0:0].copy()
    out = pd.DataFrame(rows)
    out = out.assign(**{time_col: pd.to_datetime(out[time_col])})
    cols = [time_col] + [c for c in out.columns if c != time_col]
    return out[cols].reset_index(drop=True)


# ---- fetch orchestration ---------------------------------------------------------


def fetch_aggregated_nmin_bars(*, n_min, periods, fetch_1min, bar_convention="end"):
    n_min = _int_arg(n_min, "n_min")
    periods = _int_arg(periods, "periods")
    _exact_str(bar_convention, "bar_convention")
    if periods <= 0:
        raise ValueError(f"periods must be > 0, got {periods}")
    fetch_count = periods * n_min + n_min
    bars_1m = fetch_1min(fetch_count) or []
    aggregated = aggregate_1min_bars(bars_1m, n_min, require_full=True, bar_convention=bar_convention)
    if len(aggregated) < periods:
        raise ValueError(
            f"Not enough aggregated {n_min}Min bars: need {periods}, got {len(aggregated)} "
            f"from {len(bars_1m)} 1Min bars."
        )
    return aggregated[-periods:]


def maybe_req_aggregated_nmin(freq, periods, fetch_1min, bar_convention="end"):
    _exact_str(freq, "freq")
    periods = _int_arg(periods, "periods")
    _exact_str(bar_convention, "bar_convention")
    n = try_parse_aggregatable_nmin(freq)
    if n is None:
        return None
    return fetch_aggregated_nmin_bars(n_min=n, periods=periods, fetch_1min=fetch_1min,
                                      bar_convention=bar_convention)
