"""Shipping rates whose table cannot be built: one start was written in UTC.

Every start in a table is naive local time, the way the clock reads it. The aware start of
``v2024_07`` cannot be ordered among the naive ones, so building ``versions`` raises ``TypeError``
and the package does not import at all; ``python -m quorlin check shiprates`` names the entry.
"""

from datetime import date, datetime, timezone

from quorlin.version_manager import VersionManager

versions = VersionManager(
    __name__,
    {
        "v2023_01": date(2023, 1, 1),
        "v2024_07": datetime(2024, 7, 1, 6, 0, tzinfo=timezone.utc),
        "v2025_03": date(2025, 3, 1),
    },
)
