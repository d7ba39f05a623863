"""candle_rollup: the frequency grammar, bucket keys, bar-list aggregation and
the aggregated fetch, checked against the plain-Python version."""

import inspect
import math
import re
import sys
import typing
from datetime import datetime, timedelta, timezone
from decimal import Decimal
from zoneinfo import ZoneInfo

import pandas as pd
import py_candle_rollup as ref
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support.leaks import assert_no_leak

from quillon.core import candle_rollup as cr
from quillon.core.data import Bar

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def outcome(fn, *args, **kwargs):
    """The result, or the exception's type and text, for comparing two implementations."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - the error is the outcome
        return ("error", type(exc), str(exc))


# ---- module surface ----------------------------------------------------------------


def test_module_constants_and_imports():
    assert cr.AGGREGATABLE_NMIN == (2, 3, 5, 10, 15, 20, 30, 60)
    assert type(cr.AGGREGATABLE_NMIN) is tuple
    assert isinstance(cr._FREQ_RE, re.Pattern)
    assert cr._FREQ_RE.pattern == r"^\s*(\d+)\s*(min|m|mins|minutes|day|d|days)\s*$"
    assert cr._FREQ_RE.flags & re.IGNORECASE
    assert cr.re is re and cr.pd is pd and cr.Bar is Bar
    assert cr.datetime is datetime and cr.timedelta is timedelta
    for name in ("Callable", "Dict", "List", "Optional", "Sequence"):
        assert getattr(cr, name) is getattr(typing, name)


SIGNATURES = {
    "parse_bar_freq": "(freq)",
    "try_parse_aggregatable_nmin": "(freq)",
    "is_nmin_aggregatable": "(freq)",
    "to_backtest_interval": "(freq)",
    "_bucket_start": "(dt, n_min)",
    "_merge_bucket": "(bars, bar_convention)",
    "aggregate_1min_bars": "(bars, n_min, *, require_full=True, bar_convention='end', max_gap_minutes=1.5)",
    "aggregate_1min_ohlcv_df": "(df, n_min, *, require_full=True, bar_convention='end', max_gap_minutes=1.5, "
                               "time_col='time_key')",
    "fetch_aggregated_nmin_bars": "(*, n_min, periods, fetch_1min, bar_convention='end')",
    "maybe_req_aggregated_nmin": "(freq, periods, fetch_1min, bar_convention='end')",
}


@pytest.mark.parametrize("name, sig", SIGNATURES.items())
def test_signatures_and_docstrings(name, sig):
    fn = getattr(cr, name)
    assert str(inspect.signature(fn)) == sig
    doc = "Aggregate a 1-min OHLCV DataFrame into N-min rows (same columns kept)."
    assert fn.__doc__ == (doc if name == "aggregate_1min_ohlcv_df" else None)
    help(fn)


# ---- frequency grammar -------------------------------------------------------------

WORKED = [
    ("1Min", ("min", 1), None, "1min"),
    ("5Min", ("min", 5), 5, "5min"),
    (" 15 minutes ", ("min", 15), 15, "15min"),
    ("60m", ("min", 60), 60, "60min"),
    ("7Min", ("min", 7), None, "7min"),
    ("120min", ("min", 120), None, "120min"),
    ("1Day", ("day", 1), None, "1day"),
    ("2 DAYS", ("day", 2), None, "2day"),
    ("1M", ("min", 1), None, "1min"),
    ("0min", ("min", 0), None, "0min"),
    ("05min", ("min", 5), 5, "5min"),
    ("5mIn", ("min", 5), 5, "5min"),
    ("90min", ("min", 90), None, "90min"),
    ("30d", ("day", 30), None, "30day"),
    ("5min\n", ("min", 5), 5, "5min"),
    ("\u0665min", ("min", 5), 5, "5min"),           # Arabic-Indic digit five
    ("5\u3000mins\x85", ("min", 5), 5, "5min"),     # Unicode spaces
    ("12345678901234567890123min", ("min", 12345678901234567890123), None, "12345678901234567890123min"),
]


@pytest.mark.parametrize("text, parsed, nmin, interval", WORKED)
def test_worked_frequencies(text, parsed, nmin, interval):
    assert cr.parse_bar_freq(text) == parsed
    assert type(cr.parse_bar_freq(text)[1]) is int
    assert cr.try_parse_aggregatable_nmin(text) == nmin
    assert cr.is_nmin_aggregatable(text) is (nmin is not None)
    assert cr.to_backtest_interval(text) == interval


@pytest.mark.parametrize("text", ["1h", "5Min bars", "-5min", "+5min", "1 0min", "5 mi n", "5", "min", "5X",
                                  "5\u017fmin", "5months", "5'min", '5"min', "\ud800"])
def test_unsupported_frequencies(text):
    message = f"freq={text!r} is not supported. Use forms like '1Min', '5Min', '15min', or '1Day'."
    for fn in (cr.parse_bar_freq, cr.to_backtest_interval):
        with pytest.raises(ValueError) as info:
            fn(text)
        assert str(info.value) == message
    assert cr.try_parse_aggregatable_nmin(text) is None
    assert cr.is_nmin_aggregatable(text) is False


def test_empty_frequency():
    with pytest.raises(ValueError, match=r"^freq='' is not a valid bar frequency$"):
        cr.parse_bar_freq("")
    with pytest.raises(ValueError, match="not a valid bar frequency"):
        cr.to_backtest_interval("")
    assert cr.try_parse_aggregatable_nmin("") is None


def test_digit_limit_is_ints_own():
    text = "1" * (sys.get_int_max_str_digits() + 1) + "min"
    with pytest.raises(ValueError, match="Exceeds the limit"):
        cr.parse_bar_freq(text)
    assert cr.try_parse_aggregatable_nmin(text) is None


class Text(str):
    pass


@pytest.mark.parametrize("fn", [cr.parse_bar_freq, cr.try_parse_aggregatable_nmin, cr.is_nmin_aggregatable,
                                cr.to_backtest_interval])
@pytest.mark.parametrize("value, type_name", [(None, "NoneType"), (b"5Min", "bytes"), (5, "int"),
                                              (Text("5Min"), "Text")])
def test_frequency_type_errors(fn, value, type_name):
    with pytest.raises(TypeError) as info:
        fn(value)
    assert str(info.value) == f"Argument 'freq' has incorrect type (expected str, got {type_name})"
    assert fn(freq="5Min") == fn("5Min")


# Characters around the grammar's edges: digits of several scripts, the
# interpreter's whitespace, letters that case-fold onto the unit words.
TRICKY = list("0123456789 mindaysMINDAYSutes\t\n\r\x0b\x0c+-_.'\"") + [
    "\x1c", "\x1f", "\x85", "\xa0", "\u2028", "\u3000", "\u0665", "\u0967", "\uff15", "\U0001d7d3",
    "\u017f", "\u212a", "\u0130", "\u0131", "\u00b2", "\u2165", "\u00df", "\ufb05", "\u1e9b", "\x00", "h",
]
freq_texts = st.text(st.sampled_from(TRICKY), max_size=12) | st.from_regex(cr._FREQ_RE, fullmatch=True)


@SETTINGS
@given(freq_texts)
def test_grammar_equals_the_pattern(text):
    m = cr._FREQ_RE.match(text)
    got = outcome(cr.parse_bar_freq, text)
    if m is None:
        assert got[0] == "error" and got[1] is ValueError
    else:
        assert got == ("ok", ("day" if m.group(2).lower().startswith("d") else "min", int(m.group(1))))
    assert got == outcome(ref.parse_bar_freq, text)
    assert cr.try_parse_aggregatable_nmin(text) == ref.try_parse_aggregatable_nmin(text)
    assert outcome(cr.to_backtest_interval, text) == outcome(ref.to_backtest_interval, text)


# ---- bucket keys -------------------------------------------------------------------


@pytest.mark.parametrize("dt, n, want", [
    (datetime(2024, 1, 2, 9, 33, 20, 5), 5, datetime(2024, 1, 2, 9, 30)),
    (datetime(2024, 1, 2, 13, 4), 5, datetime(2024, 1, 2, 13, 0)),
    (datetime(2024, 1, 2, 11, 29), 30, datetime(2024, 1, 2, 11, 0)),
    (datetime(2024, 1, 2, 14, 59), 60, datetime(2024, 1, 2, 14, 0)),
    (datetime(2024, 1, 2, 9, 33), 7, datetime(2024, 1, 2, 9, 27)),
    (datetime(2024, 1, 2, 9, 33), 5.9, datetime(2024, 1, 2, 9, 30)),
    (datetime(2024, 1, 2, 9, 33), 10**100, datetime(2024, 1, 2, 0, 0)),
    (datetime(2024, 1, 2, 9, 33), -5, datetime(2024, 1, 2, 9, 35)),
])
def test_bucket_start(dt, n, want):
    got = cr._bucket_start(dt, n)
    assert got == want and type(got) is datetime


@pytest.mark.parametrize("n, error", [(0, ZeroDivisionError), (-2000, ValueError), ("5", TypeError)])
def test_bucket_start_errors_match_python(n, error):
    dt = datetime(2024, 1, 2, 9, 33)
    assert outcome(cr._bucket_start, dt, n) == outcome(ref._bucket_start, dt, n)
    assert outcome(cr._bucket_start, dt, n)[1] is error


def test_bucket_start_keeps_zone_fold_and_type():
    tz = ZoneInfo("America/New_York")
    dt = datetime(2024, 11, 3, 1, 37, 12, tzinfo=tz, fold=1)
    got = cr._bucket_start(dt, 15)
    assert (got.tzinfo, got.fold, got.replace(tzinfo=None)) == (tz, 1, datetime(2024, 11, 3, 1, 30))
    ts = pd.Timestamp("2024-01-02 09:33:20.000000007")
    assert cr._bucket_start(ts, 5) == ref._bucket_start(ts, 5)
    assert type(cr._bucket_start(ts, 5)) is pd.Timestamp
    assert cr._bucket_start(dt=datetime(2024, 1, 2, 9, 1), n_min=2) == datetime(2024, 1, 2, 9, 0)


# ---- bar lists -----------------------------------------------------------------------

T0 = datetime(2024, 1, 2, 9, 30)


def bar(minute, i=0, t0=T0, **extra):
    return Bar(datetime=t0 + timedelta(minutes=minute), security="SH.600000", open=10.0 + i, high=11.0 + i,
               low=9.0 - i, close=10.5 + i, volume=100 + i, **extra)


def minutes(*ms, **extra):
    return [bar(m, i, **extra) for i, m in enumerate(ms)]


def fields(b):
    # NaN stands for itself here: two NaN floats are the same outcome.
    return tuple("nan" if isinstance(x, float) and x != x else x
                 for x in (b.datetime, b.security, b.open, b.high, b.low, b.close, b.volume, b.num_trds, b.value))


def same_bars(got, want):
    assert [fields(b) for b in got] == [fields(b) for b in want]
    for g, w in zip(got, want):
        assert [type(x) for x in fields(g)] == [type(x) for x in fields(w)]


def test_ten_minutes_into_two_bars():
    bars = minutes(*range(10))
    end, start = cr.aggregate_1min_bars(bars, 5), cr.aggregate_1min_bars(bars, 5, bar_convention="start")
    assert [b.datetime.minute for b in end] == [34, 39]
    assert [b.datetime.minute for b in start] == [30, 35]
    first = end[0]
    assert (first.open, first.close, first.high, first.low, first.volume) == (10.0, 14.5, 15.0, 5.0, 510)
    assert type(first) is Bar and first.num_trds == 0 and first.value == 0
    same_bars(end, ref.aggregate_1min_bars(bars, 5))


@pytest.mark.parametrize("ms, kwargs, starts", [
    (range(1, 10), {}, [35]),
    (range(1, 10), {"require_full": False}, [31, 35]),
    ([0, 1, 3, 4], {}, []),
    ([0, 1, 3, 4], {"require_full": False}, [30, 33]),
    ([0, 0, 1, 2, 3], {}, [30]),                       # a repeated minute counts
    ([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10], {"n_min": 10}, [30]),
])
def test_bucket_rules(ms, kwargs, starts):
    n = kwargs.pop("n_min", 5)
    out = cr.aggregate_1min_bars(minutes(*ms), n, bar_convention="start", **kwargs)
    assert [b.datetime.minute for b in out] == starts


@pytest.mark.parametrize("gap, n_out", [(1.5, 0), (2, 1), (2.0, 1), (True, 0), (1.9999, 0)])
def test_gap_limit_is_exclusive(gap, n_out):
    bars = minutes(0, 0, 1, 3, 4)  # five bars in the 09:30 window, a 2-minute hole
    assert len(cr.aggregate_1min_bars(bars, 5, max_gap_minutes=gap)) == n_out


def test_sessions_never_merge():
    # 11:28 and 11:29 then 13:00: the keys differ anyway; across a lunch hour
    # with N=60, 11:xx and 13:xx differ too, but a night with equal keys
    # (the 09:30 window of two days) must still split by the gap.
    day1 = minutes(*range(0, 5))
    day2 = minutes(*range(0, 5), t0=T0 + timedelta(days=1))
    out = cr.aggregate_1min_bars(day1 + day2, 5)
    assert [b.datetime.day for b in out] == [2, 3]


@pytest.mark.parametrize("n, message", [
    (1, "n_min must be > 1, got 1"), (0, "n_min must be > 1, got 0"), (-(10**30), f"n_min must be > 1, got {-(10**30)}"),
    (1.9, "n_min must be > 1, got 1"),
    (7, "n_min=7 is not supported. Allowed: 2, 3, 5, 10, 15, 20, 30, 60"),
    (10**30, f"n_min={10**30} is not supported. Allowed: 2, 3, 5, 10, 15, 20, 30, 60"),
])
def test_bad_sizes_raise_before_anything(n, message):
    with pytest.raises(ValueError) as info:
        cr.aggregate_1min_bars([], n)
    assert str(info.value) == message


def test_empty_and_false_inputs():
    assert cr.aggregate_1min_bars([], 5) == []
    assert cr.aggregate_1min_bars(None, 5) == []
    assert cr.aggregate_1min_bars((), 60, max_gap_minutes=math.nan) == []


@pytest.mark.parametrize("call, message", [
    (lambda: cr.aggregate_1min_bars([], "5"), "Argument 'n_min' has incorrect type (expected int, got str)"),
    (lambda: cr.aggregate_1min_bars([], 5, bar_convention=None),
     "Argument 'bar_convention' has incorrect type (expected str, got NoneType)"),
    (lambda: cr.aggregate_1min_bars([], 5, bar_convention=Text("end")),
     "Argument 'bar_convention' has incorrect type (expected str, got Text)"),
    (lambda: cr.aggregate_1min_bars([], 5, max_gap_minutes="1"),
     "Argument 'max_gap_minutes' has incorrect type (expected float, got str)"),
    (lambda: cr.aggregate_1min_bars([], 5, True), "aggregate_1min_bars() takes exactly 2 positional arguments (3 given)"),
    (lambda: cr.aggregate_1min_bars([], 5, gap=1), "aggregate_1min_bars() got an unexpected keyword argument 'gap'"),
    (lambda: cr._merge_bucket(minutes(0), None), "Argument 'bar_convention' has incorrect type (expected str, got NoneType)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("gap, error", [(math.nan, ValueError), (math.inf, OverflowError), (1e30, OverflowError)])
def test_unusable_gap_limits_fail_like_timedelta(gap, error):
    bars = minutes(*range(5))
    assert outcome(cr.aggregate_1min_bars, bars, 5, max_gap_minutes=gap) == \
        outcome(ref.aggregate_1min_bars, bars, 5, max_gap_minutes=gap)
    with pytest.raises(error):
        cr.aggregate_1min_bars(bars, 5, max_gap_minutes=gap)


class Record:
    """A bar-like record with only the attributes it is given."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


