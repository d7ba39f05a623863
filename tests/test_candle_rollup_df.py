"""candle_rollup.aggregate_1min_ohlcv_df against the step-by-step pandas version."""

import warnings
from datetime import timedelta, timezone

import numpy as np
import pandas as pd
import py_candle_rollup as ref
import pytest
import pytz
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pandas.testing import assert_frame_equal
from support.leaks import assert_no_leak

from quillon.core import candle_rollup as cr

agg = cr.aggregate_1min_ohlcv_df


def table(times, **columns):
    n = len(times)
    base = {"time_key": times, "open": np.arange(n, dtype=float) + 10, "high": np.arange(n, dtype=float) + 11,
            "low": np.arange(n, dtype=float) + 9, "close": np.arange(n, dtype=float) + 10.5,
            "volume": np.arange(n, dtype=np.int64) * 10 + 100}
    base.update(columns)
    return pd.DataFrame(base)


def minute_texts(start="2024-01-02 09:30", count=10):
    return list(pd.date_range(start, periods=count, freq="min").strftime("%Y-%m-%d %H:%M:%S"))


def same_as_reference(df, n, **kwargs):
    got = agg(df, n, **kwargs)
    assert_frame_equal(got, ref.aggregate_1min_ohlcv_df(df, n, **kwargs), check_exact=True)
    return got


def test_ten_minutes_into_two_rows():
    df = table(minute_texts())
    out = same_as_reference(df, 5)
    assert list(out["time_key"]) == [pd.Timestamp("2024-01-02 09:34"), pd.Timestamp("2024-01-02 09:39")]
    assert list(out.columns) == list(df.columns)
    assert out.loc[0, ["open", "high", "low", "close", "volume"]].tolist() == [10.0, 15.0, 9.0, 14.5, 600]
    start = same_as_reference(df, 5, bar_convention="start")
    assert list(start["time_key"].dt.minute) == [30, 35]


def test_counts_and_extra_columns():
    df = table(minute_texts(), num_trds=[np.nan] * 10, code=[f"C{i}" for i in range(10)])
    out = same_as_reference(df, 5)
    assert list(out["num_trds"]) == [0.0, 0.0]
    assert list(out["code"]) == ["C0", "C5"]          # each bucket's first row
    assert "value" not in out and "num_trds" not in same_as_reference(table(minute_texts()), 5)


def test_any_size_from_two_up():
    df = table(minute_texts("2024-01-02 09:27", 14))
    out = same_as_reference(df, 7, bar_convention="start")   # windows from midnight: 09:27, 09:34
    assert list(out["time_key"].dt.minute) == [27, 34]


def test_time_column_first_and_fresh_index():
    df = table(minute_texts()).iloc[:, ::-1].set_axis(range(100, 110))
    before = df.copy()
    out = same_as_reference(df, 5)
    assert out.columns[0] == "time_key" and list(out.index) == [0, 1]
    assert_frame_equal(df, before)


def test_no_table_and_no_work():
    assert_frame_equal(agg(None, 5), pd.DataFrame())
    df = table(minute_texts())
    for n in (1, 0, -5, 1.9):
        out = agg(df, n)
        assert out is not df
        assert_frame_equal(out, df)
    empty = df.iloc[0:0]
    assert_frame_equal(agg(empty, 5), empty)
    # Only short buckets: an empty table with the sorted table's columns.
    short = table(minute_texts(count=3)).set_axis(["a", "b", "c"])
    out = same_as_reference(short, 5)
    assert out.empty and list(out.columns) == list(short.columns) and isinstance(out.index, pd.RangeIndex)


@pytest.mark.parametrize("missing", ["open", "high", "low", "close", "volume"])
def test_missing_column(missing):
    df = table(minute_texts()).drop(columns=missing)
    with pytest.raises(KeyError) as info:
        agg(df, 5)
    assert info.value.args == (missing,)
    with pytest.raises(KeyError) as want:
        ref.aggregate_1min_ohlcv_df(df, 5)
    assert want.value.args == info.value.args
    # Nothing emitted, nothing read: no error.
    assert agg(df.iloc[:3], 5).empty


