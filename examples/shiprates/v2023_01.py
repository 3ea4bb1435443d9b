"""Shipping rates of v2023_01."""

PER_KG = 1.5
