"""quorlin.at, name_at and zoned, and the notes that explain a table written the wrong way."""

import builtins
import os
import sys
import time
from datetime import date, datetime, timedelta, timezone
from pathlib import Path
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

import pytest

import quorlin
from conftest import VM, run_python, vm_mod

ROOT = Path(__file__).resolve().parents[1]
BERLIN, NEW_YORK = ZoneInfo("Europe/Berlin"), ZoneInfo("America/New_York")
US = timedelta(microseconds=1)
NAMES = ("v2023_01", "v2024_07", "v2025_03")
TABLE = {"v2023_01": date(2023, 1, 1), "v2024_07": datetime(2024, 7, 1, 6, 0), "v2025_03": date(2025, 3, 1)}
# Berlin midnights on either side of its change to summer time (31 March 2024, 02:00).
BERLIN_TABLE = {"v2023_01": date(2023, 1, 1), "v2024_07": date(2024, 3, 31), "v2025_03": date(2024, 4, 1)}


@pytest.fixture
def pkg(make_package):
    return make_package("moment_pkg", {"__init__.py": "", "boom.py": "raise RuntimeError('boom')\n",
                                       **{f"{v}.py": "" for v in NAMES}})


@pytest.fixture
def local_zone():
    """local_zone(name): the process's local time zone for the rest of the test."""
    saved = os.environ.get("TZ")

    def set_zone(name):
        os.environ["TZ"] = name
        time.tzset()

    yield set_zone
    if saved is None:
        os.environ.pop("TZ", None)
    else:
        os.environ["TZ"] = saved
    time.tzset()


# (process zone, moment, version in force or None): before, at and just after each start.
MOMENTS = [
    *[("UTC", when, name) for when, name in [
        (datetime(2023, 1, 1) - US, None), (datetime(2023, 1, 1), None), (datetime(2023, 1, 1) + US, "v2023_01"),
        (datetime(2024, 7, 1, 6) - US, "v2023_01"), (datetime(2024, 7, 1, 6), "v2023_01"),
        (datetime(2024, 7, 1, 6) + US, "v2024_07"), (datetime(2025, 3, 1), "v2024_07"),
        (datetime(2025, 3, 1) + US, "v2025_03"),
        # a date is the start of its day: a version starting at that midnight, none starting later
        (date(2022, 12, 31), None), (date(2023, 1, 1), "v2023_01"), (date(2024, 7, 1), "v2023_01"),
        (date(2024, 7, 2), "v2024_07"), (date(2025, 2, 28), "v2024_07"), (date(2025, 3, 1), "v2025_03"),
        # an aware moment is the instant it names
        (datetime(2024, 7, 1, 8, 0, tzinfo=BERLIN), "v2023_01"), (datetime(2024, 7, 1, 8, 0, 0, 1, tzinfo=BERLIN), "v2024_07"),
        (datetime(2025, 2, 28, 19, tzinfo=NEW_YORK), "v2024_07"), (datetime(2025, 2, 28, 19, 0, 0, 1, tzinfo=NEW_YORK), "v2025_03"),
    ]],
    # Berlin midnights read on a New York clock, across Berlin's change (New York changed on 10 March)
    *[("America/New_York", when, name) for when, name in [
        (datetime(2024, 3, 30, 19), "v2023_01"), (datetime(2024, 3, 30, 19) + US, "v2024_07"),
        (datetime(2024, 3, 31, 18), "v2024_07"), (datetime(2024, 3, 31, 18) + US, "v2025_03"),
        (datetime(2024, 3, 31, tzinfo=BERLIN), "v2023_01"), (datetime(2024, 3, 31, 0, 0, 0, 1, tzinfo=BERLIN), "v2024_07"),
        (datetime(2024, 4, 1, tzinfo=BERLIN), "v2024_07"), (datetime(2024, 4, 1, 0, 0, 0, 1, tzinfo=BERLIN), "v2025_03"),
        (date(2024, 3, 31), "v2024_07"), (date(2024, 4, 1), "v2025_03"),
    ]],
]


@pytest.mark.parametrize("zone, when, expected", MOMENTS)
def test_moments_around_switches(pkg, local_zone, clock, zone, when, expected):
    local_zone(zone)
    vm = VM(pkg, TABLE if zone == "UTC" else quorlin.zoned(BERLIN_TABLE, "Europe/Berlin"))
    if expected is None:
        for ask in (quorlin.at, quorlin.name_at):
            with pytest.raises(ModuleNotFoundError, match=f'^Module "{pkg}" current version not found$'):
                ask(vm, when)
        return
    assert quorlin.name_at(vm, when) == expected
    assert quorlin.at(vm, when) is sys.modules[f"{pkg}.{expected}"]
    if type(when) is datetime and when.tzinfo is None:  # what current reads with the clock there
        clock(when)
        assert vm.current is quorlin.at(vm, when)


