"""Stand-ins for the outside systems quillon talks to, for tests and local runs.

``quillon_sim.qmt_agent`` plays the QMT terminal's bridge agent: it serves the
Redis request/reply protocol and publishes order events, backed by a
deterministic simulated market and account (``SimTerminal``).
"""

__all__ = ["qmt_agent"]
