"""Test-side name of the simulated-agent process helper (lives in quillon_sim)."""

from quillon_sim.agent_process import AgentProcess  # noqa: F401
