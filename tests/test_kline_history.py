"""kline_history: the documented cases, argument checks, and agreement with the
plain-Python oracle (bench/py_kline_history.py) on generated inputs."""

import math
from datetime import date, datetime, timedelta, timezone
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import py_kline_history as ref
from quillon.core.data import Bar
from quillon.core.security import Security, Stock
from quillon.gateways.qmt import kline_history as kh
from support.leaks import assert_no_leak

SEC = Stock(code="SH.600000")
D = datetime(2024, 1, 2, 9, 30, 0)


class StrSub(str):
    pass


class DictSub(dict):
    pass


class TextKey:
    """A non-str record key whose text form is given."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text

    def __repr__(self):
        return f"TextKey({self.text!r})"


class Floaty:
    """A value that converts through __float__ (Python code)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r})"


# ---- comparing native results with the oracle's -------------------------------


def run(fn, *args):
    """(result, error, (before, after)): the call's outcome and when it ran."""
    before = datetime.now()
    try:
        result, error = fn(*args), None
    except Exception as exc:  # noqa: BLE001 - the outcome is compared
        result, error = None, (type(exc), str(exc))
    return result, error, (before, datetime.now())


def same(a, b, wa, wb):
    """Equal values of equal types; "now" on both sides counts as equal."""
    if isinstance(a, datetime) and isinstance(b, datetime):
        if a.tzinfo is None and b.tzinfo is None and wa[0] <= a <= wa[1] and wb[0] <= b <= wb[1]:
            return True
        return type(a) is type(b) and a == b and a.tzinfo == b.tzinfo
    if isinstance(a, float) and isinstance(b, float):
        return type(a) is type(b) and (a == b or (math.isnan(a) and math.isnan(b)))
    if isinstance(a, Bar) and isinstance(b, Bar):
        return type(a) is type(b) and all(same(x, y, wa, wb) for x, y in zip(a._fields(), b._fields()))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y, wa, wb) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def assert_agrees(native_fn, ref_fn, *args):
    a, ea, wa = run(native_fn, *args)
    b, eb, wb = run(ref_fn, *args)
    assert ea == eb, (args, ea, eb)
    assert same(a, b, wa, wb), (args, a, b)
    return a


# ---- generated inputs -------------------------------------------------------------

LAYOUTS = ("%Y%m%d%H%M%S", "%Y-%m-%d %H:%M:%S", "%Y%m%d", "%Y-%m-%d")


@st.composite
def edge_fields(draw):
    """The terminal's layouts with fields at and past their limits, written
    with one or two digits, as strptime's one-digit fields allow."""
    y = draw(st.sampled_from([0, 1, 999, 1000, 1704, 1900, 2000, 2023, 2024, 9999]))
    fields = [draw(st.one_of(st.integers(0, hi), st.sampled_from([0, 1, 9, 10, hi - 1, hi])))
              for hi in (13, 32, 24, 60, 62)]
    loose = draw(st.integers(0, 9)) == 0
    text = [f"{v}" if loose and draw(st.booleans()) else f"{v:02d}" for v in fields]
    gap = draw(st.sampled_from([" ", " ", "  ", "\t"])) if loose else " "
    layout = draw(st.integers(0, 3))
    if layout == 0:
        return f"{y:04d}" + "".join(text)
    if layout == 1:
        return f"{y:04d}-{text[0]}-{text[1]}{gap}{text[2]}:{text[3]}:{text[4]}"
    if layout == 2:
        return f"{y:04d}" + "".join(text[:2])
    return f"{y:04d}-{text[0]}-{text[1]}"


blank = st.sampled_from(["", " ", "\t", " \n ", "\u3000", "\x1c"])
time_text = st.builds(
    lambda pre, body, post: pre + body + post,
    blank,
    st.one_of(
        st.builds(datetime.strftime, st.datetimes(min_value=datetime(1000, 1, 1)), st.sampled_from(LAYOUTS)),
        edge_fields(),
        st.text("0123456789", max_size=16),
        st.text("0123456789-: T./\t", max_size=21),
        st.sampled_from(["2024-01-02T09:30:00", "2024/01/02 09:30", "20240102 09:30:00", "202401 2",
                         "2024-01- 2", "2024-01-02   09:30:00", "２０２４０１０２", "abc", "True"]),
    ),
    blank,
)
time_value = st.one_of(
    time_text,
    st.none(),
    st.integers(0, 10**15),
    st.integers(10**13, 10**14 - 1),
    st.datetimes(),
    st.datetimes(timezones=st.just(timezone.utc)),
    st.floats(),
    st.booleans(),
)

