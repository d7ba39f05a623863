"""Plain-Python code conversion, step for step as the native module does it."""

from quillon.core.constants import Exchange

_SH = ("SH", "SS", "SSE")
_SZ = ("SZ", "SZSE")


def _split(code):
    if type(code) is not str:
        raise TypeError(f"Argument 'code' has incorrect type (expected str, got {type(code).__name__})")
    raw = code.strip().upper()
    if not raw or "." not in raw:
        return raw, None, None
    left, right = raw.split(".", 1)
    return raw, left, right


def to_qmt_code(code):
    raw, left, right = _split(code)
    if left is None:
        return raw
    if left in _SH:
        return right + ".SH"
    if left in _SZ:
        return right + ".SZ"
    if right in _SH:
        return left + ".SH"
    if right in _SZ:
        return left + ".SZ"
    return raw


def from_qmt_code(code):
    raw, left, right = _split(code)
    if left is None:
        return raw
    if right in _SH:
        return "SH." + left
    if right in _SZ:
        return "SZ." + left
    if left in _SH:
        return "SH." + right
    if left in _SZ:
        return "SZ." + right
    return raw


def exchange_from_qmt_code(code):
    q = to_qmt_code(code)
    if q.endswith(".SH"):
        return Exchange.SSE
    if q.endswith(".SZ"):
        return Exchange.SZSE
    return Exchange.SSE


def security_codes_for_lookup(security):
    code = security.code
    return {
        code,
        code.upper(),
        to_qmt_code(code),
        from_qmt_code(code),
        to_qmt_code(from_qmt_code(code)),
        from_qmt_code(to_qmt_code(code)),
    }
