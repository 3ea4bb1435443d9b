"""Module start-up (guards, version warning, imports, logger contract) and the shape of VersionManager."""

import builtins
import datetime
import functools
import importlib
import inspect
import json
import os
import pathlib
import pydoc
import shutil
import subprocess
import sys
import sysconfig
import types
import typing

import pytest

import logger
from conftest import FILE, VM, assert_no_leak, run_python, tb_entries, vm_mod

INIT = "init quorlin.version_manager"
VT = "dict[str, datetime | date] | list[tuple[str, datetime | date]]"
IMPORTED = ["__builtins__", "logging", "datetime", "date", "import_module", "ModuleType"]
LOADED = IMPORTED + ["VersionManager", "__test__"]
# The module is built for the running interpreter's version.
MAJOR, MINOR = sys.version_info[:2]
BUILT = MAJOR << 24 | MINOR << 16
WARNING = f"compile time Python version {MAJOR}.{MINOR} of module 'quorlin.version_manager' does not match runtime version "

# Child side: import normally, then once more by hand so the namespace of a failed module can be read.
PRELUDE = f"""
import importlib, importlib.util, json, sys, traceback
def entries(e):
    return [[f.f_code.co_name, n] for f, n in traceback.walk_tb(e.__traceback__) if f.f_code.co_filename == {FILE!r}]
def attempt():
    out = {{}}
    try:
        import quorlin.version_manager
    except BaseException as e:
        out.update(type=type(e).__name__, msg=str(e), tb=entries(e), left=[k for k in sys.modules if "_manager" in k])
    getattr(sys.modules.get("logger"), "__dict__", {{}}).get("reset", lambda: None)()
    spec = importlib.util.find_spec("quorlin.version_manager")
    mod = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(mod)
    except BaseException as e:
        out["tb2"] = entries(e)
    return dict(out, names=list(vars(mod))[list(vars(mod)).index("__builtins__"):])
"""
RECORDING = """seen = []
def logging(*args, **kwargs):
    seen.append(("f", args, kwargs))
    return lambda *a, **k: seen.append(("d", a, k)) or a[0]
"""
FAILING = """import os
calls, fail = [], tuple(os.environ["QL_FAIL"].split(":"))
reset = calls.clear
def check(kind, k):
    if (kind, str(k)) == fail:
        raise LookupError(f"{kind} {k}")
def logging(prefix):
    calls.append(check("factory", len(calls) + 1))
    return lambda f, k=len(calls): check("decorator", k) or f
"""


def child(tmp_path, body, logger_src=None, env=None):
    """Run PRELUDE + body in a fresh interpreter with `logger_src` as `logger`; return its last line as JSON."""
    if logger_src is not None:
        (tmp_path / "logger.py").write_text(logger_src)
    proc = run_python(PRELUDE + body, env={"PYTHONPATH": str(tmp_path), **(env or {})})
    return json.loads(proc.stdout.splitlines()[-1])


FAILURES = [  # code run first, logger source, exception, message, traceback line, names left bound, env
    ("sys.modules['logger'] = None", None, "ModuleNotFoundError", "import of logger halted; None in sys.modules",
     14, 1, None),
    ("", "x = 1", "ImportError", "cannot import name logging", 14, 1, None),
    ("", "def __getattr__(n):\n    raise (KeyError if n == 'logging' else AttributeError)(n)\n", "ImportError",
     "cannot import name logging", 14, 1, None),
    *[("import builtins; del builtins." + b, None, "NameError", f"name '{b}' is not defined", 1, 1, None)
      for b in ("property", "staticmethod", "sorted")],
    *[("", FAILING, "LookupError", f"{where} {k}", line, 6, {"QL_FAIL": f"{where}:{k}"})
      for where in ("factory", "decorator") for k, line in ((1, 25), (2, 95), (3, 189))],
]


