"""QmtKvLink against a real redis-server: request texts, replies, waits,
concurrency, the event listener and the link's resources."""

import inspect
import json
import math
import os
import re
import subprocess
import sys
import threading
import time
import uuid
from typing import Any, Callable, Dict

import pytest
import redis

from kv_link_helpers import EchoAgent, listener_threads, subscribers, wait_for
from quillon.gateways.qmt import kv_link
from quillon.gateways.qmt.kv_link import QmtKvLink
from support.leaks import assert_no_leak

REQ = "quillon:qmt:req"
EVENTS = "quillon:qmt:events"
TIMEOUT_TEXT = re.compile(
    r"QMT Redis RPC timeout after (?P<wait>[^s]+)s \(op=(?P<op>.*), id=(?P<id>[0-9a-f]{32})\)\. "
    r"Is the Big QMT bridge agent running\?")


@pytest.fixture
def make_link(redis_server):
    links = []

    def make(**kwargs):
        kwargs.setdefault("port", redis_server.port)
        link = QmtKvLink(**kwargs)
        links.append(link)
        return link

    yield make
    for link in links:
        link.close()


@pytest.fixture
def link(make_link):
    return make_link(timeout=2.0)


@pytest.fixture
def echo(redis_server, redis_client):
    agent = EchoAgent(redis_server).start()
    yield agent
    agent.stop()


# ---- surface ------------------------------------------------------------------

def test_module_surface():
    assert QmtKvLink.__doc__ == "Thin Redis request/reply + optional event subscriber."
    assert QmtKvLink.__module__ == "quillon.gateways.qmt.kv_link"
    assert str(inspect.signature(QmtKvLink)) == (
        "(host='127.0.0.1', port=6379, password=None, db=5, key_prefix='quillon:qmt', timeout=10.0)")
    sigs = {"res_key": "(req_id)", "call": "(op, params=None, timeout=None)", "ping": "()",
            "start_events": "(handler)", "stop_events": "()", "close": "()"}
    link = QmtKvLink()
    for name, sig in sigs.items():
        assert str(inspect.signature(getattr(link, name))) == sig
    assert QmtKvLink.start_events.__doc__ == "Subscribe to bridge events on a background thread."
    assert QmtKvLink.call.__doc__ is None
    assert kv_link.EventHandler == Callable[[Dict[str, Any]], None]
    for prop in ("req_key", "events_channel"):
        with pytest.raises(AttributeError):
            setattr(link, prop, "x")


def test_construction_state_and_connection_options():
    link = QmtKvLink(host="localhost", port=6390.0, password="", db=True, key_prefix="p:", timeout=3)
    assert vars(link).keys() == {"key_prefix", "timeout", "_r", "_pubsub", "_event_thread", "_event_handler",
                                 "_stop_events"}
    assert link.timeout == 3.0 and type(link.timeout) is float
    assert (link._pubsub, link._event_thread, link._event_handler) == (None, None, None)
    assert isinstance(link._stop_events, threading.Event) and not link._stop_events.is_set()
    kw = link._r.get_connection_kwargs()
    assert (kw["host"], kw["port"], kw["db"]) == ("localhost", 6390, 1)
    assert type(kw["port"]) is int and type(kw["db"]) is int
    assert kw["password"] is None  # "" means no AUTH
    assert kw["decode_responses"] is True and kw["protocol"] == 2
    assert not kw.get("retry_on_timeout") and not kw.get("retry_on_error")


@pytest.mark.parametrize("timeout, connect, read", [
    (0.5, 0.5, 1.5), (10, 5.0, 11.0), (5.0, 5.0, 6.0), (0, 5.0, 1.0), (-0.5, 5.0, 0.5)])
def test_socket_timeouts(timeout, connect, read):
    kw = QmtKvLink(timeout=timeout, password="pw")._r.get_connection_kwargs()
    assert (kw["socket_connect_timeout"], kw["socket_timeout"], kw["password"]) == (connect, read, "pw")


def test_construction_sends_nothing(redis_server):
    QmtKvLink(port=redis_server.port, db=7)
    QmtKvLink(port=1)  # nothing listens there, and nothing is tried
    clients = redis_server.client().client_list()
    assert not [c for c in clients if c["db"] == "7"]


@pytest.mark.parametrize("prefix, stem", [
    ("quillon:qmt::", "quillon:qmt"), (":", ""), ("a:b:", "a:b"), ("::a", "::a"), ("x", "x"), ("é:::", "é")])
