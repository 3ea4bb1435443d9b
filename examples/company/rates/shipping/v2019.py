"""Shipping rates from 2019."""

__all__ = ["PER_KG", "price"]

PER_KG = 1.5


def price(kg: float) -> float:
    return kg * PER_KG
