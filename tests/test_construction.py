"""VersionManager instances: slots, constructor, the `module` property and the `versions` table."""

import builtins
import itertools
import weakref
from collections import namedtuple
from datetime import date, datetime, timezone
from types import MappingProxyType

import pytest
from conftest import VM, assert_no_leak, tb_entries, vm_mod

P = "quorlin.version_manager.VersionManager."
T = {n: datetime(2024, n, 1) for n in range(1, 7)}
ARG = "Argument 'module' has incorrect type (expected str, got %s)"
UNSET = "'quorlin.version_manager.VersionManager' object has no attribute '_VersionManager__%s'"
TOO_MANY, NEED0, NEED1 = "too many values to unpack (expected 2)", "need more than 0 values to unpack", "need more than 1 value to unpack"
V, C2D = ("versions", None), ("versions.convert2datetime", None)


S, DSub, LSub = type("S", (str,), {}), type("DSub", (date,), {}), type("LSub", (list,), {})


class Boom(Exception):
    def __init__(self, *args):
        super().__init__(*args)
        Boom.last = self  # lets a test check that the very same object arrived


class Hostile:
    """Runs `action` whenever it is unpacked as an entry (yielding `pair`) or compared as a start (by `n`)."""

    def __init__(self, action, pair=(), n=0):
        self.action, self.pair, self.n = action, pair, n

    def __iter__(self):
        return self.action() or iter(self.pair)

    def __lt__(self, other):
        return self.action() or self.n < other.n


def boom(text):
    raise Boom(text)


def raising_gen(first, text):
    yield first
    boom(text)


BadItems, IntItems = type("BadItems", (dict,), {"items": lambda s: boom("items")}), type("IntItems", (dict,), {"items": lambda s: 5})


def msg_of(fn):
    return str(pytest.raises(Exception, fn).value)


def tb_is(exc, *want):
    """This module's traceback entries of `exc` are `want`: (name, line), line None meaning the versions range."""
    got = tb_entries(exc)
    assert [n for n, _ in got] == [P + n for n, _ in want], got
    assert all(line == w if w else 64 <= line <= 93 for (_, line), (_, w) in zip(got, want)), got


def names(inst):
    return [n for n, _ in inst.versions]


def raw(**slots):
    """An instance whose constructor never ran, with the given slots written directly."""
    inst = VM.__new__(VM)
    for key, value in slots.items():
        setattr(inst, "_VersionManager__" + key, value)
    return inst


MODULE_FAILURES = [  # (call on an instance, exception, message, traceback entries)
    (lambda i: VM.__init__(module="p"), TypeError, "__init__() takes at least 1 positional argument (0 given)", [("__init__", 25)]),
    (lambda i: VM("p", [], 1), TypeError, "__init__() takes at most 3 positional arguments (4 given)", [("__init__", 25)]),
    (lambda i: VM("p", x=1), TypeError, "__init__() got an unexpected keyword argument 'x'", [("__init__", 25)]),
    (lambda i: VM("p", **{1: 2}), TypeError, "__init__() keywords must be strings", [("__init__", 25)]),
    (lambda i: VM("p", module="q"), TypeError, "__init__() got multiple values for keyword argument 'module'", [("__init__", 25)]),
    (lambda i: VM(), TypeError, ARG % "NoneType", [("__init__", 49)]),
    (lambda i: i.__init__(None, [("x", T[2])]), TypeError, ARG % "NoneType", [("__init__", 49)]),
    (lambda i: setattr(i, "module", None), TypeError, ARG % "NoneType", []),
    (lambda i: setattr(i, "module", S("p")), TypeError, ARG % "S", []),
    (lambda i: i.__init__(S("p"), [("x", T[2])]), TypeError, ARG % "S", []),
    (lambda i: i.__init__(5, [("x", T[2])]), TypeError, ARG % "int", []),
    (lambda i: delattr(i, "module"), AttributeError, msg_of(lambda: delattr(VM("p"), "module")), []),
    (lambda i: VM.module.fget(), TypeError, "module() takes exactly 1 positional argument (0 given)", [("module", 54)]),
    (lambda i: raw().module, AttributeError, UNSET % "module", [("module", 56)]),
    (lambda i: raw(module=5).module, TypeError, "Expected str, got int", [("module", 56)]),
    (lambda i: raw(module=S("x")).module, TypeError, "Expected str, got S", [("module", 56)]),
    (lambda i: VM.module.fget(object()), AttributeError, msg_of(lambda: object()._VersionManager__module), [("module", 56)]),
    (lambda i: VM.module.fset(i), TypeError, "module() takes exactly 2 positional arguments (1 given)", [("module", 58)]),
    (lambda i: VM.module.fset(i, "a", "b"), TypeError, "module() takes exactly 2 positional arguments (3 given)", [("module", 58)]),
    (lambda i: VM.module.fset(i, "a", module="b"), TypeError, "module() got multiple values for keyword argument 'module'", [("module", 58)]),
    (lambda i: VM.module.fset(object(), "a"), AttributeError,
     msg_of(lambda: setattr(object(), "_VersionManager__module", "a")), [("module", 60)]),
    (lambda i: VM.versions.fget(), TypeError, "versions() takes exactly 1 positional argument (0 given)", [V]),
    (lambda i: VM.versions.fset(i), TypeError, "versions() takes exactly 2 positional arguments (1 given)", [V]),
    (lambda i: VM.versions.fset(i, [], x=1), TypeError, "versions() got an unexpected keyword argument 'x'", [V]),
    (lambda i: raw().versions, AttributeError, UNSET % "versions", [V]),
    (lambda i: raw(versions=5).versions, TypeError, "Expected list, got int", [V]),
    (lambda i: raw(versions=LSub()).versions, TypeError, "Expected list, got LSub", [V]),
]


