"""A short tour of the native modules: code conversion, the fees of a few
sample orders and, through a local Redis and the simulated bridge agent, a
round trip to the terminal side."""

from quillon.core.constants import Direction
from quillon.core.deal import Deal
from quillon.core.security import Futures, Stock
from quillon.gateways.cqg.futures_charges import FuturesCharges
from quillon.gateways.futu.hk_charges import HkChargesCrypto, HkChargesHKFE, HkChargesSEHK
from quillon.gateways.qmt.ashare_charges import AshareChargesCN
from quillon.gateways.qmt.symbols import exchange_from_qmt_code, from_qmt_code, to_qmt_code

FEE_FIELDS = ("commissions", "platform_fees", "system_fees", "settlement_fees", "stamp_fees", "trade_fees",
              "transaction_fees", "total_fees")


def show_codes():
    print("== security codes")
    print(f"{'input':<14} {'to_qmt_code':<14} {'from_qmt_code':<14} exchange")
    for code in ("SH.600000", "sz.000001", "600000.SS", " 000001.SZSE ", "HK.00700"):
        print(f"{code!r:<14} {to_qmt_code(code):<14} {from_qmt_code(code):<14} {exchange_from_qmt_code(code).name}")


def show_fees():
    print("\n== fees of sample orders")
    ping_an = Stock(code="SZ.000001", lot_size=100)
    tencent = Stock(code="HK.00700", lot_size=100)
    hsi = Futures(code="HK.HSImain", lot_size=1)
    btc = Stock(code="CC.BTCUSD")
    es = Futures(code="CME.ES")
    orders = [
        ("A-share buy 1000 @ 10.00", AshareChargesCN, [Deal(security=ping_an, direction=Direction.LONG,
                                                            filled_avg_price=10.0, filled_quantity=1000)]),
        ("A-share sell 2 fills", AshareChargesCN,
         [Deal(security=ping_an, direction=Direction.SHORT, filled_avg_price=10.01, filled_quantity=600),
          Deal(security=ping_an, direction=Direction.SHORT, filled_avg_price=10.02, filled_quantity=400)]),
        ("HK stock buy 1000 @ 100.0", HkChargesSEHK, [Deal(security=tencent, direction=Direction.LONG,
                                                            filled_avg_price=100.0, filled_quantity=1000)]),
        ("HK futures 2 contracts", HkChargesHKFE, [Deal(security=hsi, direction=Direction.LONG,
                                                         filled_avg_price=17000.0, filled_quantity=2)]),
        ("Crypto 0.5 BTC @ 60000", HkChargesCrypto, [Deal(security=btc, direction=Direction.LONG,
                                                          filled_avg_price=60000.0, filled_quantity=0.5)]),
        ("CQG futures 3 contracts", FuturesCharges, [Deal(security=es, direction=Direction.LONG,
                                                          filled_avg_price=5000.0, filled_quantity=3)]),
    ]
    for label, model, deals in orders:
        fees = model(*deals)
        charged = ", ".join(f"{f}={getattr(fees, f)!r}" for f in FEE_FIELDS if getattr(fees, f))
        print(f"{label:<28} {model.__name__:<16} {charged}")


def main():
    show_codes()
    show_fees()


if __name__ == "__main__":
    main()
