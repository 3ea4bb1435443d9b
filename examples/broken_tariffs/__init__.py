"""A deliberately broken copy of ``tariffs``, to show what ``python -m quorlin check`` finds.

Everything here imports today and passes ``mypy --strict``; the faults only show on dates:

- ``v2024_07`` does not import: its module-level code raises;
- ``v2027_01``, published but not yet in force, renamed ``describe()``, which callers use today,
  but still lists it in ``__all__``; and its ``cost`` takes a new required parameter;
- ``v2025_03`` gave ``describe`` an optional parameter: calls written for ``v2023_01`` still work;
- ``export_versions`` gives its start as an aware datetime, which the naive clock cannot be
  compared with: its ``current`` raises ``TypeError`` on every call.
"""

from datetime import date, datetime, timezone

from quorlin.version_manager import VersionManager

__all__ = ["current", "export_versions", "versions"]

versions = VersionManager(
    __name__,
    {
        "v2023_01": date(2023, 1, 1),
        "v2024_07": datetime(2024, 7, 1, 6, 0),
        "v2025_03": date(2025, 3, 1),
        "v2027_01": date(2027, 1, 1),
    },
)
current = versions

# The export tariff follows the 2025 revision, its start written in UTC.
export_versions = VersionManager(__name__, {"v2025_03": datetime(2025, 3, 1, tzinfo=timezone.utc)})
