"""Helpers that start the real outside processes the tests talk to."""
