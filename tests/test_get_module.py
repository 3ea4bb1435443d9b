"""VersionManager.get_module: both import paths, argument checks, failure translation, hostile globals."""

import builtins
import sys
import traceback
import types
from contextlib import suppress

import pytest

from conftest import VM, assert_no_leak, tb_entries, vm_mod

GM = "quorlin.version_manager.VersionManager.get_module"
MNF = ModuleNotFoundError
INIT = """
from . import v1
def current(): from . import v2; return v2
def alt(): return v1
def bad(): return "not a module"
def selfmiss(): raise ModuleNotFoundError("gone", name=__name__)
def needs(): import quorlin_absent_dep
def fails(): raise LookupError("from the package")
def __getattr__(name): raise (ValueError if name == "boom" else AttributeError)(name)
globals()["#"], none_attr, not_callable = alt, None, 5
"""


class S(str): pass  # noqa: E701


class SubMNF(ModuleNotFoundError): pass  # noqa: E701


class Eq:  # a missing-module name whose == answers `result`, or raises a new `result` when that is a class
    def __init__(self, result): self.result = result  # noqa: E701

    def __eq__(self, other):
        if isinstance(self.result, type):
            raise self.result("eq")
        return self.result


def failing(cls, name=None):  # stand-in for import_module: raises a new `cls` each call, kept as `.last`
    def fake(*a, **kw):
        fake.last = cls("i", name=name) if issubclass(cls, ImportError) else cls("i")
        raise fake.last
    return fake


def call(*args, **kwargs):  # swallows what get_module raises; True if the caller's handled exception is unchanged
    before = sys.exc_info()
    with suppress(BaseException):
        VM.get_module(*args, **kwargs)
    return sys.exc_info() == before


def one_entry(e):
    [(name, line)] = tb_entries(e)
    return name == GM and 94 <= line <= 145


@pytest.fixture
def pkg(make_package, tmp_path):
    files = {"__init__.py": INIT, "v1.py": "", "v2.py": "", "broken.py": "import quorlin_absent_dep\n"}
    return make_package(f"qgm_{tmp_path.name}", files)


def named(args, pkg):  # "P" in a table stands for the package of the test
    return tuple(pkg if a == "P" else a for a in args)


@pytest.mark.parametrize("args, kwargs, want", [
    ((), {}, "v2"), ((), {"version": "current"}, "v2"), (("v1",), {}, "v1"), ((None, "alt"), {}, "v1"),
    (("alt", "alt"), {}, "v1"), (("#", "#"), {}, "v1"), ((), {"current": "#", "version": "v2"}, "v2")])
def test_function_path_and_submodule_path(pkg, args, kwargs, want):
    assert VM.get_module(pkg, *args, **kwargs) is sys.modules[f"{pkg}.{want}"]


def test_each_call_binds_its_own_keywords(pkg):
    """Call sites naming the parameters in order and out of order, repeated and interleaved, and
    keywords that fail: every call binds what it was given."""
    v1, v2 = (VM.get_module(pkg, v) for v in ("v1", "v2"))
    calls = [
        (lambda: VM.get_module(module=pkg, version="v1", current="#"), v1),
        (lambda: VM.get_module(version="v2", module=pkg, current="#"), v2),
        (lambda: VM.get_module(current="v2", version="v1", module=pkg), v1),
        (lambda: VM.get_module(pkg, current="#", version="v2"), v2),
        (lambda: VM.get_module(**{"module": pkg, "version": "v1", "current": "#"}), v1),
        (lambda: VM.get_module(**{"module": pkg, "current": "#", "version": "v2"}), v2),
    ]
    for _ in range(3):
        for c, want in calls:
            assert c() is want
        with pytest.raises(TypeError, match="unexpected keyword argument 'currant'"):
            VM.get_module(module=pkg, version="v1", currant="#")


@pytest.mark.parametrize("args, kwargs, name", [
    (("p",), {}, "p"), (("p", "v1"), {}, "p.v1"), (("p", ""), {}, "p."), (("p", "x", "x"), {}, "p"),
    (("p", "", ""), {}, "p"), (("p", None, "#"), {}, "p"), ((), {"module": "a.b", "version": "c.d"}, "a.b.c.d")])
