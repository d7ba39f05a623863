"""Code conversion between the framework's form and the terminal's form."""

import pytest
from hypothesis import given, strategies as st

import py_symbols as ref
from quillon.core.constants import Exchange
from quillon.core.security import Security, Stock
from quillon.gateways.qmt import symbols


@pytest.mark.parametrize(
    "code, qmt, quillon, exchange",
    [
        ("SH.600000", "600000.SH", "SH.600000", Exchange.SSE),
        ("sh.600000", "600000.SH", "SH.600000", Exchange.SSE),
        ("SS.600000", "600000.SH", "SH.600000", Exchange.SSE),
        ("SSE.600000", "600000.SH", "SH.600000", Exchange.SSE),
        ("600000.SH", "600000.SH", "SH.600000", Exchange.SSE),
        ("600000.SS", "600000.SH", "SH.600000", Exchange.SSE),
        ("600000.SSE", "600000.SH", "SH.600000", Exchange.SSE),
        ("SZ.000001", "000001.SZ", "SZ.000001", Exchange.SZSE),
        ("SZSE.000001", "000001.SZ", "SZ.000001", Exchange.SZSE),
        ("000001.sz", "000001.SZ", "SZ.000001", Exchange.SZSE),
        ("  sz.000001 ", "000001.SZ", "SZ.000001", Exchange.SZSE),
        ("", "", "", Exchange.SSE),
        (" \t\n", "", "", Exchange.SSE),
        ("600000", "600000", "600000", Exchange.SSE),
        (" 600000 ", "600000", "600000", Exchange.SSE),
        ("hk.00700", "HK.00700", "HK.00700", Exchange.SSE),
        ("SH.600000.X", "600000.X.SH", "SH.600000.X", Exchange.SSE),
        ("600000.SH.X", "600000.SH.X", "600000.SH.X", Exchange.SSE),
        ("SH.SZ", "SZ.SH", "SZ.SH", Exchange.SSE),
        ("SH. 600000", " 600000.SH", "SH. 600000", Exchange.SSE),
        ("SHX.600000", "SHX.600000", "SHX.600000", Exchange.SSE),
        ("\u3000sz.000001\u2003", "000001.SZ", "SZ.000001", Exchange.SZSE),  # Unicode blanks
        ("stra\u00dfe.sh", "STRASSE.SH", "SH.STRASSE", Exchange.SSE),  # upper() may lengthen text
    ],
)
def test_conversions(code, qmt, quillon, exchange):
    assert symbols.to_qmt_code(code) == qmt
    assert symbols.from_qmt_code(code) == quillon
    assert symbols.exchange_from_qmt_code(code) is exchange


_alphabet = st.sampled_from(list("SHZEXsszhe.0169 \t\n\x1c\u3000\u00df\u0131\u0130\ud800é中"))


@given(st.text(_alphabet, max_size=14))
def test_same_as_plain_python(code):
    assert symbols.to_qmt_code(code) == ref.to_qmt_code(code)
    assert symbols.from_qmt_code(code) == ref.from_qmt_code(code)
    assert symbols.exchange_from_qmt_code(code) is ref.exchange_from_qmt_code(code)
    sec = Security(code=code)
    assert symbols.security_codes_for_lookup(sec) == ref.security_codes_for_lookup(sec)


@pytest.mark.parametrize(
    "code, expected",
    [
        ("SH.600000", {"SH.600000", "600000.SH"}),
        ("600000.SH", {"SH.600000", "600000.SH"}),
        ("ss.600000", {"ss.600000", "SS.600000", "600000.SH", "SH.600000"}),
        (" sz.000001", {" sz.000001", " SZ.000001", "000001.SZ", "SZ.000001"}),
    ],
)
def test_lookup_forms(code, expected):
    assert symbols.security_codes_for_lookup(Stock(code=code)) == expected


class _Str(str):
    pass


class _Code:
    def __init__(self, code):
        self.code = code


@pytest.mark.parametrize("bad", [None, b"SH.600000", 600000, 1.5, _Str("SH.600000"), ["SH.600000"]])
@pytest.mark.parametrize("fn", [symbols.to_qmt_code, symbols.from_qmt_code, symbols.exchange_from_qmt_code])
def test_code_must_be_exact_str(fn, bad):
    with pytest.raises(TypeError, match=rf"^Argument 'code' has incorrect type \(expected str, got {type(bad).__name__}\)$"):
        fn(bad)


@pytest.mark.parametrize(
    "code, error",
    [(b"sh.1", TypeError), (_Str("sh.1"), TypeError), (None, AttributeError), (5, AttributeError)],
)
def test_lookup_refuses_codes_that_are_not_str(code, error):
    # code.upper() is evaluated first, so a code without upper() fails there.
    with pytest.raises(error):
        symbols.security_codes_for_lookup(_Code(code))
    with pytest.raises(AttributeError):
        symbols.security_codes_for_lookup(object())


def test_module_surface():
    assert symbols.__doc__ == "Symbol helpers between quillon Security codes and Big QMT codes."
    assert symbols.to_qmt_code.__doc__ == "Convert ``SH.600000`` / ``SZ.000001`` / ``600000.SH`` \u2192 ``600000.SH``."
    assert symbols.from_qmt_code.__doc__ == "Convert ``600000.SH`` \u2192 ``SH.600000`` (quillon-style)."
    assert symbols.security_codes_for_lookup.__doc__ == (
        "All code forms that may appear in bridge payloads for this security.")
    assert symbols.Exchange is Exchange and symbols.Security is Security


def test_no_leaks():
    from support.leaks import assert_no_leak

    sec = Stock(code=" ss.600000")
    assert_no_leak(lambda: (symbols.to_qmt_code("sh.600000"), symbols.from_qmt_code("\u3000600000.ss"),
                            symbols.exchange_from_qmt_code("000001.SZ"), symbols.security_codes_for_lookup(sec)))
    assert_no_leak(lambda: symbols.to_qmt_code(None))
    assert_no_leak(lambda: symbols.security_codes_for_lookup(_Code(b"x")))