def record(minute, **overrides):
    fields = dict(datetime=T0 + timedelta(minutes=minute), security="S", open=1.0, high=2.0, low=0.5, close=1.5,
                  volume=10)
    fields.update(overrides)
    return Record(**{k: v for k, v in fields.items() if v is not Record})


@pytest.mark.parametrize("missing", ["high", "low", "volume", "security", "open", "close", "datetime"])
def test_missing_attribute_raises_like_python(missing):
    bars = [record(m, **({missing: Record} if m == 2 else {})) for m in range(10)]
    if missing in ("security", "open"):
        bars = [record(m, **({missing: Record} if m == 5 else {})) for m in range(10)]
    if missing == "close":
        bars = [record(m, **({missing: Record} if m == 9 else {})) for m in range(10)]
    got = outcome(cr.aggregate_1min_bars, bars, 5)
    assert got[:2] == ("error", AttributeError) and missing in got[2]
    assert got == outcome(ref.aggregate_1min_bars, bars, 5)


def test_missing_attribute_in_dropped_bucket_is_never_read():
    bars = [record(0, high=Record)] + [record(m) for m in range(5, 10)]
    assert [b.high for b in cr.aggregate_1min_bars(bars, 5)] == [2.0]


def test_mixed_naive_and_aware_times():
    bars = minutes(0, 1, 2) + [bar(3, t0=T0.replace(tzinfo=timezone.utc))]
    got = outcome(cr.aggregate_1min_bars, bars, 5)
    assert got[:2] == ("error", TypeError)
    assert got == outcome(ref.aggregate_1min_bars, bars, 5)


