"""Show which revision of a versioned package is in force: now, newest, and on chosen dates.

Run from the repository root:

    python examples/show_versions.py

The package ``tariffs`` next to this file keeps four dated revisions of itself;
its ``__init__.py`` shows how a package sets up its ``VersionManager``.
"""

import sys
from datetime import datetime, tzinfo
from pathlib import Path
from types import ModuleType
from typing import Self
from unittest.mock import patch

# Make the example package `tariffs`, which sits next to this file, importable.
sys.path.insert(0, str(Path(__file__).resolve().parent))

from quorlin.version_manager import VersionManager  # noqa: E402

import tariffs  # noqa: E402


def show(label: str, module: ModuleType) -> None:
    """Print what was asked, which revision answered, and what that revision says."""
    print(f"{label:<52} {module.__name__:<17} {module.describe()}")


def fixed_clock(moment: datetime) -> type[datetime]:
    """Return a datetime class whose `now()` always answers `moment`."""

    class FixedClock(datetime):
        @classmethod
        def now(cls, tz: tzinfo | None = None) -> Self:
            return cls.combine(moment.date(), moment.time())

    return FixedClock


def main() -> None:
    # The table as VersionManager keeps it: newest first, every start a datetime.
    print("Revisions, newest first:")
    for name, start in tariffs.versions.versions:
        print(f"  {name}  in force after {start}")
    print()

    # Three ways to ask for the revision in force now (the real clock), and one
    # for the newest revision, whether or not it has started.
    show("now:    tariffs.versions.current", tariffs.versions.current)
    show("now:    tariffs.current()", tariffs.current())
    show('now:    VersionManager.get_module(module="tariffs")', VersionManager.get_module(module="tariffs"))
    show("newest: tariffs.versions.last", tariffs.versions.last)
    print()

    # The same question on chosen dates, with the clock fixed at each of them.
    for moment in (
        datetime(2022, 12, 31),  # before the first revision: nothing is in force
        datetime(2023, 6, 1),
        datetime(2024, 7, 1, 6, 0),  # a revision is not yet in force at its exact start...
        datetime(2024, 7, 1, 6, 0, 0, 1),  # ...but it is one microsecond later
        datetime(2025, 3, 1, 12, 0),
        datetime(2027, 6, 1),
    ):
        label = f"at:     {moment}"
        # VersionManager reads the time as `datetime.now()` through the module
        # attribute quorlin.version_manager.datetime, looked up afresh at every
        # access: rebinding it moves the clock.  patch() restores the real
        # class when the block ends (test suites freeze time the same way).
        with patch("quorlin.version_manager.datetime", fixed_clock(moment)):
            try:
                show(label, tariffs.versions.current)
            except ModuleNotFoundError as exc:
                print(f"{label:<52} {exc}")


if __name__ == "__main__":
    main()
