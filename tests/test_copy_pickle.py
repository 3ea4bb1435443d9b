"""copy and pickle of the member functions: themselves when copied, by reference when pickled."""

import copy
import io
import pickle
import re
import sys

import pytest

from conftest import VM, assert_no_leak, run_python, vm_mod

FUNCTIONS = {
    "__init__": lambda: VM.__init__,
    "get_module": lambda: VM.get_module,
    "__call__": lambda: VM.__call__,
    "module getter": lambda: VM.module.fget,
    "module setter": lambda: VM.module.fset,
    "versions getter": lambda: VM.versions.fget,
    "versions setter": lambda: VM.versions.fset,
    "current": lambda: VM.current.fget,
    "last": lambda: VM.last.fget,
}
PICKLERS = {"C": (pickle.Pickler, pickle.loads), "Python": (pickle._Pickler, pickle._loads)}


def dumps(obj, protocol, pickler=pickle.Pickler):
    buf = io.BytesIO()
    pickler(buf, protocol).dump(obj)
    return buf.getvalue()


@pytest.mark.parametrize("which", FUNCTIONS)
def test_copies_are_the_function_itself(which):
    f = FUNCTIONS[which]()
    assert copy.copy(f) is f
    assert copy.deepcopy(f) is f
    nested = copy.deepcopy({"f": [f, f]})
    assert nested["f"][0] is f and nested["f"][1] is f


@pytest.mark.parametrize("impl", PICKLERS)
@pytest.mark.parametrize("which", FUNCTIONS)
def test_pickle_round_trip_gives_the_same_object(which, impl):
    f = FUNCTIONS[which]()
    pickler, loads = PICKLERS[impl]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        data = dumps(f, protocol, pickler)
        assert b"quorlin.version_manager" in data and b"code" not in data  # a reference, no code
        assert loads(data) is f, protocol


def test_pickles_load_in_a_fresh_interpreter():
    data = {p: [pickle.dumps(FUNCTIONS[w](), p) for w in FUNCTIONS] for p in range(pickle.HIGHEST_PROTOCOL + 1)}
    proc = run_python(f"""
        import pickle
        from quorlin.version_manager import VersionManager as VM
        expected = [VM.__init__, VM.get_module, VM.__call__, VM.module.fget, VM.module.fset,
                    VM.versions.fget, VM.versions.fset, VM.current.fget, VM.last.fget]
        for protocol, blobs in {data!r}.items():
            assert [pickle.loads(b) for b in blobs] == expected, protocol
            assert all(pickle.loads(b) is e for b, e in zip(blobs, expected)), protocol
        print("loaded")
    """)
    assert proc.stdout.split() == ["loaded"]


def test_bound_methods_pickle_with_their_instance():
    vm = VM("pkg", [("v1", vm_mod.datetime(2024, 1, 1))])
    try:
        for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
            bound = pickle.loads(pickle.dumps(vm.__call__, protocol))
            assert bound.__func__ is VM.__call__
            assert bound.__self__.module == "pkg" and bound.__self__.versions == vm.versions
    finally:
        del VM.__slotnames__  # the cache that pickling an instance leaves on its class


def test_wrapped_members_and_local_functions_refuse_clearly(tmp_path):
    # A logger whose decorators wrap the functions: the wrappers stand where the functions' names
    # lead, so the functions themselves cannot be pickled by reference, and say so. The sort key,
    # a local function, is reached through a `sorted` replaced before the import.
    (tmp_path / "logger.py").write_text(
        "import functools\n"
        "def logging(prefix):\n"
        "    def decorate(f):\n"
        "        if isinstance(f, staticmethod):\n"
        "            inner = f.__func__\n"
        "            return staticmethod(functools.wraps(inner)(lambda *a, **k: inner(*a, **k)))\n"
        "        return functools.wraps(f)(lambda *a, **k: f(*a, **k))\n"
        "    return decorate\n")
    proc = run_python("""
        import builtins, copy, datetime, pickle
        keys = []
        real_sorted = builtins.sorted
        builtins.sorted = lambda table, key, reverse: keys.append(key) or real_sorted(table, key=key, reverse=reverse)
        from quorlin.version_manager import VersionManager as VM
        builtins.sorted = real_sorted
        utc = datetime.timezone.utc
        VM("pkg", {"a": datetime.datetime(2024, 1, 1, tzinfo=utc), "b": datetime.datetime(2025, 1, 1, tzinfo=utc)})
        for wrapper in (VM.__init__, VM.get_module, VM.__call__):
            inner = wrapper.__wrapped__
            assert type(inner).__name__ == "function" and type(inner) is not type(wrapper)
            assert copy.copy(inner) is inner and copy.deepcopy(inner) is inner
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                assert pickle.loads(pickle.dumps(wrapper, protocol)) is wrapper
                try:
                    pickle.dumps(inner, protocol)
                except pickle.PicklingError as e:
                    print(e)
        [key] = keys
        assert copy.copy(key) is key and copy.deepcopy(key) is key
        def outer():
            return lambda item: item[1]
        def probe():
            pass
        probe.__qualname__, probe.__module__ = key.__qualname__, key.__module__
        for local in (outer(), key, probe):  # refused alike, as a Python function of that name is
            try:
                pickle.dumps(local)
            except (pickle.PicklingError, AttributeError) as e:
                print(type(e).__name__, str(e).replace(repr(local), "<the function>"))
    """, env={"PYTHONPATH": str(tmp_path)})
    lines = proc.stdout.splitlines()
    assert len(lines) == 3 * (pickle.HIGHEST_PROTOCOL + 1) + 3
    for name, line in zip(["__init__", "get_module", "__call__"], lines[::pickle.HIGHEST_PROTOCOL + 1]):
        assert f"<function VersionManager.{name} at 0x" in line
        assert f"not the same object as quorlin.version_manager.VersionManager.{name}" in line
    assert lines[-2].split()[0] == lines[-3].split()[0]
    assert lines[-2] == lines[-1] and "local object" in lines[-2]


