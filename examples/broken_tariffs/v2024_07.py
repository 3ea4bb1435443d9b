"""Tariff from 1 July 2024, 06:00: the price was typed with a decimal comma, so this does not import."""

__all__ = ["RATE", "cost", "describe"]

RATE = float("0,27")  # per kWh; raises ValueError when the module is imported


def describe() -> str:
    return f"{RATE:.2f} per kWh"


def cost(kwh: float) -> float:
    return kwh * RATE
