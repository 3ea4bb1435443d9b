"""Shipping rates of v2025_03."""

PER_KG = 1.5