@pytest.mark.parametrize("pre, logger_src, exc, msg, line, bound, env", FAILURES)
def test_failed_import(tmp_path, pre, logger_src, exc, msg, line, bound, env):
    out = child(tmp_path, f"{pre}\nprint(json.dumps(attempt()))", logger_src, env)
    assert out == dict(type=exc, msg=msg, tb=[[INIT, line]], tb2=[[INIT, line]], left=[], names=IMPORTED[:bound])


NOTE_NEEDS = ("quorlin.version_manager needs from it logging(prefix=...), a decorator factory: its decorator "
              "receives __init__, get_module (a staticmethod) and __call__")


@pytest.mark.parametrize("shadow", ["file", "package", "module without a file", "hostile object"])
def test_a_logger_without_logging_is_named_in_a_note(tmp_path, shadow):
    # A project's own logger shadows the installed one: the failure stays what it was, and a note says
    # which logger was found and what this module needs of it.
    setup = ""
    if shadow == "file":
        (tmp_path / "logger.py").write_text("def log(message):\n    print(message)\n")
    elif shadow == "package":
        (tmp_path / "logger").mkdir()
        (tmp_path / "logger" / "__init__.py").write_text("")
    elif shadow == "module without a file":
        setup = "import types; sys.modules['logger'] = types.ModuleType('logger')"
    else:  # no __file__ and no repr: the note cannot be made and the exception goes without one
        setup = """
class Hostile:
    def __getattr__(self, name):
        raise (KeyError if name == "__file__" else AttributeError)(name)
    def __repr__(self):
        raise LookupError("no repr")
sys.modules["logger"] = Hostile()
"""
    out = json.loads(run_python(f"""
import json, sys, traceback
{setup}
try:
    import quorlin.version_manager
except ImportError as e:
    tb = [[f.name, f.lineno] for f in traceback.extract_tb(e.__traceback__) if f.filename == {FILE!r}]
    print(json.dumps([type(e).__name__, str(e), getattr(e, "__notes__", []), tb, "quorlin.version_manager" in sys.modules]))
""", env={"PYTHONPATH": str(tmp_path)}).stdout)
    assert out[0:2] == ["ImportError", "cannot import name logging"]
    assert out[3:] == [[[INIT, 14]], False]
    if shadow == "hostile object":
        assert out[2] == []
        return
    [note] = out[2]
    found = {"file": repr(str(tmp_path / "logger.py")), "package": repr(str(tmp_path / "logger" / "__init__.py")),
             "module without a file": "<module 'logger'>"}[shadow]
    assert note.startswith(f"The module 'logger' that was found, {found}, provides no 'logging'. {NOTE_NEEDS}")
    assert "earlier on sys.path" in note


def test_logging_found_in_sys_modules_and_read_afresh(tmp_path):
    src = """import sys
seen = []
def factory(prefix):  # reached through sys.modules only: the module has no attribute "logging"
    m = sys.modules[prefix]
    m.__name__, m.logging = "renamed", lambda **kw: seen.append(kw) or (lambda f: f)
    return seen.append(prefix) or (lambda f: f)
sys.modules["logger.logging"] = factory
"""
    out = child(tmp_path, "import quorlin.version_manager, logger\nprint(json.dumps(logger.seen))", src)
    assert out == ["quorlin.version_manager", {"prefix": "renamed"}, {"prefix": "renamed"}]


