"""Contract tests of the plain-Python host framework the native modules import."""

import dataclasses
import importlib
from datetime import datetime, timedelta, timezone

import pytest

from quillon.core.balance import AccountBalance
from quillon.core.constants import Direction, Exchange, OrderStatus, OrderType
from quillon.core.data import Bar, OrderBook, Quote
from quillon.core.order import Order
from quillon.core.security import Futures, Security, Stock
from quillon.core.utility import safe_call, try_parsing_datetime
from quillon.gateways import BaseGateway
from quillon.gateways.base_gateway import BaseFees
from quillon.gateways.cqg.wrapper.CELEnvironment import (
    AssertMessage,
    CELEnvironment,
    CELSinkBase,
    Trace,
)
from win32com.client import Dispatch, constants

FEE_FIELDS = (
    "commissions", "platform_fees", "system_fees", "settlement_fees",
    "stamp_fees", "trade_fees", "transaction_fees", "total_fees",
    "total_trade_amount", "total_number_of_trades",
)


@pytest.mark.parametrize("module", [
    "quillon.core", "quillon.gateways.qmt", "quillon.gateways.futu",
    "quillon.gateways.cqg", "quillon.gateways.cqg.wrapper", "quillon_config",
])
def test_packages_import_without_native_modules(module):
    importlib.import_module(module)


@pytest.mark.parametrize("a, b, equal", [
    (Stock(code="SH.600000", lot_size=100, security_name="PF", exchange=Exchange.SSE),
     Stock(code="SH.600000", lot_size=100, security_name="PF", exchange=Exchange.SSE), True),
    (Stock(code="SH.600000"), Stock(code="SH.600001"), False),
    (Stock(code="SH.600000", lot_size=100), Stock(code="SH.600000", lot_size=200), False),
    (Stock(code="SH.600000"), Security(code="SH.600000"), False),
    (Futures(code="HK.HSImain", exchange=Exchange.HKFE),
     Futures(code="HK.HSImain", exchange=Exchange.HKFE), True),
])
def test_security_value_semantics(a, b, equal):
    assert (a == b) is equal
    cache = {a: "cached"}
    assert (b in cache) is equal
    if equal:
        assert hash(a) == hash(b)


def test_security_is_immutable_and_keyword_only_after_code():
    stock = Stock(code="SZ.000001", lot_size=100)
    assert isinstance(stock, Security)
    assert (stock.security_name, stock.exchange) == ("", Exchange.SSE)
    with pytest.raises(dataclasses.FrozenInstanceError):
        stock.lot_size = 1
    with pytest.raises(TypeError):
        Stock("SZ.000001", 100)


def test_bar_construction_mutation_and_equality():
    t = datetime(2024, 1, 2, 9, 31)
    sec = Stock(code="SH.600000")
    by_kw = Bar(datetime=t, security=sec, open=1.0, high=2.0, low=0.5,
                close=1.5, volume=100)
    by_pos = Bar(t, sec, 1.0, 2.0, 0.5, 1.5, 100)
    assert (by_kw.num_trds, by_kw.value) == (0, 0)
    assert by_kw == by_pos
    by_pos.close = 1.6
    assert by_kw != by_pos
    assert "close=1.5" in repr(by_kw) and "SH.600000" in repr(by_kw)
    with pytest.raises(TypeError):
        hash(by_kw)


def test_market_data_records_default_to_zero_and_replace():
    quote = Quote(security="S", exchange=Exchange.CME, datetime=None)
    book = OrderBook(security="S")
    numbers = [f.name for f in dataclasses.fields(Quote)][3:]
    assert all(getattr(quote, n) == 0.0 for n in numbers)
    levels = [f"{side}_{kind}_{i}" for side in ("bid", "ask")
              for kind in ("price", "volume") for i in range(1, 6)]
    assert all(getattr(book, n) == 0.0 for n in levels)
    moved = dataclasses.replace(book, ask_price_1=10.5)
    assert (moved.ask_price_1, book.ask_price_1) == (10.5, 0.0)


def test_order_and_balance_defaults():
    order = Order(security=Stock(code="SH.600000"), price=10.0, quantity=100,
                  direction=Direction.LONG, order_type=OrderType.LIMIT)
    assert (order.stop_price, order.orderid, order.status, order.updated_time) == (
        None, "", OrderStatus.UNKNOWN, None)
    balance = AccountBalance()
    assert balance.cash == balance.available_cash == balance.maintenance_margin == 0.0
    assert balance.cash_by_currency is None and balance.max_power_short is None


def test_base_fees_read_zero_without_base_initialiser():
    class Model(BaseFees):
        def __init__(self):  # fee models never call the base initialiser
            self.commissions += 5

    model = Model()
    assert model.commissions == 5
    assert all(getattr(model, f) == 0 for f in FEE_FIELDS if f != "commissions")
    assert all(getattr(BaseFees(), f) == 0 for f in FEE_FIELDS)


def test_gateway_stores_are_per_instance_and_keyed():
    sec = Stock(code="SH.600000")
    first = BaseGateway([sec], "Qmt", region="CN")
    second = BaseGateway([], "Other")
    first.quote.put(sec, "q")
    first.orders.put("id-1", "order")
    assert first.quote.get(Stock(code="SH.600000")) == "q"
    assert sec in first.quote.queue
    assert first.orderbook.get(sec) is None
    assert first.orders.get("id-2") is None
    assert second.quote.get(sec) is None
    assert (first.securities, first.gateway_name, first.kwargs) == ([sec], "Qmt", {"region": "CN"})
    first.set_trade_mode("LIVE")
    assert first.trade_mode == "LIVE"


