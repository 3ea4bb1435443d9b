"""Choosing the version in force (`current`, calling an instance) and the newest one (`last`)."""

import itertools
import sys
import types
from datetime import date, datetime, timedelta
from unittest import mock

import pytest

from conftest import VM, assert_no_leak, tb_entries, vm_mod

NOW = datetime(2024, 3, 1, 12, 0)
DAY, US = timedelta(days=1), timedelta(microseconds=1)
RANGES = {"get_module": (94, 145), "current": (146, 167), "last": (168, 188), "__call__": (189, 200)}
_ids = itertools.count()


@pytest.fixture
def pkg(make_package):
    """A throw-away package with one submodule per name, whose NAME is that name."""
    return lambda *names: make_package(
        f"pkg_sel_{next(_ids)}", {"__init__.py": "", **{f"{n}.py": f"NAME = {n!r}\n" for n in names}})


def recorder(monkeypatch, **behaviour):
    """Replace the module global `VersionManager` by a stand-in whose `get_module` records its calls."""
    monkeypatch.setattr(vm_mod, "VersionManager", types.SimpleNamespace(get_module=mock.Mock(**behaviour)))
    return vm_mod.VersionManager.get_module


@pytest.mark.parametrize("table, now, cur, last", [
    ({"a": NOW, "b": NOW - DAY}, NOW, "b", "a"),  # a start equal to the clock is not yet in force
    ({"a": NOW}, NOW, None, "a"),
    ({"a": NOW - US}, NOW, "a", "a"),
    ({"a": date(2024, 1, 1), "b": date(2024, 3, 1)}, datetime(2024, 2, 15), "a", "b"),
    ({"a": date(2024, 1, 1), "b": date(2024, 3, 1)}, datetime(2024, 3, 2), "b", "b"),
    ([("f", NOW + DAY), ("a", NOW - DAY), ("b", NOW - DAY)], NOW, "a", "f"),  # a tie goes to the first
    ([("a", NOW), ("b", NOW)], NOW + US, "a", "a"),
    ({"x": NOW + DAY, "y": NOW + 2 * DAY}, NOW, None, "y"),  # nothing has started yet
])
def test_selection_by_clock(pkg, clock, table, now, cur, last):
    vm = VM(pkg(*dict(table)), table)
    clock(now)
    assert vm.last is sys.modules[f"{vm.module}.{last}"]
    if cur:
        assert vm.current is vm() is sys.modules[f"{vm.module}.{cur}"]
    for fn in () if cur else (lambda: vm.current, vm):
        err = pytest.raises(ModuleNotFoundError, fn).value
        assert (str(err), err.name) == (f'Module "{vm.module}" current version not found', None)


def test_delegation_and_empty_table(monkeypatch, clock):
    token, result = object(), object()
    get = recorder(monkeypatch, return_value=result)  # the result is handed back untested
    vm = VM("any.pkg", [(token, NOW - DAY), ("new", NOW + DAY)])
    clock(NOW)
    assert vm.current is result and vm() is result and vm.last is result
    assert get.call_args_list == [mock.call(module="any.pkg", version=token, current="#")] * 2 + [
        mock.call(module="any.pkg", version="new", current="#")]
    assert all(list(c.kwargs) == ["module", "version", "current"] for c in get.call_args_list)
    get.reset_mock()
    get.side_effect = err = LookupError("boom")
    vm.versions = {"gone": NOW - DAY, "old": NOW - 2 * DAY}
    for fn in (lambda: vm.current, lambda: vm.last, vm):  # raised unchanged, no other entry tried
        assert pytest.raises(LookupError, fn).value is err
    assert [c.kwargs["version"] for c in get.call_args_list] == ["gone"] * 3
    get.reset_mock()
    vm.versions = []
    for fn, which in ((lambda: vm.current, "current"), (vm, "current"), (lambda: vm.last, "last")):
        pytest.raises(ModuleNotFoundError, fn).match(f'^Module "any.pkg" {which} version not found$')
    get.assert_not_called()


@pytest.mark.parametrize("name, exc, msg", [
    (5, TypeError, "Argument 'version' has incorrect type (expected str, got int)"),
    ("#", AttributeError, 'Attribute "{}"."#" not found'),  # "#" is the `current` that is passed
    (None, AttributeError, 'Attribute "{}"."#" not found'),
])
def test_version_name_reaches_get_module_as_stored(pkg, clock, name, exc, msg):
    vm = VM(pkg(), [(name, NOW - DAY)])
    clock(NOW)
    for fn in (lambda: vm.current, lambda: vm.last, vm):
        assert str(pytest.raises(exc, fn).value) == msg.format(vm.module)


