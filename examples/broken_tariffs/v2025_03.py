"""Tariff from 1 March 2025: day and night prices; `describe` gained a parameter."""

__all__ = ["NIGHT_RATE", "RATE", "cost", "describe"]

RATE = 0.29  # per kWh, daytime
NIGHT_RATE = 0.18  # per kWh, 22:00 to 06:00


def describe(night: bool = False) -> str:
    return f"{NIGHT_RATE if night else RATE:.2f} per kWh"


def cost(kwh: float) -> float:
    return kwh * RATE