def test_import_module_gets_only_the_keyword_name(monkeypatch, args, kwargs, name):
    mod, calls, obj = types.ModuleType("fake"), [], object()  # no type test on what the submodule path imports
    mod.__dict__.update(dict.fromkeys(("current", "x", "", "#"), lambda: mod))
    fake = lambda *a, **k: calls.append((a, k)) or (obj if "." in k["name"] else mod)  # noqa: E731
    monkeypatch.setattr(vm_mod, "import_module", fake)
    assert VM.get_module(*args, **kwargs) is (obj if "." in name else mod) and calls == [((), {"name": name})]


bad_type = "Argument '{}' has incorrect type (expected str, got {})".format


ARG_ERRORS = [  # binding first (entry at the first line), then the exact-str test in parameter order (no entry)
    ((), {}, "get_module() takes at least 1 positional argument (0 given)"),
    ((), {"version": "v", "current": "c"}, "get_module() takes at least 1 positional argument (0 given)"),
    (("a", "b", "c", "d"), {}, "get_module() takes at most 3 positional arguments (4 given)"),
    ((None,), {"module": "a"}, "get_module() got multiple values for keyword argument 'module'"),
    (("a", "b"), {"version": "b"}, "get_module() got multiple values for keyword argument 'version'"),
    ((None,), {"bogus": 1}, "get_module() got an unexpected keyword argument 'bogus'"),
    ((None,), {}, bad_type("module", "NoneType")), ((b"p",), {}, bad_type("module", "bytes")),
    ((S("p"),), {}, bad_type("module", "S")), ((None, 1, 2), {}, bad_type("module", "NoneType")),
    (("p", b"v"), {}, bad_type("version", "bytes")), (("p", 1, b"c"), {}, bad_type("version", "int")),
    (("p",), {"version": S("v")}, bad_type("version", "S")), (("p", None, b"c"), {}, bad_type("current", "bytes")),
    (("p", "v", S("c")), {}, bad_type("current", "S")), ((), {"current": 0, "module": "p"}, bad_type("current", "int"))]


@pytest.mark.parametrize("args, kwargs, msg", ARG_ERRORS)
def test_argument_errors_before_any_import(monkeypatch, args, kwargs, msg):
    monkeypatch.setattr(vm_mod, "import_module", failing(AssertionError))
    with pytest.raises(TypeError) as ei:
        VM.get_module(*args, **kwargs)
    assert ei.value.args == (msg,) and len(getattr(ei.value, "__notes__", [])) == msg.endswith("got S)")
    assert tb_entries(ei.value) == ([] if msg.startswith("Argument") else [(GM, 94)])


PKG_ERRORS = [  # (args, raised, message, file whose frame stays in the traceback); "P" is the package
    (("P", None, "none_attr"), AttributeError, 'Attribute "P"."none_attr" not found', None),
    (("P", "gone", "gone"), AttributeError, 'Attribute "P"."gone" not found', None),
    (("P", "", ""), AttributeError, 'Attribute "P"."" not found', None),
    (("P", None, "not_callable"), TypeError, 'Attribute "P"."not_callable" is not callable', None),
    (("P", "v1", "v1"), TypeError, 'Attribute "P"."v1" is not callable', None),
    (("P", None, "bad"), TypeError, 'Function "P"."bad" not return a module instance', None),
    (("P", "v9"), MNF, 'Module "P.v9" not found', None),
    (("qgm_absent",), MNF, 'Module "qgm_absent.current" not found', None),
    (("P", "selfmiss", "selfmiss"), MNF, 'Module "P.selfmiss" not found', None),
    (("qgm_absent", "beta"), MNF, 'Module "qgm_absent.beta" not found', None),
    (("P", "broken"), MNF, "No module named 'quorlin_absent_dep'", "broken.py"),
    (("P", None, "needs"), MNF, "No module named 'quorlin_absent_dep'", "__init__.py"),
    (("qgm_absent.sub", "v1"), MNF, "No module named 'qgm_absent'", "importlib"),
    (("P", None, "boom"), ValueError, "boom", "__init__.py"),
    (("P", None, "fails"), LookupError, "from the package", "__init__.py")]


@pytest.mark.parametrize("args, exc, msg, origin", PKG_ERRORS)
def test_failures_with_real_packages(pkg, args, exc, msg, origin):
    with pytest.raises(exc) as ei:
        VM.get_module(*named(args, pkg))
    e, msg = ei.value, msg.replace('"P', '"' + pkg)
    assert type(e) is exc and e.args == (msg,) and one_entry(e)
    if origin:  # a module missing on the package's own account, or its own error: untouched
        assert e.__cause__ is None and any(origin in f.filename for f in traceback.extract_tb(e.__traceback__))
    elif exc is MNF:
        assert e.__cause__ is e.__context__ and e.__suppress_context__ and e.name is e.path is None
        assert type(e.__cause__) is MNF and e.__cause__.name in (named(args, pkg)[0], msg.split('"')[1])