def test_optional_counts():
    plain = minutes(*range(5))
    assert cr.aggregate_1min_bars(plain, 5)[0].num_trds == 0
    records = [record(m) for m in range(5)]  # no num_trds/value attributes at all
    out = cr.aggregate_1min_bars(records, 5)[0]
    assert (out.num_trds, out.value) == (0, 0)
    some = minutes(*range(5), num_trds=None, value=0.0)
    some[2].num_trds = 3
    out = cr.aggregate_1min_bars(some, 5)[0]
    assert (out.num_trds, type(out.num_trds), out.value) == (3, int, 0)


def test_input_is_not_modified_and_generators_work():
    bars = minutes(4, 3, 2, 1, 0)
    before = [fields(b) for b in bars]
    out = cr.aggregate_1min_bars(iter(bars), 5)
    assert [fields(b) for b in bars] == before and len(out) == 1
    assert cr.aggregate_1min_bars(tuple(bars), 5)[0].open == 14.0


# Times in any order, repeats, holes, session breaks, several zones;
# fields of several number types, present, absent or false.
ZONES = [None, timezone.utc, timezone(timedelta(hours=8)), ZoneInfo("America/New_York")]
offsets = st.integers(min_value=0, max_value=3 * 24 * 60)
numbers = (st.integers(-(10**20), 10**20) | st.floats(allow_nan=True, allow_infinity=True) | st.booleans()
           | st.decimals(allow_nan=False, places=2, min_value=-1000, max_value=1000))
