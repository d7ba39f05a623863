"""Simulated QMT bridge agent: serves the gateway's Redis protocol from a fake terminal.

The real agent runs inside the QMT terminal, which does not exist on development
or CI machines.  This program takes its place: it pops requests from a Redis
list, answers each on its own reply list and publishes order events, backed by a
deterministic simulated market and account.

Run it with ``python -m quillon_sim.qmt_agent --port 6380 --allow-orders``
(with ``sim`` on ``sys.path``).  Once connected it prints one line,
``quillon_sim QMT agent listening on HOST:PORT db=N prefix=P``, and it stops
cleanly (exit status 0) on SIGTERM or SIGINT.

Wire format (P is the key prefix, default ``quillon:qmt``):

* requests: JSON objects ``{"id", "op", "params", "ts"}`` RPUSHed onto ``P:req``;
* replies: ``{"ok": bool, "error": str or null, "data": ...}`` RPUSHed onto
  ``P:res:<id>``, which then expires after ``--reply-ttl`` seconds so replies
  nobody waits for any more do not pile up;
* events: ``{"type": "order", "data": {...}}`` PUBLISHed on ``P:events``.

On SIGTERM or SIGINT the agent finishes the request in hand and exits; to end
its blocking pop at once it pushes onto a private list ``P:sim:wake:<random>``
(expiring after 10 s), else the pop's one-second timeout bounds the wait.

Fault injection
---------------
Tests make the agent misbehave per operation, either at start-up::

    --delay-op OP=SECONDS   answer OP only after SECONDS (other ops are not held up)
    --drop-op OP            take OP off the queue and never answer it
    --error-op OP=MESSAGE   answer OP with ok false and MESSAGE, without running it
    --badjson-op OP         answer OP with a reply that is not JSON

or at run time through the Redis hash ``P:sim:faults``, read on every request.
Its fields are ``<kind>:<op>`` with kind one of ``delay``, ``drop``, ``error``
and ``badjson``; op ``*`` applies to every operation::

    HSET quillon:qmt:sim:faults delay:get_market_data_ex 2.5
    HSET quillon:qmt:sim:faults drop:ping 1
    HSET quillon:qmt:sim:faults error:place_order "terminal busy"
    HSET quillon:qmt:sim:faults badjson:* 1

Values: ``delay`` takes seconds; ``drop`` and ``badjson`` are on unless the value
is empty, 0, false, no or off; ``error`` takes the message (empty means off).
A field of the hash overrides the start-up option of the same kind and op, so
``HSET ... error:ping ""`` switches off an ``--error-op ping=...``.  Deleting
the field restores the start-up behaviour.  An op-specific field wins over
``*``.  A delay applies first; then a drop beats a bad-JSON reply, which beats
an error reply.  Faulted operations other than a plain delay are not executed.

Simulated terminal
------------------
Prices follow a seeded random walk per code (stable across processes and
Python versions: hashing is BLAKE2, randomness comes only from
``random.Random.random``), one step per trading day and a bridged path of 240
one-minute bars inside each day, so daily bars, minute bars and ticks agree.
History starts on 2015-01-05; trading days are Monday to Friday (no holiday
calendar); sessions are 09:30-11:30 and 13:00-15:00 and minute bars are stamped
at the start of their minute (09:30..11:29, 13:00..14:59); daily bars are
stamped at midnight.  Times are 14-digit text, local wall clock.  About one
trading day in 25 is a whole-day suspension for a given code: it has no bars,
and with ``fill_data`` its periods come back as all-zero placeholder bars.
Volumes are in shares.  Orders fill in full at the limit price (market orders at
the last price) ``--fill-delay`` seconds after they are accepted; there are no
fees, and bought shares can be sold at once.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import random
import re
import signal
import sys
import threading
import time
import uuid
from collections import OrderedDict
from dataclasses import dataclass, field
from datetime import date, datetime, time as dtime, timedelta
from typing import Any, Callable, Dict, List, Optional, Tuple

AGENT_NAME = "quillon_sim"
DEFAULT_PREFIX = "quillon:qmt"
PASSWORD_ENV = "QUILLON_SIM_REDIS_PASSWORD"

HISTORY_START = date(2015, 1, 5)  # a Monday: weekday index 0
MINUTES_PER_DAY = 240
MAX_BARS = 50_000  # per code and request, so an open-ended request stays bounded
DIVIDEND_TYPES = ("none", "front", "back", "front_ratio", "back_ratio", "follow")
HISTORY_FIELDS = ("open", "high", "low", "close", "volume", "amount", "preClose")
_CODE_RE = re.compile(r"^\d{6}\.(SH|SZ|BJ)$")
_DAY_CLOSE = dtime(15, 0)


class SimError(ValueError):
    """A request the simulated terminal refuses; its text goes back to the caller."""


# --------------------------------------------------------------------------
# deterministic randomness

def stable_int(*parts: Any) -> int:
    """64-bit hash of ``parts`` that, unlike ``hash()``, is the same in every process."""
    text = "\x1f".join(str(p) for p in parts)
    return int.from_bytes(hashlib.blake2b(text.encode("utf-8"), digest_size=8).digest(), "big")


def _rng(*parts: Any) -> random.Random:
    return random.Random(stable_int(*parts))


def _gauss(rng: random.Random) -> float:
    # Box-Muller on random() alone: random() is the only generator output Python
    # promises to keep stable across versions for a given seed.
    u1 = 1.0 - rng.random()
    u2 = rng.random()
    return math.sqrt(-2.0 * math.log(u1)) * math.cos(2.0 * math.pi * u2)


# --------------------------------------------------------------------------
# trading calendar

def weekday_index(day: date) -> int:
    """Number of weekdays from HISTORY_START to ``day`` (a weekday)."""
    weeks, rest = divmod((day - HISTORY_START).days, 7)
    return weeks * 5 + rest


def day_of_index(idx: int) -> date:
    weeks, rest = divmod(idx, 5)
    return HISTORY_START + timedelta(days=weeks * 7 + rest)


def latest_weekday(day: date) -> date:
    while day.weekday() >= 5:
        day -= timedelta(days=1)
    return day


def slot_time(i: int) -> dtime:
    """Start-of-minute stamp of one-minute bar ``i`` (0..239) of a trading day."""
    minutes = 9 * 60 + 30 + i if i < 120 else 13 * 60 + (i - 120)
    return dtime(minutes // 60, minutes % 60)


def bars_available(day: date, now: datetime) -> int:
    """How many of the day's one-minute bars exist at ``now`` (the current one included)."""
    if day < now.date():
        return MINUTES_PER_DAY
    if day > now.date():
        return 0
    t = now.hour * 60 + now.minute
    if t < 570:
        return 0
    if t < 690:
        return t - 570 + 1
    if t < 780:
        return 120
    if t < 900:
        return 120 + (t - 780) + 1
    return MINUTES_PER_DAY


