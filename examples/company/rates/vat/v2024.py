"""VAT of v2024."""

__all__ = ["RATE"]

RATE = 0.2
