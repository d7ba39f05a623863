"""End-to-end tests of the simulated QMT bridge agent: a real redis-server, the
agent as its own process, and only redis-py on this side of the wire."""

import json
import os
import re
import time
import uuid
from contextlib import contextmanager
from datetime import date, datetime, timedelta

import pytest

from quillon_sim.qmt_agent import SimMarket, SimTerminal
from support.agent import AgentProcess
from support.redis_server import RedisServer, RedisServerNotFound

PREFIX = "quillon:qmt"
FAULTS = PREFIX + ":sim:faults"
SESSION_MINUTES = {f"{9 + (30 + i) // 60:02d}{(30 + i) % 60:02d}" for i in range(120)} | {
    f"{13 + i // 60:02d}{i % 60:02d}" for i in range(120)}


def send(client, op, params=None, prefix=PREFIX):
    req_id = uuid.uuid4().hex
    envelope = {"id": req_id, "op": op, "params": params or {}, "ts": time.time()}
    client.rpush(prefix + ":req", json.dumps(envelope))
    return req_id


def receive(client, req_id, timeout=5, prefix=PREFIX, raw=False):
    item = client.brpop(prefix + ":res:" + req_id, timeout=timeout)
    if item is None:
        return None
    return item[1] if raw else json.loads(item[1])


def call(client, op, params=None, prefix=PREFIX, timeout=5):
    reply = receive(client, send(client, op, params, prefix), timeout, prefix)
    assert reply is not None, f"no reply to {op} within {timeout}s"
    return reply


def data(client, op, params=None, **kwargs):
    reply = call(client, op, params, **kwargs)
    assert reply["ok"] is True and reply["error"] is None, reply
    return reply["data"]


