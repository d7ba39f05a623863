"""The argument conventions every native function and method follows: the
interpreter's messages for counts and keywords, signatures that inspect can
read, and keyword names matched by value."""

import inspect

import pytest

from quillon.gateways.cqg.futures_charges import FuturesCharges
from quillon.gateways.qmt import symbols
from quillon.gateways.qmt.ashare_charges import AshareChargesCN


class _Sec:
    code = "SH.600000"


# (callable, name in messages, one good positional call)
ONE_ARG = [
    (symbols.to_qmt_code, "to_qmt_code", ("SH.600000",)),
    (symbols.from_qmt_code, "from_qmt_code", ("600000.SH",)),
    (symbols.exchange_from_qmt_code, "exchange_from_qmt_code", ("600000.SH",)),
    (symbols.security_codes_for_lookup, "security_codes_for_lookup", (_Sec(),)),
]


@pytest.mark.parametrize("fn, name, good", ONE_ARG)
def test_count_and_keyword_messages(fn, name, good):
    param = next(iter(inspect.signature(fn).parameters))
    cases = [
        ((), {}, f"{name}() takes exactly 1 positional argument (0 given)"),
        (good * 2, {}, f"{name}() takes exactly 1 positional argument (2 given)"),
        (good, {param: good[0]}, f"{name}() got multiple values for keyword argument '{param}'"),
        ((), {"nope": 1}, f"{name}() got an unexpected keyword argument 'nope'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as err:
            fn(*args, **kwargs)
        assert str(err.value) == message
    # A keyword name built at run time (not interned) still matches.
    assert fn(**{"".join(param): good[0]}) == fn(*good)


def test_signatures_and_docstrings_are_visible():
    for fn, _, _ in ONE_ARG:
        sig = inspect.signature(fn)
        assert [p.kind for p in sig.parameters.values()] == [inspect.Parameter.POSITIONAL_OR_KEYWORD]
        assert fn.__text_signature__.startswith("($module, /")
    assert str(inspect.signature(AshareChargesCN)) == "(*deals)"
    assert inspect.signature(FuturesCharges.__init__).parameters["self"].kind is inspect.Parameter.POSITIONAL_ONLY


def test_methods_bind_like_python_methods():
    fee = AshareChargesCN()
    assert AshareChargesCN.__init__.__objclass__ is AshareChargesCN
    bound = fee.__init__
    assert bound.__self__ is fee
    assert str(inspect.signature(bound)) == "(*deals)"
    # Calling the unbound method with an instance of another class is refused.
    with pytest.raises(TypeError):
        AshareChargesCN.__init__(object())


def test_help_renders(capsys):
    help(symbols)
    help(AshareChargesCN)
    out = capsys.readouterr().out
    assert "to_qmt_code(code)" in out and "AshareChargesCN(*deals)" in out


def _conventions_table():
    from quillon.gateways.qmt import kline_history as kh
    from quillon.gateways.qmt.kv_link import QmtKvLink

    link = QmtKvLink(port=1)
    return [
        # argument counts: exactly / at least / at most
        (lambda: kh.qmt_period_for_freq(), "qmt_period_for_freq() takes exactly 1 positional argument (0 given)"),
        (lambda: kh.clamp_periods("1Min"), "clamp_periods() takes at least 2 positional arguments (1 given)"),
        (lambda: kh.clamp_periods("1Min", 1, 2, 3), "clamp_periods() takes at most 3 positional arguments (4 given)"),
        (lambda: link.call(), "call() takes at least 1 positional argument (0 given)"),
        # keywords
        (lambda: kh.clamp_periods("1Min", 1, periods=2),
         "clamp_periods() got multiple values for keyword argument 'periods'"),
        (lambda: QmtKvLink(prt=1), "__init__() got an unexpected keyword argument 'prt'"),
        # declared types
        (lambda: kh.clamp_periods(None, 1), "Argument 'freq' has incorrect type (expected str, got NoneType)"),
        (lambda: kh.clamp_periods("1Min", "5"), "Argument 'periods' has incorrect type (expected int, got str)"),
        (lambda: QmtKvLink(port="6379"), "Argument 'port' has incorrect type (expected int, got str)"),
        (lambda: QmtKvLink(timeout="1"), "Argument 'timeout' has incorrect type (expected float, got str)"),
        (lambda: link.call("ping", []), "Argument 'params' has incorrect type (expected dict, got list)"),
    ]


def test_messages_across_modules():
    for call, message in _conventions_table():
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == message


@pytest.mark.parametrize("periods, expected", [(5000.9, 1000), (7.9, 7), (True, 1), (10**30, 1000)])
def test_numbers_convert_as_int_does(periods, expected):
    from quillon.gateways.qmt import kline_history as kh

    assert kh.clamp_periods("1Min", periods) == expected
