"""Account balance snapshot."""

from dataclasses import dataclass
from typing import Dict, Optional


@dataclass
class AccountBalance:
    """Cash and margin figures of one account.

    Built empty and filled field by field by the gateways, so every field has
    a neutral default.
    """

    cash: float = 0.0
    available_cash: float = 0.0
    net_cash_power: float = 0.0
    unrealized_pnl: float = 0.0
    realized_pnl: float = 0.0
    maintenance_margin: float = 0.0
    max_power_short: Optional[float] = None
    cash_by_currency: Optional[Dict[str, float]] = None
