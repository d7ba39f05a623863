"""Plain-Python fee models, step for step as the native classes compute."""

import math

from quillon.core.constants import Direction
from quillon.gateways.base_gateway import BaseFees


def _max(a, b):
    return b if b > a else a


def _total(self):
    self.total_fees = (self.commissions + self.platform_fees + self.system_fees + self.settlement_fees
                       + self.stamp_fees + self.trade_fees + self.transaction_fees)


class AshareChargesCN(BaseFees):
    COMMISSION_RATE = 0.00025
    COMMISSION_MIN = 5.0
    STAMP_RATE = 0.0005
    TRANSFER_RATE = 1e-05

    def __init__(self, *deals):
        for deal in deals:
            trade_amount = deal.filled_avg_price * deal.filled_quantity
            self.total_number_of_trades += 1
            self.total_trade_amount += trade_amount
            self.commissions += _max(self.COMMISSION_RATE * trade_amount, self.COMMISSION_MIN)
            self.trade_fees += self.TRANSFER_RATE * trade_amount
            if deal.direction == Direction.SHORT:
                self.stamp_fees += self.STAMP_RATE * trade_amount
        self.commissions = round(self.commissions, 2)
        self.trade_fees = round(self.trade_fees, 2)
        self.stamp_fees = math.ceil(self.stamp_fees * 100) / 100
        _total(self)


class HkChargesSEHK(BaseFees):
    def __init__(self, *deals):
        for deal in deals:
            trade_amount = deal.filled_avg_price * deal.filled_quantity
            self.total_number_of_trades += 1
            self.total_trade_amount += trade_amount
            self.system_fees += 0.5
            settlement_fee = 2e-05 * trade_amount
            if settlement_fee < 2.0:
                settlement_fee = 2.0
            elif settlement_fee > 100.0:
                settlement_fee = 100.0
            self.settlement_fees += round(settlement_fee, 2)
            self.stamp_fees += math.ceil(0.0013 * trade_amount)
            self.trade_fees += round(_max(5e-05 * trade_amount, 0.01), 2)
            self.transaction_fees += round(_max(2.7e-05 * trade_amount, 0.01), 2)
        self.commissions += _max(0.0003 * self.total_trade_amount, 3)
        self.commissions = round(self.commissions, 2)
        self.platform_fees = 15
        _total(self)


class HkChargesHKFE(BaseFees):
    def __init__(self, *deals):
        contracts = 0
        for deal in deals:
            num_of_contracts = int(deal.filled_quantity / deal.security.lot_size)
            self.trade_fees += float(3.0 * num_of_contracts)
            self.transaction_fees += float(0.1 * num_of_contracts)
            contracts += num_of_contracts
        self.commissions += float(contracts * 2.0)
        self.platform_fees = float(contracts * 5.0)
        _total(self)


class HkChargesCrypto(BaseFees):
    COMMISSION_RATE = 0.0
    PLATFORM_FEE_RATE = 0.0008
    PLATFORM_FEE_MIN_USD = 1.99

    def __init__(self, *deals):
        for deal in deals:
            trade_amount = deal.filled_avg_price * deal.filled_quantity
            self.total_number_of_trades += 1
            self.total_trade_amount += trade_amount
            self.commissions += self.COMMISSION_RATE * trade_amount
            self.platform_fees += _max(self.PLATFORM_FEE_RATE * trade_amount, self.PLATFORM_FEE_MIN_USD)
        self.commissions = round(self.commissions, 8)
        self.platform_fees = round(self.platform_fees, 8)
        _total(self)


class FuturesCharges(BaseFees):
    def __init__(self, *deals):
        commissions = platform_fees = system_fees = settlement_fees = 0
        stamp_fees = trade_fees = transaction_fees = 0
        for deal in deals:
            commissions += 1.92 * deal.filled_quantity
        total_fees = (commissions + platform_fees + system_fees + settlement_fees + stamp_fees + trade_fees
                      + transaction_fees)
        self.commissions = commissions
        self.platform_fees = platform_fees
        self.system_fees = system_fees
        self.settlement_fees = settlement_fees
        self.stamp_fees = stamp_fees
        self.trade_fees = trade_fees
        self.transaction_fees = transaction_fees
        self.total_fees = total_fees
