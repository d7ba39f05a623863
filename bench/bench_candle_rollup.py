"""Bar-frequency grammar and N-minute aggregation: native module against the
plain-Python version, a native floor and pandas' own resampling."""

import random
import time
from datetime import datetime, timedelta

import numpy as np
import pandas as pd
import py_candle_rollup as py
from common import ROW, best_time, compare, fmt, header, row
from pandas.testing import assert_frame_equal

from quillon.core import candle_rollup as native
from quillon.core.data import Bar

SECURITIES = ("SH.600000", "SZ.000001", "SH.601318", "SZ.300750")
BARS_PER_SECURITY = 50_000


def session_minutes(day):
    """The minutes of one A-share trading day: 09:30-11:29 and 13:00-14:59."""
    for start in (day.replace(hour=9, minute=30), day.replace(hour=13, minute=0)):
        for i in range(120):
            yield start + timedelta(minutes=i)


def bar_lists(seed=7):
    """One list of one-minute bars per security, each over whole trading days."""
    rnd = random.Random(seed)
    out = []
    for code in SECURITIES:
        bars, day, price = [], datetime(2024, 1, 2), 10.0
        while len(bars) < BARS_PER_SECURITY:
            if day.weekday() < 5:
                for t in session_minutes(day):
                    o = price
                    price = round(price + rnd.uniform(-0.02, 0.02), 2)
                    bars.append(Bar(datetime=t, security=code, open=o, high=max(o, price) + 0.01,
                                    low=min(o, price) - 0.01, close=price, volume=rnd.randrange(100, 100_000),
                                    num_trds=rnd.randrange(1, 500), value=round(price * 1000, 2)))
            day += timedelta(days=1)
        out.append(bars[:BARS_PER_SECURITY])
    return out


def minute_table(rows, time_as_text, seed=7):
    """A one-minute OHLCV table of one security, as a broker's history API returns it."""
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2024-01-02", periods=rows // 240 + 1)
    times = pd.DatetimeIndex([t for d in days for t in session_minutes(d.to_pydatetime())][:rows])
    close = 10 + np.round(rng.normal(0, 0.02, rows).cumsum(), 2)
    df = pd.DataFrame({
        "code": "SH.600000",
        "time_key": times.strftime("%Y-%m-%d %H:%M:%S") if time_as_text else times,
        "open": close - 0.01, "high": close + 0.02, "low": close - 0.02, "close": close,
        "volume": rng.integers(100, 100_000, rows), "turnover": np.round(close * 1000, 2),
        "change_rate": rng.normal(0, 0.1, rows), "last_close": close - 0.01,
    })
    return df


def resample(df, n_min):
    indexed = df.set_index(pd.to_datetime(df["time_key"]))
    return indexed.resample(f"{n_min}min").agg({
        "code": "first", "open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum",
        "turnover": "sum", "change_rate": "first", "last_close": "first",
    })


def fields(bars):
    return [(b.datetime, b.security, b.open, b.high, b.low, b.close, b.volume, b.num_trds, b.value) for b in bars]


def each(fn):
    def run(lists, n_min):
        return [fn(bars, n_min) for bars in lists]
    return run


def main():
    header("candle_rollup frequencies (per call)")
    for freq in ("5Min", " 15 minutes ", "1Day", "\u0665min"):
        compare(f"parse_bar_freq({freq!r})", native.parse_bar_freq, py.parse_bar_freq, (freq,), 200_000)
    # A refused text raises: both sides are timed through the same catcher.
    compare("parse_bar_freq('1h') (ValueError)", lambda f: _outcome(native.parse_bar_freq, f),
            lambda f: _outcome(py.parse_bar_freq, f), ("1h",), 50_000)
    for freq in ("5Min", "1Min", "7Min", "1Day", "1h", "60m"):
        compare(f"is_nmin_aggregatable({freq!r})", native.is_nmin_aggregatable, py.is_nmin_aggregatable,
                (freq,), 200_000)
    compare("try_parse_aggregatable_nmin('30Min')", native.try_parse_aggregatable_nmin,
            py.try_parse_aggregatable_nmin, ("30Min",), 200_000)
    compare("to_backtest_interval('5Min')", native.to_backtest_interval, py.to_backtest_interval, ("5Min",), 200_000)

    lists = bar_lists()
    total = sum(map(len, lists))
    header(f"aggregate_1min_bars ({total:,} one-minute bars, {len(lists)} securities)", "native", "other")
    for n_min in (5, 30):
        got = each(native.aggregate_1min_bars)(lists, n_min)
        want = each(py.aggregate_1min_bars)(lists, n_min)
        if [fields(b) for b in got] != [fields(b) for b in want]:
            raise AssertionError(f"aggregate_1min_bars N={n_min}: native and python results differ")
        t_native = best_time(each(native.aggregate_1min_bars), (lists, n_min), 1, 7)
        t_floor = best_time(each(native._read_floor), (lists, n_min), 1, 7)
        t_python = best_time(each(py.aggregate_1min_bars), (lists, n_min), 1, 3)
        # The floor is the smaller time here, so its column reads the other way.
        print(ROW.format(f"N={n_min}: floor (reads, one Bar per N bars)", fmt(t_native), fmt(t_floor),
                         f"{t_native / t_floor:.2f}x of floor"), flush=True)
        row(f"N={n_min}: plain Python", t_native, t_python)

    for time_as_text in (False, True):
        df = minute_table(200_000, time_as_text)
        label = "text" if time_as_text else "datetime64"
        header(f"aggregate_1min_ohlcv_df ({len(df):,} rows, time column as {label})", "native", "other")
        for n_min in (5, 30):
            got = native.aggregate_1min_ohlcv_df(df, n_min)
            t0 = time.perf_counter()
            want = py.aggregate_1min_ohlcv_df(df, n_min)
            t_steps = time.perf_counter() - t0
            assert_frame_equal(got, want, check_exact=True)
            t_native = best_time(native.aggregate_1min_ohlcv_df, (df, n_min), 1, 7)
            t_resample = best_time(resample, (df, n_min), 1, 7)
            row(f"N={n_min}: step-by-step pandas (1 run)", t_native, t_steps)
            row(f"N={n_min}: resample(...).agg({{...}})", t_native, t_resample)


def _outcome(fn, freq):
    try:
        return fn(freq)
    except ValueError as exc:
        return str(exc)


if __name__ == "__main__":
    main()
