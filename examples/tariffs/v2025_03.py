"""Tariff from 1 March 2025: day and night prices."""

__all__ = ["RATE", "describe"]  # the interface every revision offers

RATE = 0.29  # per kWh, daytime
NIGHT_RATE = 0.18  # per kWh, 22:00 to 06:00


def describe() -> str:
    return f"day {RATE:.2f} / night {NIGHT_RATE:.2f} per kWh"
