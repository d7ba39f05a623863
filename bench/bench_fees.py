"""Fee models with the fills of one order: native classes against the
plain-Python models."""

import py_fees as py
from common import best_time, header, row

from quillon.core.constants import Direction
from quillon.core.deal import Deal
from quillon.core.security import Stock
from quillon.gateways.futu import hk_charges
from quillon.gateways.qmt import ashare_charges

FIELDS = ("commissions", "platform_fees", "system_fees", "settlement_fees", "stamp_fees", "trade_fees",
          "transaction_fees", "total_fees", "total_trade_amount", "total_number_of_trades")


def _fills(n):
    sec = Stock(code="SH.600000", lot_size=100)
    return [Deal(security=sec, direction=Direction.SHORT if i % 3 else Direction.LONG,
                 filled_avg_price=10.0 + i * 0.01, filled_quantity=100 * (i + 1)) for i in range(n)]


def _case(name, native, python, deals, number=20_000):
    a = [getattr(native(*deals), f) for f in FIELDS]
    b = [getattr(python(*deals), f) for f in FIELDS]
    assert a == b, (name, a, b)
    row(name, best_time(native, deals, number), best_time(python, deals, number))


def main():
    header("fee models, one order")
    for n in (1, 10):
        deals = _fills(n)
        _case(f"AshareChargesCN({n} fills)", ashare_charges.AshareChargesCN, py.AshareChargesCN, deals)
        _case(f"HkChargesSEHK({n} fills)", hk_charges.HkChargesSEHK, py.HkChargesSEHK, deals)


if __name__ == "__main__":
    main()