def test_key_prefix(prefix, stem):
    link = QmtKvLink(key_prefix=prefix)
    assert link.key_prefix == stem
    assert link.req_key == stem + ":req"
    assert link.res_key("abc") == stem + ":res:abc"
    assert link.events_channel == stem + ":events"


def test_import_error_without_redis():
    code = ("import sys; sys.modules['redis'] = None\n"
            "try:\n    import quillon.gateways.qmt.kv_link\n"
            "except ImportError as e:\n"
            "    print(repr(str(e)), type(e.__cause__).__name__, e.__suppress_context__)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=60)
    assert out.stdout.strip() == (
        "'redis is required for the QMT gateway. Install with: pip install quillon[qmt]' "
        "ModuleNotFoundError True"), out.stderr


# ---- the request ----------------------------------------------------------------

@pytest.mark.parametrize("params, sent", [
    (None, {}),
    ({}, {}),
    ({"codes": ["600000.SH", "000001.SZ"]}, None),
    ({"name": "平安银行 €", "nested": {"a": [1, 2.5, True, False, None]}}, None),
    ({"nan": math.nan, "inf": math.inf, "ninf": -math.inf, "small": 1e-300, "big": 10 ** 30}, None),
])
def test_request_text_is_the_json_dump(link, echo, params, sent):
    before = time.time()
    link.call("echo", params)
    after = time.time()
    raw = echo.requests[-1]
    env = json.loads(raw)
    assert list(env) == ["id", "op", "params", "ts"]
    assert re.fullmatch("[0-9a-f]{32}", env["id"]) and uuid.UUID(env["id"]).version == 4
    assert before <= env["ts"] <= after
    expected = {"id": env["id"], "op": "echo", "params": params if sent is None else sent, "ts": env["ts"]}
    assert raw == json.dumps(expected, ensure_ascii=False)


@pytest.mark.parametrize("params, error", [
    ({"x": object()}, TypeError), ({"s": {1, 2}}, TypeError), ({(1, 2): 3}, TypeError),
    ({"lone": "\ud800"}, UnicodeEncodeError)])
def test_params_without_a_wire_form_send_nothing(link, redis_client, params, error):
    with pytest.raises(error):
        link.call("place_order", params)
    assert redis_client.dbsize() == 0


def test_each_request_gets_a_fresh_id(link, echo):
    for _ in range(20):
        link.call("ping")
    ids = {json.loads(t)["id"] for t in echo.requests}
    assert len(ids) == 20


# ---- the reply ------------------------------------------------------------------

@pytest.mark.parametrize("reply, result", [
    ('{"ok": true, "error": null, "data": {"cash": 1.5}}', {"cash": 1.5}),
    ('{"ok": true}', None),
    ('{"ok": "no", "data": [1, "二"]}', [1, "二"]),
    ('{"ok": 1, "data": null}', None),
    ('{"ok": {"x": 0}, "data": 0}', 0),
])
def test_successful_replies(link, echo, reply, result):
    echo.replies["query_asset"] = reply
    assert link.call("query_asset") == result


@pytest.mark.parametrize("reply, error, message", [
    ('{"ok": false}', RuntimeError, "RPC op=query_asset failed"),
    ('{"ok": false, "error": ""}', RuntimeError, "RPC op=query_asset failed"),
    ('{"ok": null, "error": null}', RuntimeError, "RPC op=query_asset failed"),
    ('{"error": "no data"}', RuntimeError, "no data"),
    ('{"ok": 0, "error": "terminal busy"}', RuntimeError, "terminal busy"),
    ('{"ok": [], "error": "x"}', RuntimeError, "x"),
    ('{"ok": "", "error": ["a", 1]}', RuntimeError, "['a', 1]"),
    ('{}', RuntimeError, "RPC op=query_asset failed"),
    ("not json", json.JSONDecodeError, None),
    ("", json.JSONDecodeError, None),
    ("[1, 2]", AttributeError, None),
])
def test_failed_replies(link, echo, reply, error, message):
    echo.replies["query_asset"] = reply
    with pytest.raises(error) as err:
        link.call("query_asset")
    if message is not None:
        assert str(err.value) == message


def test_agent_error_keeps_its_value(link, echo):
    echo.replies["x"] = '{"ok": false, "error": {"code": 7}}'
    with pytest.raises(RuntimeError) as err:
        link.call("x")
    assert err.value.args == ({"code": 7},)


@pytest.mark.parametrize("reply, result", [
    ('{"ok": true, "data": {"pong": 1}}', {"pong": 1}),
    ('{"ok": true, "data": null}', None),
    ('{"ok": true}', None),
])
def test_ping(link, echo, reply, result):
    echo.replies["ping"] = reply
    assert link.ping() == result
    assert json.loads(echo.requests[-1])["params"] == {}


@pytest.mark.parametrize("data, given", [("[1]", "list"), ('"pong"', "str"), ("3", "int")])
def test_ping_refuses_non_objects(link, echo, data, given):
    echo.replies["ping"] = '{"ok": true, "data": %s}' % data
    with pytest.raises(TypeError, match=f"^Expected dict, got {given}$"):
        link.ping()


def test_stale_reply_is_discarded(redis_server, redis_client, echo):
    # A subclass plants a stale text under the reply key at the moment the
    # key is named, i.e. before the request goes out.
    class Planting(QmtKvLink):
        def res_key(self, req_id):
            key = super().res_key(req_id)
            redis_client.rpush(key, '{"ok": true, "data": "stale"}')
            return key

    link = Planting(port=redis_server.port, timeout=2)
    try:
        assert link.call("echo", {"fresh": True}) == {"fresh": True}
    finally:
        link.close()


# ---- waits ------------------------------------------------------------------------

@pytest.mark.parametrize("link_timeout, wait, block, shown", [
    (0.5, None, 1, "0.5"),
    (10.0, 0, 1, "0.0"),
    (10.0, 2.9, 2, "2.9"),
    (10.0, -3, 1, "-3.0"),
    (1.0, 3.5, 3, "3.5"),  # longer than the connection's read timeout (2 s)
])
def test_no_reply_times_out_after_the_block_time(make_link, redis_client, link_timeout, wait, block, shown):
    link = make_link(timeout=link_timeout)
    t0 = time.monotonic()
    with pytest.raises(TimeoutError) as err:
        link.call("query_asset", None, wait)
    elapsed = time.monotonic() - t0
    assert not isinstance(err.value, redis.RedisError)
    m = TIMEOUT_TEXT.fullmatch(str(err.value))
    assert m and m["wait"] == shown and m["op"] == "query_asset"
    assert block - 0.05 <= elapsed < block + 0.9
    # The request stays queued for an agent that may still come.
    assert json.loads(redis_client.lindex(REQ, 0))["id"] == m["id"]


def test_zero_timeout_link_connects_and_waits_one_second(make_link, echo, redis_client):
    link = make_link(timeout=0)
    assert link.call("echo", {"z": 0}) == {"z": 0}
    echo.stop()
    t0 = time.monotonic()
    with pytest.raises(TimeoutError, match=r"after 0\.0s \(op=ping"):
        link.ping()
    assert 0.95 <= time.monotonic() - t0 < 1.9


def test_wait_longer_than_read_timeout_gets_a_late_reply(make_link, echo):
    link = make_link(timeout=1.0)  # read timeout 2 s
    t0 = time.monotonic()
    assert link.call("delay", {"s": 3.2}, timeout=5) == {"s": 3.2}
    assert time.monotonic() - t0 >= 3.2


@pytest.mark.parametrize("wait, error", [(math.nan, ValueError), (math.inf, OverflowError),
                                         (-math.inf, OverflowError)])
def test_unusable_wait_sends_nothing(link, redis_client, wait, error):
    with pytest.raises(error):
        link.call("place_order", {"volume": 100}, wait)
    assert redis_client.dbsize() == 0


def test_late_reply_never_reaches_a_later_call(make_link, echo, redis_client):
    link = make_link(timeout=0.5)
    with pytest.raises(TimeoutError) as err:
        link.call("delay", {"s": 1.6})
    late_id = TIMEOUT_TEXT.fullmatch(str(err.value))["id"]
    for i in range(3):
        assert link.call("echo", {"i": i}, timeout=5) == {"i": i}
    # The late reply landed on its own list and stays there.
    assert wait_for(lambda: redis_client.llen("quillon:qmt:res:" + late_id) == 1)


def test_threads_share_one_link(make_link, echo):
    link = make_link(timeout=5.0)
    errors, wrong = [], []

    def worker(t):
        try:
            for i in range(50):
                got = link.call("echo", {"t": t, "i": i, "pad": "x" * (t * 37)})
                if got != {"t": t, "i": i, "pad": "x" * (t * 37)}:
                    wrong.append((t, i, got))
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors and not wrong
    assert len({json.loads(r)["id"] for r in echo.requests}) == len(echo.requests)


# ---- argument checks ----------------------------------------------------------------

def _args(**kw):
    return kw


@pytest.mark.parametrize("method, args, kwargs, name, expected, given", [
    (None, (), _args(host=1), "host", "str", "int"),
    (None, (), _args(host=None), "host", "str", "NoneType"),
    (None, (), _args(port="6379"), "port", "int", "str"),
    (None, (), _args(password=b"pw"), "password", "str", "bytes"),
    (None, (), _args(db="5"), "db", "int", "str"),
    (None, (), _args(key_prefix=None), "key_prefix", "str", "NoneType"),
    (None, (), _args(timeout="10"), "timeout", "float", "str"),
    ("res_key", (7,), {}, "req_id", "str", "int"),
    ("call", (None,), {}, "op", "str", "NoneType"),
    ("call", ("ping", []), {}, "params", "dict", "list"),
    ("call", ("ping",), _args(timeout="1"), "timeout", "float", "str"),
    ("start_events", (5,), {}, "handler", "callable", "int"),
])
def test_wrong_types_name_the_argument(method, args, kwargs, name, expected, given):
    fn = QmtKvLink if method is None else getattr(QmtKvLink(port=1), method)
    with pytest.raises(TypeError) as err:
        fn(*args, **kwargs)
    assert str(err.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {given})"


@pytest.mark.parametrize("call, message", [
    (lambda l: l.call(), "call() takes at least 1 positional argument (0 given)"),
    (lambda l: l.call("a", {}, 1, 2), "call() takes at most 3 positional arguments (4 given)"),
    (lambda l: l.ping(1), "ping() takes exactly 0 positional arguments (1 given)"),
    (lambda l: l.res_key(), "res_key() takes exactly 1 positional argument (0 given)"),
    (lambda l: l.call("a", op="b"), "call() got multiple values for keyword argument 'op'"),
    (lambda l: l.start_events(callback=print), "start_events() got an unexpected keyword argument 'callback'"),
])
def test_argument_count_messages(call, message):
    with pytest.raises(TypeError) as err:
        call(QmtKvLink(port=1))
    assert str(err.value) == message


def test_str_subclass_and_int_like_arguments(link, echo):
    class S(str):
        pass

    with pytest.raises(TypeError):
        link.call(S("ping"))
    assert link.call("echo", {"v": 1}, timeout=True) == {"v": 1}  # bool is a number


# ---- the event listener ------------------------------------------------------------

class Collector:
    def __init__(self, fail=False):
        self.events = []
        self.fail = fail

    def __call__(self, event):
        self.events.append(event)
        if self.fail:
            raise ValueError(f"bad event {len(self.events)}")


def _listen(link, handler, redis_client, n=1):
    link.start_events(handler)
    assert wait_for(lambda: subscribers(redis_client, EVENTS) == n)


def test_events_reach_the_handler_in_order(link, redis_client):
    got = Collector()
    _listen(link, got, redis_client)
    thread = link._event_thread
    assert thread.name == "qmt-redis-events" and thread.daemon and thread.is_alive()
    payloads = ['{"type": "order", "data": {"order_ref": "a"}}', "not json", "", "[1, 2]", '"text"',
                '{"type": "order", "data": {"order_ref": "b", "名": "值"}}', "[" * 100000]
    for p in payloads:
        redis_client.publish(EVENTS, p)
    redis_client.publish(EVENTS, "null")
    assert wait_for(lambda: len(got.events) == 5)
    assert got.events == [{"type": "order", "data": {"order_ref": "a"}}, [1, 2], "text",
                          {"type": "order", "data": {"order_ref": "b", "名": "值"}}, None]


def test_failing_handler_gets_every_later_event(link, redis_client, capsys):
    got = Collector(fail=True)
    _listen(link, got, redis_client)
    for i in range(5):
        redis_client.publish(EVENTS, json.dumps({"i": i}))
    assert wait_for(lambda: len(got.events) == 5)
    link.stop_events()
    lines = capsys.readouterr().out.splitlines()
    assert lines == [f"[QmtKvLink] event handler error: bad event {i}" for i in range(1, 6)]


def test_handler_error_with_unprintable_message(link, redis_client, capsys):
    class Weird(Exception):
        def __str__(self):
            raise RuntimeError("no str")

    calls = []

    def handler(event):
        calls.append(event)
        raise Weird()

    _listen(link, handler, redis_client)
    redis_client.publish(EVENTS, "1")
    redis_client.publish(EVENTS, "2")
    assert wait_for(lambda: calls == [1, 2])
    link.stop_events()
    assert capsys.readouterr().out.count("[QmtKvLink] event handler error: ") == 2


def test_stop_events_is_harmless_any_time(link, redis_client):
    link.stop_events()
    link.stop_events()
    assert link._stop_events.is_set()
    _listen(link, Collector(), redis_client)
    link.stop_events()
    link.stop_events()
    assert (link._pubsub, link._event_thread, link._event_handler) == (None, None, None)
    assert link._stop_events.is_set()


def test_after_stop_nothing_listens(link, redis_client):
    got = Collector()
    _listen(link, got, redis_client)
    link.stop_events()
    assert subscribers(redis_client, EVENTS) == 0
    assert not listener_threads()
    redis_client.publish(EVENTS, "1")
    time.sleep(0.3)
    assert got.events == []


def test_start_twice_replaces_handler_and_subscription(link, redis_client):
    first, second = Collector(), Collector()
    _listen(link, first, redis_client)
    _listen(link, second, redis_client)  # still exactly one subscriber
    assert link._event_handler is second and len(listener_threads()) == 1
    redis_client.publish(EVENTS, "7")
    assert wait_for(lambda: second.events == [7])
    time.sleep(0.2)
    assert first.events == []


def test_listener_that_outlives_the_join_stays_out(link, redis_client):
    release = threading.Event()
    slow_calls = []

    def slow(event):
        slow_calls.append(event)
        release.wait(10)

    _listen(link, slow, redis_client)
    old = link._event_thread
    redis_client.publish(EVENTS, "1")
    assert wait_for(lambda: slow_calls == [1])
    t0 = time.monotonic()
    link.stop_events()
    assert 1.9 <= time.monotonic() - t0 < 3.0  # the join limit, then forgotten
    assert old.is_alive() and link._event_thread is None

    fresh = Collector()
    _listen(link, fresh, redis_client)
    release.set()  # the old listener's handler returns now
    for i in range(2, 12):
        redis_client.publish(EVENTS, str(i))
    assert wait_for(lambda: len(fresh.events) == 10)
    assert fresh.events == list(range(2, 12))
    old.join(3)
    assert not old.is_alive()
    assert slow_calls == [1]


def test_handler_may_stop_its_own_listener(link, redis_client, capsys):
    seen = []

    def handler(event):
        seen.append(event)
        link.stop_events()

    _listen(link, handler, redis_client)
    thread = link._event_thread
    redis_client.publish(EVENTS, "1")
    assert wait_for(lambda: not thread.is_alive())
    assert seen == [1] and capsys.readouterr().out == ""
    assert link._event_thread is None and link._pubsub is None


def test_failed_subscription_starts_no_thread(make_link):
    link = make_link(port=1, timeout=0.5)
    handler = Collector()
    with pytest.raises(redis.ConnectionError):
        link.start_events(handler)
    assert link._event_handler is handler and link._event_thread is None and link._pubsub is None
    assert not listener_threads()


def test_links_listen_independently(make_link, redis_client):
    a, b = make_link(), make_link(key_prefix="other")
    got_a, got_b = Collector(), Collector()
    a.start_events(got_a)
    b.start_events(got_b)
    assert wait_for(lambda: subscribers(redis_client, EVENTS) == 1
                    and subscribers(redis_client, "other:events") == 1)
    redis_client.publish(EVENTS, "1")
    redis_client.publish("other:events", "2")
    assert wait_for(lambda: got_a.events == [1] and got_b.events == [2])
    a.stop_events()
    redis_client.publish("other:events", "3")
    assert wait_for(lambda: got_b.events == [2, 3])


# ---- resources ---------------------------------------------------------------------

def test_close_leaves_no_connection_and_no_thread(redis_server, redis_client, echo):
    baseline = {c["id"] for c in redis_client.client_list()}
    link = QmtKvLink(port=redis_server.port, timeout=2)
    threads = [threading.Thread(target=lambda: [link.call("ping") for _ in range(5)]) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    _listen(link, Collector(), redis_client)
    assert {c["id"] for c in redis_client.client_list()} - baseline
    link.close()
    link.close()
    assert not listener_threads()
    assert {c["id"] for c in redis_client.client_list()} <= baseline
    assert link._stop_events.is_set() and link._event_thread is None


def test_close_propagates_stop_errors_but_not_connection_errors():
    link = QmtKvLink(port=1)
    link._r = None  # closing the connection fails: swallowed
    link.close()
    link._stop_events = None  # stopping fails: propagated
    with pytest.raises(AttributeError):
        link.close()


# ---- leaks -------------------------------------------------------------------------

def test_call_does_not_leak(link, echo):
    assert_no_leak(lambda: link.call("ping", {"a": [1, 2]}), calls=2000)


def test_error_paths_do_not_leak(link, echo):
    echo.replies["query_asset"] = '{"ok": false, "error": "busy"}'
    assert_no_leak(lambda: link.call("query_asset"), calls=1500)
    assert_no_leak(lambda: link.call("x", {"bad": object()}), calls=1500)
