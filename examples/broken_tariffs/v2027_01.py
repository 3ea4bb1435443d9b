"""Tariff from 1 January 2027: `describe` was renamed `summary`, but `__all__` still lists it."""

__all__ = ["NIGHT_RATE", "RATE", "cost", "describe"]

RATE = 0.21  # per kWh
NIGHT_RATE = 0.15  # per kWh, 22:00 to 06:00


def summary() -> str:
    return f"day {RATE:.2f} / night {NIGHT_RATE:.2f} per kWh"


def cost(kwh: float, hour: int) -> float:  # `hour` is new and required: calls cost(kwh) break
    return kwh * (NIGHT_RATE if hour >= 22 or hour < 6 else RATE)
