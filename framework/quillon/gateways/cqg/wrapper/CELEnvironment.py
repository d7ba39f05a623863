"""CQG environment: event-sink base, tracing and assertion helpers.

The environment object owns the root COM object of the CQG Integrated Client
(``cqgCEL``) and routes that object's events to the sink's methods of the same
name. On Linux the root object is supplied by a simulator; until one is
attached ``cqgCEL`` is None.
"""

__all__ = ["AssertMessage", "CELEnvironment", "CELSinkBase", "Trace"]

# Events of the root object, each delivered to the sink method of this name.
EVENT_NAMES = (
    "OnGWConnectionStatusChanged",
    "OnDataConnectionStatusChanged",
    "OnDataError",
    "OnInstrumentResolved",
    "OnInstrumentChanged",
    "OnTicksResolved",
    "OnTicksAdded",
    "OnTicksRemoved",
    "OnTimedBarsResolved",
    "OnTimedBarsAdded",
    "OnTimedBarsUpdated",
    "OnTimedBarsRemoved",
    "OnAccountChanged",
    "OnOrderChanged",
)


class CELSinkBase:
    """Base class of objects that receive the root object's events.

    Deliberately free of state and of an initialiser: sinks do not call it.
    No default handlers are defined, so a sink that lacks one fails loudly
    when that event is delivered instead of dropping it.
    """

    EVENT_NAMES = EVENT_NAMES


class CELEnvironment:
    """Holds the root COM object and the sink its events go to."""

    def __init__(self, cqgCEL=None, sink=None):
        self.cqgCEL = cqgCEL
        self.sink = sink

    def fire(self, event_name, *args):
        """Deliver one event to the sink; unknown event names are refused."""
        if event_name not in EVENT_NAMES:
            raise ValueError(f"Unknown CQG event: {event_name!r}")
        if self.sink is None:
            raise RuntimeError(f"No sink attached for {event_name}")
        return getattr(self.sink, event_name)(*args)


def Trace(text):
    """Write one trace line to standard output."""
    print(text)


def AssertMessage(condition, message):
    """Fail the current operation with ``message`` when ``condition`` is false.

    Raised explicitly rather than through ``assert`` so that the check holds
    under ``python -O`` too.
    """
    if not condition:
        raise AssertionError(message)
