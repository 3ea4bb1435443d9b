"""Python code run in the middle of a call: no crash, and every answer is the one plain attribute
access and calls through the stored objects would give at that moment."""

import gc
import sys
import textwrap
import types
import weakref
from datetime import date, datetime

import pytest

import reference
from conftest import LOADED, VM, run_python, tb_entries, vm_mod

OLD, MID, NEW = datetime(2020, 1, 1), datetime(2021, 1, 1), datetime(2022, 1, 1)
NS = VM.__dict__


# --- the versions setter: its half-built table reached through the garbage collector ---------

def half_built_tables(given):
    """Lists that hold a new pair named like the pair `given` (the setter's table under construction)."""
    return [o for o in gc.get_objects() if type(o) is list and
            any(type(t) is tuple and len(t) == 2 and t[0] is given[0] and t is not given for t in o)]


@pytest.mark.parametrize("intruder, error, message", [
    ([], IndexError, "list index out of range"),
    (("x",), IndexError, "tuple index out of range"),
    (("x", "not a date"), TypeError, "'<' not supported between instances of"),
])
@pytest.mark.parametrize("shape", ["iterator", "entry", "dict_items"])
def test_table_reached_through_gc_is_checked_before_the_sort(intruder, error, message, shape):
    first = ("marker-" + shape, OLD)  # a str object of its own, found by identity
    injected = []

    def inject():
        for table in half_built_tables(first):
            table.append(intruder)
            injected.append(table)

    class Entry:  # unpacked through its iterator, which runs the injection
        def __init__(self, pair): self.pair = pair  # noqa: E704
        def __iter__(self): inject(); return iter(self.pair)  # noqa: E702,E704

    def entries():
        yield first
        inject()
        yield ("b", NEW)

    class Items(dict):
        def items(self): return [first, Entry(("b", NEW))]  # noqa: E704

    raw = {"iterator": entries, "entry": lambda: [first, Entry(("b", NEW))],
           "dict_items": lambda: Items(a=1)}[shape]()
    vm = VM("p", [("kept", MID)])
    before = vm.versions
    with pytest.raises(error, match=message.replace("(", r"\(")) as info:
        vm.versions = raw
    assert injected  # the hook did reach the list
    assert vm.versions is before and before == [("kept", MID)]
    assert tb_entries(info.value)[-1][0].endswith("versions.lambda" if error is IndexError else "versions")


@pytest.mark.parametrize("late, outcome", [
    (datetime(2030, 1, 1), ["late", "b", "marker-ok"]),  # sorted into its place
    (date(2030, 1, 1), "'<' not supported between instances of 'datetime.date' and 'datetime.datetime'"),
    (None, ["b", "marker-ok"]),  # only kept: sorted() returns a new list all the same
    ("id", ["b", "marker-ok"]),  # only its id noted, which the new list cannot share while it lives
])
def test_table_reached_through_gc_sorts_as_sorted_would(late, outcome):
    first = ("marker-ok", OLD)
    kept = []

    def entries():
        yield first
        for table in half_built_tables(first):
            kept.append(id(table) if late == "id" else table)
            if late == "id":
                continue
            if late is not None:
                table.append(("late", late))  # never went through the conversion
        yield ("b", NEW)

    vm = VM("p", [])
    if isinstance(outcome, str):
        with pytest.raises(TypeError, match=outcome):
            vm.versions = entries()
        assert vm.versions == []
    else:
        vm.versions = entries()
        assert [name for name, _ in vm.versions] == outcome
        assert kept and all(vm.versions is not table and id(vm.versions) != table for table in kept)
        assert sys.getsizeof(vm.versions) == sys.getsizeof(sorted(vm.versions))  # allocated as a copy


# --- descriptors re-initialised in place: the class's version tag does not change ------------

@pytest.fixture
def reinit(monkeypatch):
    """reinit(name, *args) runs __init__ again on the class's own descriptor; undone afterwards."""
    undo = []

    def run(name, *args):
        obj = NS[name]
        saved = (obj.fget, obj.fset) if isinstance(obj, property) else (obj.__func__,)
        undo.append((obj, saved))
        type(obj).__init__(obj, *args)

    yield run
    for obj, saved in reversed(undo):
        type(obj).__init__(obj, *saved)


@pytest.fixture
def imports(monkeypatch):
    """The module's import_module records and answers the names it is asked for."""
    seen = []
    monkeypatch.setattr(vm_mod, "import_module", lambda *, name: seen.append(name) or name)
    return seen


def warm(vm):
    for _ in range(3):  # any cache the module keeps is filled before the change
        vm.current, vm.last, vm()


