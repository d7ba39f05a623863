"""Test-side name of the throw-away redis-server (lives in quillon_sim)."""

from quillon_sim.local_redis import RedisServer, RedisServerNotFound, find_redis_server, free_port  # noqa: F401
