"""A loaded version is returned without calling the standard import_module only while nothing could
tell the difference: each condition broken here makes the module call import_module again, with the
same result as the call itself gives."""

import importlib
import importlib._bootstrap as bootstrap
import inspect
import sys
import textwrap
import threading
import traceback
from datetime import datetime

import pytest

from conftest import LOADED, VM, run_python, vm_mod


@pytest.fixture
def pkg(make_package):
    name = make_package("skippkg", {"__init__.py": "", "v1.py": "X = 1\n", "v2.py": "X = 2\n"})
    for v in ("v1", "v2"):
        importlib.import_module(f"{name}.{v}")
    return name


def results(vm):
    """Everything that goes through the import: last, current, a call, get_module."""
    return [vm.last, vm.current, vm(), VM.get_module(module=vm.module, version="v1", current="#")]


PAST, FUTURE = datetime(2020, 1, 1), datetime(2999, 1, 1)


@pytest.fixture
def vm(pkg):
    return VM(pkg, [("v1", PAST), ("v2", FUTURE)])


def test_loaded_versions_are_what_the_call_returns(vm):
    v1, v2 = (importlib.import_module(f"{vm.module}.{v}") for v in ("v1", "v2"))
    for _ in range(3):
        assert results(vm) == [v2, v1, v1, v1]
    assert VM.get_module(module=vm.module, version="v2") is v2


def calls_seen(vm, hook_in, hook_out):
    """What `hook_in` records while `results(vm)` runs, and the results."""
    hook_in()
    try:
        got = results(vm)
    finally:
        hook_out()
    return got


def import_module_frames(seen):
    return [e for e in seen if e == bootstrap_code("import_module")]


def bootstrap_code(name):
    return importlib.import_module.__code__ if name == "import_module" else getattr(bootstrap, name).__code__


# --- observers: each sees the import_module call ----------------------------------------------

def test_profiler_sees_the_call(vm):
    seen = []
    want = results(vm)
    got = calls_seen(vm, lambda: sys.setprofile(lambda f, e, a: e == "call" and seen.append(f.f_code)),
                     lambda: sys.setprofile(None))
    assert got == want and len(import_module_frames(seen)) == 4


def test_tracer_sees_the_call(vm):
    seen = []
    want = results(vm)

    def tracer(frame, event, arg):
        if event == "call":
            seen.append(frame.f_code)
        return None

    got = calls_seen(vm, lambda: sys.settrace(tracer), lambda: sys.settrace(None))
    assert got == want and len(import_module_frames(seen)) == 4


@pytest.mark.parametrize("local", [False, True])
def test_monitoring_tool_sees_the_call(vm, local):
    mon, tool = sys.monitoring, 4
    seen = []
    want = results(vm)
    mon.use_tool_id(tool, "quorlin-test")
    try:
        mon.register_callback(tool, mon.events.PY_START, lambda code, offset: seen.append(code))
        if local:  # events on importlib's own code only
            mon.set_local_events(tool, importlib.import_module.__code__, mon.events.PY_START)
        else:
            mon.set_events(tool, mon.events.PY_START)
        got = results(vm)
    finally:
        mon.set_events(tool, 0)
        mon.set_local_events(tool, importlib.import_module.__code__, 0)
        mon.register_callback(tool, mon.events.PY_START, None)
        mon.free_tool_id(tool)
    assert got == want and len(import_module_frames(seen)) == 4


def test_every_global_event_sees_the_call(vm):
    """Each event that a tool sees in importlib's code when import_module is called directly, it sees
    there when the module would have made the call (each release has its own list of events)."""
    mon, tool = sys.monitoring, 4
    path = ["import_module", "_gcd_import", "_sanity_check", "_find_and_load", "_is_initializing"]
    codes = {bootstrap_code(n) for n in path if n == "import_module" or hasattr(bootstrap, n)}
    events = [e for n, e in vars(mon.events).items() if n.isupper() and e and e & (e - 1) == 0]
    name, checked = f"{vm.module}.v1", []
    results(vm)
    mon.use_tool_id(tool, "quorlin-test")
    try:
        for event in events:
            seen = []
            mon.register_callback(tool, event, lambda code, *args: seen.append(code in codes) and None)
            try:
                try:
                    mon.set_events(tool, event)
                except ValueError:  # C_RETURN and C_RAISE are set with CALL only
                    continue
                importlib.import_module(name)
                direct, seen[:] = any(seen), []
                results(vm)
            finally:
                mon.set_events(tool, 0)
                mon.register_callback(tool, event, None)
            assert any(seen) == direct, event
            checked += [event] if direct else []
    finally:
        mon.free_tool_id(tool)
    assert {mon.events.PY_START, mon.events.LINE} <= set(checked)