def test_logging_calls_and_reimport(tmp_path):
    calls, stored, same, names = child(tmp_path, """
import quorlin.version_manager as m, logger
VM, names = m.VersionManager, list(vars(m))
calls = [[t, len(a), k] + [[getattr(f, "__func__", f).__qualname__, type(f) is staticmethod] for f in a[:1]]
         for t, a, k in logger.seen]
stored = [VM.__dict__[n] is a[0] for n, (t, a, k) in zip(("__init__", "get_module", "__call__"), logger.seen[1::2])]
del sys.modules["quorlin.version_manager"]
same = [importlib.import_module("quorlin.version_manager") is m, importlib.reload(m) is m, m.VersionManager is VM]
print(json.dumps([calls, stored, same + [len(logger.seen)], names[names.index("__builtins__"):]]))
""", RECORDING)
    factory = ["f", 0, {"prefix": "quorlin.version_manager"}]
    assert calls == [factory, ["d", 1, {}, ["VersionManager.__init__", False]],
                     factory, ["d", 1, {}, ["VersionManager.get_module", True]],
                     factory, ["d", 1, {}, ["VersionManager.__call__", False]]]
    assert stored == [True] * 3 and same == [True, True, True, 6] and names == LOADED


def test_import_under_other_name(tmp_path):
    out = child(tmp_path, """
origin = importlib.util.find_spec("quorlin.version_manager").origin
spec = importlib.util.spec_from_file_location("elsewhere.version_manager", origin)
mod = sys.modules[spec.name] = importlib.util.module_from_spec(spec)
spec.loader.exec_module(mod)
import logger
print(json.dumps([[k["prefix"] for t, a, k in logger.seen if t == "f"], mod.__name__, mod.__package__,
                  mod.VersionManager.__module__, mod.VersionManager.__init__.__module__, mod.__file__ == origin,
                  "__path__" in vars(mod), sys.modules["quorlin.version_manager"] is mod]))
""", RECORDING)
    assert out == [["elsewhere.version_manager"] * 3, "elsewhere.version_manager", "elsewhere",
                   "quorlin.version_manager", "quorlin.version_manager", True, False, True]


def test_second_interpreter_is_refused(tmp_path):
    out = child(tmp_path, """
import _interpreters
def run(config):
    i = _interpreters.create(config)
    r = _interpreters.exec(i, f"import sys; sys.path[:] = {sys.path!r}; import quorlin.version_manager")
    return _interpreters.destroy(i) or r and [r.type.__name__, r.msg]
res = [run("legacy")]  # loaded into an interpreter that has ended: the next one loads it afresh
import quorlin.version_manager as m
res += [run("legacy"), run("isolated")]
del sys.modules["quorlin.version_manager"]
print(json.dumps(res + [importlib.import_module("quorlin.version_manager") is m, m.VersionManager.__name__]))
""")
    msg = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert out[0] is None and out[1] == ["ImportError", msg] and out[3:] == [True, "VersionManager"]
    assert out[2][0] == "ImportError" and "does not support loading in subinterpreters" in out[2][1]


EMBED = r"""#include <Python.h>
int main(int argc, char **argv) {
    for (int round = 0; argc == 2 && round < 3; round++) {
        Py_Initialize();
        int failed = PyRun_SimpleString(argv[1]);
        if (Py_FinalizeEx() < 0 || failed) return 1;
    }
    return argc != 2;
}
"""
ROUND = """
import datetime, importlib, importlib._bootstrap as bs, json
import quorlin.version_manager as vm
fresh = [vm.datetime is datetime.datetime, vm.import_module is importlib.import_module]
m = vm.VersionManager("pkg", {"v1": datetime.date(2000, 1, 1), "v2": datetime.date(2999, 1, 1)})
out = [m.current.__name__, m.last.__name__]
class Clock(datetime.datetime):  # this round's clock and import system, which the next must not see
    now = classmethod(lambda cls, tz=None: cls(3000, 1, 1))
vm.datetime, calls, find = Clock, [], bs._find_and_load
bs._find_and_load = lambda *a: calls.append(a[0]) or find(*a)
print(json.dumps(fresh + out + [m.current.__name__, m.last.__name__, calls]))
"""


