"""Linux stand-in for the Windows COM client ``win32com.client``.

On Windows the real client binds COM interfaces late and exposes the
enumeration values of registered type libraries through ``constants``. Here
``Dispatch`` hands its argument back unchanged, so plain Python objects can
play the part of COM objects, and ``constants`` holds the CQG Integrated
Client enumeration names the wrapper compares or sends.

Only the connection statuses carry the vendor's documented values (0 to 4);
all other values are arbitrary. Every name has its own value, across
enumerations too, so that comparing against a constant of the wrong
enumeration can never succeed by accident.
"""

from types import SimpleNamespace

__all__ = ["Dispatch", "constants"]


def Dispatch(dispatch):
    """Return ``dispatch`` itself: stand-in objects need no COM wrapping."""
    return dispatch


def _block(base, *names):
    return {name: base + offset for offset, name in enumerate(names)}


_VALUES = {}
# Connection status, as the server reports it.
_VALUES.update(_block(
    0,
    "csConnectionUp", "csConnectionDelayed", "csConnectionDown",
    "csConnectionTrouble", "csConnectionNotLoggedOn",
))
# Quote types.
_VALUES.update(_block(
    100,
    "qtAsk", "qtBid", "qtCohUndAsk", "qtCohUndBid", "qtDayHigh", "qtDayLow",
    "qtDayOpen", "qtImpliedAsk", "qtImpliedBid", "qtIndicativeOpen",
    "qtMarker", "qtOutrightAsk", "qtOutrightBid", "qtSettlement",
    "qtTodayMarker", "qtTrade", "qtYesterdaySettlement",
))
# Tick price types, tick request type, tick filter.
_VALUES.update(_block(200, "tptAsk", "tptBid", "tptSettlement", "tptTrade"))
_VALUES.update(_block(210, "trtCurrentNotify"))
_VALUES.update(_block(220, "tfAll"))
# Instrument data subscription level.
_VALUES.update(_block(230, "dsQuotesAndBBA"))
# Timed-bar request settings.
_VALUES.update(_block(300, "hpDaily"))
_VALUES.update(_block(310, "pfds1Min"))
_VALUES.update(_block(320, "dbcLastQuoteOrSettlement"))
_VALUES.update(_block(330, "tbrContractVolume", "tbrCommodityVolume"))
# Order types and sides.
_VALUES.update(_block(400, "otLimit", "otMarket", "otStop"))
_VALUES.update(_block(410, "osdBuy", "osdSell"))
# Order statuses.
_VALUES.update(_block(
    500,
    "osActiveAt", "osContingent", "osInCancel", "osInClient", "osInModify",
    "osInTransit", "osNotSent", "osParked", "osInOrderBook", "osFilled",
    "osBusted", "osCanceled", "osRejectFCM", "osRejectGW", "osDisconnected",
    "osExpired", "osInTransitTimeout",
))
# Order properties.
_VALUES.update(_block(
    600,
    "opGWStatus", "opGUID", "opEventServerTimestamp", "opAverageFillPrice",
    "opFilledQuantity",
))
# Order change types and fill status.
_VALUES.update(_block(700, "ctAdded", "ctChanged", "ctRemoved"))
_VALUES.update(_block(710, "fsNormal"))
# Account and position subscription levels, account change kinds.
_VALUES.update(_block(800, "aslNone", "aslAccountUpdatesAndOrders"))
_VALUES.update(_block(810, "pslNoPositions", "pslSnapshotAndUpdates"))
_VALUES.update(_block(
    820, "actPositionAdded", "actPositionChanged", "actAccountsReloaded",
))

# Attribute access raises AttributeError for an unknown name, as the real
# constants object does.
constants = SimpleNamespace(**_VALUES)
del _VALUES