def fmt14(moment: datetime) -> str:
    return moment.strftime("%Y%m%d%H%M%S")


def parse_time_bound(value: Any, name: str, is_end: bool) -> Optional[datetime]:
    """Read a start_time/end_time parameter: "" or null, 8 digits (a whole day) or 14 digits."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise SimError(f"{name} must be text, got {type(value).__name__}")
    text = value.strip()
    if not text:
        return None
    try:
        if len(text) == 14 and text.isdigit():
            return datetime.strptime(text, "%Y%m%d%H%M%S")
        if len(text) == 8 and text.isdigit():
            day = datetime.strptime(text, "%Y%m%d")
            return day.replace(hour=23, minute=59, second=59) if is_end else day
    except ValueError:
        pass
    raise SimError(f"invalid {name}: {value!r} (expected YYYYmmdd or YYYYmmddHHMMSS)")


# --------------------------------------------------------------------------
# market

Bar = Tuple[float, float, float, float, int, float]  # open, high, low, close, volume, amount


class SimMarket:
    """Seeded price history per code: a random walk of daily closes with a bridged
    minute path inside each day, so every view of one code tells the same story."""

    def __init__(self, seed: int = 7):
        self.seed = seed
        self._lock = threading.Lock()
        self._log_closes: Dict[str, List[float]] = {}
        self._days: "OrderedDict[Tuple[str, int], Optional[List[Bar]]]" = OrderedDict()
        self._daily: Dict[Tuple[str, int], Optional[Bar]] = {}

    @staticmethod
    def valid_code(code: Any) -> bool:
        return isinstance(code, str) and bool(_CODE_RE.match(code))

    def base_price(self, code: str) -> float:
        return 5.0 + (stable_int(self.seed, "base", code) % 9500) / 100.0

    def is_halted(self, code: str, day: date) -> bool:
        """Whether ``code`` is suspended for the whole of trading day ``day``."""
        if day.weekday() >= 5 or day < HISTORY_START:
            return False
        idx = weekday_index(day)
        return idx > 0 and stable_int(self.seed, "halt", code, idx) % 25 == 0

    def _log_close(self, code: str, idx: int) -> float:
        with self._lock:
            closes = self._log_closes.setdefault(code, [])
            log_base = math.log(self.base_price(code))
            while len(closes) <= idx:
                i = len(closes)
                prev = closes[-1] if closes else log_base
                if i > 0 and self.is_halted(code, day_of_index(i)):
                    closes.append(prev)
                    continue
                z = _gauss(_rng(self.seed, "day", code, i))
                # a weak pull towards the seed price keeps decades of walk in range
                step = -0.003 * (prev - log_base) + 0.018 * z
                closes.append(prev + max(-0.09, min(0.09, step)))
            return closes[idx]

    def prev_close(self, code: str, idx: int) -> float:
        if idx <= 0:
            return round(self.base_price(code), 2)
        return round(math.exp(self._log_close(code, idx - 1)), 2)

    def minute_bars(self, code: str, day: date) -> Optional[List[Bar]]:
        """The 240 one-minute bars of ``day``, or None when there are none (suspension,
        weekend, before the history starts)."""
        if day.weekday() >= 5 or day < HISTORY_START or self.is_halted(code, day):
            return None
        idx = weekday_index(day)
        key = (code, idx)
        with self._lock:
            if key in self._days:
                self._days.move_to_end(key)
                return self._days[key]
        bars = self._build_day(code, idx)
        with self._lock:
            self._days[key] = bars
            while len(self._days) > 256:
                self._days.popitem(last=False)
        return bars

    def _build_day(self, code: str, idx: int) -> List[Bar]:
        rng = _rng(self.seed, "intraday", code, idx)
        log_prev = math.log(self.prev_close(code, idx))
        log_close = self._log_close(code, idx)
        log_open = log_prev + 0.004 * _gauss(rng)
        steps = [0.0012 * _gauss(rng) for _ in range(MINUTES_PER_DAY)]
        drift = (log_close - log_open - sum(steps)) / MINUTES_PER_DAY
        points = [math.exp(log_open)]
        acc = log_open
        for s in steps[:-1]:
            acc += s + drift
            points.append(math.exp(acc))
        points.append(math.exp(log_close))  # exact, so the day closes where the walk says
        lots = 200 + stable_int(self.seed, "liquidity", code) % 4800
        uniform = rng.random
        bars: List[Bar] = []
        c = round(points[0], 2)
        for i in range(MINUTES_PER_DAY):
            o = c
            c = round(points[i + 1], 2)
            h = round((o if o > c else c) * (1.0 + 0.0008 * uniform()), 2)
            lo = round((c if o > c else o) * (1.0 - 0.0008 * uniform()), 2)
            u_shape = 1.0 + 1.5 * ((i - 119.5) / 119.5) ** 2
            volume = 100 * (1 + int(lots * u_shape * (0.4 + 1.2 * uniform())))
            bars.append((o, h, lo, c, volume, round(volume * (o + h + lo + c) / 4.0, 2)))
        return bars

    def daily_bar(self, code: str, day: date, n: int = MINUTES_PER_DAY) -> Optional[Bar]:
        """The day's bar built from its first ``n`` one-minute bars, None when suspended."""
        key = (code, weekday_index(day))
        if n == MINUTES_PER_DAY:
            with self._lock:
                if key in self._daily:
                    return self._daily[key]
        bars = self.minute_bars(code, day)
        bar = self.aggregate(bars[:n]) if bars is not None else None
        if n == MINUTES_PER_DAY:
            with self._lock:
                self._daily[key] = bar
        return bar

    @staticmethod
    def aggregate(bars: List[Bar]) -> Bar:
        return (
            bars[0][0],
            max(b[1] for b in bars),
            min(b[2] for b in bars),
            bars[-1][3],
            sum(b[4] for b in bars),
            round(sum(b[5] for b in bars), 2),
        )

    def _session_day(self, now: datetime) -> Tuple[date, int]:
        """The trading day a terminal would show at ``now`` and how many of its bars exist."""
        day = latest_weekday(now.date())
        n = bars_available(day, now)
        if n == 0:
            day = latest_weekday(day - timedelta(days=1))
            n = MINUTES_PER_DAY
        return day, n

    def last_price(self, code: str, now: datetime) -> float:
        tick = self.tick(code, now)
        return tick["lastPrice"] if tick else 0.0

    def tick(self, code: str, now: datetime) -> Optional[Dict[str, Any]]:
        """Snapshot row of ``code`` at ``now``, in the terminal's tick shape."""
        if not self.valid_code(code):
            return None
        day, n = self._session_day(now)
        if day < HISTORY_START:
            return None
        idx = weekday_index(day)
        pre = self.prev_close(code, idx)
        bars = self.minute_bars(code, day)
        stamp = min(now.time(), _DAY_CLOSE) if day == now.date() else _DAY_CLOSE
        row: Dict[str, Any] = {
            "timetag": f"{day:%Y%m%d} {stamp:%H:%M:%S}",
            "time": int(datetime.combine(day, stamp).timestamp() * 1000),
            "lastClose": pre,
            "openInt": 0,
            "lastSettlementPrice": 0.0,
            "settlementPrice": 0.0,
        }
        if bars is None:  # suspended: the terminal shows no trading at all
            row.update(lastPrice=pre, open=0.0, high=0.0, low=0.0, volume=0, pvolume=0,
                       amount=0.0, stockStatus=1, transactionNum=0,
                       bidPrice=[0.0] * 5, askPrice=[0.0] * 5, bidVol=[0] * 5, askVol=[0] * 5)
            return row
        o, h, lo, c, v, amt = self.aggregate(bars[:n])
        book = _rng(self.seed, "book", code, idx, n)
        row.update(
            lastPrice=c, open=o, high=h, low=lo, volume=v, pvolume=v, amount=amt,
            stockStatus=0, transactionNum=v // 500 + n,
            bidPrice=[round(max(c - 0.01 * k, 0.01), 2) for k in range(1, 6)],
            askPrice=[round(c + 0.01 * k, 2) for k in range(1, 6)],
            bidVol=[100 * (1 + int(book.random() * 500)) for _ in range(5)],
            askVol=[100 * (1 + int(book.random() * 500)) for _ in range(5)],
        )
        return row

    def history(self, code: str, period: str, count: int, start: Optional[datetime],
                end: Optional[datetime], fill_data: bool, now: datetime) -> List[Tuple[datetime, Optional[Bar], float]]:
        """The last ``count`` bars of ``code`` in [start, end] (capped at ``now``), oldest
        first, as (stamp, bar or None for a placeholder, previous close)."""
        limit = count if 0 < count <= MAX_BARS else MAX_BARS
        end_at = now if end is None or end > now else end
        day = latest_weekday(end_at.date())
        out: List[Tuple[datetime, Optional[Bar], float]] = []
        while day >= HISTORY_START and len(out) < limit:
            if start is not None and day < start.date():
                break
            idx = weekday_index(day)
            n = bars_available(day, now)
            if n:
                if period == "1d":
                    bar = self.daily_bar(code, day, n)
                    if bar is not None:
                        out.append((datetime.combine(day, dtime()), bar, self.prev_close(code, idx)))
                    elif fill_data:
                        out.append((datetime.combine(day, dtime()), None, 0.0))
                else:
                    bars = self.minute_bars(code, day)
                    for i in range(n - 1, -1, -1):
                        stamp = datetime.combine(day, slot_time(i))
                        if stamp > end_at:
                            continue
                        if start is not None and stamp < start:
                            break
                        if bars is not None:
                            pre = bars[i - 1][3] if i else self.prev_close(code, idx)
                            out.append((stamp, bars[i], pre))
                        elif fill_data:
                            out.append((stamp, None, 0.0))
                        if len(out) >= limit:
                            break
            day = latest_weekday(day - timedelta(days=1))
        out.reverse()
        return out


