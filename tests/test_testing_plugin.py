"""The pytest plugin quorlin.testing, run through pytester in fresh processes.

One run holds the testing page's examples as shown and the cases around them (restoration, other
clock tools, the order in which the settings win, misuse); one runs a suite with --quorlin-at.
"""

import importlib.metadata
import os
import re
from pathlib import Path

import pytest

pytest_plugins = ["pytester"]

ROOT = Path(__file__).resolve().parent.parent
PAGE = (ROOT / "docs" / "testing.md").read_text()

CHECKS = '''
import datetime as real
from datetime import date, datetime, timedelta, timezone

import pytest
from freezegun import freeze_time

import quorlin.version_manager as vm
import tariffs
from quorlin.testing import VersionClock

def untouched():
    return vm.datetime is real.datetime and not hasattr(vm, "_quorlin_testing_clock")

@pytest.fixture
def restored():
    assert untouched()
    yield
    assert untouched()

@pytest.fixture
def keeps_freezers_class(freezer):
    before = vm.datetime
    yield
    assert before.__name__ == "FakeDatetime" and vm.datetime is before

def test_settings_and_zones(restored, version_clock):
    assert version_clock.moment is None and abs(vm.datetime.now() - datetime.now()) < timedelta(seconds=5)
    # TZ is five hours behind UTC: an aware moment is read as the local time of that instant.
    assert version_clock.set(datetime(2024, 7, 1, 11, 0, 1, tzinfo=timezone.utc)) == datetime(2024, 7, 1, 6, 0, 1)
    assert tariffs.versions.current is tariffs.v2024_07
    assert vm.datetime.now(timezone.utc) == datetime(2024, 7, 1, 11, 0, 1, tzinfo=timezone.utc)
    assert vm.datetime.today() == version_clock.moment
    assert version_clock.advance(timedelta(seconds=-2)) == datetime(2024, 7, 1, 5, 59, 59)
    assert tariffs.versions.current is tariffs.v2023_01
    made = vm.VersionManager("tariffs", {"v2023_01": date(2023, 1, 1)})  # the clock class builds plain datetimes
    assert type(made.versions[0][1]) is real.datetime
    for call, error in [(lambda: version_clock.set("2024-07-01"), "a date or a datetime, not str"),
                        (lambda: version_clock.advance(1), "by a timedelta, not int"),
                        (lambda: version_clock.__enter__(), "installed already")]:
        with pytest.raises((TypeError, RuntimeError), match=error):
            call()

def test_advance_from_the_clock_passed_through(restored, version_clock):
    with freeze_time("2025-02-28 23:00"):
        assert version_clock.advance(timedelta(hours=2)) == datetime(2025, 3, 1, 1, 0)
        assert tariffs.versions.current is tariffs.v2025_03

def test_a_freeze_alone_before(restored):
    with freeze_time("2024-07-01 12:00"):  # freezegun now remembers where the module's clock is
        assert tariffs.versions.current is tariffs.v2024_07

def test_a_freeze_while_the_clock_is_set(restored, version_clock):
    version_clock.set(date(2027, 1, 1))
    with freeze_time("2024-07-01 12:00"):
        assert tariffs.versions.current is tariffs.v2027_01
    assert tariffs.versions.current is tariffs.v2027_01

def test_a_freeze_alone_after(restored):
    with freeze_time("2024-07-01 12:00"):
        assert vm.datetime.__name__ == "FakeDatetime"
        assert tariffs.versions.current is tariffs.v2024_07

def test_a_freezer_set_up_first(keeps_freezers_class, version_clock, freezer):
    freezer.move_to("2025-03-01 12:00")
    assert tariffs.versions.current is tariffs.v2025_03
    version_clock.set(date(2023, 5, 1))
    assert tariffs.versions.current is tariffs.v2023_01

def test_the_clock_as_a_context_manager(restored):
    with VersionClock(date(2024, 7, 1)) as outer:
        with VersionClock(datetime(2027, 1, 1, 0, 0, 1)):
            assert tariffs.versions.current is tariffs.v2027_01
        assert tariffs.versions.current is tariffs.v2023_01 and outer.moment == datetime(2024, 7, 1, 0, 0, 0, 1)
        outer.__exit__(None, None, None)
        outer.__exit__(None, None, None)  # a second exit changes nothing
    assert untouched()
    del vm.datetime  # a clock installed where there was none passes the standard clock through
    try:
        with VersionClock():
            assert abs(vm.datetime.now() - datetime.now()) < timedelta(seconds=5)
        assert not hasattr(vm, "datetime")
    finally:
        vm.datetime = real.datetime

@pytest.mark.each_version(tariffs.versions)
class TestEveryVersion:
    def test_fixtures_see_the_version(self, version, version_clock):
        assert tariffs.versions.current.__name__ == f"tariffs.{version}"
        version_clock.advance(timedelta(microseconds=-1))  # back to the start itself: not in force yet
        if version == "v2023_01":
            with pytest.raises(ModuleNotFoundError):
                tariffs.versions.current
        else:
            assert tariffs.versions.current.__name__ != f"tariffs.{version}"

def test_version_needs_the_marker(version):
    pass
'''

