"""Fee models: the schedules' worked cases, Python-exact arithmetic and the
calling form shared by every model."""

import inspect
import math

import pytest
from hypothesis import given, settings, strategies as st

import py_fees as ref
from quillon.core.constants import Direction
from quillon.core.deal import Deal
from quillon.core.security import Futures, Stock
from quillon.gateways.base_gateway import BaseFees
from quillon.gateways.cqg.futures_charges import FuturesCharges
from quillon.gateways.futu.hk_charges import HkChargesCrypto, HkChargesHKFE, HkChargesSEHK
from quillon.gateways.qmt.ashare_charges import AshareChargesCN

from support.leaks import assert_no_leak

FIELDS = ("commissions", "platform_fees", "system_fees", "settlement_fees", "stamp_fees", "trade_fees",
          "transaction_fees", "total_fees", "total_trade_amount", "total_number_of_trades")
MODELS = [AshareChargesCN, HkChargesSEHK, HkChargesHKFE, HkChargesCrypto, FuturesCharges]
STOCK = Stock(code="SH.600000", lot_size=100)


def fill(price, qty, direction=Direction.LONG, security=STOCK):
    return Deal(security=security, direction=direction, filled_avg_price=price, filled_quantity=qty)


def fees(model):
    return {f: getattr(model, f) for f in FIELDS}


def typed(values):
    return {k: (type(v), v) for k, v in values.items()}


SELL = Direction.SHORT


@pytest.mark.parametrize(
    "model, deals, expected",
    [
        # A-shares
        (AshareChargesCN, [], dict(commissions=0, trade_fees=0, stamp_fees=0.0, total_fees=0.0,
                                   total_trade_amount=0, total_number_of_trades=0)),
        (AshareChargesCN, [fill(10.0, 1000)], dict(commissions=5.0, trade_fees=0.1, stamp_fees=0.0,
                                                   total_fees=5.0 + 0.1, total_trade_amount=10000.0)),
        (AshareChargesCN, [fill(10.0, 1000, SELL)], dict(stamp_fees=5.0, total_fees=10.1)),
        (AshareChargesCN, [fill(10.0, 1000)] * 2, dict(commissions=10.0, trade_fees=0.2,
                                                       total_number_of_trades=2)),
        (AshareChargesCN, [fill(1001.0, 1, SELL)], dict(stamp_fees=0.51)),
        (AshareChargesCN, [fill(100.0, 10000)], dict(commissions=250.0, trade_fees=10.0)),
        (AshareChargesCN, [fill(10.0, 1000, SELL), fill(10.0, 1000), fill(20.0, 1000, SELL)],
         dict(stamp_fees=15.0, commissions=15.0, trade_fees=0.4)),
        # Hong Kong stocks
        (HkChargesSEHK, [], dict(commissions=3, platform_fees=15, total_fees=18, system_fees=0)),
        (HkChargesSEHK, [fill(100.0, 1000)], dict(system_fees=0.5, settlement_fees=2.0, stamp_fees=130,
                                                  trade_fees=5.0, transaction_fees=2.7, commissions=30.0,
                                                  platform_fees=15, total_fees=185.2)),
        (HkChargesSEHK, [fill(10.0, 1000)], dict(settlement_fees=2.0, stamp_fees=13, trade_fees=0.5,
                                                 transaction_fees=0.27, commissions=3, total_fees=34.27)),
        (HkChargesSEHK, [fill(20.0, 1000)] * 2, dict(commissions=12.0, system_fees=1.0, settlement_fees=4.0,
                                                     stamp_fees=52, trade_fees=2.0, transaction_fees=1.08,
                                                     platform_fees=15, total_fees=87.08)),
        (HkChargesSEHK, [fill(10000.0, 1000)], dict(settlement_fees=100.0)),
        (HkChargesSEHK, [fill(1.0, 1)], dict(stamp_fees=1, trade_fees=0.01, transaction_fees=0.01)),
        # Hong Kong futures: per contract
        (HkChargesHKFE, [fill(1.0, 100, security=Futures(code="HK.MHI", lot_size=50))],
         dict(trade_fees=6.0, transaction_fees=0.2, commissions=4.0, platform_fees=10.0, total_fees=20.2)),
        (HkChargesHKFE, [fill(1.0, 75, security=Futures(code="HK.MHI", lot_size=50))],
         dict(trade_fees=3.0, commissions=2.0, platform_fees=5.0)),
        (HkChargesHKFE, [fill(1.0, 100, security=Futures(code="HK.MHI", lot_size=50)),
                         fill(1.0, 50, security=Futures(code="HK.MHI", lot_size=50))],
         dict(trade_fees=9.0, commissions=6.0, platform_fees=15.0)),
        (HkChargesHKFE, [], dict(commissions=0.0, platform_fees=0.0, trade_fees=0, total_fees=0.0,
                                 total_trade_amount=0, total_number_of_trades=0)),
        # Crypto
        (HkChargesCrypto, [fill(60000.0, 0.5)], dict(platform_fees=24.0, commissions=0.0, total_fees=24.0)),
        (HkChargesCrypto, [fill(1000.0, 1)], dict(platform_fees=1.99)),
        (HkChargesCrypto, [fill(1000.0, 1)] * 2, dict(platform_fees=3.98)),
        # CQG futures
        (FuturesCharges, [], {f: 0 for f in FIELDS[:8]}),
        (FuturesCharges, [fill(1.0, 3)], dict(commissions=1.92 * 3, total_fees=1.92 * 3, platform_fees=0)),
        (FuturesCharges, [fill(1.0, 1), fill(1.0, 2)], dict(commissions=1.92 + 3.84)),
        (FuturesCharges, [fill(1.0, -2)], dict(commissions=-3.84)),
    ],
)
def test_schedules(model, deals, expected):
    got = fees(model(*deals))
    assert typed({k: got[k] for k in expected}) == typed(expected)