def test_safe_call_reports_one_line_and_returns_none(capsys):
    @safe_call
    def explode(x):
        raise ValueError("bad\nvalue")

    @safe_call
    def fine(x):
        return x * 2

    assert explode(1) is None
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 1 and "explode" in lines[0] and "bad" in lines[0]
    assert fine(2) == 4 and fine.__name__ == "fine"

    @safe_call
    def interrupted():
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        interrupted()


@pytest.mark.parametrize("text, expected", [
    ("2024-01-02T09:30:15", datetime(2024, 1, 2, 9, 30, 15)),
    ("2024-01-02 09:30", datetime(2024, 1, 2, 9, 30)),
    ("2024-01-02 09:30:15.250000", datetime(2024, 1, 2, 9, 30, 15, 250000)),
    ("2024-01-02", datetime(2024, 1, 2)),
    ("2024/01/02 09:30:15", datetime(2024, 1, 2, 9, 30, 15)),
    ("2024/1/2 09:30", datetime(2024, 1, 2, 9, 30)),
    ("2024/01/02", datetime(2024, 1, 2)),
    ("20240102 09:30:15", datetime(2024, 1, 2, 9, 30, 15)),
    ("20240102", datetime(2024, 1, 2)),
    ("  20240102  ", datetime(2024, 1, 2)),
    ("2024-01-02T09:30:00+08:00",
     datetime(2024, 1, 2, 9, 30, tzinfo=timezone(timedelta(hours=8)))),
])
def test_try_parsing_datetime_accepts(text, expected):
    result = try_parsing_datetime(text)
    assert result == expected and result.tzinfo == expected.tzinfo


@pytest.mark.parametrize("text", [
    "", "garbage", "2024111", "2024/13/02", "02-01-2024", "1704067200.5",
])
def test_try_parsing_datetime_rejects(text):
    with pytest.raises(ValueError, match="date-time"):
        try_parsing_datetime(text)


def test_com_constants_are_distinct_ints_with_vendor_connection_statuses():
    values = vars(constants)
    assert all(type(v) is int for v in values.values())
    assert len(set(values.values())) == len(values)
    assert [constants.csConnectionUp, constants.csConnectionDelayed,
            constants.csConnectionDown, constants.csConnectionTrouble,
            constants.csConnectionNotLoggedOn] == [0, 1, 2, 3, 4]
    with pytest.raises(AttributeError):
        constants.csNoSuchStatus
    marker = object()
    assert Dispatch(marker) is marker


def test_com_constants_cover_every_name_the_wrapper_uses():
    required = {
        "qtAsk", "qtBid", "qtCohUndAsk", "qtCohUndBid", "qtDayHigh", "qtDayLow",
        "qtDayOpen", "qtImpliedAsk", "qtImpliedBid", "qtIndicativeOpen", "qtMarker",
        "qtOutrightAsk", "qtOutrightBid", "qtSettlement", "qtTodayMarker", "qtTrade",
        "qtYesterdaySettlement", "tptAsk", "tptBid", "tptSettlement", "tptTrade",
        "trtCurrentNotify", "tfAll", "dsQuotesAndBBA", "hpDaily", "pfds1Min",
        "dbcLastQuoteOrSettlement", "tbrContractVolume", "tbrCommodityVolume",
        "otLimit", "otMarket", "otStop", "osdBuy", "osdSell",
        "osActiveAt", "osContingent", "osInCancel", "osInClient", "osInModify",
        "osInTransit", "osNotSent", "osParked", "osInOrderBook", "osFilled",
        "osBusted", "osCanceled", "osRejectFCM", "osRejectGW", "osDisconnected",
        "osExpired", "osInTransitTimeout", "opGWStatus", "opGUID",
        "opEventServerTimestamp", "opAverageFillPrice", "opFilledQuantity",
        "ctAdded", "ctChanged", "ctRemoved", "fsNormal", "aslNone",
        "aslAccountUpdatesAndOrders", "pslNoPositions", "pslSnapshotAndUpdates",
        "actPositionAdded", "actPositionChanged", "actAccountsReloaded",
    }
    assert required <= set(vars(constants))


def test_cel_environment_helpers(capsys):
    Trace("GW connection is UP!")
    assert capsys.readouterr().out == "GW connection is UP!\n"
    AssertMessage(True, "unused")
    with pytest.raises(AssertionError, match="^GW connection timeout!$"):
        AssertMessage(False, "GW connection timeout!")

    class Sink(CELSinkBase):
        def __init__(self):
            self.seen = []

        def OnTicksAdded(self, ticks, count):
            self.seen.append((ticks, count))

    sink = Sink()
    env = CELEnvironment(sink=sink)
    assert env.cqgCEL is None
    env.fire("OnTicksAdded", "ticks", 3)
    assert sink.seen == [("ticks", 3)]
    with pytest.raises(AttributeError):
        env.fire("OnTicksRemoved", "ticks", 0)  # a missing handler is not hidden
    with pytest.raises(ValueError):
        env.fire("OnNothing")


def test_config_keeps_live_orders_off_by_default():
    import quillon_config

    qmt = quillon_config.GATEWAYS["Qmt"]
    assert qmt["allow_orders"] is False
    assert (qmt["redis_host"], qmt["redis_port"], qmt["redis_db"]) == ("127.0.0.1", 6379, 5)
    assert "kline" in list(quillon_config.DATA_PATH)
