"""A short tour of the native modules: code conversion, the fees of a few
sample orders and, through a local Redis and the simulated bridge agent, a
round trip to the terminal side.

    python demo/demo.py                          # starts its own redis-server and agent
    python demo/demo.py --redis-port 6379        # uses a Redis already running there
    python demo/demo.py --no-agent --redis-port 6379   # and an agent already serving it
"""

import argparse
import threading
import time

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


def show_bridge(args):
    from quillon_sim.agent_process import AgentProcess
    from quillon_sim.local_redis import RedisServer

    from quillon.gateways.qmt.kv_link import QmtKvLink

    print("\n== QMT bridge over Redis")
    server = None
    port = args.redis_port
    if port is None:
        server = RedisServer().start()
        port = server.port
        print(f"started redis-server on 127.0.0.1:{port} (pid {server.pid})")
    agent = None
    if not args.no_agent:
        agent = AgentProcess(port=port, host=args.redis_host, password=args.redis_password, allow_orders=True,
                             args=["--fill-delay", "0.3"]).start()
        print(f"started the simulated agent: {agent.startup_line}")
    link = QmtKvLink(host=args.redis_host, port=port, password=args.redis_password)
    try:
        t0 = time.perf_counter()
        pong = link.ping()
        print(f"ping -> {pong!r} ({(time.perf_counter() - t0) * 1e3:.1f} ms)")
        codes = ["600000.SH", "000001.SZ"]
        ticks = link.call("get_full_tick", {"codes": codes})
        for code in codes:
            row = ticks.get(code) or {}
            print(f"{code}: last {row.get('lastPrice')}  bid {row.get('bidPrice', [None])[0]}"
                  f"  ask {row.get('askPrice', [None])[0]}  volume {row.get('volume')}")
        events = []
        done = threading.Event()

        def on_event(event):
            events.append(event)
            data = event.get("data") or {}
            print(f"event: {event.get('type')} order_ref={data.get('order_ref')} status={data.get('status')}")
            if data.get("status") == "filled":
                done.set()

        link.start_events(on_event)
        reply = link.call("place_order", {"code": "600000.SH", "direction": "BUY", "order_type": "MARKET",
                                          "price": 0.0, "volume": 100, "order_ref": "demo-1"})
        print(f"place_order -> {reply!r}")
        done.wait(5.0)
        print(f"query_positions -> {len(link.call('query_positions'))} rows; "
              f"query_asset cash {link.call('query_asset').get('m_dBalance')}")
    finally:
        link.close()
        if agent:
            agent.close()
        if server:
            server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--redis-host", default="127.0.0.1")
    parser.add_argument("--redis-port", type=int, default=None,
                        help="use the Redis server on this port instead of starting one")
    parser.add_argument("--redis-password", default=None)
    parser.add_argument("--no-agent", action="store_true", help="an agent already serves this Redis")
    args = parser.parse_args()
    show_codes()
    show_fees()
    show_bridge(args)


if __name__ == "__main__":
    main()