# --------------------------------------------------------------------------
# terminal: market + account + orders

def _cents(value: float) -> int:
    return int(round(value * 100))


@dataclass
class _Position:
    volume: int = 0
    frozen: int = 0  # held by live sell orders
    cost_cents: int = 0  # cost of the shares held, for the average price


@dataclass
class SimOrder:
    order_id: int
    order_ref: str
    code: str
    direction: str
    order_type: str
    price: float
    volume: int
    status: str = "submitted"
    filled_volume: int = 0
    traded_price: float = 0.0
    reserved_cents: int = 0
    timer: Optional[threading.Timer] = field(default=None, repr=False)

    def event(self, now: datetime) -> Dict[str, Any]:
        return {
            "type": "order",
            "data": {
                "order_ref": self.order_ref,
                "order_id": self.order_id,
                "code": self.code,
                "direction": self.direction,
                "order_type": self.order_type,
                "price": self.price,
                "volume": self.volume,
                "filled_volume": self.filled_volume,
                "traded_price": self.traded_price,
                "status": self.status,
                "submitted": True,
                "cancelled": self.status == "cancelled",
                "time": fmt14(now),
            },
        }


def _as_int(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise SimError(f"{name} must be a number, got {type(value).__name__}")
    if isinstance(value, float) and not value.is_integer():
        raise SimError(f"{name} must be a whole number, got {value!r}")
    return int(value)


def _as_price(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise SimError(f"{name} must be a finite number, got {value!r}")
    return float(value)


class SimTerminal:
    """The simulated terminal behind the agent, usable without Redis.

    ``handle(op, params)`` runs one operation and returns its reply data (raising
    ``SimError`` for a refused request); ``after_reply(op, data)`` must follow once
    the reply is out, because that is when the terminal's order callbacks fire.
    Events go to ``publish``; ``clock`` gives the local wall-clock time.
    """

    def __init__(self, seed: int = 7, allow_orders: bool = False, fill_delay: float = 0.2,
                 cash: float = 1_000_000.0, holdings: Optional[Dict[str, int]] = None,
                 clock: Callable[[], datetime] = datetime.now,
                 publish: Optional[Callable[[Dict[str, Any]], None]] = None):
        self.market = SimMarket(seed)
        self.allow_orders = allow_orders
        self.fill_delay = max(0.0, float(fill_delay))
        self.clock = clock
        self.publish = publish or (lambda event: None)
        self.account_id = f"SIM{stable_int(seed, 'account') % 10**8:08d}"
        self._lock = threading.RLock()
        self._cash = _cents(cash)
        self._reserved = 0  # cash held by live buy orders
        self._positions: Dict[str, _Position] = {}
        for code, volume in (holdings if holdings is not None else DEFAULT_HOLDINGS).items():
            if not self.market.valid_code(code) or volume <= 0:
                raise ValueError(f"bad holding {code}={volume}")
            cost = _cents(self.market.base_price(code)) * volume
            self._positions[code] = _Position(volume=volume, cost_cents=cost)
        self._orders: Dict[int, SimOrder] = {}
        self._next_id = 10_000_001
        self._closed = False
        self.ops: Dict[str, Callable[[Dict[str, Any]], Any]] = {
            "ping": self.ping,
            "get_full_tick": self.get_full_tick,
            "place_order": self.place_order,
            "cancel_order": self.cancel_order,
            "query_asset": self.query_asset,
            "query_positions": self.query_positions,
            "get_market_data_ex": self.get_market_data_ex,
        }

    # ---- dispatch
    def handle(self, op: str, params: Dict[str, Any]) -> Any:
        handler = self.ops.get(op)
        if handler is None:
            raise SimError(f"unknown op: {op}")
        return handler(params)

    def after_reply(self, op: str, data: Any) -> None:
        if op == "place_order":
            self._start_order(int(data["order_id"]))
        elif op == "cancel_order":
            with self._lock:
                order = self._orders[int(data["order_id"])]
                event = order.event(self.clock())
            self._emit(event)

    def close(self) -> None:
        with self._lock:
            self._closed = True
            for order in self._orders.values():
                if order.timer is not None:
                    order.timer.cancel()

    def _emit(self, event: Dict[str, Any]) -> None:
        try:
            self.publish(event)
        except Exception as exc:  # a lost event must not take the fill thread down
            print(f"quillon_sim: publishing event failed: {exc}", file=sys.stderr, flush=True)

    # ---- operations
    def ping(self, params: Dict[str, Any]) -> Dict[str, Any]:
        return {"pong": True, "agent": AGENT_NAME, "time": time.time(),
                "account_id": self.account_id, "allow_orders": self.allow_orders}

    @staticmethod
    def _codes(params: Dict[str, Any]) -> List[str]:
        codes = params.get("codes")
        if not isinstance(codes, list) or not all(isinstance(c, str) for c in codes):
            raise SimError("codes must be a list of codes such as 600000.SH")
        return codes

    def get_full_tick(self, params: Dict[str, Any]) -> Dict[str, Any]:
        now = self.clock()
        out = {}
        for code in self._codes(params):
            row = self.market.tick(code, now)
            if row is not None:  # the terminal leaves unknown codes out
                out[code] = row
        return out

    def get_market_data_ex(self, params: Dict[str, Any]) -> Dict[str, List[Dict[str, Any]]]:
        codes = self._codes(params)
        period = params.get("period", "1d")
        if period not in ("1m", "1d"):
            raise SimError(f"unsupported period: {period!r} (1m or 1d)")
        count = _as_int(params.get("count", -1), "count")
        start = parse_time_bound(params.get("start_time"), "start_time", is_end=False)
        end = parse_time_bound(params.get("end_time"), "end_time", is_end=True)
        fields = params.get("fields") or []
        if not isinstance(fields, list) or not all(isinstance(f, str) for f in fields):
            raise SimError("fields must be a list of field names")
        wanted = [f for f in HISTORY_FIELDS if not fields or f in fields]
        dividend = params.get("dividend_type", "none")
        if dividend not in DIVIDEND_TYPES:
            raise SimError(f"unsupported dividend_type: {dividend!r}")
        fill_data = bool(params.get("fill_data", True))
        now = self.clock()
        out: Dict[str, List[Dict[str, Any]]] = {}
        for code in codes:
            if not self.market.valid_code(code):
                continue
            records = []
            for stamp, bar, pre in self.market.history(code, period, count, start, end, fill_data, now):
                values = dict(zip(("open", "high", "low", "close", "volume", "amount"),
                                  bar if bar is not None else (0.0, 0.0, 0.0, 0.0, 0, 0.0)))
                values["preClose"] = pre
                record = {"time": fmt14(stamp)}
                record.update((f, values[f]) for f in wanted)
                records.append(record)
            out[code] = records
        return out

    def query_asset(self, params: Dict[str, Any]) -> Dict[str, Any]:
        now = self.clock()
        with self._lock:
            value, profit = self._valuation(now)
            cash, available = self._cash, self._cash - self._reserved
        return {
            "m_strAccountID": self.account_id,
            "m_dBalance": cash / 100,
            "m_dAvailable": available / 100,
            "m_dFetchBalance": available / 100,
            "m_dFrozenCash": (cash - available) / 100,
            "m_dMarketValue": value / 100,
            "m_dTotalAsset": (cash + value) / 100,
            "m_dPositionProfit": profit / 100,
            "m_dFloatProfit": profit / 100,
        }

    def _valuation(self, now: datetime) -> Tuple[int, int]:
        value = profit = 0
        for code, pos in self._positions.items():
            mv = _cents(self.market.last_price(code, now)) * pos.volume
            value += mv
            profit += mv - pos.cost_cents
        return value, profit

    def query_positions(self, params: Dict[str, Any]) -> List[Dict[str, Any]]:
        now = self.clock()
        rows = []
        with self._lock:
            for code, pos in sorted(self._positions.items()):
                if pos.volume <= 0:
                    continue
                number, exchange = code.split(".")
                last = self.market.last_price(code, now)
                avg = round(pos.cost_cents / pos.volume / 100, 4)
                mv = _cents(last) * pos.volume
                rows.append({
                    "m_strAccountID": self.account_id,
                    "m_strInstrumentID": number,
                    "m_strExchangeID": exchange,
                    "m_nVolume": pos.volume,
                    "can_use_volume": pos.volume - pos.frozen,
                    "m_nCanUseVolume": pos.volume - pos.frozen,
                    "m_nFrozenVolume": pos.frozen,
                    "m_dOpenPrice": avg,
                    "m_dAvgPrice": avg,
                    "m_dLastPrice": last,
                    "m_dMarketValue": mv / 100,
                    "m_dPositionProfit": (mv - pos.cost_cents) / 100,
                })
        return rows

    def place_order(self, params: Dict[str, Any]) -> Dict[str, Any]:
        if not self.allow_orders:
            raise SimError("order refused: ALLOW_ORDERS is off on the bridge agent")
        code = params.get("code")
        if not self.market.valid_code(code):
            raise SimError(f"invalid code: {code!r} (expected a code such as 600000.SH)")
        direction = params.get("direction")
        if direction not in ("BUY", "SELL"):
            raise SimError(f"invalid direction: {direction!r} (BUY or SELL)")
        order_type = params.get("order_type", "LIMIT")
        if order_type not in ("LIMIT", "MARKET"):
            raise SimError(f"invalid order_type: {order_type!r} (LIMIT or MARKET)")
        volume = _as_int(params.get("volume"), "volume")
        if volume <= 0:
            raise SimError(f"volume must be positive, got {volume}")
        if direction == "BUY" and volume % 100:
            raise SimError(f"buy volume must be a multiple of 100 shares, got {volume}")
        price = _as_price(params.get("price", 0.0), "price")
        if order_type == "LIMIT" and price <= 0:
            raise SimError(f"a limit order needs a positive price, got {price!r}")
        order_ref = params.get("order_ref", "")
        if order_ref is None:
            order_ref = ""
        if not isinstance(order_ref, str):
            raise SimError(f"order_ref must be text, got {type(order_ref).__name__}")
        now = self.clock()
        with self._lock:
            reserved = 0
            if direction == "BUY":
                # a market buy may fill up to the daily limit above the last price
                ref = price if order_type == "LIMIT" else self.market.last_price(code, now) * 1.1
                reserved = _cents(ref * volume)
                available = self._cash - self._reserved
                if reserved > available:
                    raise SimError(f"insufficient funds: order needs {reserved / 100:.2f}, "
                                   f"available {available / 100:.2f}")
                self._reserved += reserved
            else:
                pos = self._positions.get(code)
                usable = pos.volume - pos.frozen if pos else 0
                if volume > usable:
                    raise SimError(f"insufficient position: {code} can_use_volume {usable}, order {volume}")
                pos.frozen += volume
            order = SimOrder(self._next_id, order_ref, code, direction, order_type, price,
                             volume, reserved_cents=reserved)
            self._next_id += 1
            self._orders[order.order_id] = order
        return {"order_id": order.order_id, "order_ref": order_ref}

    def cancel_order(self, params: Dict[str, Any]) -> Dict[str, Any]:
        raw = params.get("order_id")
        text = str(raw).strip() if isinstance(raw, (str, int)) and not isinstance(raw, bool) else ""
        if not text.isdigit():
            raise SimError(f"invalid order_id: {raw!r}")
        with self._lock:
            order = self._orders.get(int(text))
            if order is None:
                raise SimError(f"unknown order_id: {text}")
            if order.status != "submitted":
                raise SimError(f"order {text} is not live (status {order.status})")
            order.status = "cancelled"
            if order.timer is not None:
                order.timer.cancel()
            self._release(order)
        return {"order_id": order.order_id, "order_ref": order.order_ref, "cancelled": True}

    # ---- order lifecycle
    def _release(self, order: SimOrder) -> None:
        if order.direction == "BUY":
            self._reserved -= order.reserved_cents
        else:
            self._positions[order.code].frozen -= order.volume
        order.reserved_cents = 0

    def _start_order(self, order_id: int) -> None:
        with self._lock:
            order = self._orders[order_id]
            event = order.event(self.clock())
        self._emit(event)
        if self.fill_delay <= 0:
            self._fill(order_id)
            return
        timer = threading.Timer(self.fill_delay, self._fill, args=(order_id,))
        timer.daemon = True
        with self._lock:
            if order.status != "submitted" or self._closed:
                return
            order.timer = timer
        timer.start()

    def _fill(self, order_id: int) -> None:
        now = self.clock()
        with self._lock:
            order = self._orders[order_id]
            if order.status != "submitted" or self._closed:
                return  # cancelled while waiting
            price = order.price if order.order_type == "LIMIT" else self.market.last_price(order.code, now)
            amount = _cents(price * order.volume)
            self._release(order)
            pos = self._positions.setdefault(order.code, _Position())
            if order.direction == "BUY":
                self._cash -= amount
                pos.volume += order.volume
                pos.cost_cents += amount
            else:
                pos.cost_cents -= pos.cost_cents * order.volume // pos.volume
                pos.volume -= order.volume
                self._cash += amount
                if pos.volume == 0:
                    del self._positions[order.code]
            order.status = "filled"
            order.filled_volume = order.volume
            order.traded_price = price
            event = order.event(now)
        self._emit(event)


DEFAULT_HOLDINGS = {"600000.SH": 1000, "000001.SZ": 2000}


# --------------------------------------------------------------------------
# fault injection

FAULT_KINDS = ("delay", "drop", "error", "badjson")
_OFF = ("", "0", "false", "no", "off")
BAD_JSON_REPLY = '{"ok": true, "error": null, "data": {"truncated'


@dataclass
class Faults:
    delay: float = 0.0
    drop: bool = False
    error: Optional[str] = None
    badjson: bool = False


def _fault_value(kind: str, value: str) -> Any:
    """Parse one fault value; raises ValueError for a delay that is not a number."""
    if kind == "delay":
        seconds = float(value) if value.strip() else 0.0
        if not math.isfinite(seconds) or seconds < 0:
            raise ValueError(f"delay must be a non-negative number of seconds, got {value!r}")
        return seconds
    if kind == "error":
        return value or None
    return value.strip().lower() not in _OFF


def resolve_faults(op: str, static: Dict[str, Dict[str, Any]], runtime: Dict[str, str],
                   warn: Callable[[str], None] = lambda msg: None) -> Faults:
    """The faults that apply to ``op``: start-up options overlaid by the control hash,
    the op's own entries over the ``*`` ones."""
    found = Faults()
    for kind in FAULT_KINDS:
        for target in (op, "*"):
            field_name = f"{kind}:{target}"
            if field_name in runtime:
                try:
                    setattr(found, kind, _fault_value(kind, runtime[field_name]))
                    break
                except ValueError as exc:
                    warn(f"ignoring fault {field_name}: {exc}")
            if target in static.get(kind, {}):
                setattr(found, kind, static[kind][target])
                break
    return found


# --------------------------------------------------------------------------
# Redis loop

class QmtAgent:
    """Takes requests off the Redis queue and answers them from a SimTerminal."""

    def __init__(self, client: Any, terminal: SimTerminal, key_prefix: str = DEFAULT_PREFIX,
                 faults: Optional[Dict[str, Dict[str, Any]]] = None, reply_ttl: int = 60):
        prefix = key_prefix.rstrip(":")
        self.client = client
        self.terminal = terminal
        self.req_key = prefix + ":req"
        self.res_prefix = prefix + ":res:"
        self.events_channel = prefix + ":events"
        self.faults_key = prefix + ":sim:faults"
        # popped together with the request queue, so a stop request need not wait
        # for the blocking pop to time out
        self.wake_key = f"{prefix}:sim:wake:{uuid.uuid4().hex}"
        self.static_faults = faults or {}
        self.reply_ttl = max(1, int(reply_ttl))
        self.stop_event = threading.Event()
        self._redis_down = False
        terminal.publish = self.publish

    @staticmethod
    def log(message: str) -> None:
        print(f"quillon_sim: {message}", file=sys.stderr, flush=True)

    def request_stop(self) -> None:
        """Safe to call from a signal handler: sets the flag and wakes the loop."""
        self.stop_event.set()
        threading.Thread(target=self._wake, name="wake", daemon=True).start()

    def _wake(self) -> None:
        try:
            pipe = self.client.pipeline(transaction=True)
            pipe.rpush(self.wake_key, "stop")
            pipe.expire(self.wake_key, 10)
            pipe.execute()
        except Exception:
            pass  # the pop's own timeout still ends the loop

    def publish(self, event: Dict[str, Any]) -> None:
        self.client.publish(self.events_channel, json.dumps(event, ensure_ascii=False))

    def _redis_error(self, exc: Exception) -> None:
        if not self._redis_down:
            self.log(f"redis unavailable ({exc}); retrying")
            self._redis_down = True
        self.stop_event.wait(0.5)

    def wait_for_redis(self) -> bool:
        while not self.stop_event.is_set():
            try:
                self.client.ping()
                self._redis_down = False
                return True
            except Exception as exc:  # redis errors, refused connections, auth failures
                self._redis_error(exc)
        return False

    def serve_forever(self) -> None:
        while not self.stop_event.is_set():
            try:
                item = self.client.brpop([self.req_key, self.wake_key], timeout=1)
            except Exception as exc:
                self._redis_error(exc)
                continue
            if self._redis_down:
                self.log("redis connection restored")
                self._redis_down = False
            if item is None or item[0] == self.wake_key:
                continue
            try:
                self.handle_request(item[1])
            except Exception as exc:  # e.g. Redis gone between the pop and the reply
                self.log(f"request not answered: {type(exc).__name__}: {exc}")

    def handle_request(self, text: str) -> None:
        try:
            request = json.loads(text)
        except (TypeError, ValueError):
            self.log(f"dropping a request that is not JSON: {text[:200]!r}")
            return
        req_id = request.get("id") if isinstance(request, dict) else None
        if not isinstance(req_id, str) or not req_id or len(req_id) > 200:
            self.log(f"dropping a request without a usable id: {text[:200]!r}")
            return
        op = request.get("op")
        params = request.get("params")
        if not isinstance(op, str):
            self.reply(req_id, False, "invalid request: op must be a string")
            return
        if params is None:
            params = {}
        if not isinstance(params, dict):
            self.reply(req_id, False, "invalid request: params must be an object")
            return
        try:
            runtime = self.client.hgetall(self.faults_key)
        except Exception as exc:
            self.log(f"cannot read {self.faults_key}: {exc}")
            runtime = {}
        faults = resolve_faults(op, self.static_faults, runtime, self.log)
        if faults.drop:
            return
        if faults.delay > 0:
            # one thread per delayed reply, so a slow op never holds up the queue
            threading.Thread(target=self._delayed, args=(req_id, op, params, faults),
                             name=f"delayed-{op}", daemon=True).start()
            return
        self.respond(req_id, op, params, faults)

    def _delayed(self, req_id: str, op: str, params: Dict[str, Any], faults: Faults) -> None:
        if self.stop_event.wait(faults.delay):
            return
        try:
            self.respond(req_id, op, params, faults)
        except Exception as exc:
            self.log(f"delayed reply to {op} failed: {exc}")

    def respond(self, req_id: str, op: str, params: Dict[str, Any], faults: Faults) -> None:
        if faults.badjson:
            self._push(req_id, BAD_JSON_REPLY)
            return
        if faults.error is not None:
            self.reply(req_id, False, faults.error)
            return
        try:
            data = self.terminal.handle(op, params)
            text = json.dumps({"ok": True, "error": None, "data": data},
                              ensure_ascii=False, allow_nan=False)
        except SimError as exc:
            self.reply(req_id, False, str(exc))
            return
        except Exception as exc:
            self.reply(req_id, False, f"{op} failed: {type(exc).__name__}: {exc}")
            return
        self._push(req_id, text)
        self.terminal.after_reply(op, data)

    def reply(self, req_id: str, ok: bool, error: Optional[str], data: Any = None) -> None:
        self._push(req_id, json.dumps({"ok": ok, "error": error, "data": data}, ensure_ascii=False))

    def _push(self, req_id: str, text: str) -> None:
        key = self.res_prefix + req_id
        pipe = self.client.pipeline(transaction=True)
        pipe.rpush(key, text)
        pipe.expire(key, self.reply_ttl)
        pipe.execute()

    def close(self) -> None:
        self.stop_event.set()
        self.terminal.close()
        try:
            self.client.close()
        except Exception:
            pass


# --------------------------------------------------------------------------
# command line

def _op_value(text: str) -> Tuple[str, str]:
    op, sep, value = text.partition("=")
    if not sep or not op:
        raise argparse.ArgumentTypeError(f"expected OP=VALUE, got {text!r}")
    return op, value


def _op_seconds(text: str) -> Tuple[str, float]:
    op, value = _op_value(text)
    try:
        return op, _fault_value("delay", value)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _holding(text: str) -> Tuple[str, int]:
    code, value = _op_value(text)
    if not SimMarket.valid_code(code) or not value.isdigit() or int(value) <= 0:
        raise argparse.ArgumentTypeError(f"expected CODE=SHARES such as 600000.SH=1000, got {text!r}")
    return code, int(value)


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m quillon_sim.qmt_agent",
                                description="Simulated QMT bridge agent over Redis.")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=6379)
    p.add_argument("--db", type=int, default=5)
    p.add_argument("--password", default=None,
                   help=f"Redis password (default: ${PASSWORD_ENV}, else none)")
    p.add_argument("--key-prefix", default=DEFAULT_PREFIX)
    p.add_argument("--allow-orders", action="store_true", help="accept place_order (ALLOW_ORDERS)")
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--fill-delay", type=float, default=0.2, metavar="SECONDS",
                   help="time from an accepted order to its fill")
    p.add_argument("--cash", type=float, default=1_000_000.0)
    p.add_argument("--holding", type=_holding, action="append", default=None, metavar="CODE=SHARES",
                   help="starting position (repeatable; replaces the default holdings)")
    p.add_argument("--no-holdings", action="store_true", help="start without positions")
    p.add_argument("--reply-ttl", type=int, default=60, metavar="SECONDS")
    p.add_argument("--delay-op", type=_op_seconds, action="append", default=[], metavar="OP=SECONDS")
    p.add_argument("--drop-op", action="append", default=[], metavar="OP")
    p.add_argument("--error-op", type=_op_value, action="append", default=[], metavar="OP=MESSAGE")
    p.add_argument("--badjson-op", action="append", default=[], metavar="OP")
    return p


