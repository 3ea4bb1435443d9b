"""Rates, one versioned package each: ``shipping``, ``vat`` and ``fuel``."""
