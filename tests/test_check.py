"""`quorlin check` and `quorlin.check.check`: timeline, problems, exit statuses, output, bad input."""

import importlib
import inspect
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
from quorlin import _signatures
from quorlin.check import CheckError, ManagerReport, Problem, Report, check
from quorlin.cli import github_annotations, main

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
    assert problems(name) == [  # each version against its predecessor: nobody is blamed for lacking Tariff
        ("error", "next", "interface", "drops NIGHT, which now has"),
        ("warning", "now", "signature", "describe: new required parameter x; return annotation none became Tariff "
                                        "(calls written for past break)")]


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
    assert (status, report["at"], report["errors"], report["warnings"], report["infos"]) == (
        1, "2026-12-01T00:00:00", 6, 0, 1)
    errors = [(p["version"], p["kind"], p["file"], p["line"])
              for m in report["managers"] for p in m["problems"] if p["severity"] == "error"]
    assert errors == [("v2027_01", "export", "broken_tariffs/v2027_01.py", 3),
                      ("v2027_01", "interface", "broken_tariffs/v2027_01.py", 3),
                      ("v2027_01", "signature", "broken_tariffs/v2027_01.py", 13),
                      ("v2024_07", "import", "broken_tariffs/v2024_07.py", 5),
                      (None, "not-in-force", "broken_tariffs/__init__.py", 31),
                      ("v2025_03", "start", "broken_tariffs/__init__.py", 31)]
    assert report["managers"][0]["next_switch"] == {
        "at": "2027-01-01T00:00:00", "seconds_left": 31 * 86400.0, "from": "v2025_03", "to": "v2027_01", "added": [],
        "removed": ["describe"], "changed": ["cost: new required parameter hour"]}


def test_readme_examples(cli, monkeypatch, clock):
    """The checker's page shows real output: run each command again with the clock at the time it shows."""
    text = (ROOT / "docs" / "check.md").read_text()
    shown = re.findall(r"\$ cd (.*)\n|\$ python -m quorlin check(.*)\n((?:(?!\$ ).*\n)*)\$ echo \$\?\n(\d)\n", text)
    assert len(shown) >= 10
    path = list(sys.path)
    monkeypatch.chdir(ROOT)  # the page starts with `cd examples`
    try:
        for cd, args, out, status in shown:
            if cd:
                monkeypatch.chdir(cd)
                continue
            sys.path[:] = path  # each command as if in a fresh process
            forget_examples()
            header = re.search(r"^\S+ at (.*):$", out, re.M)
            clock(datetime.fromisoformat(header[1]) if header else AT)
            code, stdout, stderr = cli("check", *args.split())
            assert (code, stderr + stdout) == (int(status), out)  # the report follows what cannot be checked
    finally:
        forget_examples()


def forget_examples():
    for key in [k for k in sys.modules if k.split(".")[0] in ("tariffs", "broken_tariffs", "company", "shiprates")]:
        del sys.modules[key]


def test_bad_input(cli, make_package, clock):
    make_package("pkg_check_bad", {"__init__.py": "raise RuntimeError('bad\\ninit')\n"})
    make_package("pkg_check_none", {"__init__.py": "RATE = 1\n"})
    make_package("pkg_check_odd", {"__init__.py": "import sys\nsys.modules[__name__] = 42\n"})
    for target, message in [
        ("pkg_check_absent", "cannot import pkg_check_absent: ModuleNotFoundError: No module named 'pkg_check_absent'"),
        ("pkg_check_bad", "cannot import pkg_check_bad: RuntimeError: bad init"),
        ("pkg_check_none", "pkg_check_none has no VersionManager among its attributes or those of its submodules"),
        ("pkg_check_odd", "pkg_check_odd has no VersionManager among its attributes or those of its submodules"),
        ("pkg_check_none:RATE", "pkg_check_none:RATE is not a VersionManager: its type is int"),
        ("pkg_check_none:gone", "cannot read pkg_check_none:gone: AttributeError: "
                                "module 'pkg_check_none' has no attribute 'gone'"),
        ("pkg_check_none:", "'pkg_check_none:' is no target: expected PACKAGE or PACKAGE:ATTRIBUTE"),
    ]:
        assert cli("check", target) == (2, "", f"quorlin check: {message}\n")
    for args, message in [(["--at", "2025-13-01"], "argument --at: not an ISO date or datetime: '2025-13-01'"),
                          (["--at", "2025-01-01T00:00+01"], "argument --at: '2025-01-01T00:00+01' has a time zone"),
                          ([], "quorlin check: no TARGET given, and ")]:  # whether or not a pyproject.toml is here
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
        {"name": "a", "start": "'soon'", "in_force": False, "answers": False, "until": None, "reinstated": False}]