@contextmanager
def events(client, prefix=PREFIX):
    pubsub = client.pubsub()
    pubsub.subscribe(prefix + ":events")
    assert pubsub.get_message(timeout=2)["type"] == "subscribe"

    def next_event(timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            msg = pubsub.get_message(timeout=max(0.01, deadline - time.monotonic()))
            if msg and msg["type"] == "message":
                return json.loads(msg["data"])
        return None

    try:
        yield next_event
    finally:
        pubsub.close()


def history(client, code, period, count, end_time, fill_data=False, **extra):
    params = {"codes": [code], "period": period, "count": count, "start_time": "",
              "end_time": end_time, "fields": ["open", "high", "low", "close", "volume"],
              "dividend_type": "follow", "fill_data": fill_data, "subscribe": False}
    params.update(extra)
    return data(client, "get_market_data_ex", params)[code]


def first_halt(code, after):
    market = SimMarket(7)
    day = after
    while not market.is_halted(code, day):
        day += timedelta(days=1)
    return day


# ---------------------------------------------------------------- envelopes

def test_startup_line_reply_envelope_and_reply_expiry(agent, redis_client):
    assert agent.startup_line == (f"quillon_sim QMT agent listening on 127.0.0.1:{agent.port} "
                                  f"db=5 prefix={PREFIX}")
    req_id = send(redis_client, "ping")
    key = f"{PREFIX}:res:{req_id}"
    deadline = time.monotonic() + 5
    while not redis_client.exists(key) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert 0 < redis_client.ttl(key) <= 60  # unread replies must not pile up
    reply = receive(redis_client, req_id)
    assert reply["ok"] is True and reply["error"] is None
    assert reply["data"]["pong"] is True and reply["data"]["agent"] == "quillon_sim"
    assert reply["data"]["allow_orders"] is True


SELL_TOO_MANY = {"code": "600000.SH", "direction": "SELL", "order_type": "LIMIT", "price": 10.0,
                 "volume": 5000, "order_ref": "r"}


@pytest.mark.parametrize("op, params, error", [
    ("no_such_op", {}, "unknown op: no_such_op"),
    ("get_full_tick", {"codes": "600000.SH"}, "codes must be a list"),
    ("get_market_data_ex", {"codes": ["600000.SH"], "period": "5x", "count": 1}, "unsupported period"),
    ("get_market_data_ex", {"codes": ["600000.SH"], "period": "1m", "count": 1,
                            "end_time": "2024-01-05"}, "invalid end_time"),
    ("get_market_data_ex", {"codes": ["600000.SH"], "period": "1d", "count": 1,
                            "dividend_type": "weird"}, "unsupported dividend_type"),
    ("place_order", dict(SELL_TOO_MANY, volume="abc"), "volume must be a number"),
    ("place_order", dict(SELL_TOO_MANY, direction="BUY", volume=150), "multiple of 100"),
    ("place_order", dict(SELL_TOO_MANY, direction="BUY", price=float(10**9), volume=100),
     "insufficient funds"),
    ("place_order", SELL_TOO_MANY, "insufficient position"),
    ("place_order", dict(SELL_TOO_MANY, code="600000"), "invalid code"),
    ("place_order", dict(SELL_TOO_MANY, direction="HOLD"), "invalid direction"),
    ("cancel_order", {"order_id": "99999999"}, "unknown order_id: 99999999"),
    ("cancel_order", {"order_id": "; DROP"}, "invalid order_id"),
])
def test_refused_requests_get_an_error_reply(agent, redis_client, op, params, error):
    reply = call(redis_client, op, params)
    assert reply["ok"] is False and reply["data"] is None
    assert error in reply["error"]


def test_malformed_requests_do_not_stop_the_agent(agent, redis_client):
    req = PREFIX + ":req"
    redis_client.rpush(req, "this is not json", json.dumps({"op": "ping"}), json.dumps([1, 2]))
    bad_params = uuid.uuid4().hex
    redis_client.rpush(req, json.dumps({"id": bad_params, "op": "ping", "params": [1]}))
    bad_op = uuid.uuid4().hex
    redis_client.rpush(req, json.dumps({"id": bad_op, "op": 5, "params": {}}))
    assert receive(redis_client, bad_params)["error"] == "invalid request: params must be an object"
    assert receive(redis_client, bad_op)["error"] == "invalid request: op must be a string"
    assert data(redis_client, "ping")["pong"] is True


# ---------------------------------------------------------------- market data

def test_full_tick_rows_agree_with_history(agent, redis_client):
    for _ in range(3):  # a minute boundary between the calls gives a different bar
        ticks = data(redis_client, "get_full_tick", {"codes": ["600000.SH", "000001.SZ", "bogus"]})
        minute = history(redis_client, "600000.SH", "1m", 1, "")
        day = history(redis_client, "600000.SH", "1d", 1, "", fields=[])
        again = data(redis_client, "get_full_tick", {"codes": ["600000.SH"]})["600000.SH"]
        if again["timetag"][:14] == ticks["600000.SH"]["timetag"][:14]:
            break
    assert set(ticks) == {"600000.SH", "000001.SZ"}
    for row in ticks.values():
        assert re.fullmatch(r"\d{8} \d{2}:\d{2}:\d{2}", row["timetag"])
        assert row["lastPrice"] > 0 and row["lastClose"] > 0
        for side in ("bidPrice", "askPrice", "bidVol", "askVol"):
            assert len(row[side]) == 5
        if row["stockStatus"] == 0:
            assert row["bidPrice"] == sorted(row["bidPrice"], reverse=True)
            assert row["askPrice"] == sorted(row["askPrice"])
            assert row["bidPrice"][0] < row["lastPrice"] < row["askPrice"][0]
            assert row["low"] <= row["lastPrice"] <= row["high"]
    tick = ticks["600000.SH"]
    if tick["stockStatus"] == 0:
        assert tick["lastPrice"] == minute[-1]["close"] == day[-1]["close"]
        assert (tick["open"], tick["high"], tick["low"], tick["volume"], tick["amount"]) == (
            day[-1]["open"], day[-1]["high"], day[-1]["low"], day[-1]["volume"], day[-1]["amount"])
        assert tick["lastClose"] == day[-1]["preClose"]


def test_minute_history_is_reproducible_and_within_sessions(agent, redis_client):
    params = {"codes": ["600000.SH", "000001.SZ"], "period": "1m", "count": 300, "start_time": "",
              "end_time": "20240108100000", "fields": ["open", "high", "low", "close", "volume"],
              "dividend_type": "follow", "fill_data": False, "subscribe": False}
    served = data(redis_client, "get_market_data_ex", params)
    # the agent runs under another hash seed: equal output means the walk is seeded stably
    assert served == json.loads(json.dumps(SimTerminal(seed=7).handle("get_market_data_ex", params)))
    assert served["600000.SH"] != served["000001.SZ"]
    bars = served["600000.SH"]
    stamps = [b["time"] for b in bars]
    assert len(bars) == 300 and stamps[-1] == "20240108100000" and stamps == sorted(set(stamps))
    assert {s[8:12] for s in stamps} <= SESSION_MINUTES and {s[12:] for s in stamps} == {"00"}
    assert {"0930", "1129", "1300", "1459"} <= {s[8:12] for s in stamps}
    assert all(datetime.strptime(s, "%Y%m%d%H%M%S").weekday() < 5 for s in stamps)
    assert set(bars[0]) == {"time", "open", "high", "low", "close", "volume"}
    for b in bars:
        assert 0 < b["low"] <= min(b["open"], b["close"]) <= max(b["open"], b["close"]) <= b["high"]
        assert b["volume"] > 0
    # a day's minutes chain up; overnight the price may gap
    assert all(a["close"] == b["open"] for a, b in zip(bars, bars[1:]) if a["time"][:8] == b["time"][:8])


def test_daily_bar_is_built_from_its_minute_bars(agent, redis_client):
    weekdays = [1, 2, 3, 4, 5, 8, 9, 10, 11, 12]  # no holiday calendar: 1 January trades
    assert not any(SimMarket(7).is_halted("600000.SH", date(2024, 1, d)) for d in weekdays)
    days = history(redis_client, "600000.SH", "1d", 10, "20240112", fields=[])
    assert [d["time"] for d in days] == [f"202401{d:02d}000000" for d in weekdays]
    minutes = history(redis_client, "600000.SH", "1m", 240, "20240112150000", fields=[])
    assert minutes[0]["time"] == "20240112093000" and minutes[-1]["time"] == "20240112145900"
    last = days[-1]
    assert last["open"] == minutes[0]["open"] and last["close"] == minutes[-1]["close"]
    assert last["high"] == max(m["high"] for m in minutes)
    assert last["low"] == min(m["low"] for m in minutes)
    assert last["volume"] == sum(m["volume"] for m in minutes)
    assert last["preClose"] == days[-2]["close"]


@pytest.mark.parametrize("period, count", [("1d", 5), ("1m", 3)])
def test_fill_data_pads_a_suspension_with_zero_bars(agent, redis_client, period, count):
    halt = first_halt("600000.SH", date(2023, 6, 1))
    if period == "1d":
        end = (halt + timedelta(days=1 if halt.weekday() < 4 else 3)).strftime("%Y%m%d")
        halted_stamps = {halt.strftime("%Y%m%d000000")}
    else:
        end = halt.strftime("%Y%m%d145900")
        halted_stamps = {halt.strftime("%Y%m%d") + t for t in ("145700", "145800", "145900")}
    padded = history(redis_client, "600000.SH", period, count, end, fill_data=True)
    zeros = [b for b in padded if not any(b[f] for f in ("open", "high", "low", "close", "volume"))]
    assert len(padded) == count and {b["time"] for b in zeros} == halted_stamps
    plain = history(redis_client, "600000.SH", period, count, end, fill_data=False)
    assert len(plain) == count and not {b["time"] for b in plain} & halted_stamps
    assert all(b["close"] > 0 and b["volume"] > 0 for b in plain)


# ---------------------------------------------------------------- orders and account

def test_account_and_position_rows(agent, redis_client):
    asset = data(redis_client, "query_asset")
    for name in ("m_dBalance", "m_dAvailable", "m_dFetchBalance", "m_dPositionProfit",
                 "m_dFloatProfit"):
        assert isinstance(asset[name], float)
    assert asset["m_dBalance"] == asset["m_dAvailable"] == 1_000_000.0
    assert asset["m_strAccountID"]
    rows = data(redis_client, "query_positions")
    assert {(r["m_strInstrumentID"], r["m_strExchangeID"]) for r in rows} == {
        ("600000", "SH"), ("000001", "SZ")}
    for r in rows:
        assert r["m_nVolume"] == r["can_use_volume"] > 0
        assert r["m_dOpenPrice"] > 0 and r["m_dAvgPrice"] == r["m_dOpenPrice"]


def order(code, direction, volume, price=0.0, order_type="LIMIT", ref=None):
    return {"code": code, "direction": direction, "order_type": order_type, "price": price,
            "volume": volume, "order_ref": ref or uuid.uuid4().hex}


def position(client, code):
    number, exchange = code.split(".")
    rows = [r for r in data(client, "query_positions")
            if (r["m_strInstrumentID"], r["m_strExchangeID"]) == (number, exchange)]
    return rows[0] if rows else None


def test_fills_publish_events_and_move_cash_and_positions(agent, redis_client):
    with events(redis_client) as next_event:
        placed = data(redis_client, "place_order", order("600519.SH", "BUY", 300, 12.34, ref="ref-1"))
        assert set(placed) == {"order_id", "order_ref"} and placed["order_ref"] == "ref-1"
        assert isinstance(placed["order_id"], int)
        submitted, filled = next_event(), next_event()
        assert submitted["type"] == filled["type"] == "order"
        assert submitted["data"]["order_id"] == filled["data"]["order_id"] == placed["order_id"]
        assert submitted["data"]["order_ref"] == filled["data"]["order_ref"] == "ref-1"
        assert (submitted["data"]["status"], submitted["data"]["submitted"],
                submitted["data"]["cancelled"], submitted["data"]["filled_volume"]) == (
                    "submitted", True, False, 0)
        assert (filled["data"]["status"], filled["data"]["cancelled"],
                filled["data"]["filled_volume"], filled["data"]["traded_price"]) == (
                    "filled", False, 300, 12.34)
        asset = data(redis_client, "query_asset")
        assert asset["m_dBalance"] == asset["m_dAvailable"] == 1_000_000.0 - 3702.0
        held = position(redis_client, "600519.SH")
        assert (held["m_nVolume"], held["can_use_volume"], held["m_dOpenPrice"]) == (300, 300, 12.34)

        data(redis_client, "place_order", order("600519.SH", "SELL", 100, order_type="MARKET"))
        assert next_event()["data"]["status"] == "submitted"
        sold = next_event()["data"]
        assert sold["status"] == "filled" and sold["traded_price"] > 0
    assert data(redis_client, "query_asset")["m_dBalance"] == pytest.approx(
        1_000_000.0 - 3702.0 + 100 * sold["traded_price"], abs=0.005)
    assert position(redis_client, "600519.SH")["m_nVolume"] == 200


def test_cancel_stops_a_live_order(start_agent, redis_client):
    start_agent(args=["--fill-delay", "30"])
    with events(redis_client) as next_event:
        placed = data(redis_client, "place_order", order("600000.SH", "SELL", 400, 9.99))
        assert next_event()["data"]["status"] == "submitted"
        assert position(redis_client, "600000.SH")["can_use_volume"] == 600
        cancelled = data(redis_client, "cancel_order", {"order_id": str(placed["order_id"])})
        assert cancelled["cancelled"] is True
        event = next_event()["data"]
        assert (event["order_id"], event["cancelled"], event["status"]) == (
            placed["order_id"], True, "cancelled")
    held = position(redis_client, "600000.SH")
    assert held["m_nVolume"] == held["can_use_volume"] == 1000
    again = call(redis_client, "cancel_order", {"order_id": str(placed["order_id"])})
    assert again["ok"] is False and "not live" in again["error"]


def test_orders_are_refused_while_allow_orders_is_off(start_agent, redis_client):
    start_agent(allow_orders=False)
    assert data(redis_client, "ping")["allow_orders"] is False
    with events(redis_client) as next_event:
        reply = call(redis_client, "place_order", order("600519.SH", "BUY", 100, 10.0))
        assert reply["ok"] is False and "ALLOW_ORDERS" in reply["error"]
        assert next_event(timeout=0.5) is None
    assert position(redis_client, "600519.SH") is None
    assert data(redis_client, "query_asset")["m_dAvailable"] == 1_000_000.0


# ---------------------------------------------------------------- fault injection

@pytest.mark.parametrize("field, value, op, outcome", [
    ("error:ping", "terminal busy", "ping", "error"),
    ("error:*", "terminal busy", "query_positions", "error"),
    ("badjson:query_asset", "1", "query_asset", "badjson"),
    ("drop:ping", "1", "ping", "drop"),
    ("drop:place_order", "yes", "place_order", "drop"),
])
def test_control_key_faults(agent, redis_client, field, value, op, outcome):
    params = order("600519.SH", "BUY", 100, 10.0) if op == "place_order" else {}
    redis_client.hset(FAULTS, field, value)
    with events(redis_client) as next_event:
        raw = receive(redis_client, send(redis_client, op, params), timeout=1, raw=True)
        if outcome == "drop":
            assert raw is None
        elif outcome == "badjson":
            with pytest.raises(ValueError):
                json.loads(raw)
        else:
            assert json.loads(raw) == {"ok": False, "error": "terminal busy", "data": None}
        assert next_event(timeout=0.3) is None  # a faulted order was never executed
        redis_client.hdel(FAULTS, field)
        assert call(redis_client, op, params)["ok"] is True
        if op == "place_order":
            assert next_event()["data"]["status"] == "submitted"
            assert next_event()["data"]["status"] == "filled"
            assert position(redis_client, "600519.SH")["m_nVolume"] == 100


def test_delayed_op_does_not_hold_up_others(agent, redis_client):
    redis_client.hset(FAULTS, "delay:query_asset", "1.5")
    started = time.monotonic()
    slow = send(redis_client, "query_asset")
    assert data(redis_client, "ping", timeout=1)["pong"] is True
    assert time.monotonic() - started < 1.0
    reply = receive(redis_client, slow, timeout=5)
    assert time.monotonic() - started >= 1.4
    assert reply["ok"] is True and "m_dBalance" in reply["data"]


def test_start_up_faults_and_run_time_override(start_agent, redis_client):
    start_agent(args=["--error-op", "ping=down for maintenance", "--badjson-op", "query_asset",
                      "--drop-op", "query_positions", "--delay-op", "get_full_tick=1"])
    assert call(redis_client, "ping")["error"] == "down for maintenance"
    with pytest.raises(ValueError):
        json.loads(receive(redis_client, send(redis_client, "query_asset"), raw=True))
    assert receive(redis_client, send(redis_client, "query_positions"), timeout=1) is None
    started = time.monotonic()
    assert call(redis_client, "get_full_tick", {"codes": ["600000.SH"]})["ok"] is True
    assert time.monotonic() - started >= 0.9
    redis_client.hset(FAULTS, mapping={"error:ping": "", "drop:query_positions": "0",
                                       "badjson:query_asset": "off"})
    for op in ("ping", "query_positions", "query_asset"):
        assert call(redis_client, op)["ok"] is True


# ---------------------------------------------------------------- process and connection

@pytest.mark.skipif(os.name == "nt", reason="SIGTERM cannot be sent to a process on Windows")
def test_sigterm_exits_zero_promptly_with_a_reply_pending(agent, redis_client):
    redis_client.hset(FAULTS, "delay:ping", "30")
    send(redis_client, "ping")
    time.sleep(0.3)
    started = time.monotonic()
    assert agent.stop() == 0
    assert time.monotonic() - started < 2.5


def test_password_prefix_and_db_options():
    with RedisServer(password="pw-s3cret") as server:
        with AgentProcess(server.port, password="pw-s3cret", key_prefix="custom:pfx::", db=3) as agent:
            assert agent.startup_line.endswith(" db=3 prefix=custom:pfx")
            assert "pw-s3cret" not in " ".join(agent.argv() + agent.stdout_lines) + agent.stderr()
            client = server.client(db=3)
            assert data(client, "ping", prefix="custom:pfx")["pong"] is True
            client.close()
        with pytest.raises(RuntimeError, match="no startup line"):
            AgentProcess(server.port, startup_timeout=1.5).start()


def test_agent_keeps_serving_across_a_redis_restart():
    with RedisServer() as server, AgentProcess(server.port) as agent:
        client = server.client(db=5)
        assert data(client, "ping")["pong"] is True
        old_pid, port = server.pid, server.port
        server.restart()
        assert server.port == port and server.pid != old_pid
        client = server.client(db=5)
        assert data(client, "ping", timeout=10)["pong"] is True
        client.close()


def test_missing_redis_server_is_reported_clearly(tmp_path):
    with pytest.raises(RedisServerNotFound, match="redis-server package"):
        RedisServer(executable=str(tmp_path / "redis-server"))