def test_missing_time_column_and_unparsable_times():
    with pytest.raises(KeyError):
        agg(table(minute_texts()), 5, time_col="when")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pandas' own note on guessing a format
        with pytest.raises((ValueError, TypeError)):
            agg(table(["not a time"] * 3), 5)


@pytest.mark.parametrize("call, message", [
    (lambda: agg({"time_key": []}, 5), "Argument 'df' has incorrect type (expected DataFrame, got dict)"),
    (lambda: agg(None, "5"), "Argument 'n_min' has incorrect type (expected int, got str)"),
    (lambda: agg(None, 5, time_col=None), "Argument 'time_col' has incorrect type (expected str, got NoneType)"),
    (lambda: agg(None, 5, bar_convention=b"end"), "Argument 'bar_convention' has incorrect type (expected str, got bytes)"),
    (lambda: agg(None, 5, max_gap_minutes=[]), "Argument 'max_gap_minutes' has incorrect type (expected float, got list)"),
    (lambda: agg(None, 5, False), "aggregate_1min_ohlcv_df() takes exactly 2 positional arguments (3 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_times_sort_as_times_not_as_text():
    # As text "2024/1/2 10:00" sorts before "2024/1/2 9:35".
    texts = [f"2024/1/2 9:{m}" for m in range(55, 60)] + [f"2024/1/2 10:0{m}" for m in range(5)]
    df = table(texts)
    out = same_as_reference(df, 5, bar_convention="start")
    assert list(out["time_key"].dt.strftime("%H:%M")) == ["09:55", "10:00"]
    assert list(out["open"]) == [10.0, 15.0]


def test_equal_times_keep_input_order():
    texts = ["2024-01-02 09:30:00"] * 3 + minute_texts("2024-01-02 09:31", 4)
    df = table(texts, tag=["first", "second", "third"] + ["x"] * 4)
    for _ in range(3):
        out = same_as_reference(df, 5, bar_convention="start")
        assert (out.loc[0, "open"], out.loc[0, "tag"]) == (10.0, "first")


def test_aware_times_use_the_wall_clock():
    # New York's autumn change: 01:00-01:59 happens twice.
    utc = pd.date_range("2024-11-03 05:00", periods=150, freq="min", tz="UTC")
    for tz in ("America/New_York", pytz.timezone("America/New_York")):
        df = table(utc.tz_convert(tz))
        for n in (5, 60):
            for full in (True, False):
                same_as_reference(df, n, require_full=full)
    df = table(utc.tz_convert("Asia/Shanghai").strftime("%Y-%m-%d %H:%M:%S%z"))
    same_as_reference(df, 15)


def test_nanoseconds_are_discarded_with_the_warning():
    times = pd.date_range("2024-01-02 09:30:00.000000001", periods=10, freq="min")
    df = table(times)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        out = agg(df, 5)
    assert any("Discarding nonzero nanoseconds" in str(w.message) for w in seen)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert_frame_equal(out, ref.aggregate_1min_ohlcv_df(df, 5), check_exact=True)


def test_missing_times_are_buckets_of_their_own():
    df = table(minute_texts()[:8] + [None, None])
    for full in (True, False):
        same_as_reference(df, 2, require_full=full)
    df = table(list(pd.date_range("2024-01-02 09:30", periods=8, freq="min")) + [pd.NaT, pd.NaT])
    same_as_reference(df, 2, require_full=False)


# ---- property check ------------------------------------------------------------------

ZONES = [None, "Asia/Shanghai", "America/New_York", pytz.timezone("America/New_York"), pytz.timezone("Asia/Shanghai"),
         timezone(timedelta(hours=-5))]
EXTRA = ["str", "int", "float32", "bool", "datetime", "mixed", "category", "int8", "strnan"]


@st.composite
def tables(draw):
    rows = draw(st.integers(1, 70))
    offsets = draw(st.lists(st.integers(0, 2 * 24 * 60) | st.integers(0, 40), min_size=rows, max_size=rows))
    if draw(st.booleans()):
        offsets.sort()
    zone = draw(st.sampled_from(ZONES))
    times = pd.DatetimeIndex([pd.Timestamp("2024-03-09 09:30") + pd.Timedelta(minutes=m) for m in offsets])
    if zone is not None:
        times = times.tz_localize(zone, ambiguous="NaT", nonexistent="NaT")
    form = draw(st.sampled_from(["ns", "us", "s", "iso", "slashes", "object"]))
    if form in ("ns", "us", "s"):
        col = pd.Series(times).dt.as_unit(form)
    elif form == "slashes" and zone is None:
        col = pd.Series([f"{t.year}/{t.month}/{t.day} {t.hour}:{t.minute:02d}" if t is not pd.NaT else None
                         for t in times])
    else:
        col = pd.Series([t.isoformat() if t is not pd.NaT else None for t in times],
                        dtype=object if form == "object" else None)
    floats = st.floats(-1e6, 1e6, allow_nan=False) | st.just(np.nan)

    def number_column(allow_int=True):
        if allow_int and draw(st.booleans()):
            return np.array(draw(st.lists(st.integers(-(10**9), 10**9), min_size=rows, max_size=rows)), dtype=np.int64)
        return np.array(draw(st.lists(floats, min_size=rows, max_size=rows)), dtype=float)

    data = {"time_key": col.to_numpy() if form not in ("iso", "slashes") else col,
            "open": number_column(), "high": number_column(), "low": number_column(),
            "close": number_column(), "volume": number_column()}
    for name in ("num_trds", "value"):
        if draw(st.booleans()):
            data[name] = number_column()
    for kind in draw(st.lists(st.sampled_from(EXTRA), max_size=3, unique=True)):
        if kind == "str":
            data["code"] = [draw(st.sampled_from(["SH.600000", "SZ.000001"])) for _ in range(rows)]
        elif kind == "strnan":
            data["name"] = pd.array([draw(st.sampled_from(["a", None])) for _ in range(rows)], dtype="str")
        elif kind == "int":
            data["n"] = np.arange(rows, dtype=np.int64) * 7
        elif kind == "int8":
            data["small"] = np.arange(rows, dtype=np.int8)
        elif kind == "float32":
            data["f32"] = np.linspace(0, 1, rows, dtype=np.float32)
        elif kind == "bool":
            data["flag"] = np.arange(rows) % 3 == 0
        elif kind == "datetime":
            data["listed"] = pd.date_range("2020-01-01", periods=rows, freq="D")
        elif kind == "mixed":
            data["mixed"] = pd.Series([i if i % 2 else str(i) for i in range(rows)], dtype=object)
        elif kind == "category":
            data["cat"] = pd.Categorical([("x", "y")[i % 2] for i in range(rows)])
    df = pd.DataFrame(data)
    index = draw(st.sampled_from(["range", "shuffled", "labels"]))
    if index == "shuffled":
        df.index = np.random.default_rng(rows).permutation(rows) + 1000
    elif index == "labels":
        df.index = [f"r{i}" for i in range(rows)]
    return df


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(tables(), st.sampled_from([2, 3, 5, 7, 15, 60, 1500]), st.booleans(),
       st.sampled_from(["end", "start"]), st.sampled_from([1.5, 0.5, 3.0, 60.0]))
def test_table_aggregation_equals_step_by_step(df, n, full, conv, gap):
    kwargs = dict(require_full=full, bar_convention=conv, max_gap_minutes=gap)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            want = ref.aggregate_1min_ohlcv_df(df, n, **kwargs)
        except Exception as exc:  # noqa: BLE001 - the same failure is expected
            with pytest.raises(type(exc)) as info:
                agg(df, n, **kwargs)
            assert str(info.value) == str(exc)
            return
        got = agg(df, n, **kwargs)
    assert_frame_equal(got, want, check_exact=True)


def test_no_leaks():
    # Every call gets its own copy of the input: pandas records each column
    # view of a table in that table (and prunes the records only now and
    # then), which would otherwise look like growth.
    df = table(minute_texts(count=20), num_trds=np.arange(20.0), code=["SH.600000"] * 20)
    shuffled = df.sample(frac=1, random_state=3)
    mixed = df.assign(code=[1, "x"] * 10)
    no_low = df.drop(columns="low")
    for fn in (lambda: agg(shuffled.copy(), 5, require_full=False), lambda: agg(no_low.copy(), 5),
               lambda: agg(mixed.copy(), 5)):
        assert_no_leak(fn, calls=400, warmup=200)
