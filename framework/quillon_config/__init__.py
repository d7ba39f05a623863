"""Framework configuration.

Values are plain module globals; callers (tests in particular) change the
entries of GATEWAYS in place.
"""

# Gateway name -> settings of that gateway.
GATEWAYS = {
    "Qmt": {
        "redis_host": "127.0.0.1",
        "redis_port": 6379,
        "redis_db": 5,
        "key_prefix": "quillon:qmt",
        "rpc_timeout": 10.0,
        # Live order entry stays off until switched on deliberately.
        "allow_orders": False,
    },
}

# Data kind -> where the back-test keeps files of that kind.
DATA_PATH = {
    "kline": "data/k_line",
}

# Engine clock step, in milliseconds (one minute).
TIME_STEP = 60000