def test_interpreter_started_again(tmp_path):
    # A program that embeds Python and starts it anew gets a fresh module each time, as the first.
    config = os.path.join(os.path.dirname(sys._base_executable), f"python{sysconfig.get_config_var('LDVERSION')}-config")
    if not shutil.which("gcc") or not os.access(config, os.X_OK):
        pytest.skip(f"needs gcc and {config} to build a program that embeds the interpreter")
    flags = subprocess.run([config, "--cflags", "--embed", "--ldflags"], capture_output=True, text=True, check=True)
    (tmp_path / "embed.c").write_text(EMBED)
    (tmp_path / "pkg").mkdir()
    for name in ("__init__", "v1", "v2"):
        (tmp_path / "pkg" / f"{name}.py").write_text("")
    subprocess.run(["gcc", "embed.c", "-o", "embed", *flags.stdout.split()], cwd=tmp_path, check=True)
    # The build under test (the sanitized one under tests/sanitize, whose environment the program inherits).
    paths = [os.path.dirname(os.path.dirname(vm_mod.__file__)), os.path.dirname(logger.__file__), str(tmp_path)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [*paths, os.environ.get("PYTHONPATH")])))
    proc = subprocess.run([tmp_path / "embed", ROUND], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    expected = [True, True, "pkg.v1", "pkg.v2", "pkg.v2", "pkg.v2", ["pkg.v2", "pkg.v2"]]
    assert [json.loads(line) for line in proc.stdout.splitlines()] == [expected] * 3


# Runtime versions around the one built for: the next and the previous minor release, another
# major; the same minor release at another patch level or release stage.
VERSIONS = [
    (BUILT + (1 << 16) | 0xF0, f"{MAJOR}.{MINOR + 1}", "always"), (BUILT - (1 << 16) | 0x0AF0, f"{MAJOR}.{MINOR - 1}", "always"),
    (BUILT + (1 << 24) | 0xF0, f"{MAJOR + 1}.{MINOR}", "always"), (BUILT + (1 << 16) | 0xF0, f"{MAJOR}.{MINOR + 1}", "error"),
    (BUILT | 0x05F0, None, "always"), (BUILT | 0xA1, None, "error")]


def libpython_shared():
    """The running interpreter executes from a shared libpython (a preloaded library can then
    stand in for one of its symbols); Debian's, for one, links it into the executable."""
    library = sysconfig.get_config_var("LDLIBRARY") or ""
    with open("/proc/self/maps") as maps:
        return library.endswith(".so") and any(line.rstrip().endswith("/" + library) or f"/{library}." in line for line in maps)


@pytest.mark.parametrize("hexv, runtime, action", VERSIONS)
def test_version_warning(tmp_path, hexv, runtime, action):
    if not shutil.which("gcc") or not libpython_shared():
        pytest.skip("needs gcc and a shared libpython to stand in for the runtime version")
    (src := tmp_path / "version.c").write_text(f"const unsigned long Py_Version = {hexv:#x};\n")
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", tmp_path / "version.so", src], check=True)
    version, out, warned = child(tmp_path, f"""
import ctypes, warnings
with warnings.catch_warnings(record=True) as w:
    warnings.simplefilter({action!r})
    out = attempt()
print(json.dumps([ctypes.c_ulong.in_dll(ctypes.pythonapi, "Py_Version").value, out,
                  [[x.category.__name__, str(x.message)] for x in w]]))
""", env={"LD_PRELOAD": str(tmp_path / "version.so")})
    assert version == hexv  # the stand-in Py_Version is what the process sees
    msg = WARNING + str(runtime)
    if runtime and action == "error":  # the warning is the exception; no entry of the module, nothing left behind
        assert (out, warned) == (dict(type="RuntimeWarning", msg=msg, tb=[], left=[], tb2=[], names=IMPORTED[:1]), [])
    else:  # the second, hand-made attempt finds the module done and warns no more
        assert (out, warned) == ({"names": LOADED}, [["RuntimeWarning", msg]] if runtime else [])


def test_version_comparison_without_a_stand_in(tmp_path):
    # Where no library can stand in for Py_Version (a libpython linked into the executable), the
    # comparison and the text are still checked: the module's own header, compiled against this
    # interpreter's headers, judges the same versions.
    compiler = shutil.which("g++") or shutil.which("c++")
    if not compiler:
        pytest.skip("needs a C++ compiler")
    header = pathlib.Path(__file__).resolve().parents[1] / "src" / "quorlin" / "version_check.hpp"
    if not header.exists():
        pytest.skip("runs from the source tree")
    cases = ", ".join(f"{hexv:#x}UL" for hexv, _, _ in VERSIONS)
    (src := tmp_path / "check.cpp").write_text(f"""#include "{header}"
#include <initializer_list>
int main() {{
    for (unsigned long v : {{{cases}}}) {{
        char message[quorlin::kVersionMessageSize];
        std::puts(quorlin::version_mismatch(v, message) ? message : "-");
    }}
}}
""")
    include = sysconfig.get_paths()["include"]
    subprocess.run([compiler, "-std=c++20", f"-I{include}", "-o", tmp_path / "check", src], check=True)
    lines = subprocess.run([tmp_path / "check"], capture_output=True, text=True, check=True).stdout.splitlines()
    assert lines == [WARNING + runtime if runtime else "-" for _, runtime, _ in VERSIONS]


def test_module_namespace_and_class_shape():
    ns = vars(vm_mod)
    assert ns["__builtins__"] is builtins and ns["__test__"] == {} and type(ns["__test__"]) is dict
    assert vm_mod.__doc__ is None and "__path__" not in ns and vm_mod.__package__ == "quorlin"
    assert vm_mod.__file__ == vm_mod.__spec__.origin and vm_mod.__loader__ is vm_mod.__spec__.loader
    assert [ns[n] for n in LOADED[1:-1]] == [
        logger.logging, datetime.datetime, datetime.date, importlib.import_module, types.ModuleType, VM]
    space = dict.fromkeys(["__module__", "__qualname__", "__slots__", "__init__", "module", "versions", "get_module",
                        "current", "last", "__call__"])
    space.update(__module__=VM.__module__, __qualname__="VersionManager", __slots__=("__module", "__versions"))
    assert list(VM.__dict__) == list(type("VersionManager", (), space).__dict__)  # what type() makes of that namespace
    assert (VM.__name__, VM.__qualname__, VM.__module__, VM.__doc__, VM.__bases__, type(VM)) == (
        "VersionManager", "VersionManager", "quorlin.version_manager", None, (object,), type)
    assert VM.__slots__ == space["__slots__"] and type(VM.__dict__["get_module"]) is staticmethod
    for slot in ("_VersionManager__module", "_VersionManager__versions"):
        assert type(VM.__dict__[slot]) is types.MemberDescriptorType and VM.__dict__[slot].__name__ == slot
    for name, has_setter in [("module", True), ("versions", True), ("current", False), ("last", False)]:
        prop = VM.__dict__[name]
        assert type(prop) is property and prop.fdel is None and (prop.fset is not None) == has_setter


def doc(indent, *lines):
    """Docstring as stored: a leading newline, the lines ((n, text) for another indent), then 12 spaces."""
    lines = [(indent, t) if isinstance(t, str) else t for t in lines]
    return "\n".join(["", *(" " * n + t if t else "" for n, t in lines), " " * 12])


INIT_DOC = doc(16, "Init quorlin class.", "", ":param module: current module, usually __name__",
               ":param versions: dict or list[()] containing version name and start-date", (20, "["), (24, "{"),
               (24, "$version-name: $start-date,"), (24, "'v1': dateTime(),"), (24, "..."), (24, "},"),
               (24, "["), (28, "($version-name, $start-date),"), (28, "('v1', dateTime()),"), (24, "]"),
               (20, "]"), ":return:")
CURRENT = "Return current version of module.", "", ":return: current version of the module"
MEMBERS = [  # where in the class, first line, parameters, annotations, docstring
    ("__init__", 25, ("self", "module", "versions"), {"module": "str", "versions": VT}, INIT_DOC),
    ("module.fget", 54, ("self",), {"return": "str"}, None),
    ("module.fset", 58, ("self", "module"), {"module": "str"}, None),
    ("versions.fget", 64, ("self",), {"return": "list[tuple[str, datetime]]"}, None),
    ("versions.fset", 68, ("self", "versions"), {"versions": VT}, None),
    ("get_module", 94, ("module", "version", "current"),
     {"module": "str", "version": "str", "current": "str", "return": "ModuleType"},
     doc(12, "Return imported module/version.", "", *(f":param {p}:" for p in ("module", "version", "current")),
         ":return:")),
    ("current.fget", 146, ("self",), {"return": "ModuleType"}, doc(16, *CURRENT)),
    ("last.fget", 168, ("self",), {"return": "ModuleType"},
     doc(16, "Return last version of module.", "", ":return: last version of the module")),
    ("__call__", 189, ("self",), {"return": "ModuleType"}, doc(12, *CURRENT)),
]


def member(where):
    attr, _, part = where.partition(".")
    obj = VM.__dict__[attr]
    return getattr(obj, part) if part else getattr(obj, "__func__", obj)


@pytest.mark.parametrize("where, line, params, ann, docstring", MEMBERS)
def test_member_function(where, line, params, ann, docstring):
    f, name = member(where), where.split(".")[0]
    defaults = (None, None) if name in ("__init__", "get_module") else None
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__, f.__defaults__, f.__kwdefaults__, f.__dict__) == (
        name, "VersionManager." + name, "quorlin.version_manager", docstring, defaults, None, {})
    assert f.__globals__ is vars(vm_mod) and type(f.__annotations__) is dict
    assert list(f.__annotations__.items()) == list(ann.items())
    c = f.__code__
    assert (type(c), c.co_filename, c.co_name, c.co_qualname, c.co_firstlineno, c.co_argcount, c.co_posonlyargcount,
            c.co_kwonlyargcount, c.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS), c.co_varnames[:len(params)]
            ) == (types.CodeType, FILE, name, "VersionManager." + name, line, len(params), 0, 0, 0, params)
    parts = [p + (f": {ann[p]!r}" if p in ann else "") + (" = None" if defaults and p != params[0] else "")
             for p in params]
    assert str(inspect.signature(f)) == f"({', '.join(parts)})" + (f" -> {ann['return']!r}" if "return" in ann else "")
    assert typing.get_type_hints(f) == {k: eval(v, vars(vm_mod)) for k, v in ann.items()}
    inst = VM.__new__(VM)
    assert_no_leak(lambda: (f.__code__, f.__annotations__, f.__get__(inst, VM), inspect.signature(f)), repeat=300)
    if "." in where:  # a property documents itself with its getter's docstring
        assert getattr(VM, name).__doc__ == property(f).__doc__ == docstring
    for wrapper in (staticmethod(f), functools.wraps(f)(lambda: None)):  # both copy the function's attributes
        assert (wrapper.__wrapped__, wrapper.__name__, wrapper.__qualname__, wrapper.__doc__, wrapper.__annotations__
                ) == (f, name, f.__qualname__, docstring, f.__annotations__)


