"""Tariff from 1 July 2024, 06:00: a lower price plus a daily standing charge."""

__all__ = ["RATE", "describe"]  # the interface every revision offers

RATE = 0.27  # per kWh
STANDING_CHARGE = 0.45  # per day


def describe() -> str:
    return f"{RATE:.2f} per kWh + {STANDING_CHARGE:.2f} per day"
