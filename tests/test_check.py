"""`quorlin check` and `quorlin.check.check`: timeline, problems, exit statuses, output, bad input."""

import importlib
import itertools
import json
import re
import subprocess
import sys
from datetime import datetime, timezone
from importlib.metadata import entry_points
from pathlib import Path

import pytest

from conftest import run_python, vm_mod
from quorlin.check import CheckError, check
from quorlin.cli import main

ROOT = Path(__file__).resolve().parent.parent
AT = datetime(2025, 6, 1)
_ids = itertools.count()
V1 = "__all__ = ['RATE', 'describe']\nRATE = 1\ndef describe(): return ''\n"


@pytest.fixture
def pkg(make_package):
    """A package whose `versions` manager gets TABLE (source text); FILES are its submodules."""
    def make(table, files=None, init=""):
        return make_package(f"pkg_check_{next(_ids)}", {
            "__init__.py": "from datetime import datetime as dt, timezone\n"
                           f"from quorlin.version_manager import VersionManager\n{init}\n"
                           f"versions = VersionManager(__name__, {table})\n",
            **{f"{name}.py": src for name, src in (files or {}).items()}})
    return make


def problems(target, at=AT):
    [manager] = check(target, at=at).managers
    return [(p.severity, p.version, p.kind, p.message) for p in manager.problems]


@pytest.fixture
def cli(capsys, monkeypatch):
    """Run the command in this process; returns (exit status, stdout, stderr)."""
    monkeypatch.setattr(sys, "path", list(sys.path))  # main() puts the working directory first

    def run(*args):
        try:
            status = main(list(args))
        except SystemExit as exc:  # argparse's own errors
            status = exc.code
        out, err = capsys.readouterr()
        return status, out, err
    return run


def test_timeline_windows_and_in_force(pkg):
    name = pkg("[('b', dt(2025, 3, 1)), ('a', dt(2024, 1, 1)), ('c', dt(2026, 1, 1)), ('a2', dt(2024, 1, 1))]",
               {"a": V1, "b": V1, "c": V1, "a2": V1})
    for at, in_force in [(datetime(2025, 3, 1), "a"), (datetime(2025, 3, 1, 0, 0, 0, 1), "b"), (AT, "b"),
                         (datetime(2027, 1, 1), "c")]:  # in force strictly after its start
        [m] = check(name, at=at).managers
        assert [e.name for e in m.timeline if e.in_force] == [in_force]
    assert [(e.name, e.until, e.answers) for e in m.timeline] == [
        ("c", None, True), ("b", datetime(2026, 1, 1), True), ("a", datetime(2025, 3, 1), True), ("a2", None, False)]
    shadowed = ("warning", "a2", "same-start", "same start as a, which comes first and is chosen: this one never answers")
    report = check(name, at=AT)
    assert not report.has_errors and [(p.version, p.kind) for p in report.warnings] == [("a2", "same-start")]
    assert problems(name) == [shadowed]
    assert problems(name, datetime(2024, 1, 1)) == [
        ("error", None, "not-in-force", "no version is in force at 2024-01-01 00:00:00: current raises ModuleNotFoundError"),
        shadowed]


def test_imports_names_and_starts(pkg):
    name = pkg("[('gone', dt(2024, 1, 1)), ('needs', dt(2024, 2, 1)), ('exits', dt(2024, 3, 1)), ('ok', dt(2024, 4, 1)), "
               "('ok', dt(2024, 5, 1)), ('odd', dt(2023, 1, 1)), (None, dt(2024, 6, 1)), ('#', dt(2024, 7, 1)), "
               "(b'v', dt(2024, 8, 1))]",
               {"needs": "import quorlin_absent_dep\n", "exits": "raise SystemExit(3)\n", "ok": V1,
                "odd": "class Odd(Exception):\n    def __str__(self): raise ValueError\nraise Odd\n"},
               init="def __getattr__(name): raise AssertionError(name)")  # the function path is never taken
    function_path = 'get_module calls the package\'s attribute "#" instead of importing a submodule'
    assert problems(name, datetime(2024, 4, 15)) == [
        ("error", "b'v'", "name", "b'v' (bytes): get_module rejects it"),
        ("error", "#", "name", f"# (str): {function_path}"),
        ("error", "None", "name", f"None (NoneType): {function_path}"),
        ("warning", "ok", "duplicate-name",
         "named twice (starts 2024-05-01 00:00:00 and 2024-04-01 00:00:00): one submodule for both"),
        ("error", "exits", "import", "SystemExit: 3"),
        ("error", "needs", "import", "ModuleNotFoundError: No module named 'quorlin_absent_dep'"),
        ("error", "gone", "import", f'ModuleNotFoundError: Module "{name}.gone" not found'),
        ("error", "odd", "import", "Odd")]
    aware = pkg("[('a', dt(2025, 1, 1, tzinfo=timezone.utc)), ('b', dt(2024, 1, 1, tzinfo=timezone.utc))]",
                {"a": V1, "b": V1})
    mixed = "TypeError: can't compare offset-naive and offset-aware datetimes"
    assert problems(aware) == [
        ("error", None, "not-in-force", f"no version is in force at 2025-06-01 00:00:00: current raises {mixed}"),
        ("error", "a", "start", f"2025-01-01 00:00:00+00:00 cannot be compared with the clock: {mixed}"),
        ("error", "b", "start", f"2024-01-01 00:00:00+00:00 cannot be compared with the clock: {mixed}")]
    assert [e.answers for e in check(aware, at=AT).managers[0].timeline] == [False, False]
    assert problems(pkg("[('a', '2024-01-01')]", {"a": V1}))[1][2:] == (
        "start", "'2024-01-01' cannot be compared with the clock: "
                 "TypeError: '>' not supported between instances of 'datetime.datetime' and 'str'")
    assert problems(pkg("{}")) == [
        ("error", None, "empty", "the table is empty: current and last raise ModuleNotFoundError")]


