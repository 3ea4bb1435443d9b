"""Shipping rates of v2024_07."""

PER_KG = 1.5