def test_reinitialised_module_getter_is_what_the_members_read(reinit, imports):
    vm = VM("p", [("a", OLD)])
    warm(vm)
    reinit("module", lambda self: "other", NS["module"].fset)
    assert (vm.module, vm.last, vm.current, vm()) == ("other", "other.a", "other.a", "other.a")
    vm.versions = []
    with pytest.raises(ModuleNotFoundError, match='Module "other" last version not found'):
        vm.last


def test_reinitialised_versions_getter_is_what_the_members_read(reinit, imports):
    vm = VM("p", [("a", OLD)])
    warm(vm)
    reinit("versions", lambda self: [("z", OLD)], NS["versions"].fset)
    assert (vm.last, vm.current, vm()) == ("p.z", "p.z", "p.z")


def test_reinitialised_setters_are_what_the_constructor_runs(reinit):
    calls = []
    VM("p", [])  # warm
    reinit("module", NS["module"].fget, lambda self, value: calls.append(("module", value)))
    reinit("versions", NS["versions"].fget, lambda self, value: calls.append(("versions", value)))
    vm = VM("q", {"a": OLD})
    assert calls == [("module", "q"), ("versions", {"a": OLD})]
    with pytest.raises(AttributeError):
        vm.module  # neither slot was written


def test_reinitialised_current_is_what_calling_returns(reinit, imports):
    vm = VM("p", [("a", OLD)])
    warm(vm)
    reinit("current", lambda self: "replaced")
    assert vm() == "replaced"


def test_reinitialised_get_module_is_what_current_and_last_call(reinit, imports):
    vm = VM("p", [("a", OLD)])
    warm(vm)
    reinit("get_module", lambda **kw: ("mine", tuple(kw.items())))
    want = ("mine", (("module", "p"), ("version", "a"), ("current", "#")))
    assert (vm.last, vm.current, vm()) == (want, want, want)
    assert imports == ["p.a"] * 9  # only the warm-up imported


def test_class_dict_changed_behind_the_class(monkeypatch, imports):
    """The class namespace reached through gc and changed without the class knowing."""
    vm = VM("p", [("a", OLD)])
    warm(vm)
    ns = next(o for o in gc.get_referents(VM) if type(o) is dict and "last" in o)
    original = ns["module"]
    ns["module"] = property(lambda self: "gc")
    try:  # whichever property the interpreter's own look-up finds now, the members use the same
        want = getattr(vm, "module") + ".a"
        assert (vm.last, vm.current, vm()) == (want,) * 3
    finally:
        ns["module"] = original
        VM.last = VM.last  # let the class notice again
    assert vm.last == "p.a"


def test_instance_class_changed(imports):
    class Other:
        __slots__ = ("_VersionManager__module", "_VersionManager__versions")
        module = property(lambda self: "o")
        versions = VM.versions
        current = VM.current
        last = VM.last
        __call__ = VM.__call__

    vm = VM("p", [("a", OLD)])
    warm(vm)
    vm.__class__ = Other
    assert (vm.last, vm.current, vm()) == ("o.a",) * 3


# --- no dict watcher left -------------------------------------------------------------------

def test_import_and_work_without_a_free_dict_watcher():
    proc = run_python("""
        import ctypes, sys
        from datetime import datetime
        Callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
        add = ctypes.pythonapi.PyDict_AddWatcher
        add.argtypes, add.restype = [Callback], ctypes.c_int
        keep = Callback(lambda *a: 0)
        taken = 0
        while True:
            try:
                add(keep)
            except RuntimeError:
                break
            taken += 1
        assert taken >= 1
        import quorlin.version_manager as m
        seen = []
        m.import_module = lambda *, name: seen.append(name) or name
        vm = m.VersionManager("p", {"a": datetime(2020, 1, 1), "b": datetime(2999, 1, 1)})
        assert (vm.current, vm.last, vm()) == ("p.a", "p.b", "p.a")
        class Clock:
            @staticmethod
            def now(): return datetime(3000, 1, 1)
        m.datetime = Clock
        assert vm.current == "p.b"
        m.import_module = lambda *, name: "again " + name
        assert vm.last == "again p.b"
        type(m.VersionManager.__dict__["module"]).__init__(m.VersionManager.__dict__["module"], lambda self: "q")
        assert vm.last == "again q.b"
        print("ok", taken)
    """)
    assert proc.stdout.startswith("ok")


# --- get_module's handler of a caught ModuleNotFoundError -----------------------------------