def test_odd_tables(pkg):
    class Starts:  # no datetime; compares with the clock only
        def __lt__(self, other):
            if other is not AT:
                raise ArithmeticError
            return True

        def __repr__(self): raise RuntimeError("no repr")

    name = pkg("[('a', dt(2024, 1, 1))]", {"a": V1})
    vm = importlib.import_module(name).versions
    vm.versions.extend([("a", Starts()), "abc", ("b",), 7])  # the getter hands out the table itself
    assert problems(name) == [
        ("error", "a", "start", "<Starts> is a Starts, not a datetime"),
        ("warning", "a", "duplicate-name", "named twice (starts 2024-01-01 00:00:00 and <Starts>): one submodule for both"),
        *[("error", None, "entry", f"entry {i} is not a (name, start) pair: {e}") for i, e in enumerate([
            "ValueError: too many values to unpack (expected 2)",
            "ValueError: not enough values to unpack (expected 2, got 1)",
            "TypeError: cannot unpack non-iterable int object"], 2)]]
    vm.versions.insert(0, ())  # `current` stops at the first entry now: nothing after it ever answers
    assert [e.answers for e in check(name, at=AT).managers[0].timeline] == [False, False]
    assert problems(name)[0][2:] == (
        "not-in-force", "no version is in force at 2025-06-01 00:00:00: current raises "
                        "ValueError: not enough values to unpack (expected 2, got 0)")

    class Unreadable(vm_mod.VersionManager):
        @property
        def versions(self): raise LookupError("table gone")

        @versions.setter
        def versions(self, value): pass

    sys.modules[name].broken = Unreadable(name)
    assert problems(f"{name}:broken") == [("error", None, "entry", "cannot read the table: LookupError: table gone")]


def test_interface_drift(pkg):
    files = {
        "past": "import os\nRATE, NIGHT, convert = 1, 2, int\ndef describe(): ...\ndef _hidden(): ...\n",  # no __all__
        "now": "__all__ = ['RATE', 'NIGHT', 'describe', 'Tariff', 'convert']\nRATE = NIGHT = 1\nconvert = int\n"
               "class Tariff: pass\ndef describe(x: Tariff) -> Tariff: ...\ndef extra(): ...\n",
        "next": "__all__ = ['RATE', 'describe', 'Tariff', 'convert']\nRATE = 1\nconvert = int\nclass Tariff: pass\n"
                "def describe(x: Tariff) -> Tariff: ...\n",  # the same signature, with a Tariff of its own
        "later": "import sys\nsys.modules[__name__] = 42\n",  # imports as something that is no module
        "last": "__all__ = 5\n",  # not a list of names: nothing to compare
    }
    name = pkg("{'past': dt(2023, 1, 1), 'now': dt(2024, 1, 1), 'next': dt(2026, 1, 1), 'later': dt(2027, 1, 1), "
               "'last': dt(2028, 1, 1)}", files)
    assert problems(name) == [
        ("error", "next", "interface", "lacks NIGHT, which now (in force) has"),
        ("warning", "now", "signature", "describe(x: Tariff) -> Tariff differs from describe() in past"),
        ("warning", "past", "interface", "lacks Tariff, which now (in force) has")]


