"""Odd arguments, hostile records and odd tables for every public function of
candle_rollup. The calls run in a child process, so a crash is reported as a
failure instead of killing the test run."""

import itertools
import math
from datetime import datetime, timedelta, timezone


from support.crash import assert_child_ok, run_calls


def hostile_calls():
    import numpy as np
    import pandas as pd
    from support.crash import ODD, Hostile, OddStr

    from quillon.core import candle_rollup as cr
    from quillon.core.data import Bar

    t0 = datetime(2024, 1, 2, 9, 30)

    def bars(count=12, **extra):
        return [Bar(t0 + timedelta(minutes=i), "S", 1.0, 2.0, 0.5, 1.5, 10, **extra) for i in range(count)]

    frame = pd.DataFrame({"time_key": pd.date_range(t0, periods=12, freq="min"), "open": 1.0, "high": 2.0,
                          "low": 0.5, "close": 1.5, "volume": 10})
    extra = [bars(), bars(3), tuple(bars()), frame, frame.iloc[:0], t0, pd.Timestamp(t0), 5, 2.5, 10**400,
             math.nan, OddStr("start"), "start", lambda n: bars(min(n, 40))]
    values = ODD + extra
    public = [cr.parse_bar_freq, cr.try_parse_aggregatable_nmin, cr.is_nmin_aggregatable, cr.to_backtest_interval,
              cr._bucket_start, cr._merge_bucket, cr.aggregate_1min_bars, cr.aggregate_1min_ohlcv_df,
              cr.maybe_req_aggregated_nmin, cr._read_floor]
    for fn in public:
        for args in itertools.product(values, repeat=2):
            yield lambda fn=fn, args=args: fn(*args)
        for n in (0, 3, 5):
            yield lambda fn=fn, n=n: fn(*([1] * n))
        yield lambda fn=fn: fn(freq="5Min", unknown=2)
    for a, b in itertools.product(values, repeat=2):
        for key in ("require_full", "bar_convention", "max_gap_minutes"):
            yield lambda a=a, b=b, key=key: cr.aggregate_1min_bars(bars(), 5, **{key: a})
            yield lambda a=a, b=b, key=key: cr.aggregate_1min_ohlcv_df(frame, b, **{key: a})
        yield lambda a=a, b=b: cr.aggregate_1min_ohlcv_df(frame, 5, time_col=a)
        yield lambda a=a, b=b: cr.fetch_aggregated_nmin_bars(n_min=a, periods=b, fetch_1min=lambda n: bars(min(n, 40)))
        yield lambda a=a, b=b: cr.fetch_aggregated_nmin_bars(n_min=5, periods=2, fetch_1min=lambda n, a=a: a,
                                                              bar_convention=b)
        yield lambda a=a, b=b: cr.maybe_req_aggregated_nmin("5Min", a, b)

    # Records whose fields are odd values, or whose code edits the very list
    # being aggregated while it is read.
    for v in values:
        for field in ("datetime", "high", "low", "volume", "num_trds", "value", "security", "open", "close"):
            def with_field(v=v, field=field):
                bs = bars()
                for b in bs[::3]:
                    setattr(b, field, v)
                return bs

            for n in (2, 5):
                yield lambda make=with_field, n=n: cr.aggregate_1min_bars(make(), n, require_full=False)
                yield lambda make=with_field, n=n: cr.aggregate_1min_bars(make()[::-1], n)
            yield lambda make=with_field: cr._merge_bucket(make(), "end")

    class Clears:
        """A record whose fields empty the list that holds it when read."""

        def __init__(self, target, minute, field):
            self._target, self._minute, self._field = target, minute, field

        def __getattr__(self, name):
            if name == self._field:
                self._target.clear()
            if name == "datetime":
                return t0 + timedelta(minutes=self._minute)
            if name in ("security",):
                return "S"
            return 1.0

    for field in ("datetime", "high", "num_trds", "value", "close", "security"):
        def clearing(field=field):
            held = []
            held.extend(Clears(held, m, field if m == 3 else None) for m in range(12))
            return held

        yield lambda make=clearing: cr.aggregate_1min_bars(make(), 5, require_full=False)
        yield lambda make=clearing: cr.aggregate_1min_bars(make()[::-1], 5)
        yield lambda make=clearing: cr._merge_bucket(make(), "start")
        yield lambda make=clearing: cr._read_floor(make(), 5)

    class Flaky:
        """A datetime that changes type from read to read."""

        def __init__(self):
            self.reads = 0

        @property
        def datetime(self):
            self.reads += 1
            return [t0, pd.Timestamp(t0), None, Hostile(), t0.replace(tzinfo=timezone.utc)][self.reads % 5]

        security = "S"
        open = high = low = close = volume = 1.0

    yield lambda: cr.aggregate_1min_bars([Flaky() for _ in range(20)], 5, require_full=False)
    yield lambda: cr.aggregate_1min_bars(bars() + [Flaky()], 5)

    class BadBool:
        def __bool__(self):
            raise RuntimeError("bool")

    yield lambda: cr.aggregate_1min_bars(bars(), 5, require_full=BadBool())
    yield lambda: cr.aggregate_1min_bars(bars(num_trds=BadBool()), 5)
    yield lambda: cr.aggregate_1min_ohlcv_df(frame, 5, require_full=BadBool())
    yield lambda: cr.aggregate_1min_bars(BadBool(), 5)
    yield lambda: cr.aggregate_1min_bars(iter(bars()), 5)

    def failing():
        yield from bars(4)
        raise RuntimeError("generator")

    yield lambda: cr.aggregate_1min_bars(failing(), 5)

    # Odd tables.
    times = pd.date_range(t0, periods=12, freq="min")
    builders = [
        lambda: frame.set_axis(["time_key", "open", "open", "low", "close", "volume"], axis=1),
        lambda: frame.set_axis(pd.MultiIndex.from_tuples([(c, "") for c in frame.columns]), axis=1),
        lambda: frame.assign(time_key=[t0, "x", None, 5, Hostile(), pd.NaT] * 2),
        lambda: frame.assign(time_key=[t0.replace(tzinfo=timezone(timedelta(hours=h))) for h in range(12)]),
        lambda: frame.assign(open=[Hostile()] * 12),
        lambda: frame.assign(high=[Hostile(), 1.0] * 6),
        lambda: frame.assign(volume=[object()] * 12),
        lambda: frame.assign(num_trds=[None, BadBool()] * 6),
        lambda: frame.assign(time_key=times.as_unit("s") + pd.Timedelta(days=3_000_000)),
        lambda: frame.assign(time_key=list(times.astype(str)[:11]) + [Hostile()]),
        lambda: frame.assign(extra=pd.Categorical(["a"] * 12), other=pd.array([1, None] * 6, dtype="Int64")),
        lambda: frame.assign(time_key=times.astype("int64")),
        lambda: frame.rename(columns={"open": 0, "high": None}),
        lambda: pd.DataFrame({"time_key": times}),
        lambda: pd.DataFrame(index=range(3)),
    ]
    odd_frames = []
    for build in builders:
        try:  # some pandas versions refuse to build a few of them
            odd_frames.append(build())
        except Exception:
            pass
    for df in odd_frames:
        for n in (2, 5, 10**100):
            for full in (True, False):
                yield lambda df=df, n=n, full=full: cr.aggregate_1min_ohlcv_df(df, n, require_full=full)
                yield lambda df=df, n=n, full=full: cr.aggregate_1min_ohlcv_df(
                    df.iloc[::-1], n, require_full=full, bar_convention="start")
        for col in ("open", "high", "volume", "num_trds", 0):
            yield lambda df=df, col=col: cr.aggregate_1min_ohlcv_df(df, 5, time_col=col)
    yield lambda: cr.aggregate_1min_ohlcv_df(frame.assign(volume=np.arange(12) * 2**62), 5)


def test_hostile_inputs_do_not_crash():
    assert_child_ok(__file__, timeout=900)


if __name__ == "__main__":
    run_calls(hostile_calls())