def test_handler_shows_the_caught_error_while_it_runs(monkeypatch):
    seen = []

    class Name(str):
        def __eq__(self, other):
            seen.append(("eq", sys.exc_info()[1]))
            return False
        __hash__ = str.__hash__

    class Missing(ModuleNotFoundError):
        @property
        def name(self):
            seen.append(("name", sys.exc_info()[1]))
            return Name("elsewhere")

    caught = Missing("gone")
    monkeypatch.setattr(vm_mod, "import_module", lambda *, name: (_ for _ in ()).throw(caught))
    outer = ValueError("outer")
    try:
        raise outer
    except ValueError:
        with pytest.raises(Missing) as info:
            VM.get_module(module="p", version="v")
        assert sys.exc_info()[1] is outer  # as it was before the call
    assert info.value is caught
    assert seen == [("name", caught), ("eq", caught), ("eq", caught)]


def chain(exc, limit=10):
    out = []
    while exc is not None and len(out) < limit:
        out.append(exc)
        exc = exc.__context__
    return out


def test_error_raised_in_the_handler_is_chained_as_python_chains_it(monkeypatch):
    """An __eq__ that raises the caught error's own context: Python breaks the cycle."""
    first = KeyError("first")

    class Name:
        def __eq__(self, other):
            raise first

    def failing_import(*, name):
        try:
            raise first
        except KeyError:
            raise ModuleNotFoundError("gone", name=Name())

    monkeypatch.setattr(vm_mod, "import_module", failing_import)
    with pytest.raises(KeyError) as info:
        VM.get_module(module="p", version="v")
    got = chain(info.value)
    assert got[0] is first and type(got[1]) is ModuleNotFoundError and len(got) == 2
    assert first.__context__ is got[1] and got[1].__context__ is None

    # the same steps written in Python give the same chain
    try:
        try:
            failing_import(name="p.v")
        except ModuleNotFoundError as exc:
            exc.name == "p"
    except KeyError as e:
        assert [type(x) for x in chain(e)] == [type(x) for x in got]


def test_translated_error_context_and_cause(monkeypatch):
    original = ModuleNotFoundError("gone", name="p.v")

    def failing_import(*, name):
        raise original

    monkeypatch.setattr(vm_mod, "import_module", failing_import)
    outer = ValueError("outer")
    try:
        raise outer
    except ValueError:
        with pytest.raises(ModuleNotFoundError, match='Module "p.v" not found') as info:
            VM.get_module(module="p", version="v")
        assert sys.exc_info()[1] is outer
    err = info.value
    assert err.__cause__ is original and err.__context__ is original and err.__suppress_context__
    assert original.__context__ is outer  # from where it was raised, untouched by the handler


# --- class hooks: every read and write goes through them, as on the model ------------------

@pytest.fixture
def sides(monkeypatch):
    """The extension's module and the model, each with import_module answering the name asked."""
    for mod in (vm_mod, reference):
        monkeypatch.setattr(mod, "import_module", lambda *, name: "imported " + name)
    return [vm_mod, reference]


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as e:
        return type(e).__name__, str(e)


HOOKS = {
    "__getattribute__": lambda log: lambda self, name: log.append(name) or object.__getattribute__(self, name),
    "__getattr__": lambda log: lambda self, name: log.append(name) or "fallback",
    "__setattr__": lambda log: lambda self, name, value: log.append(name) or object.__setattr__(self, name, value),
    "__delattr__": lambda log: lambda self, name: log.append(name) or object.__delattr__(self, name),
}


def hooked_program(cls):
    vm = cls("p", [("#", NEW), ("a", OLD)])  # "#": the function path, whose attribute is missing
    got = [outcome(vm), outcome(lambda: vm.current), outcome(lambda: vm.last)]
    vm.versions = [("a", OLD)]
    got += [outcome(vm), outcome(lambda: vm.last), outcome(lambda: vm.module)]
    got.append(outcome(lambda: delattr(vm, "_VersionManager__module")))
    got.append(outcome(lambda: setattr(vm, "module", "q")))
    return got + [outcome(lambda: vm.last)]


@pytest.mark.parametrize("hook", HOOKS)
def test_class_hooks_run_as_on_the_model(sides, hook):
    got = []
    for mod in sides:
        cls = mod.VersionManager
        hooked_program(cls)  # whatever the module remembers is filled before the hook comes
        log = []
        setattr(cls, hook, HOOKS[hook](log))
        try:
            got.append((hooked_program(cls), log))
        finally:
            delattr(cls, hook)
    assert got[0] == got[1]
    assert got[0][1]  # the hook did run


