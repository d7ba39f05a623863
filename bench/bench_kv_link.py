"""call("ping") round trips against a local redis-server and an echo agent.

The agent is a separate process (so it does not share the caller's GIL)
that BRPOPs requests and RPUSHes a fixed reply. Three callers take turns on
it call by call, so all three see the same machine: the floor (a raw
redis-py client doing one pipelined DEL + RPUSH of a ready-made request text
and one BRPOP, the two round trips every call needs), the native
QmtKvLink.call and the plain-Python version of call. Figures are medians of
single calls.
"""

import json
import statistics
import subprocess
import sys
import time
import uuid

import redis

from common import ROW, fmt
from py_kv_link import PyKvLink

from quillon.gateways.qmt.kv_link import QmtKvLink
from quillon_sim.local_redis import RedisServer

PREFIX = "quillon:qmt"
CALLS = 3000  # per caller
WARMUP = 300

AGENT = r"""
import json, sys, redis
r = redis.Redis(port=int(sys.argv[1]), db=5, decode_responses=True, protocol=2, socket_timeout=None)
req, res = sys.argv[2] + ":req", sys.argv[2] + ":res:"
reply = json.dumps({"ok": True, "error": None, "data": {"pong": True}})
print("ready", flush=True)
while True:
    _, text = r.brpop(req, timeout=0)
    r.rpush(res + json.loads(text)["id"], reply)
"""


def _floor_caller(port, n):
    r = redis.Redis(port=port, db=5, decode_responses=True, protocol=2)
    texts = []
    for _ in range(n):
        rid = uuid.uuid4().hex
        texts.append((PREFIX + ":res:" + rid, json.dumps(
            {"id": rid, "op": "ping", "params": {}, "ts": time.time()}, ensure_ascii=False)))

    def call():
        res, text = texts.pop()
        pipe = r.pipeline(transaction=False)
        pipe.delete(res)
        pipe.rpush(PREFIX + ":req", text)
        pipe.execute()
        return r.brpop(res, timeout=10)

    return call, r.close


def main():
    with RedisServer() as server:
        agent = subprocess.Popen([sys.executable, "-c", AGENT, str(server.port), PREFIX],
                                 stdout=subprocess.PIPE, text=True)
        try:
            agent.stdout.readline()
            native = QmtKvLink(port=server.port)
            python = PyKvLink(port=server.port)
            floor, close_floor = _floor_caller(server.port, WARMUP + CALLS)
            assert native.call("ping") == python.call("ping") == {"pong": True}
            callers = [("floor", floor), ("native", lambda: native.call("ping")),
                       ("python", lambda: python.call("ping"))]
            samples = {name: [] for name, _ in callers}
            clock = time.perf_counter_ns
            for i in range(WARMUP + CALLS):
                for name, fn in callers:
                    t0 = clock()
                    fn()
                    if i >= WARMUP:
                        samples[name].append(clock() - t0)
            native.close()
            python.close()
            close_floor()
        finally:
            agent.terminate()
            agent.wait(5)

    med = {name: statistics.median(v) / 1e9 for name, v in samples.items()}
    print()
    print(f"kv_link call('ping') round trip, median of {CALLS} calls each (echo agent in its own process)")
    print(ROW.format("case", "median", "floor", "ratio"))
    print(ROW.format("floor: redis-py pipeline DEL+RPUSH, BRPOP", fmt(med["floor"]), fmt(med["floor"]), "1.00x"))
    for name, label in (("native", "native QmtKvLink.call"), ("python", "plain-Python call")):
        print(ROW.format(label, fmt(med[name]), fmt(med["floor"]), f"{med[name] / med['floor']:.2f}x"))
    print(ROW.format("python / native", fmt(med["python"]), fmt(med["native"]),
                     f"{med['python'] / med['native']:.2f}x"), flush=True)


if __name__ == "__main__":
    main()
