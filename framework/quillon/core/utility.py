"""Small helpers shared across the framework."""

import functools
import re
from datetime import datetime


def safe_call(func):
    """Decorate ``func`` so that an ``Exception`` it raises is reported, not raised.

    The failure is printed as a single line naming the function, and the call
    returns None. ``BaseException`` subclasses such as ``KeyboardInterrupt``
    still propagate.
    """

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        try:
            return func(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - reporting is the purpose
            # repr() keeps a multi-line error message on one output line.
            print(f"[safe_call] {func.__qualname__} failed: {exc!r}")
            return None

    return wrapper


# Non-ISO layouts. The compact date forms get a full-match guard because
# strptime accepts one-digit months and days, so "2024111" would otherwise be
# read as some date in November or January without complaint.
_FALLBACK_FORMATS = (
    ("%Y/%m/%d %H:%M:%S", None),
    ("%Y/%m/%d %H:%M", None),
    ("%Y/%m/%d", None),
    ("%Y%m%d %H:%M:%S", re.compile(r"\d{8} \d{2}:\d{2}:\d{2}")),
    ("%Y%m%d", re.compile(r"\d{8}")),
)


def try_parsing_datetime(text):
    """Parse a date or date-time text into a ``datetime``.

    ISO 8601 texts ("2024-01-02T09:30:00", "2024-01-02 09:30", with seconds,
    microseconds or an offset) are read by ``datetime.fromisoformat``; an
    offset in the text gives an aware result, everything else a naive one.
    Also accepted: "%Y/%m/%d %H:%M[:%S]", "%Y/%m/%d", "%Y%m%d %H:%M:%S" and
    "%Y%m%d". Anything else raises ``ValueError``.
    """
    if not isinstance(text, str):
        raise TypeError(
            f"try_parsing_datetime() expects a str, got {type(text).__name__}"
        )
    stripped = text.strip()
    try:
        return datetime.fromisoformat(stripped)
    except ValueError:
        pass
    for fmt, guard in _FALLBACK_FORMATS:
        if guard is not None and not guard.fullmatch(stripped):
            continue
        try:
            return datetime.strptime(stripped, fmt)
        except ValueError:
            continue
    raise ValueError(f"Unrecognised date-time text: {text!r}")