prices = st.floats(-1e6, 1e6) | st.integers(-(10**6), 10**6)
counts = st.none() | st.just(0) | st.just(0.0) | st.integers(0, 10**12) | st.floats(0, 1e9) | st.just(Record)


@st.composite
def bar_lists(draw):
    zone = draw(st.sampled_from(ZONES))
    kind = draw(st.sampled_from(["datetime", "timestamp", "mixed-zones"]))
    base = datetime(2024, 3, 9, 9, 30, tzinfo=zone)
    times = sorted(draw(st.lists(offsets, max_size=60)))
    if draw(st.booleans()):
        times = draw(st.permutations(times))
    out = []
    for i, m in enumerate(times):
        t = base + timedelta(minutes=m, seconds=draw(st.sampled_from([0, 0, 0, 30])))
        if kind == "timestamp":
            t = pd.Timestamp(t)
        elif kind == "mixed-zones" and zone is not None and i % 2:
            t = t.astimezone(timezone(timedelta(hours=-3)))
        f = dict(datetime=t, security=draw(st.sampled_from(["A", "B"])), open=draw(prices), high=draw(prices),
                 low=draw(prices), close=draw(prices), volume=draw(numbers), num_trds=draw(counts),
                 value=draw(counts))
        out.append(record(0, **f) if draw(st.booleans()) else Bar(**{k: (0 if v is Record else v)
                                                                       for k, v in f.items()}))
    return out