_numbers = st.one_of(
    st.floats(-1e7, 1e7, allow_nan=False),
    st.integers(-10**6, 10**6),
    st.integers(2**62, 2**70),  # beyond the unboxed range: the number protocol takes over
    st.sampled_from([0, 0.0, -0.0, 1e-9, 0.125, 2.675, 1001.0, 1e300]),
)
_fills = st.lists(st.builds(fill, _numbers, _numbers, st.sampled_from(list(Direction)),
                            st.builds(Futures, code=st.just("X"), lot_size=st.sampled_from([1, 2, 50, 0.5]))),
                  max_size=6)


@settings(max_examples=300, deadline=None)
@given(_fills)
def test_same_as_plain_python(deals):
    for native, python in [(AshareChargesCN, ref.AshareChargesCN), (HkChargesSEHK, ref.HkChargesSEHK),
                           (HkChargesHKFE, ref.HkChargesHKFE), (HkChargesCrypto, ref.HkChargesCrypto),
                           (FuturesCharges, ref.FuturesCharges)]:
        try:
            expected = typed(fees(python(*deals)))
        except (OverflowError, ValueError) as e:  # e.g. math.ceil of an infinite product
            with pytest.raises(type(e)):
                native(*deals)
            continue
        got = typed(fees(native(*deals)))
        # NaN != NaN: compare those by their text
        assert {k: (t, repr(v)) for k, (t, v) in got.items()} == {k: (t, repr(v)) for k, (t, v) in expected.items()}


def test_decimal_and_numpy_follow_their_own_arithmetic():
    from decimal import Decimal

    import numpy as np

    for value in (Decimal("10.5"), np.float64(10.5)):
        deals = [fill(value, 1000), fill(value, 200, SELL)]
        for native, python in [(HkChargesCrypto, ref.HkChargesCrypto), (FuturesCharges, ref.FuturesCharges)]:
            try:
                expected = typed(fees(python(*deals)))
            except TypeError:  # Decimal * float
                with pytest.raises(TypeError):
                    native(*deals)
            else:
                assert typed(fees(native(*deals))) == expected


