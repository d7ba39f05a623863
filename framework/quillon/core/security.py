"""Tradable instruments.

Securities are immutable values: they key the gateways' quote, order-book and
bar caches, so two objects describing the same instrument must be equal and
hash alike.
"""

from dataclasses import KW_ONLY, dataclass

from quillon.core.constants import Exchange


@dataclass(frozen=True)
class Security:
    """An instrument identified by its framework code, such as "SH.600000"."""

    code: str
    # Everything after the code is keyword-only: callers list these fields in
    # differing orders, and a positional mix-up (a lot size landing in the
    # name) would silently build a wrong, yet valid-looking, key.
    _: KW_ONLY
    security_name: str = ""
    lot_size: int = 1
    exchange: Exchange = Exchange.SSE


@dataclass(frozen=True)
class Stock(Security):
    """An equity share."""


@dataclass(frozen=True)
class Futures(Security):
    """A futures contract; lot_size is the number of units per contract."""