@SETTINGS
@given(bar_lists(), st.sampled_from([2, 3, 5, 10, 15, 60]), st.booleans(), st.sampled_from(["end", "start", "x"]),
       st.sampled_from([1.5, 0.5, 3, 100.0]))
def test_bar_aggregation_equals_python(bars, n, full, conv, gap):
    kwargs = dict(require_full=full, bar_convention=conv, max_gap_minutes=gap)
    got = outcome(cr.aggregate_1min_bars, bars, n, **kwargs)
    want = outcome(ref.aggregate_1min_bars, bars, n, **kwargs)
    if got[0] == "ok" and want[0] == "ok":
        same_bars(got[1], want[1])
    else:
        assert got == want


@SETTINGS
@given(st.lists(numbers | st.none(), min_size=1, max_size=30))
def test_volume_sum_is_builtin_sum(values):
    bars = [bar(0, i) for i in range(len(values))]  # one minute, one bucket
    for b, v in zip(bars, values):
        b.volume = v
    got = outcome(lambda: cr.aggregate_1min_bars(bars, 2, require_full=False)[0].volume)
    want = outcome(sum, values)
    if got[0] == want[0] == "ok":
        assert type(got[1]) is type(want[1])
        assert got[1] == want[1] or (got[1] != got[1] and want[1] != want[1])
        if isinstance(want[1], float) and want[1] == want[1]:
            assert math.copysign(1, got[1]) == math.copysign(1, want[1])
    else:
        assert got == want


