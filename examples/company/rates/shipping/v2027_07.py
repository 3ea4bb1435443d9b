"""Shipping rates from July 2027: a surcharge for express delivery."""

__all__ = ["PER_KG", "price"]

PER_KG = 1.7


def price(kg: float, express: bool = False) -> float:
    return kg * PER_KG * (1.5 if express else 1.0)