def test_examples_and_json():
    def run(*args):
        proc = subprocess.run([sys.executable, "-m", "quorlin", "check", *args], cwd=ROOT / "examples",
                              capture_output=True, text=True, timeout=60)
        return proc.returncode, proc.stdout, proc.stderr

    status, out, err = run("tariffs", "tariffs:current", "--json")  # one instance, bound to two names
    report = json.loads(out)
    assert (status, report["errors"], report["warnings"], err) == (0, 0, 0, "")
    [manager] = report["managers"]
    assert manager["target"] == "tariffs:versions" and manager["problems"] == []
    assert [(e["name"], e["start"]) for e in manager["timeline"]][-1] == ("v2023_01", "2023-01-01T00:00:00")
    assert sum(e["in_force"] for e in manager["timeline"]) == 1
    status, out, err = run("broken_tariffs", "--at", "2026-12-01", "--json")
    report = json.loads(out)
    assert (status, report["at"], report["errors"], report["warnings"]) == (1, "2026-12-01T00:00:00", 4, 2)
    errors = [(p["version"], p["kind"]) for m in report["managers"] for p in m["problems"] if p["severity"] == "error"]
    assert errors == [("v2027_01", "interface"), ("v2024_07", "import"), (None, "not-in-force"), ("v2025_03", "start")]


def test_readme_examples(cli, monkeypatch, clock):
    """The checker's page shows real output: run each command again with the clock at the time it shows."""
    text = (ROOT / "docs" / "check.md").read_text()
    shown = re.findall(r"\$ python -m quorlin check (.*)\n((?:(?!\$ ).*\n)*)\$ echo \$\?\n(\d)\n", text)
    assert len(shown) >= 2
    monkeypatch.chdir(ROOT / "examples")
    try:
        for args, out, status in shown:
            clock(datetime.fromisoformat(re.match(r"\S+ at (.*):\n", out)[1]))
            assert cli("check", *args.split()) == (int(status), out, "")
    finally:
        for key in [k for k in sys.modules if k.split(".")[0] in ("tariffs", "broken_tariffs")]:
            del sys.modules[key]


def test_bad_input(cli, make_package, clock):
    make_package("pkg_check_bad", {"__init__.py": "raise RuntimeError('bad\\ninit')\n"})
    make_package("pkg_check_none", {"__init__.py": "RATE = 1\n"})
    make_package("pkg_check_odd", {"__init__.py": "import sys\nsys.modules[__name__] = 42\n"})
    for target, message in [
        ("pkg_check_absent", "cannot import pkg_check_absent: ModuleNotFoundError: No module named 'pkg_check_absent'"),
        ("pkg_check_bad", "cannot import pkg_check_bad: RuntimeError: bad init"),
        ("pkg_check_none", "pkg_check_none has no VersionManager among its attributes"),
        ("pkg_check_odd", "pkg_check_odd has no VersionManager among its attributes"),
        ("pkg_check_none:RATE", "pkg_check_none:RATE is not a VersionManager: its type is int"),
        ("pkg_check_none:gone", "cannot read pkg_check_none:gone: AttributeError: "
                                "module 'pkg_check_none' has no attribute 'gone'"),
        ("pkg_check_none:", "'pkg_check_none:' is no target: expected PACKAGE or PACKAGE:ATTRIBUTE"),
    ]:
        assert cli("check", target) == (2, "", f"quorlin check: {message}\n")
    for args, message in [(["--at", "2025-13-01"], "argument --at: not an ISO date or datetime: '2025-13-01'"),
                          (["--at", "2025-01-01T00:00+01"], "argument --at: '2025-01-01T00:00+01' has a time zone"),
                          ([], "the following arguments are required: TARGET")]:
        status, out, err = cli("check", *args)
        assert (status, out) == (2, "") and message in err and "Traceback" not in err
    with pytest.raises(CheckError, match="must be a naive datetime"):
        check("tariffs", at=datetime(2025, 1, 1, tzinfo=timezone.utc))
    clock(datetime(2030, 1, 1))  # the default time is the clock that `current` reads
    make_package("pkg_check_clock", {"__init__.py": "from quorlin.version_manager import VersionManager as V\n"
                                                    "versions = V(__name__, [('a', 'soon')])\nprint('noise')\n"})
    status, out, err = cli("check", "pkg_check_clock", "--json")
    report = json.loads(out)
    assert (status, report["at"], report["errors"], err) == (1, "2030-01-01T00:00:00", 3, "noise\n")
    assert report["managers"][0]["timeline"] == [
        {"name": "a", "start": "'soon'", "in_force": False, "answers": False, "until": None}]


def test_entry_points_and_lazy_import():
    [script] = entry_points(group="console_scripts", name="quorlin")
    assert script.load() is main
    run_python("""
        import sys, quorlin, quorlin.version_manager
        assert not {"quorlin.check", "quorlin.cli"} & set(sys.modules), sorted(sys.modules)
    """)