@pytest.mark.parametrize("call, exc, msg, tb", MODULE_FAILURES)
def test_member_failures_keep_state(call, exc, msg, tb):
    inst = VM("p", [("old", T[1])])
    name, old = inst.module, inst.versions
    with pytest.raises(exc) as ei:
        call(inst)
    assert str(ei.value) == msg
    tb_is(ei.value, *tb)
    notes = getattr(ei.value, "__notes__", None)  # only a str subclass earns an explanatory note
    assert (type(notes) is list and notes and all(type(n) is str for n in notes)) if "got S)" in msg else notes is None
    assert inst.module is name and inst.versions is old == [("old", T[1])]
    assert_no_leak(lambda: call(inst), repeat=300)


def test_construction_stores_objects():
    name = "".join(["pk", "g"])
    inst = VM(name, [])
    assert inst.module is name and inst.versions == [] and type(inst.versions) is list
    assert VM.__init__(inst, versions=None, module="q") is None and inst.module == "q"
    for text in ["", " a b ", "nodots"]:
        assert VM(text).module is text
    VM.module.fset(self=inst, module=name)
    assert VM.module.fget(self=inst) is name
    assert_no_leak(lambda: VM("p", {"a": date(2024, 1, 1), "b": T[2]}), repeat=300)


def test_slots():
    inst = VM("p")
    assert not hasattr(inst, "__dict__")
    pytest.raises(TypeError, weakref.ref, inst)
    pytest.raises(AttributeError, setattr, inst, "other", 1)
    pytest.raises(AttributeError, delattr, inst, "versions")
    del inst._VersionManager__module
    assert msg_of(lambda: inst.module) == UNSET % "module"
    inst.module = "q"
    assert inst._VersionManager__module == "q" and inst._VersionManager__versions is inst.versions
    assert raw(module=None).module is None and raw(versions=None).versions is None


def test_normalisation():
    beta = datetime(2024, 6, 1, 12, 30)
    inst = VM("p", {"alpha": date(2024, 1, 1), "beta": beta})
    (n1, s1), (n2, s2) = inst.versions
    assert (n1, n2, s2, type(s2), s2.tzinfo) == ("beta", "alpha", datetime(2024, 1, 1), datetime, None) and s1 is beta
    for start in (DSub(2024, 1, 2), datetime(2024, 2, 1, tzinfo=timezone.utc), "x", None):
        inst.versions = [("a", start)]
        assert inst.versions[0][1] is start
    for empty in (None, {}, [], (), ""):
        inst.versions = empty
        assert inst.versions == [] and type(inst.versions) is list


def test_module_globals_looked_up_per_entry(monkeypatch):
    inst = VM("p")
    monkeypatch.setattr(vm_mod, "date", DSub)
    inst.versions = [("a", DSub(2024, 1, 2))]
    assert type(inst.versions[0][1]) is datetime and inst.versions[0][1] == datetime(2024, 1, 2)
    inst.versions = [("b", plain := date(2024, 1, 3))]
    assert inst.versions[0][1] is plain
    monkeypatch.setattr(vm_mod, "datetime", lambda *a: ("made",) + a)
    inst.versions = [("c", DSub(2024, 1, 4))]
    assert inst.versions == [("c", ("made", 2024, 1, 4))]
    for name, start in [("datetime", DSub(2024, 1, 1)), ("date", T[1])]:  # `date` is looked up for every start
        monkeypatch.delattr(vm_mod, name)
        old = inst.versions
        with pytest.raises(NameError) as ei:
            inst.versions = [("a", start)]
        assert str(ei.value) == f"name '{name}' is not defined" and inst.versions is old
        tb_is(ei.value, V, C2D)
        assert_no_leak(lambda: setattr(inst, "versions", [("a", start)]), repeat=300)
    inst.versions = None
    assert inst.versions == []