IMPORT_FAILURES = [  # (args, raised class, its name, translated message | None: unchanged | class raised instead)
    (("p",), MNF, "p", 'Module "p.current" not found'), (("p",), MNF, "p.current", 'Module "p.current" not found'),
    (("p", "v1"), MNF, "p.v1", 'Module "p.v1" not found'), (("p", "v1"), SubMNF, "p", 'Module "p.v1" not found'),
    (("p", "v1"), MNF, Eq(True), 'Module "p.v1" not found'), (("p", "v1"), MNF, S("p.v1"), 'Module "p.v1" not found'),
    (("p", "v1"), MNF, "p.v2", None), (("p", "v1"), MNF, "p.", None), (("p", "v1"), MNF, None, None),
    (("p", "v1"), MNF, Eq(False), None), (("a.b", "v1"), MNF, "a", None), (("p", "v1"), ImportError, "p.v1", None),
    (("p",), MNF, Eq(ArithmeticError), ArithmeticError), (("p", "v1"), MNF, Eq(ArithmeticError), ArithmeticError),
    (("p",), KeyboardInterrupt, None, None), (("p", "v1"), SystemExit, None, None), (("p",), LookupError, None, None)]


@pytest.mark.parametrize("args, cls, name, new", IMPORT_FAILURES)
def test_import_failures(monkeypatch, args, cls, name, new):
    monkeypatch.setattr(vm_mod, "import_module", fake := failing(cls, name))
    with pytest.raises(BaseException) as ei:
        VM.get_module(*args)
    e = ei.value
    if isinstance(new, str):
        assert type(e) is MNF and e.args == (new,) and e.name is None and e.path is None
        assert e.__cause__ is fake.last and e.__context__ is fake.last and e.__suppress_context__
    elif new:  # comparing the missing name failed: that error propagates, not handled again
        assert type(e) is new and e.args == ("eq",)
    else:  # the same object, its traceback still reaching into the import
        assert e is fake.last and "fake" in [f.name for f in traceback.extract_tb(e.__traceback__)]
    assert not isinstance(e, Exception) or one_entry(e)


@pytest.mark.parametrize("name, args", [("import_module", ("P",)), ("import_module", ("P", "v1")),
                                        ("ModuleType", ("P",))])
def test_globals_looked_up_at_each_call(monkeypatch, pkg, name, args):
    args, real = named(args, pkg), getattr(vm_mod, name)
    monkeypatch.delattr(vm_mod, name)
    with pytest.raises(NameError) as ei:
        VM.get_module(*args)
    assert ei.value.args == (f"name '{name}' is not defined",) and one_entry(ei.value)
    monkeypatch.setattr(builtins, name, real, raising=False)  # the builtins are the fallback
    assert VM.get_module(*args) is sys.modules[f"{pkg}.v{3 - len(args)}"]
    monkeypatch.setattr(vm_mod, "ModuleType", int, raising=False)
    with pytest.raises(TypeError, match=f'^Function "{pkg}"."current" not return a module instance$'):
        VM.get_module(pkg)


def test_no_leak_and_handled_exception_kept(pkg, monkeypatch):
    cases = [(named(a, pkg), {}) for a, *_ in PKG_ERRORS] + [(a, k) for a, k, _ in ARG_ERRORS]
    try:
        raise KeyError("outer")
    except KeyError:  # every call, failing or not, leaves the caller's handled exception as it was
        for args, kwargs in cases + [((pkg,), {}), ((pkg, "v1"), {})]:
            assert call(*args, **kwargs), args
            assert_no_leak(lambda: call(*args, **kwargs), repeat=300)
        for args, cls, name, _ in IMPORT_FAILURES:
            monkeypatch.setattr(vm_mod, "import_module", failing(cls, name))
            assert call(*args), (args, cls, name)
            assert_no_leak(lambda: call(*args), repeat=300)
        monkeypatch.delattr(vm_mod, "import_module")
        assert call("p", "v1")
        assert_no_leak(lambda: call("p", "v1"), repeat=300)
