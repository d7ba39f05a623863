"""Hostile records and full three-argument sweeps for kline_history. The calls
run in a child process, so a crash is reported as a failure instead of
killing the test run."""

import itertools
from datetime import datetime, timedelta


from support.crash import assert_child_ok, run_calls


def hostile_calls():
    from support.crash import ODD, Hostile

    from quillon.core.data import Bar
    from quillon.gateways.qmt import kline_history as kh

    public = [kh.qmt_period_for_freq, kh.clamp_periods, kh.format_qmt_end_time, kh.format_qmt_start_time,
              kh.parse_qmt_bar_time, kh._row_number, kh.is_placeholder_bar, kh.records_to_bars]
    extra = [datetime(2024, 1, 2), datetime.min, datetime.max, "1Day", "1Min", 2.5, 10**400]
    values = ODD + extra
    for fn in public:
        for args in itertools.product(values, repeat=3):
            yield lambda fn=fn, args=args: fn(*args)
        for n in (0, 4):
            yield lambda fn=fn, n=n: fn(*([1] * n))
        yield lambda fn=fn: fn(value=1, unknown=2)

    # Records whose pieces run code that edits the record or the record list
    # while they are being read.
    class EditsOnStr:
        def __init__(self, target, text):
            self.target, self.text = target, text

        def __str__(self):
            self.target.clear()
            return self.text

    class EditsOnFloat:
        def __init__(self, *targets):
            self.targets = targets

        def __float__(self):
            for t in self.targets:
                t.clear()
            return 1.0

    def edited_key():
        row = {"time": "20240102093000"}
        row[EditsOnStr(row, "OPEN")] = 2.0
        return [row, dict(row)]

    def edited_value():
        rows = [{"time": "20240102093000", "open": 1.0}, {"time": 20240102093100}]
        rows[0]["open"] = EditsOnFloat(rows[0], rows)
        return rows

    def edited_time():
        rows = [{"open": 1.0, "close": 2.0}, {"time": "20240102093100", "close": 1.0}]
        rows[0]["time"] = EditsOnStr(rows, "20240102093000")
        return rows

    def edited_during_lower():
        row = {"\u212aX": 1, "time": "20240102093000"}
        row["open"] = EditsOnFloat(row)
        return [row]

    for make in (edited_key, edited_value, edited_time, edited_during_lower):
        yield lambda make=make: kh.records_to_bars(make(), None)
        yield lambda make=make: kh.records_to_bars(tuple(make()), None)
        yield lambda make=make: kh.records_to_bars(iter(make()), None)
        yield lambda make=make: kh._row_number(make()[0], ["open", "time"])

    class BadItems(dict):
        def __init__(self, items):
            super().__init__(time="20240102093000", open=1.0)
            self._items = items

        def items(self):
            if isinstance(self._items, Exception):
                raise self._items
            return self._items

        def get(self, key, default=None):
            return Hostile() if key == "datetime" else None

    for items in ([1, 2], [(1, 2, 3)], [(1,)], None, 5, [("time", Hostile())], [(Hostile(), 1)],
                  iter([("open", 1.0)]), RuntimeError("items"), [("Time", None), ("TIME", "20240102")]):
        yield lambda items=items: kh.records_to_bars([BadItems(items)], None)
        yield lambda items=items: kh._row_number(BadItems(items), ["open"])

    class CollidesWithTime:
        def __hash__(self):
            return hash("time")

        def __eq__(self, other):
            raise RuntimeError("eq")

    def failing_rows():
        yield {"time": "20240102093000", "open": 1.0}
        raise RuntimeError("generator")

    yield lambda: kh.records_to_bars([{CollidesWithTime(): 1, "open": 1.0}], None)
    yield lambda: kh.records_to_bars(failing_rows(), None)
    yield lambda: kh.records_to_bars(Hostile(), None)
    yield lambda: kh.records_to_bars([{"time": "20240102093000", "open": 1.0}], None, Hostile())
    for keys in ([[]], [Hostile()], Hostile(), failing_rows(), "open", [None, 1, b"open"]):
        yield lambda keys=keys: kh._row_number({"open": 1.0, "o": 2.0}, keys)
    for row in ({k: v for k, v in zip(["time", "open", "HIGH", "Low", "close_price", "vol"], itertools.repeat(v))}
                for v in values):
        yield lambda row=row: kh.records_to_bars([row, row], None, False)
    hashable = [v for v in values if getattr(type(v), "__hash__", None) and not isinstance(v, (Hostile, list))]
    yield lambda: kh.records_to_bars([{k: "20240102093000" for k in hashable}], None)

    class Attrs:
        def __init__(self, value):
            self.open = self.high = self.low = self.close = self.volume = value

    for v in values:
        yield lambda v=v: kh.is_placeholder_bar(Attrs(v))
        yield lambda v=v: kh.is_placeholder_bar(Bar(None, None, 0, 0, 0, 0, v))
    yield lambda: kh.is_placeholder_bar(Hostile())

    class OddDatetime(datetime):
        def strftime(self, fmt):
            return Hostile()

        def __sub__(self, other):
            return 5

    for cur in (OddDatetime(2024, 1, 2), datetime(1, 1, 1), datetime(9999, 12, 31, 23, 59, 59)):
        for periods in (1, 10**6, 10**9, 2**31, 2**63, 10**100):
            for freq in ("1Day", "1Min"):
                yield lambda a=(cur, periods, freq): kh.format_qmt_start_time(*a)
        yield lambda cur=cur: kh.format_qmt_end_time(cur, "1Day")

    # Odd contents in the module's tables.
    saved = dict(kh.FREQ_TO_QMT_PERIOD), dict(kh.DEFAULT_MAX_COUNT)
    for junk in (Hostile(), None, "x", 2.5, [], 10**100):
        def with_tables(junk=junk):
            kh.FREQ_TO_QMT_PERIOD.clear()
            kh.FREQ_TO_QMT_PERIOD.update({"1Min": junk, 5: "5m"})
            kh.DEFAULT_MAX_COUNT.update({"1Min": junk})
            try:
                for call in (lambda: kh.qmt_period_for_freq("1Min"), lambda: kh.qmt_period_for_freq("x"),
                             lambda: kh.clamp_periods("1Min", 10)):
                    try:
                        call()
                    except Exception:
                        pass
            finally:
                kh.FREQ_TO_QMT_PERIOD.clear()
                kh.FREQ_TO_QMT_PERIOD.update(saved[0])
                kh.DEFAULT_MAX_COUNT.clear()
                kh.DEFAULT_MAX_COUNT.update(saved[1])

        yield with_tables
    yield lambda: kh.parse_qmt_bar_time(EditsOnStr([], "2024-01-02" + "\x00" * 5))
    yield lambda: kh.parse_qmt_bar_time(datetime.max - timedelta(0))


def test_hostile_inputs_do_not_crash():
    assert_child_ok(__file__, timeout=600)


if __name__ == "__main__":
    run_calls(hostile_calls())