def test_entry_points_and_lazy_import():
    [script] = entry_points(group="console_scripts", name="quorlin")
    assert script.load() is main
    run_python("""
        import sys, quorlin, quorlin.version_manager
        assert not {"quorlin.check", "quorlin.cli"} & set(sys.modules), sorted(sys.modules)
    """)


def _sig(old, new):
    scope = {}
    exec(f"def old{old}: pass\ndef new{new}: pass", scope)
    return [(c.breaking, c.text) for c in _signatures.compare(*map(inspect.signature, (scope["old"], scope["new"])), "m", "m")]


@pytest.mark.parametrize("old, new, changes", [
    ("(a, b)", "(a)", [(True, "parameter b removed")]),
    ("(a, b)", "(a, c)", [(True, "parameter b renamed to c")]),
    ("(a, b, /)", "(a, c, /)", [(False, "parameter b renamed to c")]),
    ("(a)", "(a, b)", [(True, "new required parameter b")]),
    ("(a)", "(a, b=1)", [(False, "new optional parameter b")]),
    ("(a, b)", "(b, a)", [(True, "positional order changed from (a, b) to (b, a)")]),
    ("(a, b)", "(a, x=0, b=1)", [(False, "parameter b now optional"),
                                 (True, "new parameter x inserted before b, which moves one place on")]),
    ("(a, b)", "(a, *, b)", [(True, "parameter b made keyword-only")]),
    ("(a, b)", "(a, b, /)", [(True, "parameter a made positional-only"), (True, "parameter b made positional-only")]),
    ("(a, /)", "(a)", [(False, "parameter a may now be passed by keyword")]),
    ("(a=1)", "(a)", [(True, "parameter a lost its default: now required")]),
    ("(a=1)", "(a=2)", [(False, "default of a changed from 1 to 2")]),
    ("(a: int) -> int", "(a: str)", [(False, "annotation of a changed from int to str"),
                                     (False, "return annotation int became none")]),
    ("(*args, **kw)", "()", [(True, "*args removed"), (True, "**kw removed")]),
    ("(*, k)", "(**kw)", [(False, "parameter k removed"), (False, "**kw added")]),
])
def test_signature_changes(old, new, changes):
    found = _sig(old, new)
    assert sorted(found) == sorted(changes)


