"""History helpers: native module against the plain-Python version."""

import random
from datetime import datetime, timedelta

import py_kline_history as py
from common import compare, header

from quillon.core.security import Stock
from quillon.gateways.qmt import kline_history as native


def bridge_records(n, seed=7, time_as=str):
    """Minute bars as the bridge sends them (one trading session's layout)."""
    rnd = random.Random(seed)
    t = datetime(2024, 1, 2, 9, 30)
    price = 10.0
    out = []
    for _ in range(n):
        o = round(price, 2)
        c = round(o + rnd.uniform(-0.05, 0.05), 2)
        out.append({
            "time": time_as(t.strftime("%Y%m%d%H%M%S")),
            "open": o,
            "high": round(max(o, c) + 0.01, 2),
            "low": round(min(o, c) - 0.01, 2),
            "close": c,
            "volume": rnd.randrange(100, 100_000),
            "amount": round(c * 1000, 2),
        })
        price = c
        t += timedelta(minutes=1)
    return out


def main():
    sec = Stock(code="SH.600000")

    header("kline_history records_to_bars (5,000 records per call)")
    for label, records in (
        ("time as text", bridge_records(5000)),
        ("time as int", bridge_records(5000, time_as=int)),
        ("'TIME' key, text prices",
         [{"TIME": r["time"], **{k: str(v) for k, v in r.items() if k != "time"}}
          for r in bridge_records(5000)]),
    ):
        compare(f"records_to_bars ({label})", native.records_to_bars, py.records_to_bars,
                (records, sec), 3)

    header("kline_history (per call)")
    for value in ("20240102093000", 20240102093000, "2024-01-02 09:30:00", "20240102",
                  "2024-01-02T09:30:00", "202401020930"):
        compare(f"parse_qmt_bar_time({value!r})", native.parse_qmt_bar_time, py.parse_qmt_bar_time,
                (value,), 20_000)
    for args in (("1Min", 5000), ("1Day", 100, 3000)):
        compare(f"clamp_periods{args!r}", native.clamp_periods, py.clamp_periods, args, 200_000)
    compare("qmt_period_for_freq('1Min')", native.qmt_period_for_freq, py.qmt_period_for_freq,
            ("1Min",), 200_000)


if __name__ == "__main__":
    main()