@pytest.fixture
def restore_names():
    """Undo changes to the __qualname__ and __module__ of the member functions."""
    saved = [(f, f.__qualname__, f.__module__) for f in (g() for g in FUNCTIONS.values())]
    yield
    for f, qualname, module in saved:
        f.__qualname__ = qualname
        f.__module__ = module


def python_function_refusal(f):
    """What pickle says of a Python function with f's module and qualified name, said of f."""
    def probe():
        pass
    probe.__module__, probe.__qualname__ = f.__module__, f.__qualname__
    with pytest.raises(pickle.PicklingError) as info:
        pickle.dumps(probe)
    return re.escape(str(info.value).replace(repr(probe), repr(f)))


def test_pickle_follows_the_names_as_changed(restore_names, monkeypatch):
    getter = VM.current.fget
    getter.__qualname__ = "VersionManager.last"  # a property, but not this function's
    with pytest.raises(pickle.PicklingError, match="not the same object as quorlin.version_manager.VersionManager.last"):
        pickle.dumps(getter)
    getter.__qualname__ = "VersionManager.nothing"
    with pytest.raises(pickle.PicklingError, match=python_function_refusal(getter)):
        pickle.dumps(getter)
    # Renamed along with a new home, the function pickles from there.
    monkeypatch.setattr(vm_mod, "Elsewhere", type("Elsewhere", (), {"clock": VM.current, "__module__": vm_mod.__name__}), raising=False)
    getter.__qualname__ = "Elsewhere.clock"
    assert pickle.loads(pickle.dumps(getter, 2)) is getter
    # Without a module to look in, pickle searches the loaded modules as it does for any function.
    f = VM.__init__
    del f.__module__
    assert pickle.loads(pickle.dumps(f)) is f


def test_errors_while_resolving_propagate(restore_names, monkeypatch):
    class Hostile:
        def __getattr__(self, name):
            raise KeyError(name)

    class Property(property):
        fset = property(lambda self: 1 / 0)

    monkeypatch.setattr(vm_mod, "Hostile", Hostile(), raising=False)
    monkeypatch.setattr(vm_mod, "Holder", type("Holder", (), {"p": Property(lambda self: 1)}), raising=False)
    getter = VM.current.fget
    class UnhashableName(str):
        def __hash__(self):
            raise LookupError("no hash")

    getter.__module__ = UnhashableName("quorlin.version_manager")
    with pytest.raises(LookupError, match="no hash"):
        pickle.dumps(getter)
    getter.__module__ = vm_mod.__name__
    getter.__qualname__ = "Hostile.clock"
    with pytest.raises(KeyError, match="clock"):
        pickle.dumps(getter)
    getter.__qualname__ = "Holder.p"
    with pytest.raises(ZeroDivisionError):
        pickle.dumps(getter)
    getter.__qualname__ = "VersionManager.current"
    monkeypatch.setitem(sys.modules, "operator", None)
    with pytest.raises(ImportError):
        pickle.dumps(getter)
    assert copy.copy(getter) is getter  # copying never resolves anything


def test_no_leak(restore_names):
    for f in (VM.current.fget, VM.versions.fset, VM.__init__):
        assert_no_leak(lambda: (pickle.loads(pickle.dumps(f)), copy.copy(f), copy.deepcopy(f)), repeat=500)
    getter = VM.last.fget
    getter.__qualname__ = "VersionManager.current"
    assert_no_leak(lambda: pickle.dumps(getter), repeat=500)