def test_monitoring_started_by_another_thread(vm):
    """Events set from another thread, while this one waits, reach this one's calls."""
    mon, tool = sys.monitoring, 4
    seen = []
    want = results(vm)
    mon.use_tool_id(tool, "quorlin-test")
    mon.register_callback(tool, mon.events.PY_START, lambda code, offset: seen.append(code))
    thread = threading.Thread(target=mon.set_events, args=(tool, mon.events.PY_START))
    try:
        thread.start()
        thread.join()
        got = results(vm)
    finally:
        mon.set_events(tool, 0)
        mon.register_callback(tool, mon.events.PY_START, None)
        mon.free_tool_id(tool)
    assert got == want and len(import_module_frames(seen)) == 4


def test_cprofile_sees_the_call(vm):
    import cProfile
    import pstats
    want = results(vm)
    prof = cProfile.Profile()
    got = prof.runcall(results, vm)
    stats = pstats.Stats(prof).stats
    calls = [v[1] for (file, line, func), v in stats.items() if func == "import_module"]
    assert got == want and calls == [4]


# --- the import system changed: the call is made and its answer given -------------------------

def test_patched_importlib_internals(vm, monkeypatch):
    seen = []
    original = bootstrap._find_and_load
    monkeypatch.setattr(bootstrap, "_find_and_load", lambda name, imp: seen.append(name) or original(name, imp))
    want = [importlib.import_module(n) for n in (f"{vm.module}.v2", f"{vm.module}.v1", f"{vm.module}.v1", f"{vm.module}.v1")]
    seen.clear()
    assert results(vm) == want and len(seen) == 4


def test_builtin_shadowed_in_importlib(vm, monkeypatch):
    seen = []
    monkeypatch.setattr(bootstrap, "getattr", lambda *a: seen.append(a[1]) or getattr(*a), raising=False)
    results(vm)
    assert seen.count("__spec__") == 4


def test_replaced_sys_modules(vm, monkeypatch):
    other = type(sys)(f"{vm.module}.v2")
    modules = dict(sys.modules)
    modules[f"{vm.module}.v2"] = other
    monkeypatch.setattr(sys, "modules", modules)
    assert vm.last is other  # what sys.modules.get() finds, as the call reads it


@pytest.mark.parametrize("change", ["replace", "delete", "spec", "initializing", "class"])
def test_what_was_found_is_read_again_after_a_change(vm, monkeypatch, change):
    path = f"{vm.module}.v2"
    found = sys.modules[path]
    for _ in range(3):
        assert vm.last is found  # remembered by now
    other = type(sys)(path)
    if change == "replace":
        monkeypatch.setitem(sys.modules, path, other)
        assert vm.last is other
    elif change == "delete":  # imported afresh, as the call does
        monkeypatch.delitem(sys.modules, path)
        assert vm.last is sys.modules[path] is not found
    elif change == "spec":  # a spec whose reads could run code: the call reads it
        class Spec:
            @property
            def _initializing(self):
                seen.append(1)
                return False
        seen = []
        monkeypatch.setattr(found, "__spec__", Spec())
        assert vm.last is found and seen == [1]
    elif change == "initializing":
        monkeypatch.setattr(found.__spec__, "_initializing", 0, raising=False)  # falsy, not False
        assert vm.last is found
    else:
        class Module(type(sys)):
            def __getattribute__(self, name):
                seen.append(name)
                return super().__getattribute__(name)
        seen = []
        monkeypatch.setattr(found, "__class__", Module)
        assert vm.last is found and "__spec__" in seen


READ = []


@pytest.mark.parametrize("spec_class", [
    int,  # a builtin type
    type("Slotted", (), {"__slots__": ()}),  # no __dict__, so no _initializing
    type("Meta", (type,), {"__getattribute__": lambda c, n: READ.append(n) or type.__getattribute__(c, n)})("Spec", (), {}),
])
def test_module_spec_rebound_to_another_class(vm, monkeypatch, spec_class):
    """importlib reads a ModuleSpec's _initializing on that object alone, never on the class it names."""
    found = sys.modules[f"{vm.module}.v2"]
    with monkeypatch.context() as patch:
        patch.setattr(bootstrap, "ModuleSpec", spec_class)
        if spec_class is not int:
            patch.setattr(found, "__spec__", spec_class())
        READ.clear()
        got = vm.last
    assert got is found and "_initializing" not in READ


def test_none_in_sys_modules(vm, monkeypatch):
    monkeypatch.setitem(sys.modules, f"{vm.module}.v2", None)
    with pytest.raises(ModuleNotFoundError, match=f'Module "{vm.module}.v2" not found') as info:
        vm.last
    assert "None in sys.modules" in str(info.value.__cause__)


