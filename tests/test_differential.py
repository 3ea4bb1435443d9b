"""Generated programs, hostile ones among them, run on the extension and on the plain-Python model
(tests/reference.py): both must give the same results, the same errors and the same tables.

The hostile steps are the ones native shortcuts can get wrong: descriptors re-initialised in place,
module globals rebound, a re-entrant write from inside the setter, the setter's half-built table
reached through the garbage collector and changed, attribute hooks set on the class, and datetimes
whose fields are out of range (made from a pickled state, which checks only the month)."""

import gc
import types
from datetime import date, datetime, timedelta, timezone

from hypothesis import given, settings, strategies as st

import reference
from conftest import vm_mod

OLD, MID, NEW = datetime(2020, 1, 1), datetime(2021, 1, 1), datetime(2022, 1, 1)
AWARE = datetime(2021, 1, 1, tzinfo=timezone(timedelta(hours=1)))
DAY_255 = datetime(b"\x07\xe5\x01\xff" + bytes(6))  # after 31 January 2021, before 1 February
MICRO_MAX = datetime(b"\x07\xe5\x01\x01" + bytes(3) + b"\xff\xff\xff")  # just before 00:00:17
FEB_30 = date(b"\x07\xe5\x02\x1e")  # no datetime holds it
GLOBALS = ["datetime", "date", "import_module", "VersionManager"]
SIDES = [vm_mod, reference]

starts = st.sampled_from([OLD, MID, NEW, date(2020, 6, 1), date(2021, 1, 1), AWARE, "text", None,
                          DAY_255, MICRO_MAX, FEB_30])
pairs = st.lists(st.tuples(st.sampled_from(["a", "b", "#", "c"]), starts), max_size=4)
shapes = st.sampled_from(["list", "tuple", "dict", "iter", "lists"])
clocks = st.sampled_from([OLD, MID, MID + timedelta(microseconds=1), NEW, AWARE, date(2021, 6, 1),
                          DAY_255, MICRO_MAX, datetime(2021, 2, 1)])
intruders = st.sampled_from([[], ("x",), ("x", "late"), ("x", datetime(2030, 1, 1)), ("x", date(2030, 1, 1))])

step = st.one_of(
    st.tuples(st.just("set"), shapes, pairs),
    st.tuples(st.just("init"), st.sampled_from(["p", "q"]), shapes, pairs),
    st.tuples(st.sampled_from(["current", "call"]), clocks),
    st.tuples(st.just("last")),
    st.tuples(st.just("get_module"), st.sampled_from(["a", "#", None])),
    st.tuples(st.just("reinit"), st.sampled_from(["module", "versions", "current", "get_module"])),
    st.tuples(st.just("restore")),
    st.tuples(st.just("rebind"), st.sampled_from(["date", "import_module", "VersionManager"])),
    st.tuples(st.just("arm"), st.sampled_from(["reenter", "reinit", "rebind"])),
    st.tuples(st.just("arm_gc"), intruders),
    st.tuples(st.just("hook"), st.sampled_from(["__getattribute__", "__getattr__", "__setattr__"])),
    st.tuples(st.just("unhook")),
)

# Attribute hooks set on the class: each logs the names it sees.
HOOKS = {
    "__getattribute__": lambda log: lambda self, name: log.append(name) or object.__getattribute__(self, name),
    "__getattr__": lambda log: lambda self, name: log.append(name) or "fallback " + name,
    "__setattr__": lambda log: lambda self, name, value: log.append(name) or object.__setattr__(self, name, value),
}