def test_merge_bucket_directly():
    bars = minutes(0, 1, 2)
    same_bars([cr._merge_bucket(bars, "start")], [ref._merge_bucket(bars, "start")])
    same_bars([cr._merge_bucket(tuple(bars), "end")], [ref._merge_bucket(bars, "end")])
    assert outcome(cr._merge_bucket, [], "end") == outcome(ref._merge_bucket, [], "end")
    odd = minutes(0, 1)
    odd[1].high, odd[1].volume = Decimal("99.5"), Decimal("0.25")
    same_bars([cr._merge_bucket(odd, "end")], [ref._merge_bucket(odd, "end")])


# ---- aggregated fetch ------------------------------------------------------------------


class Fetcher:
    def __init__(self, result):
        self.result, self.calls = result, []

    def __call__(self, count):
        self.calls.append(count)
        return self.result(count) if callable(self.result) else self.result


def contiguous(count):
    return minutes(*range(count))


@pytest.mark.parametrize("n, periods, asked", [(5, 1, 10), (15, 100, 1515), (5, 100, 505)])
def test_fetch_asks_for_one_spare_window(n, periods, asked):
    fetch = Fetcher(contiguous)
    out = cr.fetch_aggregated_nmin_bars(n_min=n, periods=periods, fetch_1min=fetch)
    assert fetch.calls == [asked] and len(out) == periods
    same_bars(out, ref.aggregate_1min_bars(contiguous(asked), n)[-periods:])


def test_fetch_returns_the_latest_windows():
    fetch = Fetcher(lambda c: contiguous(c + 40))
    out = cr.fetch_aggregated_nmin_bars(n_min=5, periods=3, fetch_1min=fetch, bar_convention="start")
    assert fetch.calls == [20]
    assert [b.datetime for b in out] == [T0 + timedelta(minutes=m) for m in (45, 50, 55)]