FIELD_KEYS = ["time", "datetime", "index", "bar_time", "stime", "open", "open_price", "high",
              "high_price", "low", "low_price", "close", "close_price", "last", "volume", "vol", "amount"]
record_key = st.one_of(
    st.sampled_from(FIELD_KEYS).flatmap(
        lambda k: st.lists(st.booleans(), min_size=len(k), max_size=len(k)).map(
            lambda up: "".join(c.upper() if u else c for c, u in zip(k, up)))),
    st.sampled_from([1, 2.5, ("open",), None, "\u212a", "T\u0130ME", "\uff4f\uff50\uff45\uff4e", "time "]),
    st.sampled_from(["OPEN", "Time", "Close", "vol", "x"]).map(TextKey),
)
number_text = st.one_of(
    st.floats().map(str),
    st.integers(-10**20, 10**20).map(str),
    st.sampled_from(["", " 1_000 ", "nan", "-inf", "Infinity", "abc", "1e999", "\uff11\uff12", "0", "-0",
                     "0.0", "1__0", "0x10", " 2.5\n"]),
)
number_value = st.one_of(
    st.none(), st.floats(), st.integers(-10**20, 10**20), st.just(10**400), st.booleans(), number_text,
    st.lists(st.integers(), max_size=2), st.just({}), st.floats().map(Floaty), st.just(Decimal("1.5")),
)
# Few spellings, so that keys collide after lower-casing and None values
# shadow or give way to other spellings.
crowded_key = st.sampled_from(["time", "Time", "TIME", "datetime", "DateTime", "index", "open", "Open",
                               "OPEN", "open_price", "close", "Close", "last", "volume", "VOL", "vol"])
record = st.one_of(
    st.dictionaries(record_key, st.one_of(number_value, time_value), max_size=8),
    st.dictionaries(crowded_key, st.one_of(st.none(), number_value, time_value), max_size=8),
    st.builds(lambda t, extra: {"time": t, **extra}, time_value,
              st.dictionaries(record_key, number_value, max_size=7)),
)
records = st.lists(
    st.one_of(record, record.map(DictSub), st.sampled_from([None, 5, "time", ["time"], ()])), max_size=6)

SLOW = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SLOW
@given(value=time_value)
def test_bar_time_parsing_agrees_with_strptime(value):
    assert_agrees(kh.parse_qmt_bar_time, ref.parse_qmt_bar_time, value)


@settings(max_examples=3000, deadline=None)
@given(text=st.builds(lambda pre, body, post: pre + body + post, blank, edge_fields(), blank))
def test_terminal_layouts_read_as_strptime_reads_them(text):
    assert_agrees(kh.parse_qmt_bar_time, ref.parse_qmt_bar_time, text)


@SLOW
@given(rows=records, drop=st.booleans())
def test_records_to_bars_agrees_with_the_oracle(rows, drop):
    assert_agrees(kh.records_to_bars, ref.records_to_bars, rows, SEC, drop)


@SLOW
@given(row=record, keys=st.lists(st.sampled_from(FIELD_KEYS + ["OPEN", "Time"]), max_size=4),
       default=st.one_of(st.floats(), st.integers(-100, 100)))
def test_row_number_agrees_with_the_oracle(row, keys, default):
    assert_agrees(kh._row_number, ref._row_number, row, keys, default)


# ---- documented cases ---------------------------------------------------------------


def test_constants_and_imported_names():
    assert list(kh.FREQ_TO_QMT_PERIOD.items()) == [("1Day", "1d"), ("1Min", "1m")]
    assert list(kh.DEFAULT_MAX_COUNT.items()) == [("1Day", 5000), ("1Min", 1000)]
    assert kh._QMT_TIME_FORMATS == LAYOUTS
    import typing
    from quillon.core import utility

    for name in ("Any", "Dict", "List", "Optional", "Sequence"):
        assert getattr(kh, name) is getattr(typing, name)
    assert kh.datetime is datetime and kh.timedelta is timedelta
    assert kh.Bar is Bar and kh.Security is Security and kh.try_parsing_datetime is utility.try_parsing_datetime
    assert kh.__doc__ == "Helpers for Big QMT historical bars (get_market_data_ex over Redis)."


