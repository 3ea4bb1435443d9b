"""The clock-freezing tools that user test suites use, as the testing page shows them.

freezegun and pytest-freezer rebind the module's `datetime` and `date`, time-machine moves the
clock underneath them, unittest.mock rebinds `datetime` by hand. Each must make `current` answer
for the frozen moment, and leave the module as it was afterwards.
"""

import datetime as real
import os
import sys
from unittest.mock import patch

import pytest

from conftest import VM, run_python, vm_mod

TABLE = """
from datetime import date, datetime
from quorlin.version_manager import VersionManager

versions = VersionManager(__name__, {
    "v2023_01": date(2023, 1, 1),
    "v2024_07": datetime(2024, 7, 1, 6, 0),
    "v2025_03": date(2025, 3, 1),
})
current = versions
"""
FILES = {"__init__.py": TABLE, **{f"{v}.py": "" for v in ("v2023_01", "v2024_07", "v2025_03")}}
# (moment, version in force): a datetime start takes effect at its minute, a date at midnight.
MOMENTS = [("2024-07-01 05:59", "v2023_01"), ("2024-07-01 06:01", "v2024_07"), ("2025-03-01 00:00:01", "v2025_03")]


@pytest.fixture
def tariffs(make_package):
    """A fresh versioned package for each test, imported when the test asks for it."""
    name = make_package("tariffs_clock", FILES)

    def load():
        __import__(name)
        return sys.modules[name]

    return load


def in_force(package):
    return package.versions.current.__name__.rpartition(".")[2]


def assert_module_untouched():
    assert vm_mod.datetime is real.datetime and vm_mod.date is real.date


def test_freezegun(tariffs):
    freezegun = pytest.importorskip("freezegun")
    package = tariffs()  # built before the freeze: its dates were converted by the real classes
    for moment, version in MOMENTS:
        with freezegun.freeze_time(moment):
            assert in_force(package) == version
            assert package.versions() is package.versions.current
            assert VM.get_module(module=package.__name__).__name__.endswith(version)
    assert_module_untouched()


def test_freezegun_tables_made_inside_the_freeze(tariffs):
    freezegun = pytest.importorskip("freezegun")
    with freezegun.freeze_time("2024-07-01 06:01"):
        package = tariffs()  # `date` here is freezegun's class, as is the module's: dates are converted
        assert in_force(package) == "v2024_07"
        assert all(isinstance(start, real.datetime) for _, start in package.versions.versions)
    assert_module_untouched()


def test_freezegun_pitfall_plain_dates_made_before_the_freeze(tariffs):
    # Inside the freeze the module's `date` is freezegun's class: a real `date` made before is not
    # that type, so it is stored unconverted and cannot be compared with the frozen clock.
    freezegun = pytest.importorskip("freezegun")
    package = tariffs()
    start = real.date(2023, 1, 1)
    with freezegun.freeze_time("2024-07-01"):
        package.versions.versions = {"v2023_01": start}
        assert package.versions.versions == [("v2023_01", start)]
        with pytest.raises(TypeError, match="not supported between instances of 'FakeDatetime' and 'datetime.date'"):
            package.versions.current
        package.versions.versions = {"v2023_01": real.datetime(2023, 1, 1)}  # a datetime is safe
        assert in_force(package) == "v2023_01"


def test_pytest_freezer(tariffs, request):
    pytest.importorskip("pytest_freezer")
    freezer = request.getfixturevalue("freezer")
    package = tariffs()
    for moment, version in MOMENTS:
        freezer.move_to(moment)
        assert in_force(package) == version


def test_time_machine_in_a_zone_away_from_utc(tmp_path):
    # time-machine moves the clock itself; it takes a naive destination as UTC while the module's
    # clock is local time, so the testing page gives it an aware destination in the local zone.
    pytest.importorskip("time_machine")
    for rel, src in FILES.items():
        (tmp_path / "tariffs_clock").mkdir(exist_ok=True)
        (tmp_path / "tariffs_clock" / rel).write_text(src)
    path = [str(tmp_path), *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))]
    # Five hours behind UTC, as a POSIX rule that needs no time zone database.
    env = {"PYTHONPATH": os.pathsep.join(path), "TZ": "EST+05"}
    proc = run_python("""
        from datetime import datetime
        import time_machine
        import tariffs_clock
        for moment in (datetime(2024, 7, 1, 5, 59), datetime(2024, 7, 1, 6, 1), datetime(2025, 3, 1, 0, 0, 1)):
            with time_machine.travel(moment.astimezone(), tick=False):
                print(tariffs_clock.versions.current.__name__, end=" ")
        with time_machine.travel(datetime(2024, 7, 1, 6, 1), tick=False):  # naive: 01:01 local time
            print(tariffs_clock.versions.current.__name__)
    """, env=env)
    assert proc.stdout.split() == ["tariffs_clock." + v for v in ("v2023_01", "v2024_07", "v2025_03", "v2023_01")]


def test_unittest_mock_patch(tariffs):
    package = tariffs()
    with patch("quorlin.version_manager.datetime", wraps=real.datetime) as clock:
        for moment, version in MOMENTS:
            clock.now.return_value = real.datetime.fromisoformat(moment)
            assert in_force(package) == version
        # Everything else still reaches the real class: dates are converted as usual.
        package.versions.versions = {"v2023_01": real.date(2023, 1, 1)}
        assert package.versions.versions == [("v2023_01", real.datetime(2023, 1, 1))]

    class FixedClock(real.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2024, 7, 1, 6, 1)

    with patch.object(vm_mod, "datetime", FixedClock):
        assert in_force(package) == "v2023_01"  # the table was replaced above
    assert_module_untouched()