def main(argv: Optional[List[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        import redis
    except ImportError:
        print("quillon_sim: the redis package is required (pip install redis)", file=sys.stderr)
        return 2
    password = args.password if args.password is not None else os.environ.get(PASSWORD_ENV)
    holdings = {} if args.no_holdings else (dict(args.holding) if args.holding else None)
    faults = {
        "delay": dict(args.delay_op),
        "drop": {op: True for op in args.drop_op},
        "error": {op: msg or f"{op} failed" for op, msg in args.error_op},
        "badjson": {op: True for op in args.badjson_op},
    }
    client = redis.Redis(host=args.host, port=args.port, db=args.db, password=password or None,
                         decode_responses=True, socket_connect_timeout=3.0, socket_timeout=5.0,
                         protocol=2)
    terminal = SimTerminal(seed=args.seed, allow_orders=args.allow_orders,
                           fill_delay=args.fill_delay, cash=args.cash, holdings=holdings)
    agent = QmtAgent(client, terminal, args.key_prefix, faults, args.reply_ttl)

    def stop(signum, frame):
        agent.request_stop()

    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)
    try:
        if agent.wait_for_redis():
            prefix = args.key_prefix.rstrip(":")
            print(f"quillon_sim QMT agent listening on {args.host}:{args.port} "
                  f"db={args.db} prefix={prefix}", flush=True)
            agent.serve_forever()
    finally:
        agent.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
