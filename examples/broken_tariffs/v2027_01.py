"""Tariff from 1 January 2027: its author forgot `describe()`, which callers of the current one use."""

__all__ = ["NIGHT_RATE", "RATE"]

RATE = 0.21  # per kWh
NIGHT_RATE = 0.15  # per kWh, 22:00 to 06:00
