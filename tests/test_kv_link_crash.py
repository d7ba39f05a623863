"""Odd arguments at every method of QmtKvLink, on a live link, on a link to a
closed port and on instances never initialised, never crash the interpreter.
The sweep runs in a child process (this file run as a script), so a crash is
reported as a failure instead of killing the test run."""

import sys

from support.crash import assert_child_ok

REFUSED_PORT = 1
METHODS = ["res_key", "call", "ping", "start_events", "stop_events", "close"]


def test_methods_survive_odd_arguments(redis_server):
    assert_child_ok(__file__, redis_server.port, timeout=600)


def _sweep(port):
    import faulthandler
    import itertools
    import random
    import types

    import redis

    from support.crash import ODD, attempt, sweep
    from kv_link_helpers import EchoAgent
    from quillon.gateways.qmt.kv_link import QmtKvLink

    faulthandler.enable()
    server = types.SimpleNamespace(
        client=lambda db=5: redis.Redis(port=port, db=db, decode_responses=True, socket_timeout=5))
    agent = EchoAgent(server).start()
    rng = random.Random(11)
    calls = 0

    class CallableHostile:
        def __bool__(self):
            raise RuntimeError("hostile bool")

        def __call__(self, event):
            raise RuntimeError("hostile call")

    live = QmtKvLink(port=port, timeout=0.5)
    dead = QmtKvLink(port=REFUSED_PORT, timeout=0.5)
    bare = QmtKvLink.__new__(QmtKvLink)  # __init__ never ran
    odd = ODD + [CallableHostile()]
    try:
        for link in (live, dead, bare):
            for name in METHODS:
                calls += sweep(getattr(link, name), rng, values=odd, rounds=300)
            for prop in ("req_key", "events_channel"):
                attempt(getattr, (link, prop), {})
        # Unbound methods with a wrong self, and attributes replaced by odd values.
        for name in METHODS:
            for self_ in odd[:8]:
                attempt(getattr(QmtKvLink, name), (self_, "ping"), {})
                calls += 1
        spoilt = QmtKvLink(port=port, timeout=0.5)
        for attr in ("key_prefix", "timeout", "_r", "_pubsub", "_event_thread", "_stop_events"):
            for value in odd:
                setattr(spoilt, attr, value)
                for name in METHODS:
                    attempt(getattr(spoilt, name), ("ping",) if name in ("call", "res_key") else (), {})
                    calls += 1
            attempt(spoilt.__init__, (), {"port": port, "timeout": 0.5})
        # Constructor arguments on fresh instances (the constructor sends nothing).
        for n in range(3):
            for args in itertools.product(odd, repeat=n):
                attempt(QmtKvLink, args, {})
                calls += 1
        # A listener fed odd payloads with odd handlers.
        publisher = server.client()
        for handler in (None, CallableHostile(), print, lambda e: 1 / 0):
            attempt(live.start_events, (handler,), {})
            for payload in ["", "x", "[]", "null", "1e999", '"\\ud800"', "{" * 50000, "\x00"]:
                publisher.publish("quillon:qmt:events", payload)
            live.stop_events()
        publisher.close()
    finally:
        live.close()
        dead.close()
        agent.stop()
    print(calls, "calls", flush=True)


if __name__ == "__main__":
    _sweep(int(sys.argv[1]))