def outcome(fn):
    """What fn() returned, or the type and message of what it raised."""
    try:
        return fn()
    except Exception as exc:  # noqa: BLE001 - compared by the caller
        return type(exc), str(exc)


class Entries(VM):
    """A manager whose table is whatever `make()` builds at each read."""

    __slots__ = ("make",)
    versions = property(lambda self: self.make(), lambda self, value: None)


def entries(package, make):
    vm = Entries(package)
    vm.make = make
    return vm


def entry_iter(*items):
    return type("Pair", (), {"__iter__": lambda self: iter(items)})()


@pytest.mark.parametrize("make", [
    lambda: [("v2023_01", datetime(2023, 1, 1), 1)], lambda: [("v2023_01",)], lambda: [()],
    lambda: [["v2023_01", datetime(2023, 1, 1, 0, 0, 0, 1)]], lambda: [5],
    lambda: [entry_iter()], lambda: [entry_iter("v2023_01")], lambda: [entry_iter("v2023_01", datetime(2023, 1, 1), 3)],
    lambda: [entry_iter("v2023_01", datetime(2023, 1, 1))], lambda: [("v2023_01", datetime(2023, 1, 1, tzinfo=timezone.utc))],
    lambda: [("v2099", datetime(2023, 1, 1))], lambda: [(2023, datetime(2023, 1, 1))],
])
def test_errors_as_current(pkg, clock, make):
    when = datetime(2024, 1, 1)
    vm = entries(pkg, make)
    clock(when)
    expected = outcome(lambda: vm.current)
    assert outcome(lambda: quorlin.at(vm, when)) == expected
    if type(expected) is tuple and expected[0] is not ModuleNotFoundError and expected[1][:8] != "Argument":
        assert outcome(lambda: quorlin.name_at(vm, when)) == expected  # failures of the walk itself


def test_class_looked_up_as_current_does(pkg, clock, monkeypatch):
    vm = VM(pkg, TABLE)
    clock(datetime(2024, 1, 1))
    monkeypatch.delattr(vm_mod, "VersionManager")
    assert outcome(lambda: quorlin.at(vm, datetime(2024, 1, 1))) == outcome(lambda: vm.current) == (
        NameError, "name 'VersionManager' is not defined")
    calls = []
    monkeypatch.setattr(builtins, "VersionManager", type("Spy", (), {
        "get_module": staticmethod(lambda **kw: calls.append(kw))}), raising=False)
    quorlin.at(vm, datetime(2024, 1, 1))
    assert calls == [{"module": pkg, "version": "v2023_01", "current": "#"}]
    assert quorlin.name_at(vm, type("Later", (datetime,), {})(2024, 1, 1)) == "v2023_01"
    with pytest.raises(TypeError, match="^when must be a datetime or a date, not str$"):
        quorlin.at(vm, "2024-01-01")


# (process zone, table zone, start, local start the clock reads)
ZONED = [
    ("UTC", "Europe/Berlin", date(2024, 3, 31), datetime(2024, 3, 30, 23)),
    ("UTC", "Europe/Berlin", date(2024, 4, 1), datetime(2024, 3, 31, 22)),
    ("UTC", "Europe/Berlin", datetime(2024, 3, 31, 2, 30), datetime(2024, 3, 31, 1, 30)),  # skipped
    ("UTC", "Europe/Berlin", datetime(2024, 10, 27, 2, 30), datetime(2024, 10, 27, 0, 30)),  # repeated
    ("UTC", "Europe/Berlin", datetime(2024, 10, 27, 2, 30, fold=1), datetime(2024, 10, 27, 1, 30)),
    ("America/New_York", "Europe/Berlin", date(2024, 3, 31), datetime(2024, 3, 30, 19)),
    ("America/New_York", NEW_YORK, datetime(2024, 3, 10, 2, 30), datetime(2024, 3, 10, 3, 30)),  # skipped
    ("Asia/Tokyo", "America/New_York", date(2024, 11, 3), datetime(2024, 11, 3, 13)),
    ("UTC", timezone(timedelta(hours=5, minutes=30)), date(2024, 1, 1), datetime(2023, 12, 31, 18, 30)),
    ("UTC", "Europe/Berlin", datetime(2024, 1, 1, tzinfo=timezone.utc), datetime(2024, 1, 1)),  # aware
    ("UTC", "Europe/Berlin", date.min, datetime.min), ("UTC", "America/New_York", datetime.max, datetime.max),
]


