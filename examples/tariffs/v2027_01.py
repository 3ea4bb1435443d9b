"""Tariff from 1 January 2027: a price that follows the hourly market."""

__all__ = ["RATE", "describe"]  # the interface every revision offers

RATE = 0.21  # per kWh, average expected
MARKUP = 0.04  # per kWh on top of the hourly market price


def describe() -> str:
    return f"market price + {MARKUP:.2f} per kWh (about {RATE:.2f})"
