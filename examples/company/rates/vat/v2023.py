"""VAT of v2023."""

__all__ = ["RATE"]

RATE = 0.2