def test_order_and_entries(monkeypatch):
    monkeypatch.setattr(builtins, "sorted", lambda *a, **k: [])  # the setter keeps the one captured at load
    who, NT = object(), namedtuple("NT", "name start")
    src = [t := ("a", T[1]), ["b", T[3]], ("c", T[1]), NT("d", date(2024, 3, 1)), iter(("e", T[2])), (who, T[5])]
    table = (inst := VM("p", src)).versions
    assert [n for n, _ in table] == [who, "b", "d", "e", "a", "c"] and type(table[2][1]) is datetime
    assert type(table) is list and table is not src and inst.versions is table
    assert all(type(e) is tuple and len(e) == 2 for e in table) and not any(e is t for e in table)
    assert names(VM("p", type("D", (dict,), {"items": lambda self: [("x", T[1]), ("y", T[2])]})(z=T[3]))) == ["y", "x"]
    assert names(VM("p", MappingProxyType({("v", T[1]): "no", ("w", T[2]): "no"}))) == ["w", "v"]
    assert names(VM("p", ["ab", "cd"])) == ["c", "a"]


VERSIONS_ERRORS = [  # (make the assigned value, exception, message; None: the message of Python's own sort)
    (lambda: 5, TypeError, "'int' object is not iterable"),
    (lambda: [5], TypeError, "'int' object is not iterable"),
    (lambda: [("a", T[1], 1)], ValueError, TOO_MANY),
    (lambda: [("a",)], ValueError, NEED1),
    (lambda: [[]], ValueError, NEED0),
    (lambda: ["a"], ValueError, NEED1),
    (lambda: ["abc"], ValueError, TOO_MANY),
    (lambda: [itertools.chain("abc", iter(lambda: boom("drained"), None))], ValueError, TOO_MANY),  # no fourth draw
    (lambda: [iter(())], ValueError, NEED0),
    (lambda: raising_gen(("a", T[1]), "outer"), Boom, "outer"),
    (lambda: [raising_gen("a", "entry")], Boom, "entry"),
    (lambda: [Hostile(lambda: boom("iter"), pair=("a", T[1]))], Boom, "iter"),
    (lambda: BadItems(a=T[1]), Boom, "items"),
    (lambda: IntItems(a=T[1]), TypeError, "'int' object is not iterable"),
    (lambda: [("a", T[1]), ("b", T[2].replace(tzinfo=timezone.utc))], TypeError, None),
    (lambda: [("a", T[1]), ("b", "x")], TypeError, None),
    (lambda: [("a", T[1]), ("b", DSub(2024, 1, 1))], TypeError, None),
]


@pytest.mark.parametrize("make, exc, msg", VERSIONS_ERRORS)
def test_versions_setter_errors(make, exc, msg):
    inst = VM("p", [("old", T[1])])
    old, fresh = inst.versions, VM.__new__(VM)
    msg = msg or msg_of(lambda: sorted(make(), key=lambda i: i[1], reverse=True))
    with pytest.raises(exc) as ei:
        inst.versions = make()
    assert str(ei.value) == msg and inst.versions is old == [("old", T[1])] and (exc is not Boom or ei.value is Boom.last)
    tb_is(ei.value, V)
    for target in (inst, fresh):  # a failed constructor keeps the new name and the previous (or no) table
        with pytest.raises(exc) as ei:
            target.__init__("q", make())
        assert str(ei.value) == msg and target.module == "q"
        tb_is(ei.value, ("__init__", 50), V)
    assert inst.versions is old and not hasattr(fresh, "versions")
    assert_no_leak(lambda: inst.__init__("q", make()), repeat=300)


def mutating(kind, where, inst):
    lst = []
    act = {"grow": lambda: lst.append(("c", T[1])), "shrink": lambda: lst.__delitem__(slice(0, 1)),
           "clear": lst.clear, "reenter": lambda: setattr(inst, "versions", [("z", T[6])])}[kind]
    lst += ([("a", T[3]), Hostile(act, pair=("h", T[5])), ("b", T[2])] if where == "iter"
            else [("a", Hostile(act, n=3)), ("h", Hostile(act, n=5)), ("b", Hostile(act, n=2))])
    return lst


@pytest.mark.parametrize("kind, where, expected", [
    ("grow", "iter", "habc"), ("shrink", "iter", "ha"), ("clear", "iter", "ha"), ("reenter", "iter", "hab"),
    ("grow", "lt", "hab"), ("shrink", "lt", "hab"), ("clear", "lt", "hab"), ("reenter", "lt", "hab"),
])
def test_hostile_mutation_during_assignment(kind, where, expected):
    inst = VM("p")
    inst.versions = mutating(kind, where, inst)
    assert "".join(names(inst)) == expected
    assert_no_leak(lambda: setattr(inst, "versions", mutating(kind, where, inst)), repeat=300)