@pytest.mark.skipif(sys.version_info < (3, 14), reason="annotations are deferred from 3.14 on")
def test_deferred_annotations():
    import annotationlib
    fmt = annotationlib.Format
    for where, _, _, ann, _ in MEMBERS:
        f = member(where)
        for obj in (f, functools.wraps(f)(lambda: None)):  # wraps copies __annotate__, not __annotations__
            assert annotationlib.get_annotations(obj) == annotationlib.get_annotations(obj, format=fmt.FORWARDREF) == ann
            assert annotationlib.get_annotations(obj, format=fmt.STRING) == annotationlib.annotations_to_string(ann)
        assert f.__annotate__(fmt.VALUE) == ann and f.__annotate__(fmt.VALUE) is not f.__annotations__
    f = member("get_module")
    for bad, error in [(fmt.VALUE_WITH_FAKE_GLOBALS, NotImplementedError), (fmt.STRING, NotImplementedError),
                       ("1", TypeError), (2 ** 70, OverflowError)]:
        with pytest.raises(error):
            f.__annotate__(bad)
    assert_no_leak(lambda: f.__annotate__(fmt.VALUE), repeat=300)


def test_signatures_binding_and_help():
    sig = f"(module: 'str' = None, versions: '{VT}' = None)"
    inst = VM.__new__(VM)
    assert str(inspect.signature(VM)) == str(inspect.signature(inst.__init__)) == sig
    assert str(inspect.signature(inst.__call__)) == "() -> 'ModuleType'"
    for name in ("__init__", "__call__"):
        bound, f = getattr(inst, name), VM.__dict__[name]
        assert type(bound) is types.MethodType and bound.__func__ is f and bound.__self__ is inst
        assert getattr(VM, name) is f and f.__get__(None, VM) is f
    assert VM.get_module is inst.get_module is member("get_module")
    member("__init__")(self=inst, module="pkg", versions=[])  # every parameter, self included, by keyword
    assert member("module.fget")(self=inst) == "pkg"
    text = pydoc.render_doc(VM, renderer=pydoc.plaintext)
    assert all(line.strip() in text for *_, d in MEMBERS for line in (d or "").split("\n"))


