"""Mainland A-share gateway through the QMT terminal's Redis bridge."""
