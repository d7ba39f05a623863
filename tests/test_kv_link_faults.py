"""QmtKvLink when the Redis server goes away, hangs, comes back or wants a
password; the request is never sent twice."""

import json
import logging
import os
import signal
import sys
import threading
import time

import pytest
import redis

from kv_link_helpers import EchoAgent, listener_threads, subscribers, wait_for
from quillon.gateways.qmt.kv_link import QmtKvLink
from support.redis_server import RedisServer

REQ = "quillon:qmt:req"
EVENTS = "quillon:qmt:events"
PASSWORD = "pw-7Qz!x9-secret"


@pytest.fixture
def server():
    with RedisServer() as s:
        yield s


@pytest.fixture
def client(server):
    c = server.client(db=5)
    yield c
    c.close()


def _call_in_thread(link, *args):
    box = {}

    def run():
        t0 = time.monotonic()
        try:
            box["result"] = link.call(*args)
        except BaseException as e:
            box["error"] = e
        box["ended"] = time.monotonic()
        box["started"] = t0

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t, box


def _warm_pool(link, agent, n=4):
    threads = [threading.Thread(target=lambda: [link.call("echo", {"w": 1}) for _ in range(3)]) for _ in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)


@pytest.mark.parametrize("wait", [None, 8.0])  # within, and longer than, the read timeout
def test_server_stopped_during_a_call_then_back(server, client, wait):
    link = QmtKvLink(port=server.port, timeout=2.0)  # read timeout 3 s
    try:
        agent = EchoAgent(server).start()
        _warm_pool(link, agent)
        agent.stop()
        thread, box = _call_in_thread(link, "query_asset", None, wait)
        assert wait_for(lambda: client.llen(REQ) == 1)
        stopped = time.monotonic()
        server.stop()
        thread.join(5)
        assert not thread.is_alive()
        assert isinstance(box.get("error"), redis.ConnectionError), box
        assert box["ended"] - stopped < 3.0

        server.start()  # same port
        agent = EchoAgent(server).start()
        try:
            for i in range(6):  # every pooled connection was dropped with the server
                assert link.call("echo", {"i": i}) == {"i": i}
        finally:
            agent.stop()
    finally:
        link.close()


@pytest.mark.skipif(sys.platform == "win32", reason="SIGSTOP is POSIX")
@pytest.mark.parametrize("link_timeout, wait, limit", [(2.0, None, 3.0), (1.0, 4.0, 5.0)])
def test_hung_server_fails_with_a_redis_timeout(server, client, link_timeout, wait, limit):
    link = QmtKvLink(port=server.port, timeout=link_timeout)
    try:
        thread, box = _call_in_thread(link, "query_asset", None, wait)
        assert wait_for(lambda: client.llen(REQ) == 1)
        os.kill(server.pid, signal.SIGSTOP)
        try:
            thread.join(limit + 3)
            assert isinstance(box.get("error"), redis.TimeoutError), box
            assert limit - 0.2 <= box["ended"] - box["started"] < limit + 1.0
        finally:
            os.kill(server.pid, signal.SIGCONT)
        # The abandoned connection (with a nil reply still due) is not reused.
        agent = EchoAgent(server).start()
        try:
            assert link.call("echo", {"after": 1}) == {"after": 1}
        finally:
            agent.stop()
    finally:
        link.close()


@pytest.mark.skipif(sys.platform == "win32", reason="SIGSTOP is POSIX")
def test_push_that_times_out_is_not_sent_again(server, client):
    link = QmtKvLink(port=server.port, timeout=0.5)  # read timeout 1.5 s
    try:
        with pytest.raises(TimeoutError):
            link.call("warm", timeout=0)  # connected; nobody answers
        client.delete(REQ)
        # The server is frozen while the pipelined DEL + RPUSH are in flight;
        # it still executes them once it runs again. A client that retries on
        # the read timeout sends them a second time: two orders.
        os.kill(server.pid, signal.SIGSTOP)
        threading.Timer(2.5, os.kill, (server.pid, signal.SIGCONT)).start()
        t0 = time.monotonic()
        with pytest.raises(redis.TimeoutError):
            link.call("place_order", {"volume": 100})
        assert time.monotonic() - t0 < 2.2
        assert wait_for(lambda: client.llen(REQ) == 1, timeout=5)
        time.sleep(0.5)
        assert client.llen(REQ) == 1
    finally:
        link.close()


