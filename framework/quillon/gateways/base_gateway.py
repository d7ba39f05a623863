"""Fee-model base class; also re-exports BaseGateway."""

from quillon.gateways import BaseGateway

__all__ = ["BaseFees", "BaseGateway"]


class BaseFees:
    """Base of the fee models: every charge reads zero until a model sets it.

    The zeros live on the class so that a model that never calls this
    initialiser, and never touches a charge it does not levy, still reads 0
    for it; models assign on their own instances and leave the class alone.
    """

    commissions = 0
    platform_fees = 0
    system_fees = 0
    settlement_fees = 0
    stamp_fees = 0
    trade_fees = 0
    transaction_fees = 0
    total_fees = 0
    total_trade_amount = 0
    total_number_of_trades = 0