@pytest.mark.parametrize("fn, doc", [
    (kh.qmt_period_for_freq, None),
    (kh.clamp_periods, None),
    (kh._row_number, None),
    (kh.format_qmt_end_time, "Format end_time for get_market_data_ex ('' = latest available)."),
    (kh.format_qmt_start_time, "Estimate start_time so Big QMT returns a real lookback window."),
    (kh.parse_qmt_bar_time, "Parse QMT bar index / time field into datetime."),
    (kh.is_placeholder_bar, "True for fill_data placeholders (all-zero OHLC and no volume)."),
    (kh.records_to_bars, "Map JSON bar records from the bridge into ``List[Bar]``."),
])
def test_docstrings(fn, doc):
    assert fn.__doc__ == doc


def test_signatures():
    import inspect

    sigs = {name: str(inspect.signature(getattr(kh, name))) for name in (
        "qmt_period_for_freq", "clamp_periods", "format_qmt_end_time", "format_qmt_start_time",
        "parse_qmt_bar_time", "_row_number", "is_placeholder_bar", "records_to_bars")}
    assert sigs == {
        "qmt_period_for_freq": "(freq)",
        "clamp_periods": "(freq, periods, max_count=None)",
        "format_qmt_end_time": "(cur_datetime, freq)",
        "format_qmt_start_time": "(cur_datetime, periods, freq)",
        "parse_qmt_bar_time": "(value)",
        "_row_number": "(row, keys, default=0.0)",
        "is_placeholder_bar": "(bar)",
        "records_to_bars": "(records, security, drop_placeholders=True)",
    }


@pytest.mark.parametrize("freq, period", [("1Min", "1m"), ("1Day", "1d")])
def test_period_names(freq, period):
    assert kh.qmt_period_for_freq(freq) == period


@pytest.mark.parametrize("freq", ["1min", "5Min", "", "1Day ", "\ud800"])
def test_unsupported_frequencies(freq):
    with pytest.raises(ValueError) as err:
        kh.qmt_period_for_freq(freq)
    assert str(err.value) == f"freq={freq!r} is not supported. Allowed: 1Day, 1Min"


@pytest.mark.parametrize("args, expected", [
    (("1Min", 5000), 1000),
    (("1Day", 5000), 5000),
    (("1Day", 6000), 5000),
    (("5Min", 2000), 1000),
    (("1Min", 5000, 3000), 3000),
    (("1Min", 10, None), 10),
    (("1Min", 10, 0), 0),
    (("1Min", 10, -3), -3),
    (("1Min", 7.9), 7),
    (("1Min", True), 1),
    (("1Day", 10**100, 10**99), 10**99),
    (("1Min", Decimal("12.7"), 5.5), 5),
])
def test_clamp_periods(args, expected):
    got = kh.clamp_periods(*args)
    assert got == expected and type(got) is int
    assert ref.clamp_periods(*args) == expected


@pytest.mark.parametrize("periods, shown", [(0, "0"), (-5, "-5"), (-5.5, "-5"), (0.5, "0"), (-10**30, str(-10**30))])
def test_clamp_periods_refuses_non_positive_counts(periods, shown):
    # The count is an int from the start, so a fraction below 1 is refused
    # instead of slipping through as a request for 0 bars.
    with pytest.raises(ValueError) as err:
        kh.clamp_periods("1Min", periods)
    assert str(err.value) == "periods must be a positive int, got " + shown


@pytest.mark.parametrize("cur, freq, expected", [
    (None, "1Day", ""),
    (None, "1Min", ""),
    (D, "1Day", "20240102"),
    (D, "1Min", "20240102093000"),
    (D, "1day", "20240102093000"),
    (datetime(999, 3, 4, 5, 6, 7), "1Min", datetime(999, 3, 4, 5, 6, 7).strftime("%Y%m%d%H%M%S")),
    (datetime(2024, 1, 2, 9, 30, 5, 999, tzinfo=timezone.utc), "1Min", "20240102093005"),
])
def test_end_time(cur, freq, expected):
    assert kh.format_qmt_end_time(cur, freq) == expected


@pytest.mark.parametrize("periods, freq, lookback", [
    (100, "1Day", timedelta(days=214)),
    (1000, "1Min", timedelta(days=9)),
    (1, "1Min", timedelta(days=5)),
    (239, "1Min", timedelta(days=5)),
    (240, "1Min", timedelta(days=6)),
    (0, "1Min", timedelta(days=5)),
    (-7, "1Day", timedelta(days=16)),
    (-10**100, "1Day", timedelta(days=16)),
    (2.9, "1Day", timedelta(days=18)),
])
def test_start_time(periods, freq, lookback):
    fmt = "%Y%m%d" if freq == "1Day" else "%Y%m%d%H%M%S"
    assert kh.format_qmt_start_time(D, periods, freq) == (D - lookback).strftime(fmt)


