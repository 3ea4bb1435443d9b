"""Fuel surcharges: the table names ``v2026_1``, but the module file is ``v2026_01.py``."""

from datetime import date

from quorlin.version_manager import VersionManager

versions = VersionManager(
    __name__,
    {
        "v2025_01": date(2025, 1, 1),
        "v2026_1": date(2026, 1, 1),  # a typo: the module is v2026_01
    },
)
