"""Electricity tariffs, kept as one submodule per dated revision.

Every revision lives in a submodule named after it (``v2023_01.py`` and so on)
and offers the same interface: ``RATE`` and ``describe()``.  Callers never pick
a revision themselves; they ask ``versions`` (or the package's ``current``)
for the one in force.
"""

from datetime import date, datetime

from quorlin.version_manager import VersionManager

__all__ = ["current", "versions"]

# Version name -> first moment it is in force (naive local time).  A plain
# `date` means midnight at the start of that day; a `datetime` gives the exact
# moment.  The order here does not matter: the table is kept newest first.
versions = VersionManager(
    __name__,
    {
        "v2023_01": date(2023, 1, 1),
        "v2024_07": datetime(2024, 7, 1, 6, 0),  # switched over at 06:00, not at midnight
        "v2025_03": date(2025, 3, 1),
        "v2027_01": date(2027, 1, 1),  # already published, not yet in force
    },
)

# The package's own "current" function: calling it returns the submodule in
# force.  It is what VersionManager.get_module(module="tariffs") looks up.
current = versions
