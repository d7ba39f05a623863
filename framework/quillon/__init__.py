"""Linux stand-in of the quillon host framework.

Only the records, enumerations, base classes and helpers that the native
extension modules import are provided; the engine, strategies and back-test
of the full framework are not part of this package.
"""