def test_rates_are_read_through_the_instance():
    class Cheap(AshareChargesCN):
        COMMISSION_RATE = 0.001
        COMMISSION_MIN = 1

    assert Cheap(fill(10.0, 100)).commissions == 1.0  # 0.001 * 1000 == 1.0 beats the minimum 1
    assert Cheap(fill(1.0, 100)).commissions == 1     # the int minimum wins, type kept
    assert AshareChargesCN.COMMISSION_RATE == 0.00025  # the class itself is untouched

    class Fixed(HkChargesCrypto):
        PLATFORM_FEE_MIN_USD = 0

    assert Fixed(fill(1000.0, 1)).platform_fees == 0.8


def test_subclass_may_extend_the_constructor():
    class Logged(AshareChargesCN):
        def __init__(self, *deals):
            super().__init__(*deals)
            self.logged = len(deals)

    f = Logged(fill(10.0, 1000), fill(10.0, 1000))
    assert (f.logged, f.commissions) == (2, 10.0)
    assert inspect.signature(Logged) == inspect.signature(lambda *deals: None)


@pytest.mark.parametrize("model", MODELS)
def test_calling_form(model):
    assert issubclass(model, BaseFees)
    assert str(inspect.signature(model)) == "(*deals)"
    assert str(inspect.signature(model.__init__)) == "(self, /, *deals)"
    with pytest.raises(TypeError, match=r"^__init__\(\) got an unexpected keyword argument 'deals'$"):
        model(deals=[fill(1.0, 1)])
    fresh = model()
    assert all(getattr(BaseFees, f) == 0 for f in FIELDS)  # class-level zeros never change
    assert "total_fees" in vars(fresh)


def test_docstrings():
    assert AshareChargesCN.__doc__.startswith("Simplified mainland A-share fee model (broker schedules vary).")
    for line in ("Commission: 0.025% of notional, min CNY 5",
                 "Stamp duty: 0.05% of notional on sells only (current CN policy)",
                 "Transfer fee: 0.001% of notional (SSE/SZSE)"):
        assert line in AshareChargesCN.__doc__.splitlines()
    assert "港股融资融券（8332）套餐一（适合一般交易者）" in HkChargesSEHK.__doc__
    assert "综合期货账户（6463）" in HkChargesHKFE.__doc__
    assert HkChargesCrypto.__doc__.startswith("Futu Securities (Hong Kong) cryptocurrency spot fees.")
    assert "USD pairs (e.g. CC.BTCUSD / CC.ETHUSD) use the USD 1.99 floor." in HkChargesCrypto.__doc__
    assert FuturesCharges.__doc__ == "CQG fee model"
    import quillon.gateways.qmt.ashare_charges as mod
    assert mod.__doc__ == "China A-share fee model placeholder for MainlandGateway."


class _NoQuantity:
    filled_avg_price = 1.0
    direction = Direction.LONG


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("deal", [_NoQuantity(), fill("10", None), fill(None, 1)])
def test_bad_fills_raise_as_python_does(model, deal):
    try:
        getattr(ref, model.__name__)(deal)
    except (AttributeError, TypeError) as e:
        with pytest.raises(type(e)):
            model(deal)
    else:  # the futures models never read the price
        model(deal)


def test_futures_lot_size_zero():
    with pytest.raises(ZeroDivisionError):
        HkChargesHKFE(fill(1.0, 10, security=Futures(code="X", lot_size=0)))


def test_no_leaks():
    deals = [fill(10.5, 300, SELL), fill(10.6, 200)]
    for model in MODELS:
        assert_no_leak(lambda: model(*deals))
        assert_no_leak(lambda: model(_NoQuantity()))