def lock_taken(fn):
    """fn()'s result, and whether it ran importlib's code for a module being initialised: functions of
    importlib._bootstrap off the path of a loaded module (which ones differs between releases; only
    the call runs them)."""
    import types
    on_path = {"_gcd_import", "_sanity_check", "_find_and_load", "_is_initializing"}
    owners = [bootstrap, *(c for c in vars(bootstrap).values() if isinstance(c, type))]
    codes = {f.__code__ for owner in owners for f in vars(owner).values()
             if isinstance(f, types.FunctionType) and f.__name__ not in on_path}
    mon, tool, seen = sys.monitoring, 4, []
    mon.use_tool_id(tool, "quorlin-test")
    try:
        mon.register_callback(tool, mon.events.PY_START, lambda code, offset: seen.append(code.co_name))
        for code in codes:
            mon.set_local_events(tool, code, mon.events.PY_START)
        got = fn()
    finally:
        for code in codes:
            mon.set_local_events(tool, code, 0)
        mon.register_callback(tool, mon.events.PY_START, None)
        mon.free_tool_id(tool)
    return got, bool(seen)


def test_module_being_initialised(vm, monkeypatch):
    # As importlib itself treats such a module in this process.
    name = f"{vm.module}.v2"
    monkeypatch.setattr(sys.modules[name].__spec__, "_initializing", True, raising=False)
    expected = lock_taken(lambda: importlib.import_module(name))
    assert lock_taken(lambda: vm.last) == expected == (sys.modules[name], True)


@pytest.mark.parametrize("change", [
    "spec._initializing = True",  # a plain attribute store, which no dict watcher sees
    "vars(spec)\nspec._initializing = True",  # the same after the ModuleSpec's __dict__ was made
    "old = spec.__dict__\nspec.__dict__ = dict(old, _initializing=True)",  # old kept, unchanged
    "vars(spec)['_initializing'] = True",
])
def test_module_found_before_is_read_again_when_being_initialised(change):
    """In a fresh interpreter, so that the module is found and remembered first."""
    proc = run_python(LOADED + textwrap.dedent(inspect.getsource(lock_taken)) + textwrap.dedent("""
        import importlib._bootstrap as bootstrap
        loaded = sys.modules["lp.v1"]
        for _ in range(3):
            assert vm.last is loaded
        spec = loaded.__spec__
    """) + change + textwrap.dedent("""
        got = [lock_taken(lambda: vm.last), lock_taken(lambda: m.VersionManager.get_module(module="lp", version="v1"))]
        assert got == [(loaded, True)] * 2, got
        spec.__dict__["_initializing"] = False
        assert lock_taken(lambda: vm.last) == (loaded, False)
        print("waited")
    """))
    assert proc.stdout.startswith("waited")


def test_this_module_as_a_version_is_read_again(monkeypatch):
    """Its own namespace counts its changes apart from the import system's dicts."""
    own = VM("quorlin", [("version_manager", PAST)])
    assert [own.last for _ in range(3)] == [vm_mod] * 3  # remembered by now, if it were
    monkeypatch.setattr(vm_mod, "__spec__", type(vm_mod.__spec__)(vm_mod.__name__, None))
    vm_mod.__spec__._initializing = True
    assert lock_taken(lambda: own.last) == (vm_mod, True)


class Colliding(str):
    """A key equal to nothing whose hash is that of `like`: look-ups of `like` that meet it run
    __eq__, which counts and then raises once `raises` is set."""
    def __new__(cls, like):
        self = super().__new__(cls, "colliding " + like)
        self.like, self.seen, self.raises = like, [], False
        return self

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        self.seen.append(other)
        if self.raises:
            raise LookupError("from __eq__")
        return False


def plant(ns, name):
    """A colliding key met before `name` by every look-up of it (inserted first in probe order)."""
    value = ns.pop(name)
    key = Colliding(name)
    ns[key] = None
    ns[name] = value
    key.seen.clear()
    return key


def importlib_frames(fn):
    """fn(), or the importlib frames of the LookupError it raised."""
    try:
        return fn()
    except LookupError as e:
        return [f.name for f in traceback.extract_tb(e.__traceback__) if f.filename.startswith("<frozen")]