@pytest.mark.parametrize("process_zone, zone, start, local", ZONED)
def test_zoned(local_zone, process_zone, zone, start, local):
    local_zone(process_zone)
    assert quorlin.zoned({"a": start, "b": date(2024, 1, 1)}, zone)["a"] == local
    assert quorlin.zoned(iter([("a", start)]), zone) == [("a", local)]


def test_zoned_kinds_and_errors():
    table = {"b": date(2024, 1, 2), "a": date(2024, 1, 1)}
    assert list(quorlin.zoned(table, "UTC")) == ["b", "a"]
    assert type(quorlin.zoned(tuple(table.items()), timezone.utc)) is list
    for bad, error in [(({"a": "2024-01-01"}, "UTC"), "a start must be a date or a datetime, not str: '2024-01-01'"),
                       ((table, 1), "zone must be a time zone name or a tzinfo, not int")]:
        with pytest.raises(TypeError) as info:
            quorlin.zoned(*bad)
        assert str(info.value) == error
    with pytest.raises(ZoneInfoNotFoundError):
        quorlin.zoned(table, "Europe/Berln")


class Unprintable:
    def __repr__(self):
        raise RuntimeError("no repr")


class Name(str):
    pass


class Unordered:
    def __lt__(self, other):
        return 1 / 0


# (what fails, exception type, message, note or None); {pkg} is the package.
NOTES = [
    (lambda p: VM(p, {"v1": "2024-01-01", "v2": datetime(2025, 1, 1)}), TypeError,
     "'<' not supported between instances of 'str' and 'datetime.datetime'",
     "the start of entry ('v1', '2024-01-01') of the table is a str, not a date or a datetime "
     "(date.fromisoformat() reads such a text)"),
    (lambda p: VM(p, {"v1": "2024-01-01"}).current, TypeError,
     "'>' not supported between instances of 'datetime.datetime' and 'str'",
     "the start of entry ('v1', '2024-01-01') of the table is a str, not a date or a datetime "
     "(date.fromisoformat() reads such a text)"),
    (lambda p: VM(p, ["v2023_01", date(2023, 1, 1)]), ValueError, "too many values to unpack (expected 2)",
     "entry 0 of the table, 'v2023_01', is not a (name, start) pair: give a dict {name: start} or a list "
     "of (name, start) pairs"),
    (lambda p: VM(p, {"v2023_01"}), ValueError, "too many values to unpack (expected 2)",
     "entry 'v2023_01' of the table is not a (name, start) pair: the table is a set; a dict is written "
     "{name: start}, with a colon"),
    (lambda p: setattr(VM(p, TABLE), "versions", ["v1", date(2023, 1, 1)]), TypeError,
     "'datetime.date' object is not iterable", "entry 1 of the table, datetime.date(2023, 1, 1), is not a "
     "(name, start) pair: give a dict {name: start} or a list of (name, start) pairs"),
    (lambda p: VM(p, {"v2023_01.x": date(2023, 1, 1)}).current, ModuleNotFoundError,
     'Module "{pkg}.v2023_01.x" not found', 'the version name "v2023_01.x" holds a dot, so "{pkg}.v2023_01.x" '
     'names a module inside another module, not a submodule of "{pkg}": name versions without dots, such as '
     '"v2023_01_x"'),
    (lambda p: VM(p, {"v1.0": date(2023, 1, 1)}).last, ModuleNotFoundError, "No module named '{pkg}.v1'",
     'the version name "v1.0" holds a dot, so "{pkg}.v1.0" names a module inside another module, not a '
     'submodule of "{pkg}": name versions without dots, such as "v1_0"'),
    *[(fn, TypeError, "Argument 'version' has incorrect type (expected str, got int)",
       "the version name 2024 is of type int, not str: a version is named by the last part of its submodule's "
       'name, such as "v2024"') for fn in (lambda p: VM(p, {2024: date(2023, 1, 1)}).current,
                                            lambda p: VM(p, {2024: date(2023, 1, 1)})(),
                                            lambda p: VM(p, {2024: date(2023, 1, 1)}).last)],
    *[(fn, ValueError, "need more than 1 value to unpack", "entry 0 of the table, ('v2023_01',), is not a "
       "(name, start) pair: give a dict {name: start} or a list of (name, start) pairs")
      for fn in (lambda p: entries(p, lambda: [("v2023_01",)]).current,
                 lambda p: entries(p, lambda: [("v2023_01",)]).last)],
    # what is not explained: a missing version, an aware start, an entry's own failure, a note that
    # cannot be made, a str subclass (explained already), a dotted name whose module fails otherwise
    (lambda p: VM(p, {"v2099": date(2023, 1, 1)}).current, ModuleNotFoundError, 'Module "{pkg}.v2099" not found', None),
    (lambda p: VM(p, {None: date(2023, 1, 1)}).current, AttributeError, 'Attribute "{pkg}"."#" not found', None),
    (lambda p: VM(p, {"v1": datetime(2023, 1, 1, tzinfo=timezone.utc)}).current, TypeError,
     "can't compare offset-naive and offset-aware datetimes", None),
    (lambda p: VM(p, [entry_iter(1, 2, 3)]), ValueError, "too many values to unpack (expected 2)",
     "entry 0 of the table, <"),
    (lambda p: VM(p, [type("Bad", (), {"__iter__": lambda self: 1 / 0})()]), ZeroDivisionError, "division by zero", None),
    (lambda p: VM(p, [Unprintable()]), TypeError, "'Unprintable' object is not iterable", None),
    (lambda p: VM(p, {Name("v1"): date(2023, 1, 1)}).current, TypeError,
     "Argument 'version' has incorrect type (expected str, got Name)",
     "Note that subclasses of built-in types are rejected here: pass an exact str."),
    (lambda p: VM.get_module(module=p, version="boom.x"), RuntimeError, "boom", None),
    (lambda p: VM.get_module(module="moment_nowhere", version="a.b", current="a.b"), ModuleNotFoundError,
     'Module "moment_nowhere.a.b" not found', None),  # the package's own function, not a submodule
    (lambda p: VM(p, {"a": datetime(2023, 1, 1, tzinfo=timezone.utc), "b": datetime(2024, 1, 1)}), TypeError,
     "can't compare offset-naive and offset-aware datetimes", None),
    (lambda p: VM(p, [("a", Unprintable()), ("b", Unprintable())]), TypeError,
     "'<' not supported between instances of 'Unprintable' and 'Unprintable'", None),
    (lambda p: VM(p, [("a", Unordered()), ("b", Unordered())]), ZeroDivisionError, "division by zero", None),
]


