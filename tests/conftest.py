import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "sim"))
# The plain-Python reference implementations of the benchmarks double as
# test oracles.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))

from support.agent import AgentProcess  # noqa: E402
from support.redis_server import RedisServer  # noqa: E402


@pytest.fixture(scope="session")
def redis_server():
    with RedisServer() as server:
        yield server


@pytest.fixture
def redis_client(redis_server):
    client = redis_server.client(db=5)
    client.flushdb()
    yield client
    client.close()


@pytest.fixture
def start_agent(redis_server, redis_client):
    """Start simulated agents on the test server: start_agent(allow_orders=..., args=[...])."""
    started = []

    def start(**kwargs):
        kwargs.setdefault("port", redis_server.port)
        kwargs.setdefault("password", redis_server.password)
        agent = AgentProcess(**kwargs).start()
        started.append(agent)
        return agent

    yield start
    for agent in started:
        agent.close()


@pytest.fixture
def agent(start_agent):
    return start_agent()