@pytest.mark.parametrize("table, files, at, expected", [
    # __all__ naming what the module lacks; the comparison uses the names the module has
    ("{'a': dt(2024, 1, 1), 'b': dt(2026, 1, 1)}", {"a": V1, "b": "__all__ = ['RATE',\n 'describe']\nRATE = 2\n"}, AT,
     [("error", "b", "export", "__all__ lists describe, which the module does not define: a star import fails", "b.py", 2),
      ("error", "b", "interface", "drops describe, which a has", "b.py", 1)]),
    # checked the day after the switch: the removal is a warning, and still reported
    ("{'a': dt(2024, 1, 1), 'b': dt(2025, 1, 1)}", {"a": V1, "b": "RATE = 2\n"}, AT,
     [("warning", "b", "interface", "drops describe, which a has", "b.py", None)]),
    # reinstated after another version: no warning, compared with the version before it
    ("[('v19', dt(2019, 1, 1)), ('v16', dt(2020, 7, 1)), ('v19', dt(2026, 1, 1))]",
     {"v19": V1, "v16": V1 + "def extra(): ...\n__all__.append('extra')\n"}, AT,
     [("error", "v19", "interface", "drops extra, which v16 has", "v19.py", 1)]),
    # a typo in a version name; the module file that no table lists
    ("[('v2024_1', dt(2024, 1, 1))]", {"v2024_01": V1}, AT,
     [("error", "v2024_1", "import", 'ModuleNotFoundError: Module "{name}.v2024_1" not found; did you mean v2024_01?',
       "__init__.py", 4),
      ("warning", "v2024_01", "unlisted", "looks like a version, but no table lists it", "v2024_01.py", 1)]),
    # defaults that neither compare nor print; a module __getattr__ that raises
    ("{'a': dt(2024, 1, 1), 'b': dt(2026, 1, 1)}",
     {v: "class D:\n    def __eq__(self, o): raise RuntimeError\n    __repr__ = __eq__\n    __hash__ = None\n"
         f"def __getattr__(name): raise RuntimeError\n__all__ = ['f', 'h']\ndef f(x=D(){extra}): ...\n"
      for v, extra in [("a", ""), ("b", ", y=1")]}, AT,
     [("error", "b", "export", "__all__ lists h, which the module does not define: a star import fails", "b.py", 6),
      ("info", "b", "signature", "f: new optional parameter y (calls written for a still bind)", "b.py", 7),
      ("error", "a", "export", "__all__ lists h, which the module does not define: a star import fails", "a.py", 6)]),
    # the failing line of a version; the entry of a start
    ("[('a', dt(2024, 1, 1)),\n ('b', dt(2024, 1, 1))]", {"a": "x = 1\nraise KeyError('k')\n", "b": V1}, AT,
     [("error", "a", "import", "KeyError: 'k'", "a.py", 2),
      ("warning", "b", "same-start", "same start as a, which comes first and is chosen: this one never answers",
       "__init__.py", 5)]),
])
def test_problem_kinds(pkg, table, files, at, expected):
    name = pkg(table, files)
    [manager] = check(name, at=at).managers
    assert [(p.severity, p.version, p.kind, p.message, p.file and Path(p.file).name, p.line)
            for p in manager.problems] == [(*e[:3], e[3].format(name=name), *e[4:]) for e in expected]


@pytest.mark.parametrize("table, problems", [
    ("{'a': dt(2024, 1, 1),\n 'b': dt(2025, 1, 1, tzinfo=timezone.utc)}",
     [("b", "start", "2025-01-01 00:00:00+00:00 is an aware datetime: starts are naive local time", 5)]),
    ("[('a', dt(2024, 1, 1)), ('b', '2025-01-01')]",
     [("b", "start", "'2025-01-01' is a str, not a datetime: starts are naive local time", 4)]),
    ("['a', dt(2024, 1, 1)]", [("a", "entry", "entry 0 is not a (name, start) pair: 'a'", 4),
                               (None, "entry", "entry 1 is not a (name, start) pair: 2024-01-01 00:00:00", 4)]),
    ("{'a': dt(2024, 1, 1)}, versions=5", [(None, "table", "the table cannot be built: TypeError", 4)]),
])
def test_table_that_cannot_be_built(pkg, cli, table, problems):
    name = pkg(table, {"a": V1, "b": V1})
    status, out, err = cli("check", name, "--json")
    [unchecked] = json.loads(out)["unchecked"]
    assert (status, unchecked["target"]) == (2, name) and unchecked["error"].startswith(f"cannot import {name}: ")
    assert [(p["version"], p["kind"], p["message"][:len(m)], p["line"]) for p, (*_, m, _) in
            zip(unchecked["problems"], problems)] == [(v, k, m, line) for v, k, m, line in problems]
    assert err.count("Traceback") == 0 and all(p["file"].endswith("__init__.py") for p in unchecked["problems"])
    with pytest.raises(CheckError, match=f"cannot import {name}") as caught:
        check(name)
    assert caught.value.report.unchecked[0].problems


