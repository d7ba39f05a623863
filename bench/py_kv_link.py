"""Plain-Python request/reply over Redis, the reference for bench_kv_link.

The same wire exchange as QmtKvLink.call written with redis-py's ordinary
client API: a non-transactional pipeline for DEL + RPUSH, then BRPOP.
"""

import json
import time
import uuid

import redis
from redis.backoff import NoBackoff
from redis.retry import Retry


class PyKvLink:
    def __init__(self, host="127.0.0.1", port=6379, password=None, db=5, key_prefix="quillon:qmt", timeout=10.0):
        self.key_prefix = key_prefix.rstrip(":")
        self.timeout = float(timeout)
        self._r = redis.Redis(host=host, port=int(port), db=int(db), password=password or None,
                              decode_responses=True, socket_connect_timeout=min(self.timeout, 5.0),
                              socket_timeout=self.timeout + 1.0, protocol=2, retry=Retry(NoBackoff(), 0),
                              retry_on_error=[])

    @property
    def req_key(self):
        return f"{self.key_prefix}:req"

    def res_key(self, req_id):
        return f"{self.key_prefix}:res:{req_id}"

    def call(self, op, params=None, timeout=None):
        req_id = uuid.uuid4().hex
        envelope = {"id": req_id, "op": op, "params": params or {}, "ts": time.time()}
        wait = float(timeout) if timeout is not None else self.timeout
        text = json.dumps(envelope, ensure_ascii=False)
        res_key = self.res_key(req_id)
        pipe = self._r.pipeline(transaction=False)
        pipe.delete(res_key)
        pipe.rpush(self.req_key, text)
        pipe.execute()
        item = self._r.brpop(res_key, timeout=max(int(wait), 1))
        if item is None:
            raise TimeoutError(f"QMT Redis RPC timeout after {wait}s (op={op}, id={req_id}). "
                               "Is the Big QMT bridge agent running?")
        msg = json.loads(item[1])
        if not msg.get("ok"):
            raise RuntimeError(msg.get("error") or f"RPC op={op} failed")
        return msg.get("data")

    def close(self):
        self._r.close()
        self._r.connection_pool.disconnect()
