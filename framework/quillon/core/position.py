"""Broker positions."""

import datetime as _dt
from dataclasses import dataclass
from typing import Optional

from quillon.core.constants import Direction
from quillon.core.security import Security


@dataclass
class PositionData:
    """An open position as the broker reports it."""

    security: Security
    direction: Direction
    holding_price: float
    quantity: float
    update_time: Optional[_dt.datetime] = None
