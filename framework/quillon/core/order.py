"""Orders sent to a gateway."""

import datetime as _dt
from dataclasses import dataclass
from typing import Optional

from quillon.core.constants import Direction, OrderStatus, OrderType
from quillon.core.security import Security


@dataclass
class Order:
    """An order and its broker-side state.

    Gateways fill in ``orderid`` when the broker accepts the order and move
    ``status`` and ``updated_time`` as events arrive.
    """

    security: Security
    price: float
    quantity: float
    direction: Direction
    order_type: OrderType
    stop_price: Optional[float] = None
    orderid: str = ""
    status: OrderStatus = OrderStatus.UNKNOWN
    filled_avg_price: float = 0.0
    filled_quantity: float = 0.0
    created_time: Optional[_dt.datetime] = None
    updated_time: Optional[_dt.datetime] = None
