"""Test doubles for the Redis link: an in-process echo agent and small waits.

The echo agent is a thread with its own redis-py client that serves the
request list the way the bridge agent does, so unit-level tests can see the
exact request texts and script the reply texts.
"""

from __future__ import annotations

import collections
import json
import threading
import time

import redis

PREFIX = "quillon:qmt"


class EchoAgent:
    """Pops requests from ``<prefix>:req`` and answers each on its reply list.

    By default the reply is ``{"ok": true, "data": <the request's params>}``.
    ``replies[op]`` overrides it with a raw reply text; the op "delay" sleeps
    ``params["s"]`` seconds before answering.
    """

    def __init__(self, server, db=5, prefix=PREFIX, keep=200):
        self.client = server.client(db=db)
        self.prefix = prefix
        self.requests = collections.deque(maxlen=keep)  # raw request texts
        self.replies = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="echo-agent", daemon=True)

    def start(self):
        self.client.ping()  # connected before any test counts connections
        self._thread.start()
        return self

    def _run(self):
        req_key = self.prefix + ":req"
        while not self._stop.is_set():
            try:
                item = self.client.brpop(req_key, timeout=0.2)
            except redis.RedisError:
                time.sleep(0.05)
                continue
            if item is None:
                continue
            text = item[1]
            self.requests.append(text)
            req = json.loads(text)
            op = req["op"]
            if op == "delay":
                time.sleep(req["params"]["s"])
            reply = self.replies.get(op)
            if reply is None:
                reply = json.dumps({"ok": True, "error": None, "data": req["params"]}, ensure_ascii=False)
            try:
                self.client.rpush(self.prefix + ":res:" + req["id"], reply)
            except redis.RedisError:
                pass

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.client.close()


def wait_for(predicate, timeout=5.0, step=0.01):
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(step)


def subscribers(client, channel):
    return dict(client.pubsub_numsub(channel)).get(channel, 0)


def listener_threads():
    return [t for t in threading.enumerate() if t.name == "qmt-redis-events"]