def test_listener_resubscribes_after_a_restart(server, client, capsys, caplog):
    link = QmtKvLink(port=server.port, timeout=1.0)
    got = []
    try:
        link.start_events(got.append)
        assert wait_for(lambda: subscribers(client, EVENTS) == 1)
        client.publish(EVENTS, "1")
        assert wait_for(lambda: got == [1])
        server.restart()
        time.sleep(0.5)
        fresh = server.client(db=5)
        assert wait_for(lambda: subscribers(fresh, EVENTS) == 1, timeout=6.0)
        fresh.publish(EVENTS, "2")
        fresh.publish(EVENTS, '{"type": "order"}')
        assert wait_for(lambda: got == [1, 2, {"type": "order"}])
        fresh.close()
    finally:
        link.close()
    assert not listener_threads()
    out = capsys.readouterr()
    assert out.out == "" and out.err == ""
    assert not [r for r in caplog.records if r.levelno >= logging.WARNING]


def test_listener_survives_a_long_outage(server, client, capsys, caplog):
    link = QmtKvLink(port=server.port, timeout=0.5)
    got = []
    try:
        link.start_events(got.append)
        assert wait_for(lambda: subscribers(client, EVENTS) == 1)
        server.stop()
        time.sleep(2.5)  # several failed reconnects
        assert len(listener_threads()) == 1
        server.start()
        fresh = server.client(db=5)
        assert wait_for(lambda: subscribers(fresh, EVENTS) == 1, timeout=6.0)
        fresh.publish(EVENTS, "3")
        assert wait_for(lambda: got == [3])
        fresh.close()
        t0 = time.monotonic()
    finally:
        link.close()
    assert time.monotonic() - t0 < 2.5
    assert not listener_threads()
    out = capsys.readouterr()
    assert out.out == "" and out.err == ""
    assert not [r for r in caplog.records if r.levelno >= logging.WARNING]


def test_stop_while_the_server_is_down(server, client):
    link = QmtKvLink(port=server.port, timeout=0.5)
    link.start_events(print)
    assert wait_for(lambda: subscribers(client, EVENTS) == 1)
    server.stop()
    time.sleep(0.7)
    t0 = time.monotonic()
    link.close()
    assert time.monotonic() - t0 < 2.5
    assert not listener_threads()


# ---- password ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def locked_server():
    with RedisServer(password=PASSWORD) as s:
        yield s


def _texts(link, *errors):
    yield repr(link)
    yield repr(vars(link))
    yield str(link._r)
    for e in errors:
        yield str(e)
        yield repr(e)
        yield repr(e.args)


def test_password_never_shows(locked_server, capsys):
    c = locked_server.client(db=5)
    c.flushdb()
    agent = EchoAgent(locked_server).start()
    link = QmtKvLink(port=locked_server.port, password=PASSWORD, timeout=0.5)
    errors = []
    try:
        assert link.call("echo", {"a": 1}) == {"a": 1}
        agent.replies["ping"] = json.dumps({"ok": True, "data": [PASSWORD[:0]]})
        with pytest.raises(TypeError) as e:
            link.ping()
        errors.append(e.value)
        agent.stop()
        with pytest.raises(TimeoutError) as e:
            link.call("query_asset")
        errors.append(e.value)

        seen = []

        def boom(event):
            seen.append(event)
            raise ValueError("handler failed")

        link.start_events(boom)
        assert wait_for(lambda: subscribers(c, EVENTS) == 1)
        c.publish(EVENTS, "1")
        assert wait_for(lambda: seen == [1])

        for bad in ["wrong-" + PASSWORD, None, ""]:
            other = QmtKvLink(port=locked_server.port, password=bad, timeout=0.5)
            with pytest.raises(redis.RedisError) as e:
                other.call("ping")
            errors.append(e.value)
            with pytest.raises(redis.RedisError) as e:
                other.start_events(boom)
            errors.append(e.value)
            for text in _texts(other, *errors):
                assert PASSWORD not in text
            other.close()
        for text in _texts(link, *errors):
            assert PASSWORD not in text
    finally:
        link.close()
        c.close()
    out = capsys.readouterr()
    assert "[QmtKvLink] event handler error: handler failed" in out.out
    assert PASSWORD not in out.out and PASSWORD not in out.err