def test_subclass_overrides(pkg, clock):
    name = pkg("a", "b")

    class Sub(VM):
        table = [("b", NOW - 2 * DAY), ("a", NOW - DAY)]  # walked as yielded, not re-sorted
        module = property(lambda self: name)
        versions = property(lambda self: next(self.reads) if "reads" in vars(self) else self.table)
        get_module = staticmethod(lambda **kw: pytest.fail("the subclass's get_module was consulted"))

    clock(NOW)
    s = Sub.__new__(Sub)  # both slots unset: all reads go through the overrides
    assert s.current.NAME == s().NAME == s.last.NAME == "b"
    s.reads = iter([[("a", NOW)], [("b", NOW)], [("a", NOW)], [], []])  # `last` reads the table twice
    assert s.last.NAME == "b"
    pytest.raises(IndexError, lambda: s.last)
    pytest.raises(ModuleNotFoundError, lambda: s.last).match(f'^Module "{name}" last version not found$')
    assert type("Cur", (VM,), {"current": property(lambda self: "overridden")})(name, {})() == "overridden"


def test_missing_module_globals(pkg, monkeypatch):
    vm = VM(pkg("a"), {"a": NOW})
    monkeypatch.delattr(vm_mod, "datetime")
    for fn in (lambda: vm.current, vm, lambda: VM("pkg.empty", []).current):  # the clock is read first
        pytest.raises(NameError, fn).match("^name 'datetime' is not defined$")
    assert vm.last.NAME == "a"
    monkeypatch.delattr(vm_mod, "VersionManager")
    pytest.raises(NameError, lambda: vm.last).match("^name 'VersionManager' is not defined$")


class Shifty:
    """A start whose comparison with the clock, once armed, rewrites the table it sits in."""

    def __init__(self, when, action):
        self.when, self.action, self.vm = when, action, None

    def __lt__(self, other):  # `now > start` falls back to this
        self.vm and self.action(self.vm)
        return self.when < getattr(other, "when", other)


CLEAR, SHRINK = (lambda vm: vm.versions.clear()), (lambda vm: vm.versions.__delitem__(slice(1, None)))
REPLACE = lambda vm: setattr(vm, "versions", [])  # noqa: E731


@pytest.mark.parametrize("action, first, expected", [
    (CLEAR, NOW + DAY, None), (SHRINK, NOW + DAY, None), (REPLACE, NOW + DAY, "yv"),  # walk keeps the list read
    (CLEAR, NOW - DAY, "xv"), (SHRINK, NOW - DAY, "xv"), (REPLACE, NOW - DAY, "xv"),
])
def test_table_mutated_during_walk(pkg, clock, action, first, expected):
    # Names made at run time: once the table is cleared, only the walk can still hold them.
    vm = VM(pkg("xv", "yv"), [("".join("xv"), Shifty(first, action)), ("".join("yv"), Shifty(NOW - DAY, action))])
    vm.versions[0][1].vm = vm
    clock(NOW)
    if expected:
        assert vm.current.NAME == expected
    else:
        pytest.raises(ModuleNotFoundError, lambda: vm.current).match("current version not found")


@pytest.mark.parametrize("fn, table, members", [
    (lambda vm: vm.current, [], ["current"]),
    (lambda vm: vm.last, [], ["last"]),
    (lambda vm: vm(), [], ["__call__", "current"]),
    (lambda vm: vm(), {"gone": NOW - DAY, "a": NOW - 2 * DAY}, ["__call__", "current", "get_module"]),
    (lambda vm: vm.last, {"gone": NOW - DAY, "a": NOW - 2 * DAY}, ["last", "get_module"]),
])
def test_traceback_entries(pkg, clock, fn, table, members):
    vm = VM(pkg("a"), table)  # a missing "gone" fails the call: "a" is never tried
    clock(NOW)
    entries = tb_entries(pytest.raises(ModuleNotFoundError, fn, vm).value)
    assert [n for n, _ in entries] == ["quorlin.version_manager.VersionManager." + m for m in members]
    assert all(RANGES[m][0] <= line <= RANGES[m][1] for m, (_, line) in zip(members, entries))


def test_mock_patch_freezes_clock(pkg):
    vm = VM(pkg("a", "b"), {"a": date(2024, 1, 1), "b": date(2024, 3, 1)})
    with mock.patch("quorlin.version_manager.datetime") as dt:
        dt.now.return_value = datetime(2024, 2, 15)
        assert vm().NAME == "a" and vm.last.NAME == "b"
        dt.now.return_value = datetime(2024, 3, 2)
        assert vm.current.NAME == "b"
    assert dt.now.call_args_list == [mock.call()] * 2 and vm_mod.datetime is datetime


def test_no_leaks(pkg, clock, monkeypatch):
    name = pkg("a")
    ok, empty, gone, bad = (VM(name, t) for t in ({"a": NOW - DAY}, [], {"gone": NOW - DAY}, []))
    bad._VersionManager__versions = [("a", NOW, NOW)]
    clock(NOW)
    for fn in (lambda: ok.current, lambda: ok.last, ok, lambda: empty.current, lambda: empty.last, empty,
               gone, lambda: gone.last, lambda: bad.current, lambda: bad.last):
        assert_no_leak(fn, repeat=300)
    monkeypatch.delattr(vm_mod, "datetime")
    assert_no_leak(lambda: ok.current, repeat=300)
