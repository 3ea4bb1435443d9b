"""Python code run in the middle of a call: no crash, and every answer is the one plain attribute
access and calls through the stored objects would give at that moment."""

import gc
import sys
from datetime import date, datetime

import pytest

from conftest import VM, run_python, tb_entries, vm_mod

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
])
def test_table_reached_through_gc_sorts_as_sorted_would(late, outcome):
    first = ("marker-ok", OLD)

    def entries():
        yield first
        for table in half_built_tables(first):
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
