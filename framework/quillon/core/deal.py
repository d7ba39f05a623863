"""Fills (deals) of orders."""

import datetime as _dt
from dataclasses import dataclass
from typing import Optional

from quillon.core.constants import Direction
from quillon.core.security import Security


@dataclass
class Deal:
    """One fill of an order; fee models turn a list of these into charges."""

    security: Security
    direction: Direction
    filled_avg_price: float
    filled_quantity: float
    dealid: str = ""
    orderid: str = ""
    created_time: Optional[_dt.datetime] = None
    updated_time: Optional[_dt.datetime] = None