def test_discovery_hints_and_config(make_package, cli, monkeypatch, tmp_path):
    vm = "from datetime import datetime as dt\nfrom quorlin.version_manager import VersionManager\n"
    make_package("pkg_check_co", {
        "__init__.py": "", "rates/__init__.py": "", "rates/skip/__init__.py": "raise ValueError('no')\n",
        "rates/ship/__init__.py": vm + "versions = VersionManager(__name__, [('v1', dt(2024, 1, 1)), ('v2', dt(2025, 6, 11))])\n",
        "rates/ship/v1.py": V1, "rates/ship/v2.py": "raise SystemExit('not imported by the walk, only checked')\n"})
    make_package("pkg_check_early", {"__init__.py": vm + "versions = VersionManager(__name__, {'a': dt(2030, 1, 1)})\n"
                                                         "versions.current\n"})  # a table built, then no version
    with pytest.raises(CheckError, match="cannot import pkg_check_early: ModuleNotFoundError") as caught:
        check("pkg_check_early")
    assert caught.value.report.unchecked[0].problems == ()
    status, out, err = cli("check", "pkg_check_co", "--at", "2025-06-01")
    assert (status, err) == (2, "quorlin check: cannot import pkg_check_co.rates.skip: ValueError: no\n")
    assert out.startswith("pkg_check_co.rates.ship:versions at 2025-06-01 00:00:00:\n") and "v2  import: SystemExit" in out
    assert "  next switch: v1 -> v2 after 2025-06-11 00:00:00, in 10 days, 0:00:00; what changes is unknown" in out
    assert cli("check", "pkg_check_co", "--at", "2025-06-01", "--due-within", "9")[1] == ""
    for layout, hint in [("here", "pkg_check_far is in the working directory, which is not on sys.path"),
                         ("src", "pkg_check_far is in ./src, which is not on sys.path: run from there, "
                                 "set PYTHONPATH=src or install the project")]:
        package = tmp_path / layout / ("src" if layout == "src" else "") / "pkg_check_far"
        package.mkdir(parents=True)
        (package / "__init__.py").write_text("")
        monkeypatch.chdir(tmp_path / layout)
        with pytest.raises(CheckError, match=re.escape(hint)):
            check("pkg_check_far")
    monkeypatch.chdir(tmp_path)
    for config, status, message in [
        ('[tool.quorlin]\ncheck = ["pkg_check_co.rates.ship"]\n', 1, None),
        ("[tool.quorlin]\ncheck = 'x'\n", 2, "[tool.quorlin] check in pyproject.toml must be a non-empty list of targets"),
        ("[tool", 2, "cannot read pyproject.toml: "),
    ]:
        (tmp_path / "pyproject.toml").write_text(config)
        result = cli("check", "--at", "2025-06-01", "--format", "github")
        assert result[0] == status and (message in result[2] if message else "::error file=" in result[1])
    assert cli("check", "--due-within", "-1")[0] == 2
    (tmp_path / "gone").mkdir()
    monkeypatch.chdir(tmp_path / "gone")
    (tmp_path / "gone").rmdir()
    assert cli("check", "tariffs")[::2] == (2, "quorlin check: the working directory is gone: "
                                               "[Errno 2] No such file or directory\n")


def test_strict_and_annotations(pkg, cli):
    name = pkg("{'a': dt(2024, 1, 1), 'b': dt(2024, 1, 1)}", {"a": V1, "b": V1})
    assert [cli("check", name, *strict)[0] for strict in ([], ["--strict"])] == [0, 1]
    annotation = github_annotations(Report(AT, (ManagerReport("p:v", (), (
        Problem("info", "a", "signature", "f: 50% off,\nnow", "d,1:x.py", 7),)),)))
    assert annotation == ["::notice file=d%2C1%3Ax.py,line=7,title=quorlin check%3A signature::p:v a: f: 50%25 off,%0Anow"]