BINDING = [  # (call given a fresh instance, message, first line of the member)
    (lambda i: member("__init__")(module="p"), "__init__() takes at least 1 positional argument (0 given)", 25),
    (lambda i: VM("p", [], 3), "__init__() takes at most 3 positional arguments (4 given)", 25),
    (lambda i: VM("p", bogus=1), "__init__() got an unexpected keyword argument 'bogus'", 25),
    (lambda i: i.__init__("p", module="q"), "__init__() got multiple values for keyword argument 'module'", 25),
    (lambda i: member("module.fget")(i, i), "module() takes exactly 1 positional argument (2 given)", 54),
    (lambda i: member("module.fset")(module="p"), "module() takes exactly 2 positional arguments (0 given)", 58),
    (lambda i: member("module.fset")(self=i), "module() takes exactly 2 positional arguments (1 given)", 58),
    (lambda i: member("versions.fget")(), "versions() takes exactly 1 positional argument (0 given)", 64),
    (lambda i: member("versions.fset")(i, [], []), "versions() takes exactly 2 positional arguments (3 given)", 68),
    (lambda i: VM.get_module(version="v"), "get_module() takes at least 1 positional argument (0 given)", 94),
    (lambda i: VM.get_module("a", "b", "c", "d"), "get_module() takes at most 3 positional arguments (4 given)", 94),
    (lambda i: member("current.fget")(i, now=1), "current() got an unexpected keyword argument 'now'", 146),
    (lambda i: member("last.fget")(), "last() takes exactly 1 positional argument (0 given)", 168),
    (lambda i: i(2), "__call__() takes exactly 1 positional argument (2 given)", 189),
    (lambda i: VM.__dict__["__init__"].__call__(i, **{1: 2}), "__init__() keywords must be strings", 25),
    (lambda i: VM("p", **{1: 2}), "__init__() keywords must be strings", 25),
]


@pytest.mark.parametrize("call, msg, line", BINDING)
def test_binding_error(call, msg, line):
    inst = VM.__new__(VM)
    with pytest.raises(TypeError) as ei:
        call(inst)
    assert str(ei.value) == msg
    assert tb_entries(ei.value) == [("quorlin.version_manager.VersionManager." + msg[:msg.index("(")], line)]
    with pytest.raises(AttributeError):
        inst.module  # nothing was written
    assert_no_leak(lambda: call(inst), repeat=300)