class Side:
    """One implementation's module, class, instance and the hostile steps applied to them.

    Members are read with getattr(): warm bytecode's specialised attribute reads would keep a
    property's old getter after it was re-initialised in place."""

    def __init__(self, mod):
        self.mod, self.cls = mod, mod.VersionManager
        self.saved_globals = {n: mod.__dict__[n] for n in GLOBALS}
        self.saved_descriptors = {n: self.descriptor_state(n) for n in ("module", "versions", "current", "get_module")}
        self.armed = None
        self.log = []
        mod.import_module = lambda *, name: "imported " + name
        self.vm = self.cls("p", [("a", OLD), ("b", NEW)])

    def descriptor_state(self, name):
        d = self.cls.__dict__[name]
        return (d.fget, d.fset) if isinstance(d, property) else (d.__func__,)

    def reinit(self, name):
        d = self.cls.__dict__[name]
        replacement = {
            "module": (lambda self: "r", d.fset) if name == "module" else None,
            "versions": (lambda self: [("z", OLD)], d.fset) if name == "versions" else None,
            "current": (lambda self: "replaced current",),
            "get_module": (lambda **kw: "own get_module " + repr(sorted(kw.items())),),
        }[name]
        type(d).__init__(d, *replacement)

    def restore(self):
        for name, state in self.saved_descriptors.items():
            d = self.cls.__dict__[name]
            type(d).__init__(d, *state)

    def rebind(self, name):
        mod = self.mod
        if name == "date":
            mod.date = type("OtherDate", (date,), {})  # exact dates are no longer converted
        elif name == "import_module":
            mod.import_module = lambda *, name: "other " + name
        else:
            mod.VersionManager = types.SimpleNamespace(get_module=lambda **kw: "namespace " + kw["version"])

    def unhook(self):
        for name in HOOKS:
            if name in self.cls.__dict__:
                delattr(self.cls, name)

    def close(self):
        self.unhook()
        self.restore()
        for name, value in self.saved_globals.items():
            setattr(self.mod, name, value)

    def table(self, shape, raw):
        """The raw table in the given shape, with the armed hook (if any) inside its second entry."""
        raw = [tuple(p) for p in raw]
        marker = ("".join(["mark", "er"]), OLD)  # a name equal on both sides, found by identity
        hook, self.armed = self.armed, None
        if hook is not None:
            def fire(pair):
                hook(marker)
                return iter(pair)
            hooked = type("Hooked", (), {"__iter__": lambda s: fire(s.pair)})
            entry = hooked()
            entry.pair = raw[0] if raw else ("h", MID)
            raw = [marker, entry] + raw[1:]
        if shape == "dict":
            return {n: s for n, s in raw if type(n) is str} if all(type(p) is tuple for p in raw) else raw
        return {"list": list, "tuple": tuple, "iter": iter, "lists": lambda r: [list(p) if type(p) is tuple else p for p in r]}[shape](raw)

    def arm(self, kind, intruder=None):
        vm = self.vm

        def act(marker):
            if kind == "reenter":
                vm.versions = [("inner", MID)]
            elif kind == "reinit":
                self.reinit("module")
            elif kind == "rebind":
                self.rebind("date")
            else:  # the setter's half-built table, found through gc
                for obj in gc.get_objects():
                    if type(obj) is list and any(type(t) is tuple and len(t) == 2 and t[0] is marker[0] and t is not marker
                                                 for t in obj):
                        obj.append(intruder)
        self.armed = act

    def run(self, op, *args):
        vm, cls, mod = self.vm, self.cls, self.mod
        if op == "set":
            vm.versions = self.table(*args)
        elif op == "init":
            vm.__init__(args[0], self.table(*args[1:]))
        elif op in ("current", "call"):
            real = mod.datetime
            mod.datetime = types.SimpleNamespace(now=lambda: args[0])
            try:
                return getattr(vm, "current") if op == "current" else vm()
            finally:
                mod.datetime = real
        elif op == "last":
            return getattr(vm, "last")
        elif op == "get_module":
            return getattr(cls, "get_module")(module="p", version=args[0], current="#")
        elif op == "reinit":
            self.reinit(args[0])
        elif op == "restore":
            self.restore()
        elif op == "rebind":
            self.rebind(args[0])
        elif op == "arm":
            self.arm(args[0])
        elif op == "arm_gc":
            self.arm("gc", args[0])
        elif op == "hook":
            setattr(cls, args[0], HOOKS[args[0]](self.log))
        elif op == "unhook":
            self.unhook()

    def state(self):
        """The two slots as stored, read past the properties."""
        return tuple(getattr(self.vm, "_VersionManager__" + s, "<unset>") for s in ("module", "versions"))


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as e:
        return type(e).__name__, str(e)


@settings(max_examples=300, deadline=None, database=None)
@given(st.lists(step, min_size=1, max_size=8))
def test_extension_agrees_with_the_model(program):
    traces = []
    for mod in SIDES:
        side = Side(mod)
        try:
            trace = []
            for op, *args in program:
                trace.append((op, outcome(lambda: side.run(op, *args)), side.state(), side.log[:]))
                side.log.clear()
            traces.append(trace)
        finally:
            side.close()
    ext, model = traces
    for i, (got, want) in enumerate(zip(ext, model, strict=True)):
        assert got == want, f"step {i} of {program}"