@pytest.mark.parametrize("where, name", [
    ("sys.modules", "{pkg}.v2"),
    ("namespace", "__spec__"),  # the loaded module's own
    ("globals", "import_module"),  # the namespace of this module (and of the model)
    ("globals", "datetime"),
])
@pytest.mark.parametrize("raises", [False, True])
def test_colliding_str_subclass_keys_are_compared_at_every_look_up(vm, where, name, raises):
    """A remembered look-up holds only while the dict has exact str keys only."""
    import reference
    name = name.format(pkg=vm.module)
    v1, v2 = (sys.modules[f"{vm.module}.{v}"] for v in ("v1", "v2"))
    got = []
    for mod in (vm_mod, reference):
        model = mod.VersionManager(vm.module, vm.versions)
        for _ in range(3):
            model.last, model.current  # what could be remembered is, before the key comes
        ns = {"sys.modules": sys.modules, "namespace": vars(v2), "globals": vars(mod)}[where]
        key = plant(ns, name)
        key.raises = raises
        try:
            outcomes = [[importlib_frames(lambda: model.last is v2), importlib_frames(lambda: model.current is v1)]
                        for _ in range(3)]
            got.append((outcomes, key.seen))
        finally:
            key.raises = False
            del ns[key]
            items = list(ns.items())  # refilled, its keys are all exact str again, as before
            ns.clear()
            ns.update(items)
    assert got[0] == got[1]
    assert len(got[0][1]) >= 3


def test_relative_name(pkg):
    vm = VM("." + pkg, [("v1", PAST)])
    with pytest.raises(TypeError, match="the 'package' argument is required to perform a relative import"):
        vm.last


def test_missing_module_is_imported(make_package):
    name = make_package("skipfresh", {"__init__.py": "", "v1.py": "X = 1\n"})
    vm = VM(name, [("v1", PAST)])
    assert f"{name}.v1" not in sys.modules
    assert vm.last is sys.modules[f"{name}.v1"]


def test_rebound_global_and_its_restoration(vm, monkeypatch):
    seen = []
    want = results(vm)
    monkeypatch.setattr(vm_mod, "import_module", lambda *, name: seen.append(name) or importlib.import_module(name))
    assert results(vm) == want and len(seen) == 4
    monkeypatch.undo()
    assert results(vm) == want and len(seen) == 4


@pytest.mark.parametrize("func, body", [
    ("import_module", "return _bootstrap.sys.modules['skip-other']"),
    ("_gcd_import", "return sys.modules['skip-other']"),
    ("_sanity_check", "raise ValueError('replaced')"),
    ("_find_and_load", "return sys.modules['skip-other']"),
])
def test_replaced_code_runs(func, body):
    """A function of the import path given new code: the new code runs, and after the restoration
    the answer is the module again; new defaults of equal value change no answer. Each in a fresh
    interpreter, since the interpreter marks a modified function for good."""
    proc = run_python(LOADED + textwrap.dedent(f"""
        import importlib._bootstrap as b
        f = importlib.import_module if {func!r} == "import_module" else getattr(b, {func!r})
        loaded = sys.modules["lp.v1"]
        for _ in range(3):
            assert vm.last is loaded
        other = sys.modules["skip-other"] = type(sys)("other")
        ns = {{}}
        exec("def g(name, *args, **kwargs):\\n    " + {body!r}, ns)
        original = f.__code__
        f.__code__ = ns["g"].__code__
        try:
            got = vm.last
        except ValueError as e:
            got = e
        f.__code__ = original
        assert got is other or str(got) == "replaced", got
        assert vm.last is loaded
        f.__defaults__ = f.__defaults__ and tuple(f.__defaults__)
        f.__kwdefaults__ = f.__kwdefaults__ and dict(f.__kwdefaults__)
        assert vm.last is loaded
        print("same")
    """))
    assert proc.stdout.startswith("same")


def test_near_the_recursion_limit():
    """At every depth near the limit, the same outcome as the call (forced by a C-level profiler,
    which adds no Python frame)."""
    proc = run_python(LOADED + textwrap.dedent("""
        import cProfile

        def at_depth(n):
            if n:
                return at_depth(n - 1)
            return type(vm.last).__name__

        def outcome(n):
            try:
                return at_depth(n)
            except RecursionError:
                return "RecursionError"

        def outcomes():
            sys.setrecursionlimit(40)
            try:
                return [outcome(n) for n in range(20, 40)]
            finally:
                sys.setrecursionlimit(1000)

        plain = outcomes()
        prof = cProfile.Profile()
        prof.enable()
        profiled = outcomes()
        prof.disable()
        assert plain == profiled and set(plain) == {"module", "RecursionError"}, (plain, profiled)
        print("same")
    """))
    assert proc.stdout.startswith("same")


def test_audit_hooks_see_the_same_events():
    proc = run_python(LOADED + textwrap.dedent("""
        events = []
        sys.addaudithook(lambda event, args: events.append(event))
        skipped = (vm.last, list(events))
        events.clear()
        m.import_module = lambda *, name: importlib.import_module(name)
        called = (vm.last, list(events))
        assert skipped == called, (skipped, called)
        print("same", skipped[1])
    """))
    assert proc.stdout.startswith("same")