BAD_TABLES = """
from datetime import date
from quorlin.version_manager import VersionManager

odd = VersionManager("tariffs", {"old": "2020-01-01"})
two = VersionManager("tariffs", {"v1": date(2020, 1, 1)})
"""
# (marker arguments, the collection error they give)
BAD_TARGETS = [
    ("", "each_version takes one target: a VersionManager or 'package:attribute'"),
    ("(bad_tables.odd)", "each_version: version 'old' of tariffs starts at '2020-01-01', not a datetime"),
    ("(42)", "each_version takes a VersionManager or 'package:attribute', not int"),
    ('("tariffs:missing")', "each_version: cannot read tariffs:missing: AttributeError: *"),
    ('("bad_tables")', "each_version: bad_tables holds 2 VersionManagers (bad_tables:odd, bad_tables:two): name one"),
]


@pytest.fixture
def suite(pytester, monkeypatch):
    """A pytester directory that imports the tariffs example, in a zone five hours behind UTC."""
    path = os.environ.get("PYTHONPATH")
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(ROOT / "examples"), *([path] if path else [])]))
    monkeypatch.setenv("TZ", "EST+05")
    return pytester


def page_blocks(heading):
    section = PAGE.split(f"\n## {heading}\n")[1].split("\n## ")[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_the_page_and_the_cases_around_it(suite):
    conftest, *examples = page_blocks("The pytest plugin `quorlin.testing`")
    assert conftest == 'pytest_plugins = ["quorlin.testing"]\n' and len(examples) == 3
    suite.makeconftest(conftest)
    suite.makepyfile(**{f"test_page_{i}": example for i, example in enumerate(examples)}, test_checks=CHECKS,
                     bad_tables=BAD_TABLES, **{f"test_bad_{i}": f"import pytest, bad_tables\n"
                                               f"@pytest.mark.each_version{args}\ndef test(): pass\n"
                                               for i, (args, _) in enumerate(BAD_TARGETS)})
    result = suite.runpytest_subprocess("-vv", "-p", "no:cacheprovider", "--continue-on-collection-errors")
    result.stdout.fnmatch_lines_random([
        *(f"test_page_1.py::test_every_tariff_describes_itself[[]{v}[]] PASSED*"
          for v in ("v2023_01", "v2024_07", "v2025_03", "v2027_01")),
        "*test_checks.py::TestEveryVersion::test_fixtures_see_the_version[[]v2027_01[]] PASSED*",
        "ERROR test_checks.py::test_version_needs_the_marker - Failed: the version fixture needs "
        "@pytest.mark.each_version(target) on the test",
        *(f"ERROR test_bad_{i}.py - Failed: {error}".replace("[", "[[]") for i, (_, error) in enumerate(BAD_TARGETS)),
    ])
    result.assert_outcomes(passed=2 + 4 + 2 + 7 + 4, errors=1 + len(BAD_TARGETS))


def test_the_whole_suite_at_a_moment(suite):
    suite.makepyfile(test_at='''
        import pytest
        import tariffs
        import quorlin.version_manager as vm
        from datetime import datetime
        current = tariffs.versions.current  # collection reads the moment too

        def test_option(version_clock):
            assert current is tariffs.versions.current is tariffs.v2027_01
            assert version_clock.moment is None and vm.datetime.now() == datetime(2027, 1, 1, 0, 0, 0, 1)

        @pytest.mark.each_version("tariffs")
        def test_the_marker_wins(version):
            assert tariffs.versions.current.__name__ == f"tariffs.{version}"
    ''')
    result = suite.runpytest_subprocess("-p", "quorlin.testing", "-p", "no:cacheprovider", "--quorlin-at", "2027-01-01")
    result.stdout.fnmatch_lines(["quorlin: every VersionManager's clock reads 2027-01-01 00:00:00.000001"])
    result.assert_outcomes(passed=5)
    result = suite.runpytest_subprocess("-p", "quorlin.testing", "--quorlin-at", "2027-01-01T06:00+01:00", "--co")
    result.stdout.fnmatch_lines(["*clock reads 2027-01-01 00:00:00"])  # 05:00 UTC is midnight five hours behind
    result = suite.runpytest_subprocess("-p", "quorlin.testing", "--quorlin-at", "2027-13-01")
    result.stderr.fnmatch_lines(["*argument --quorlin-at: not an ISO date or datetime: '2027-13-01'*"])
    assert result.ret == pytest.ExitCode.USAGE_ERROR


def test_not_loaded_unless_asked_for():
    assert not [e for e in importlib.metadata.entry_points(group="pytest11") if e.value.startswith("quorlin")]
