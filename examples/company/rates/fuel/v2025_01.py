"""Fuel surcharge of v2025_01."""

__all__ = ["SURCHARGE"]

SURCHARGE = 0.05
