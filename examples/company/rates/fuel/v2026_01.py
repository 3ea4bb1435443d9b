"""Fuel surcharge of v2026_01."""

__all__ = ["SURCHARGE"]

SURCHARGE = 0.05
