"""Futu Securities (Hong Kong) gateway components."""
