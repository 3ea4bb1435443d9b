"""Hostile callers: arbitrary tables and clocks checked against a model, and objects that strike back."""

import gc
import operator
import types
from datetime import date, datetime, time, timedelta, timezone
from unittest import mock

import pytest
from hypothesis import given, settings, strategies as st

from conftest import VM, vm_mod

NOW = datetime(2024, 3, 1, 12, 0)
OLD, NEW = NOW - timedelta(days=1), NOW + timedelta(days=1)
DAYS = [date(2024, 3, 1), date(2024, 3, 2)]  # few values, so that starts tie often
naive = st.one_of(st.sampled_from(DAYS), st.builds(datetime.combine, st.sampled_from(DAYS), st.sampled_from([time(0), time(12)])))
aware = st.builds(datetime, st.just(2024), st.just(3), st.sampled_from([1, 2]), tzinfo=st.just(timezone(timedelta(hours=1))))
mixed = st.one_of(naive, aware, st.text("xy", max_size=1), st.none(), st.just(type("DSub", (date,), {})(2024, 3, 1)))
names = st.one_of(st.text("ab", max_size=2), st.integers(0, 1), st.none(), st.builds(object))
SHAPES = [dict, list, tuple, lambda p: [list(e) for e in p], iter]
PROPERTY = settings(max_examples=200, deadline=None, database=None)


def outcome(fn):
    """("ok", result) or (exception type, message)."""
    try:
        return "ok", fn()
    except Exception as e:
        return type(e), str(e)


def model(raw):
    """(name, normalised start, start as given), newest first, as the `versions` setter is to store them."""
    items = list(raw.items()) if isinstance(raw, dict) else list(raw)
    return sorted([(n, datetime(s.year, s.month, s.day) if type(s) is date else s, s) for n, s in items],
                  key=lambda e: e[1], reverse=True)


def selection(table, now):
    """What `current` is to give (`last` for now=None): the path of the first entry strictly before the clock."""
    for name, start in table:
        if now is None or now > start:
            return f"p.{name}"
    raise ModuleNotFoundError(f'Module "p" {"last" if now is None else "current"} version not found')


@PROPERTY
@given(st.sampled_from([naive, aware, mixed]).flatmap(lambda s: st.lists(st.tuples(names, s), max_size=6)),
       st.sampled_from(SHAPES))
def test_versions_setter_against_model(pairs, shape):
    vm = VM("p", [("old", NOW)])
    old, want = vm.versions, outcome(lambda: model(shape(pairs)))
    failed = want[0] is TypeError  # starts that cannot be ordered: the same comparison fails inside the setter
    assert outcome(lambda: setattr(vm, "versions", shape(pairs))) == (want if failed else ("ok", None))
    got = vm.versions
    assert (got is old) == failed and old == [("old", NOW)] and type(got) is list
    for entry, (name, start, given_start) in [] if failed else zip(got, want[1], strict=True):  # stable for ties
        assert type(entry) is tuple and len(entry) == 2 and entry[0] is name
        if type(given_start) is date:  # exact dates become naive midnights, anything else is kept as is
            assert type(entry[1]) is datetime and entry[1] == start and entry[1].tzinfo is None
        assert type(given_start) is date or entry[1] is given_start


@PROPERTY
@given(st.sampled_from([naive, aware]).flatmap(lambda s: st.lists(st.tuples(st.text("ab", min_size=1), s), max_size=5)),
       st.one_of(naive, aware))
def test_current_is_first_entry_before_clock(pairs, now):  # clocks include naive, aware and plain dates
    vm = VM("p", pairs)
    table = vm.versions
    with mock.patch.object(vm_mod, "datetime", types.SimpleNamespace(now=lambda: now)), \
            mock.patch.object(vm_mod, "import_module", lambda *, name: name):
        assert outcome(lambda: vm.current) == outcome(vm) == outcome(lambda: selection(table, now))
        assert outcome(lambda: vm.last) == outcome(lambda: selection(table, None))
    assert vm.versions is table


STATE = {"action": None, "busy": False, "skip": 0}


def fire():
    """Run the armed action, unless it is already running (so re-entry goes one level deep) or skipped."""
    STATE["skip"] -= 1
    if STATE["action"] and not STATE["busy"] and STATE["skip"] < 0:
        STATE["busy"] = True
        outcome(STATE["action"])
        STATE["busy"] = False


def compare(op):
    return lambda self, other: fire() or Hook(op(self.value, getattr(other, "value", other)))


class Hook:
    """Stands for `value` and fires at every call the module makes into it; comparisons answer Hooks."""

    def __init__(self, value): self.value = value  # noqa: E704
    def __iter__(self): return fire() or iter(self.value)  # noqa: E704
    def __bool__(self): return fire() or bool(self.value)  # noqa: E704
    def now(self): return fire() or self.value  # noqa: E704
    __lt__, __gt__, __eq__, __hash__ = compare(operator.lt), compare(operator.gt), compare(operator.eq), object.__hash__


