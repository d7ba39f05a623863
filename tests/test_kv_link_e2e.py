"""QmtKvLink end to end: the simulated bridge agent runs as its own process."""

import json
import time

import pytest

from kv_link_helpers import subscribers, wait_for
from quillon.gateways.qmt.kv_link import QmtKvLink

FAULTS = "quillon:qmt:sim:faults"


@pytest.fixture
def link(redis_server):
    link = QmtKvLink(port=redis_server.port, timeout=2.0)
    yield link
    link.close()


def test_requests_and_order_events(link, agent, redis_client):
    pong = link.ping()
    assert pong["pong"] is True and pong["agent"] == "quillon_sim"
    ticks = link.call("get_full_tick", {"codes": ["600000.SH", "000001.SZ"]})
    assert set(ticks) == {"600000.SH", "000001.SZ"}

    events = []
    link.start_events(events.append)
    assert wait_for(lambda: subscribers(redis_client, link.events_channel) == 1)
    price = ticks["600000.SH"]["lastPrice"]
    data = link.call("place_order", {"code": "600000.SH", "direction": "BUY", "order_type": "LIMIT",
                                     "price": price, "volume": 100, "order_ref": "ref-1"})
    assert data["order_ref"] == "ref-1"
    assert wait_for(lambda: any(e["data"]["status"] != "submitted" for e in events), timeout=5)
    assert all(e["type"] == "order" and e["data"]["order_ref"] == "ref-1" for e in events)
    assert events[0]["data"]["submitted"] is True


@pytest.mark.parametrize("field, value, error, message", [
    ("error:query_asset", "terminal busy", RuntimeError, "terminal busy"),
    ("badjson:query_asset", "1", json.JSONDecodeError, None),
    ("drop:query_asset", "1", TimeoutError, None),
])
def test_agent_faults(link, agent, redis_client, field, value, error, message):
    redis_client.hset(FAULTS, field, value)
    with pytest.raises(error) as err:
        link.call("query_asset", timeout=1)
    if message:
        assert str(err.value) == message
    redis_client.hdel(FAULTS, field)
    assert "m_dBalance" in link.call("query_asset")


def test_agent_refusals_are_runtime_errors(link, agent):
    with pytest.raises(RuntimeError, match="^unknown op: nope$"):
        link.call("nope")
    with pytest.raises(RuntimeError, match="invalid direction"):
        link.call("place_order", {"code": "600000.SH", "direction": "UP", "price": 1.0, "volume": 100})


def test_slow_history_request_outlasts_the_read_timeout(redis_server, agent, redis_client):
    link = QmtKvLink(port=redis_server.port, timeout=1.0)  # read timeout 2 s
    try:
        redis_client.hset(FAULTS, "delay:get_market_data_ex", 3)
        t0 = time.monotonic()
        bars = link.call("get_market_data_ex", {"codes": ["600000.SH"], "period": "1d", "count": 5},
                         timeout=6)
        assert time.monotonic() - t0 >= 3
        assert len(bars["600000.SH"]) == 5
    finally:
        link.close()