@pytest.mark.parametrize("fail, error, message, note", NOTES)
def test_notes(pkg, clock, fail, error, message, note):
    clock(datetime(2024, 1, 1))
    with pytest.raises(Exception) as info:
        fail(pkg)
    assert (type(info.value), str(info.value)) == (error, message.replace("{pkg}", pkg))
    notes = getattr(info.value, "__notes__", [])
    if note is None or note.endswith("<"):
        assert len(notes) == (0 if note is None else 1) and (note is None or notes[0].startswith(note))
    else:
        assert notes == [note.replace("{pkg}", pkg)]


def test_failed_assignment_keeps_the_table(pkg):
    vm = VM(pkg, TABLE)
    before = vm.versions
    with pytest.raises(TypeError):
        vm.versions = {"v1": "2024-01-01", "v2": date(2025, 1, 1)}
    assert vm.versions is before


def test_import_cost():
    """Nothing new is paid by `import quorlin.version_manager`; zoneinfo only for a zone name."""
    run_python("""
        import sys
        import quorlin.version_manager
        assert not {"typing", "__future__", "quorlin.moment", "zoneinfo"} & set(sys.modules)
        import quorlin
        from datetime import date, timezone
        quorlin.zoned({"v": date(2024, 1, 1)}, timezone.utc)
        assert "quorlin.moment" in sys.modules and not {"typing", "zoneinfo"} & set(sys.modules)
        assert quorlin.at is quorlin.__dict__["at"] is quorlin.moment.at and "name_at" in dir(quorlin)
        quorlin.zoned({"v": date(2024, 1, 1)}, "UTC")
        assert "zoneinfo" in sys.modules
        try:
            quorlin.nothing
        except AttributeError as e:
            assert str(e) == "module 'quorlin' has no attribute 'nothing'"
    """)


def test_docs_page_runs_as_shown():
    run_python(f"""
        import doctest, sys
        failed, tried = doctest.testfile({str(ROOT / "docs" / "moments.md")!r}, module_relative=False,
                                         optionflags=doctest.ELLIPSIS)
        sys.exit(failed != 0 or tried < 20)
    """, env={"TZ": "UTC", "PYTHONPATH": os.pathsep.join([str(ROOT / "examples"), os.environ.get("PYTHONPATH", "")])})
