"""Code conversion: native module against the plain-Python version."""

import py_symbols as py
from common import compare, header

from quillon.core.security import Stock
from quillon.gateways.qmt import symbols as native


def main():
    header("symbols (per call)")
    for code in ("SH.600000", " sz.000001 ", "600000.SH"):
        compare(f"to_qmt_code({code!r})", native.to_qmt_code, py.to_qmt_code, (code,), 200_000)
        compare(f"from_qmt_code({code!r})", native.from_qmt_code, py.from_qmt_code, (code,), 200_000)
    sec = Stock(code="SH.600000")
    compare("security_codes_for_lookup(SH.600000)", native.security_codes_for_lookup,
            py.security_codes_for_lookup, (sec,), 100_000)


if __name__ == "__main__":
    main()