@pytest.mark.parametrize("result, message", [
    (None, "Not enough aggregated 5Min bars: need 2, got 0 from 0 1Min bars."),
    ([], "Not enough aggregated 5Min bars: need 2, got 0 from 0 1Min bars."),
    (lambda c: contiguous(c)[:8], "Not enough aggregated 5Min bars: need 2, got 1 from 8 1Min bars."),
])
def test_fetch_not_enough(result, message):
    with pytest.raises(ValueError) as info:
        cr.fetch_aggregated_nmin_bars(n_min=5, periods=2, fetch_1min=Fetcher(result))
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs, error, message, fetched", [
    (dict(n_min=5, periods=0), ValueError, "periods must be > 0, got 0", False),
    (dict(n_min=5, periods=-3.5), ValueError, "periods must be > 0, got -3", False),
    (dict(n_min=7, periods=1), ValueError, "n_min=7 is not supported. Allowed: 2, 3, 5, 10, 15, 20, 30, 60", True),
    (dict(n_min=1, periods=1), ValueError, "n_min must be > 1, got 1", True),
    (dict(n_min=5, periods="1"), TypeError, "Argument 'periods' has incorrect type (expected int, got str)", False),
    (dict(n_min=5), TypeError, None, False),
])
def test_fetch_errors(kwargs, error, message, fetched):
    fetch = Fetcher([])
    with pytest.raises(error) as info:
        cr.fetch_aggregated_nmin_bars(fetch_1min=fetch, **kwargs)
    if message:
        assert str(info.value) == message
    assert bool(fetch.calls) is fetched


def test_fetch_refuses_positionals_and_propagates_fetcher_errors():
    with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(3 given\)"):
        cr.fetch_aggregated_nmin_bars(5, 1, Fetcher([]))

    def broken(count):
        raise ConnectionError("down")

    with pytest.raises(ConnectionError, match="down"):
        cr.fetch_aggregated_nmin_bars(n_min=5, periods=1, fetch_1min=broken)


@pytest.mark.parametrize("freq", ["1Min", "1Day", "7Min", "5h", ""])
def test_maybe_req_not_aggregatable(freq):
    fetch = Fetcher(contiguous)
    assert cr.maybe_req_aggregated_nmin(freq, 10, fetch) is None
    assert fetch.calls == []


def test_maybe_req_aggregatable():
    fetch = Fetcher(contiguous)
    out = cr.maybe_req_aggregated_nmin("5Min", 4, fetch, "start")
    assert fetch.calls == [25] and [b.datetime.minute for b in out] == [35, 40, 45, 50]
    out = cr.maybe_req_aggregated_nmin(freq=" 2 m", periods=3.9, fetch_1min=fetch, bar_convention="end")
    assert fetch.calls[-1] == 8 and len(out) == 3
    with pytest.raises(TypeError, match="expected str, got NoneType"):
        cr.maybe_req_aggregated_nmin(None, 1, fetch)


# ---- references ------------------------------------------------------------------------


def test_no_leaks_on_main_and_error_paths():
    bars = minutes(*range(30), num_trds=2, value=1.5)
    unsorted = bars[::-1]
    aware = [bar(m, t0=T0.replace(tzinfo=timezone.utc)) for m in range(10)] + [bar(20, t0=T0.replace(tzinfo=timezone(timedelta(hours=1))))]
    assert_no_leak(lambda: cr.aggregate_1min_bars(bars, 5))
    assert_no_leak(lambda: cr.aggregate_1min_bars(unsorted, 5, require_full=False))
    assert_no_leak(lambda: cr.aggregate_1min_bars(aware, 5))
    assert_no_leak(lambda: cr.aggregate_1min_bars(bars + [record(99, high=Record)], 2, require_full=False))
    assert_no_leak(lambda: cr.parse_bar_freq("5 X"))
    assert_no_leak(lambda: cr.is_nmin_aggregatable("\u0665min"))
    assert_no_leak(lambda: cr.maybe_req_aggregated_nmin("5Min", 3, contiguous))
    assert_no_leak(lambda: cr.fetch_aggregated_nmin_bars(n_min=5, periods=9, fetch_1min=contiguous))
