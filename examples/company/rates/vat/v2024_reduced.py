"""VAT of v2024_reduced."""

__all__ = ["RATE"]

RATE = 0.2
