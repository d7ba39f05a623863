"""Enumerations shared by the framework, its gateways and its records."""

from enum import Enum


class Direction(Enum):
    LONG = "LONG"
    SHORT = "SHORT"
    NET = "NET"


class OrderType(Enum):
    LIMIT = "LIMIT"
    MARKET = "MARKET"
    STOP = "STOP"


class OrderStatus(Enum):
    UNKNOWN = "UNKNOWN"
    SUBMITTED = "SUBMITTED"
    FILLED = "FILLED"
    PART_FILLED = "PART_FILLED"
    CANCELLED = "CANCELLED"
    FAILED = "FAILED"


class TradeMode(Enum):
    BACKTEST = "BACKTEST"
    SIMULATE = "SIMULATE"
    LIVETRADE = "LIVETRADE"


class Exchange(Enum):
    SSE = "SSE"      # Shanghai Stock Exchange
    SZSE = "SZSE"    # Shenzhen Stock Exchange
    SEHK = "SEHK"    # Stock Exchange of Hong Kong
    HKFE = "HKFE"    # Hong Kong Futures Exchange
    CME = "CME"      # Chicago Mercantile Exchange