HDict = type("HDict", (dict,), {"items": lambda self: fire() or Hook(list(dict.items(self)))})
HDate = type("HDate", (), {k: property(lambda self: fire() or 1) for k in ("year", "month", "day")})


PKG, VERSION = types.ModuleType("hpkg"), types.ModuleType("hpkg.v")
PKG.__getattr__ = lambda name: fire() or (lambda: fire() or VERSION)  # the function path meets both hooks


SET = lambda vm, value: lambda: setattr(vm, "versions", value)  # noqa: E731
SITES = {  # name: (vm, monkeypatch) -> (..., lists an action may clear, operations run while armed)
    "clock": lambda vm, mp: (mp.setattr(vm_mod, "datetime", Hook(Hook(NOW))), [lambda: vm.current, vm]),
    "start": lambda vm, mp: (vm.__init__("p", [("a", Hook(NEW)), ("b", Hook(OLD))]), [lambda: vm.current, vm]),
    "sort": lambda vm, mp: ([t := [("a", Hook(OLD)), ("b", Hook(NEW)), ("c", Hook(OLD))]], [SET(vm, t)]),
    "entry": lambda vm, mp: ([t := [Hook(("a", OLD)), Hook(("b", NEW)), Hook(("c", OLD))]], [SET(vm, t)]),
    "walk": lambda vm, mp: (setattr(vm, "_VersionManager__versions", [Hook(("a", NEW)), Hook(("b", OLD))]),
                            [lambda: vm.current, lambda: vm.last, vm]),
    "table": lambda vm, mp: ([t := [("a", OLD), ("b", NEW)]], [SET(vm, Hook(t))]),
    "items": lambda vm, mp: (None, [SET(vm, HDict(a=OLD, b=NEW))]),
    "eq": lambda vm, mp: (mp.setattr(vm_mod, "import_module", mock.Mock(side_effect=ModuleNotFoundError(
        "gone", name=Hook("elsewhere")))), [lambda: vm.current, lambda: vm.last]),
    "getattr": lambda vm, mp: (mp.setattr(vm_mod, "import_module", lambda *, name: PKG),
                               vm.__init__("p", [("#", OLD)]), [lambda: vm.current, lambda: vm.last, vm]),
    "date": lambda vm, mp: (mp.setattr(vm_mod, "date", HDate), [SET(vm, [("a", HDate()), ("b", HDate())])]),
}
GLOBALS = ["datetime", "date", "import_module", "VersionManager"]
ACTIONS = {  # name: (vm, lists, operations) -> None
    "reassign": lambda vm, lists, ops: setattr(vm, "versions", [("z", NEW), ("y", OLD)]),  # a walk goes on
    "clear": lambda vm, lists, ops: [t.clear() for t in (lists or []) + [vm._VersionManager__versions]],
    "delete": lambda vm, lists, ops: [delattr(vm, "_VersionManager__" + s) for s in ("versions", "module")],
    "reinit": lambda vm, lists, ops: vm.__init__("q", {"z": NEW, "y": OLD}),
    "reenter": lambda vm, lists, ops: [outcome(op) for op in ops],
    "globals": lambda vm, lists, ops: [delattr(vm_mod, n) for n in GLOBALS],
}
COVERED = {(s, a) for s in ("start", "sort", "entry") for a in ("clear", "reassign")}  # by the other test files


@pytest.mark.parametrize("skip", [0, 1])  # act from the first hook on, or from the second
@pytest.mark.parametrize("site, action", [(s, a) for s in SITES for a in ACTIONS if (s, a) not in COVERED])
def test_hooks_that_strike_back(monkeypatch, site, action, skip):
    for name, value in [(n, getattr(vm_mod, n)) for n in GLOBALS] + [("import_module", lambda *, name: name)]:
        monkeypatch.setattr(vm_mod, name, value)  # restored afterwards, whatever an action does to them
    vm = VM("p", [("a", OLD), ("b", NEW)])
    lists, ops = SITES[site](vm, monkeypatch)[-2:]
    monkeypatch.setitem(STATE, "skip", skip)
    monkeypatch.setitem(STATE, "action", lambda: ACTIONS[action](vm, lists, ops))
    for op in ops:  # any ordinary exception or result will do; SystemError means a broken C-API contract
        kind, value = outcome(op)
        assert kind is not SystemError and (kind != "ok" or value is None or isinstance(value, (str, types.ModuleType)))
    monkeypatch.undo()  # disarms, restores the module globals
    gc.collect()
    vm.__init__("p", {"a": OLD})  # the instance still works
    assert (vm.module, vm.versions) == ("p", [("a", OLD)])