@pytest.mark.parametrize("slot, other", [
    ("_VersionManager__module", "d"),  # another class's slot, past the end of an instance
    ("_VersionManager__versions", "a"),
    ("_VersionManager__module", "_VersionManager__versions"),  # the class's other slot
])
def test_slot_descriptors_replaced_read_as_on_the_model(sides, monkeypatch, slot, other):
    foreign = type("Foreign", (), {"__slots__": ("a", "b", "c", "d")})
    got = []
    for cls in (mod.VersionManager for mod in sides):
        vm = cls("p", [("a", OLD)])
        with monkeypatch.context() as patch:
            patch.setattr(cls, slot, (foreign if len(other) == 1 else cls).__dict__[other])
            got.append([outcome(f) for f in (vm, lambda: vm.last, lambda: vm.module, lambda: cls("q", []).module)])
    assert got[0] == got[1]


# --- datetimes whose fields are out of range (made from a pickled state) ---------------------

ODD = {
    "day 255": datetime(b"\x07\xd1\x01\xff" + bytes(6)),
    "hour 255": datetime(b"\x07\xd1\x01\x1f\xff" + bytes(5)),
    "microsecond 2**24-1": datetime(b"\x07\xd1\x01\x01" + bytes(3) + b"\xff\xff\xff"),
    "30 February": date(b"\x07\xd1\x02\x1e"),
    "year 0": date(b"\x00\x00\x01\x01"),
}


@pytest.mark.parametrize("odd", ODD.values(), ids=ODD)
def test_odd_datetimes_compare_as_datetime_compares_them(sides, monkeypatch, odd):
    table = [("a", datetime(2001, 2, 1)), ("s", odd), ("b", datetime(2001, 1, 2)), ("c", datetime(2001, 1, 1, 0, 0, 1))]
    clocks = [odd, datetime(2001, 1, 2), datetime(2001, 1, 31, 23), datetime(2001, 1, 1, 0, 0, 1, 1)]
    got = []
    for mod in sides:
        cls = mod.VersionManager
        try:
            vm = cls("p", table)
        except ValueError as e:  # a date that no datetime can hold, at the line of the call
            got.append(("ValueError", str(e), [line for _, line in tb_entries(e)]))
            continue
        row = [[name for name, _ in vm.versions]]
        vm = cls("p", [(name, start) for name, start in table if type(start) is datetime])
        for clock in clocks:  # the clock read by the model's and the module's own `datetime.now()`
            with monkeypatch.context() as patch:
                patch.setattr(mod, "datetime", types.SimpleNamespace(now=lambda: clock))
                row.append(outcome(lambda: vm.current))
        got.append(row)
    assert got[0][:2] == got[1][:2]
    if type(odd) is date:
        assert got[0][2] == [50, 86, 82]
    else:
        assert got[0] == got[1]
        assert got[0][0] == [name for name, _ in sorted(table, key=lambda item: item[1], reverse=True)]


# --- nothing remembered keeps alive what the plain path releases ---------------------------

@pytest.mark.parametrize("release", [
    # a property's function that a re-check of the class read, the original then put back
    """VM = m.VersionManager
    orig = VM.__dict__["versions"]
    f = lambda self: [("v1", datetime(2020, 1, 1))]
    ref = weakref.ref(f)
    VM.versions = property(f, orig.fset)
    vm.last
    VM.versions = orig
    del f""",
    """VM = m.VersionManager
    orig = VM.__dict__["get_module"]
    f = lambda **kw: None
    ref = weakref.ref(f)
    VM.get_module = staticmethod(f)
    vm.last
    VM.get_module = orig
    del f""",
    # a module found before, then dropped from sys.modules
    """mod = sys.modules.pop("lp.v1")
    del sys.modules["lp"].v1
    ref = weakref.ref(mod)
    del mod""",
    # a dict that served as sys.modules for a while
    """class Modules(dict):
        pass
    saved = sys.modules
    sys.modules = Modules(saved)
    ref = weakref.ref(sys.modules)
    vm.last
    sys.modules = saved""",
    # the class, once nothing of the module's holds it
    """ref = weakref.ref(m.VersionManager)
    del m.VersionManager, vm""",
    # a function of the import system, replaced
    """import importlib._bootstrap as bootstrap
    ref = weakref.ref(bootstrap._sanity_check)
    bootstrap._sanity_check = lambda name, package, level: None
    vm.last""",
], ids=["property", "staticmethod", "module", "sys.modules", "class", "importlib"])
def test_nothing_remembered_is_kept_alive(release):
    proc = run_python(LOADED + "import gc, weakref\nfor _ in range(3):\n    vm.last, vm.current\n" +
                      textwrap.dedent("    " + release) + "\ngc.collect()\nprint(ref() is None)")
    assert proc.stdout == "True\n"


def test_no_weak_reference_to_the_class():
    """weakref.getweakrefs() shows every one: the class has only what any class has."""
    VM("p", [])  # the class checked by now
    assert weakref.getweakrefcount(VM) == weakref.getweakrefcount(type("Plain", (), {}))