def test_start_time_defaults_to_now():
    before = datetime.now()
    got = datetime.strptime(kh.format_qmt_start_time(None, 1000, "1Min"), "%Y%m%d%H%M%S")
    after = datetime.now()
    assert (before - timedelta(days=9, seconds=1)) <= got <= after - timedelta(days=9)


@pytest.mark.parametrize("cur, periods, freq, error", [
    (D, 10**9, "1Day", OverflowError),
    (D, 10**100, "1Min", OverflowError),
    (datetime(1, 1, 3), 1, "1Min", OverflowError),
    (D, math.inf, "1Min", OverflowError),
    (D, math.nan, "1Min", ValueError),
])
def test_start_time_out_of_range(cur, periods, freq, error):
    with pytest.raises(error) as err:
        kh.format_qmt_start_time(cur, periods, freq)
    with pytest.raises(error) as ref_err:
        cur - timedelta(days=(max(1, int(periods)) * 2 + 14) if freq == "1Day" else max(1, int(periods)) // 240 + 5)
    assert str(err.value) == str(ref_err.value)


@pytest.mark.parametrize("value, expected", [
    (20240102093000, datetime(2024, 1, 2, 9, 30)),
    ("20240102093000", datetime(2024, 1, 2, 9, 30)),
    (" 20240102093000\t", datetime(2024, 1, 2, 9, 30)),
    ("2024-01-02 09:30:00", datetime(2024, 1, 2, 9, 30)),
    ("  2024-01-02 09:30:00 ", datetime(2024, 1, 2, 9, 30)),
    ("20240102", datetime(2024, 1, 2)),
    (20240102, datetime(2024, 1, 2)),
    (" 2024-01-02 ", datetime(2024, 1, 2)),
    # No epoch reading: seconds and milliseconds are split into fields.
    (1704067200, datetime(1704, 6, 7, 2, 0)),
    (1704067200000, datetime(1704, 6, 7, 20, 0, 0)),
    # Twelve digits: a one-digit minute and a one-digit second.
    ("202401020930", datetime(2024, 1, 2, 9, 3, 0)),
    ("20240229", datetime(2024, 2, 29)),
    ("2024-01-02T09:30:00", datetime(2024, 1, 2, 9, 30)),
    ("2024/01/02 09:30", datetime(2024, 1, 2, 9, 30)),
])
def test_bar_time_layouts(value, expected):
    got = kh.parse_qmt_bar_time(value)
    assert got == expected and type(got) is datetime and got.tzinfo is None


@pytest.mark.parametrize("value", ["20240230", "20241301093000", 20240102093000.5, "abc", True, "20240102093060"])
def test_bar_time_hand_off_errors(value):
    with pytest.raises(ValueError) as err:
        kh.parse_qmt_bar_time(value)
    assert str(err.value) == f"Unrecognised date-time text: {str(value).strip()!r}"


def test_bar_time_datetimes_pass_through_and_blanks_mean_now():
    aware = datetime(2024, 1, 2, 9, 30, tzinfo=timezone(timedelta(hours=8)))
    assert kh.parse_qmt_bar_time(aware) is aware
    for value in (None, "", "  \t", "\u3000"):
        before = datetime.now()
        got = kh.parse_qmt_bar_time(value)
        assert before <= got <= datetime.now() and got.tzinfo is None


def test_records_read_keys_in_any_case_and_fall_back():
    rows = [
        {"Time": "20240102093000", "OPEN": "10.5", "High": 11, "low": "abc", "low_price": 9.5,
         "close": None, "Close_Price": "10.9", "VOL": True},
        {"time": None, "datetime": 20240102093100, "open": [1], "open_price": "x", "last": "1_0"},
        {"TIME": "20240102093200", "time": None, "Time": "20240102093300", "close": 1},
    ]
    bars = kh.records_to_bars(rows, SEC)
    assert [(b.datetime, b.open, b.high, b.low, b.close, b.volume) for b in bars] == [
        (datetime(2024, 1, 2, 9, 30), 10.5, 11.0, 9.5, 10.9, 1.0),
        (datetime(2024, 1, 2, 9, 31), 0.0, 0.0, 0.0, 10.0, 0.0),
        # "time" is None: the scan takes the first spelling with a value.
        (datetime(2024, 1, 2, 9, 32), 0.0, 0.0, 0.0, 1.0, 0.0),
    ]
    assert all(b.security is SEC and type(b.open) is float for b in bars)


def test_later_key_wins_in_the_lower_cased_view():
    # The view keeps the last spelling even when its value is None.
    row = {"open": 1.0, "OPEN": None, "open_price": 2.0, "High": 3.0, "HIGH": 4.0}
    assert kh._row_number(row, ["open", "open_price"]) == 2.0
    assert kh._row_number(row, ["high"]) == 4.0
    assert kh._row_number(row, ["OPEN"]) == 0.0
    assert kh._row_number({1: "7", TextKey("Vol"): "8"}, ["1", "vol"]) == 7.0
    assert kh._row_number({}, ["open"], 3) == 3.0 and type(kh._row_number({}, [], 3)) is float


@pytest.mark.parametrize("value, expected", [
    ("1_000", 1000.0), (" 2.5\n", 2.5), ("Infinity", math.inf), ("\uff11\uff12", 12.0),
    (True, 1.0), (Decimal("1.25"), 1.25), (Floaty(4.5), 4.5), (10**400, 0.0), ("1e999", math.inf),
    ("abc", 0.0), ([1], 0.0), (b"3", 3.0),
])
def test_numbers_convert_as_float_does(value, expected):
    # An int beyond the double range counts as no number, like bad text.
    assert kh._row_number({"v": value}, ["v"]) == expected


def test_placeholders():
    zero = {"time": "20240102093000"}
    rows = [zero, {"time": "20240102093100", "volume": 5}, {"time": "20240102093200", "open": "nan"}]
    assert [b.datetime.minute for b in kh.records_to_bars(rows, SEC)] == [31, 32]
    assert [b.datetime.minute for b in kh.records_to_bars(rows, SEC, drop_placeholders=0)] == [30, 31, 32]
    assert kh.records_to_bars(rows, SEC, drop_placeholders=[1])[0].datetime.minute == 31

    def bar(**kw):
        return Bar(**{"datetime": D, "security": SEC, "open": 0, "high": 0, "low": 0, "close": 0,
                      "volume": 0, **kw})

    assert kh.is_placeholder_bar(bar()) is True
    assert kh.is_placeholder_bar(bar(open=None, high="", low=[], close=0.0, volume=-0.0)) is True
    assert kh.is_placeholder_bar(bar(close=math.nan)) is False
    assert kh.is_placeholder_bar(bar(volume="0")) is True  # truthy text, zero as a float
    # The test stops at the first non-zero field: a later bad value is not read.
    assert kh.is_placeholder_bar(bar(open=1, high="bad")) is False
    with pytest.raises(ValueError):
        kh.is_placeholder_bar(bar(high="bad"))


@pytest.mark.parametrize("records", [None, [], (), {}, 0, ""])
def test_false_records_give_an_empty_list(records):
    assert kh.records_to_bars(records, SEC) == []


def test_records_from_any_iterable_keep_order_and_skip_non_dicts():
    rows = [{"time": f"2024010209{m:02d}00", "close": m + 1} for m in (5, 1, 5)]
    mixed = [rows[0], 7, "x", None, rows[1], [("time", "1")], DictSub(rows[2])]
    for source in (mixed, tuple(mixed), iter(mixed), (r for r in mixed)):
        assert [b.close for b in kh.records_to_bars(source, SEC)] == [6.0, 2.0, 6.0]


def test_values_that_run_code_see_the_record_as_python_would():
    # A conversion that edits the record changes what the later fields read,
    # as it does in the plain-Python version.
    def make(time):
        row = {"time": time, "high": 5.0, "low": 2.0}

        class Eats:
            def __float__(self):
                row.pop("high")
                row["HIGH_PRICE"] = "9"
                return 1.0

        row["open"] = Eats()
        return row

    for time in ("20240102093000", TextKey("20240102093000")):
        native = kh.records_to_bars([make(time)], SEC)
        python = ref.records_to_bars([make(time)], SEC)
        assert [(b.open, b.high, b.low) for b in native] == [(b.open, b.high, b.low) for b in python] == [
            (1.0, 9.0, 2.0)]

    # The time is read before any number, so its str() sees the whole record
    # and the numbers see what it left.
    class Stamp:
        def __str__(self):
            row["low"] = "7"
            return "20240102093000"

    for convert in (kh.records_to_bars, ref.records_to_bars):
        row = {"time": Stamp(), "open": 1.0, "low": 2.0}
        assert [(b.open, b.low) for b in convert([row], SEC)] == [(1.0, 7.0)]


@pytest.mark.parametrize("call, message", [
    (lambda: kh.qmt_period_for_freq(None), "Argument 'freq' has incorrect type (expected str, got NoneType)"),
    (lambda: kh.qmt_period_for_freq(StrSub("1Min")), "Argument 'freq' has incorrect type (expected str, got StrSub)"),
    (lambda: kh.clamp_periods(b"1Min", 1), "Argument 'freq' has incorrect type (expected str, got bytes)"),
    (lambda: kh.clamp_periods("1Min", "5"), "Argument 'periods' has incorrect type (expected int, got str)"),
    (lambda: kh.clamp_periods("1Min", 5, "9"), "Argument 'max_count' has incorrect type (expected int, got str)"),
    (lambda: kh.format_qmt_end_time(None, None), "Argument 'freq' has incorrect type (expected str, got NoneType)"),
    (lambda: kh.format_qmt_end_time(date(2024, 1, 2), "1Day"),
     "Argument 'cur_datetime' has incorrect type (expected datetime, got datetime.date)"),
    (lambda: kh.format_qmt_end_time("20240102", "1Day"),
     "Argument 'cur_datetime' has incorrect type (expected datetime, got str)"),
    (lambda: kh.format_qmt_start_time(D, None, "1Day"),
     "Argument 'periods' has incorrect type (expected int, got NoneType)"),
    (lambda: kh.format_qmt_start_time(D, 1, StrSub("1Day")),
     "Argument 'freq' has incorrect type (expected str, got StrSub)"),
    (lambda: kh._row_number([("open", 1)], ["open"]), "Argument 'row' has incorrect type (expected dict, got list)"),
    (lambda: kh._row_number({}, ["open"], "1"), "Argument 'default' has incorrect type (expected float, got str)"),
    (lambda: kh.records_to_bars(),
     "records_to_bars() takes at least 2 positional arguments (0 given)"),
    (lambda: kh.clamp_periods("1Min", 1, 2, 3), "clamp_periods() takes at most 3 positional arguments (4 given)"),
    (lambda: kh.parse_qmt_bar_time(value=1, when=2), "parse_qmt_bar_time() got an unexpected keyword argument 'when'"),
    (lambda: kh.format_qmt_end_time(None, "1Day", freq="1Day"),
     "format_qmt_end_time() got multiple values for keyword argument 'freq'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_the_module_reads_its_own_tables():
    # The tables are the functions' data: extending them is seen at once.
    kh.FREQ_TO_QMT_PERIOD["5Min"] = "5m"
    kh.DEFAULT_MAX_COUNT["5Min"] = 50
    try:
        assert kh.qmt_period_for_freq("5Min") == "5m"
        assert kh.clamp_periods("5Min", 2000) == 50
        with pytest.raises(ValueError, match="Allowed: 1Day, 1Min, 5Min$"):
            kh.qmt_period_for_freq("2Min")
    finally:
        del kh.FREQ_TO_QMT_PERIOD["5Min"], kh.DEFAULT_MAX_COUNT["5Min"]


def test_no_leaks():
    rows = [
        {"time": "20240102093000", "open": 1.5, "high": "2", "low": 1, "close": 1.2, "volume": 10},
        {"TIME": 20240102093100, "open_price": "x", "close": None, "vol": Decimal(3)},
        {TextKey("Time"): "2024-01-02T09:32:00", "open": Floaty(2.0)},
        DictSub(time=None, datetime=D, last="nan"),
        {"time": ""},
        7,
    ]
    assert_no_leak(lambda: kh.records_to_bars(rows, SEC, False))
    assert_no_leak(lambda: kh.records_to_bars(rows + [{"time": "not a time"}], SEC))
    assert_no_leak(lambda: kh.parse_qmt_bar_time(" 202401020930 "))
    assert_no_leak(lambda: kh.format_qmt_start_time(D, 10**100, "1Day"))
    assert_no_leak(lambda: kh.clamp_periods("1Min", -5))
    assert_no_leak(lambda: kh.qmt_period_for_freq("5Min"))
