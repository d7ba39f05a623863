"""Market-data records: bars, quotes and five-level order books."""

import datetime as _dt
from dataclasses import dataclass
from typing import Any, Optional


class Bar:
    """One OHLCV bar.

    A plain mutable class rather than a dataclass: bars are built by the
    thousand in aggregation loops and repaired field by field in place, so the
    constructor is kept to bare attribute stores.
    """

    def __init__(self, datetime, security, open, high, low, close, volume,
                 num_trds=0, value=0):
        self.datetime = datetime
        self.security = security
        self.open = open
        self.high = high
        self.low = low
        self.close = close
        self.volume = volume
        self.num_trds = num_trds
        self.value = value

    def _fields(self):
        return (self.datetime, self.security, self.open, self.high, self.low,
                self.close, self.volume, self.num_trds, self.value)

    def __eq__(self, other):
        if not isinstance(other, Bar):
            return NotImplemented
        return self._fields() == other._fields()

    # Bars are mutable, so they must not be used as dict keys or set members.
    __hash__ = None

    def __repr__(self):
        return (
            f"Bar(datetime={self.datetime!r}, security={self.security!r}, "
            f"open={self.open!r}, high={self.high!r}, low={self.low!r}, "
            f"close={self.close!r}, volume={self.volume!r}, "
            f"num_trds={self.num_trds!r}, value={self.value!r})"
        )


@dataclass
class Quote:
    """Latest trade and best prices of one security."""

    security: Any = None
    exchange: Any = None
    datetime: Optional[_dt.datetime] = None
    last_price: float = 0.0
    open_price: float = 0.0
    high_price: float = 0.0
    low_price: float = 0.0
    prev_close_price: float = 0.0
    volume: float = 0.0
    turnover: float = 0.0
    bid_price: float = 0.0
    ask_price: float = 0.0
    price_spread: float = 0.0


@dataclass
class OrderBook:
    """Five price levels per side; level 1 is the best price."""

    security: Any = None
    exchange: Any = None
    datetime: Optional[_dt.datetime] = None
    bid_price_1: float = 0.0
    bid_price_2: float = 0.0
    bid_price_3: float = 0.0
    bid_price_4: float = 0.0
    bid_price_5: float = 0.0
    ask_price_1: float = 0.0
    ask_price_2: float = 0.0
    ask_price_3: float = 0.0
    ask_price_4: float = 0.0
    ask_price_5: float = 0.0
    bid_volume_1: float = 0.0
    bid_volume_2: float = 0.0
    bid_volume_3: float = 0.0
    bid_volume_4: float = 0.0
    bid_volume_5: float = 0.0
    ask_volume_1: float = 0.0
    ask_volume_2: float = 0.0
    ask_volume_3: float = 0.0
    ask_volume_4: float = 0.0
    ask_volume_5: float = 0.0
