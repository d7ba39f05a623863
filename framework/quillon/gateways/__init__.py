"""Broker gateways and their common base class."""


class _Store:
    """A keyed cache of the latest record per key.

    Gateways write these from listener threads while callers read them; each
    operation is a single dict operation, which the interpreter performs
    atomically, so no lock is taken.
    """

    def __init__(self):
        self.queue = {}

    def get(self, key):
        return self.queue.get(key)

    def put(self, key, value):
        self.queue[key] = value

    def __repr__(self):
        return f"{type(self).__name__}({len(self.queue)} entries)"


class BaseGateway:
    """Common state of every gateway: its securities and three record stores.

    ``quote`` and ``orderbook`` are keyed by security, ``orders`` by order id.
    Extra keyword arguments are kept in ``kwargs`` for subclasses to read.
    """

    def __init__(self, securities, gateway_name, **kwargs):
        self.securities = securities
        self.gateway_name = gateway_name
        self.kwargs = kwargs
        self.trade_mode = None
        self.quote = _Store()
        self.orderbook = _Store()
        self.orders = _Store()

    def set_trade_mode(self, trade_mode):
        self.trade_mode = trade_mode
