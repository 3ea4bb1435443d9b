"""Tariff from 1 January 2023: one flat price for every kWh (no night rate yet)."""

__all__ = ["RATE", "cost", "describe"]

RATE = 0.32  # per kWh


def describe() -> str:
    return f"flat {RATE:.2f} per kWh"


def cost(kwh: float) -> float:
    return kwh * RATE
