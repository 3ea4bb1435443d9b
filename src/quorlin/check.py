"""Check the schedule of a versioned package before its dates arrive.

``check("tariffs")`` imports a package, takes every ``VersionManager`` among its attributes and,
for each, lays out which version answers when and lists what ``current`` and ``last`` would run
into on some date: versions that do not import, starts the clock cannot be compared with, names
that ``get_module`` rejects, interface drift between versions. ``python -m quorlin check`` prints
the same report.
"""

from __future__ import annotations

import importlib
import inspect
from dataclasses import dataclass
from datetime import datetime
from types import ModuleType
from typing import Any, Literal, NamedTuple, cast

from quorlin import version_manager
from quorlin.version_manager import VersionManager

__all__ = ["CheckError", "Entry", "ManagerReport", "Problem", "Report", "check"]

Severity = Literal["error", "warning"]


class CheckError(Exception):
    """A target that cannot be checked: not importable, holding no VersionManager, or a bad `at`."""


@dataclass(frozen=True)
class Problem:
    severity: Severity
    version: str | None  # the version concerned (its repr when not a str); None for the whole table
    kind: str  # import, entry, name, start, empty, not-in-force, interface, signature, duplicate-name, same-start
    message: str


@dataclass(frozen=True)
class Entry:
    """One version of the timeline: `current` returns it after `start`, up to and including `until`."""

    name: str  # the version name (its repr when not a str)
    start: object  # the start as stored in the table: normally a datetime
    until: object  # the next start, or None while no later version is due or when it never answers
    answers: bool  # false when `current` can never return it
    in_force: bool  # what `current` returns at the time of the check


@dataclass(frozen=True)
class ManagerReport:
    target: str  # "package:attribute"
    timeline: tuple[Entry, ...]  # in table order: newest first
    problems: tuple[Problem, ...]  # grouped by version, newest first; errors before warnings


@dataclass(frozen=True)
class Report:
    at: datetime  # the time the schedule was checked at
    managers: tuple[ManagerReport, ...]

    @property
    def errors(self) -> list[Problem]:
        return [p for m in self.managers for p in m.problems if p.severity == "error"]

    @property
    def warnings(self) -> list[Problem]:
        return [p for m in self.managers for p in m.problems if p.severity == "warning"]

    @property
    def has_errors(self) -> bool:
        return bool(self.errors)


def check(*targets: str, at: datetime | None = None) -> Report:
    """Check each target: "package" (every VersionManager among its attributes) or "package:attribute".

    `at` is a naive datetime; by default the clock is read the way `current` reads it. Raises
    CheckError for a target that cannot be imported or holds no VersionManager.
    """
    if at is not None and (not isinstance(at, datetime) or at.utcoffset() is not None):
        raise CheckError(f"the time to check at must be a naive datetime, as the clock reads: got {text_of(at)}")
    when: datetime = getattr(version_manager, "datetime").now() if at is None else at
    found: dict[int, tuple[str, VersionManager]] = {}
    for target in targets:
        for label, vm in _resolve(target):
            found.setdefault(id(vm), (label, vm))
    return Report(when, tuple(_check_manager(label, vm, when) for label, vm in found.values()))


def _resolve(target: str) -> list[tuple[str, VersionManager]]:
    package, colon, attribute = target.partition(":")
    if not package or (colon and not attribute):
        raise CheckError(f"{target!r} is no target: expected PACKAGE or PACKAGE:ATTRIBUTE")
    try:
        module: object = importlib.import_module(package)
    except KeyboardInterrupt:
        raise
    except BaseException as exc:
        raise CheckError(f"cannot import {package}: {_one_line(exc)}") from None
    if colon:
        try:
            value = module
            for part in attribute.split("."):
                value = getattr(value, part)
        except Exception as exc:
            raise CheckError(f"cannot read {target}: {_one_line(exc)}") from None
        if not issubclass(type(value), VersionManager):
            raise CheckError(f"{target} is not a VersionManager: its type is {type(value).__name__}")
        return [(target, cast(VersionManager, value))]
    namespace = getattr(module, "__dict__", None)
    items = list(namespace.items()) if isinstance(namespace, dict) else []
    found = [(f"{package}:{name}", v) for name, v in items if issubclass(type(v), VersionManager)]
    if not found:
        raise CheckError(f"{package} has no VersionManager among its attributes")
    return found


class _Found(list[tuple[int, Problem]]):
    """Problems with the table index they concern (-1: the whole table), for sorting at the end."""

    def add(self, index: int, severity: Severity, version: str | None, kind: str, message: str) -> None:
        self.append((index, Problem(severity, version, kind, message)))


class _Row(NamedTuple):
    position: int  # in the table
    name: Any
    start: Any
    label: str | None  # the name as the report shows it; None: the entry is no pair, `start` says why


def _check_manager(target: str, vm: VersionManager, when: datetime) -> ManagerReport:
    found = _Found()
    try:
        package: Any = vm.module
        table: list[Any] = list(vm.versions)
    except Exception as exc:
        found.add(-1, "error", None, "entry", f"cannot read the table: {_one_line(exc)}")
        package, table = None, []
    else:
        if not table:
            found.add(-1, "error", None, "empty", "the table is empty: current and last raise ModuleNotFoundError")
    rows: list[_Row] = []
    for index, item in enumerate(table):
        try:
            name, start = item
        except Exception as exc:
            found.add(index, "error", None, "entry", f"entry {index} is not a (name, start) pair: {_one_line(exc)}")
            rows.append(_Row(index, None, _one_line(exc), None))  # `current` raises on reaching it
            continue
        rows.append(_Row(index, name, start, name if type(name) is str else text_of(name)))
    timeline, in_force = _timeline(rows, when, found)
    modules = _import(package, [r for r in rows if r.label is not None], found)
    _drift(package, modules, in_force, found)
    found.sort(key=lambda p: (p[0], p[1].severity != "error"))
    return ManagerReport(target, tuple(timeline), tuple(p for _, p in found))


def _timeline(rows: list[_Row], when: datetime, found: _Found) -> tuple[list[Entry], _Row | None]:
    """Walk the table as `current` does, and work out when each version answers."""
    clock: Any = when
    timeline: list[Entry] = []
    in_force: _Row | None = None  # what `current` returns at `when`
    raises: str | None = None  # what it raises instead, when an entry stops its walk
    bound: Any = None  # the earliest start so far: the end of the next version's window
    blocked = False  # an earlier entry makes `current` raise before it gets to this one
    starts: dict[datetime, tuple[int, str]] = {}  # start -> the first entry with it
    for row in rows:
        index, name, start, label = row
        if label is None:  # not a pair: reported already
            raises, blocked = raises or start, True
            continue
        try:
            started = bool(clock > start)
        except Exception as exc:
            found.add(index, "error", label, "start",
                      f"{text_of(start)} cannot be compared with the clock: {_one_line(exc)}")
            raises, comparable, started = raises or _one_line(exc), False, False
        else:
            comparable = True
            if not _is_datetime(start):
                found.add(index, "error", label, "start",
                          f"{text_of(start)} is a {type(start).__name__}, not a datetime")
        if started and in_force is None and raises is None:
            in_force = row
        answers = comparable and not blocked and (bound is None or _before(start, bound))
        timeline.append(Entry(label, start, bound if answers else None, answers, in_force is row))
        if comparable and (bound is None or _before(start, bound)):
            bound = start
        blocked = blocked or not comparable
        if _is_datetime(start) and (first := starts.setdefault(start, (index, label)))[0] != index:
            found.add(index, "warning", label, "same-start",
                      f"same start as {first[1]}, which comes first and is chosen: this one never answers")
    if rows and in_force is None:
        found.add(-1, "error", None, "not-in-force",
                  f"no version is in force at {when}: current raises {raises or 'ModuleNotFoundError'}")
    return timeline, in_force


def _import(package: Any, rows: list[_Row], found: _Found) -> list[tuple[int, str, dict[str, object]]]:
    """Import every version as `current` and `last` would; the public names of each that imports."""
    modules: list[tuple[int, str, dict[str, object]]] = []
    names: dict[str, Any] = {}  # version name -> its first start
    for index, name, start, label in rows:
        if type(name) is not str or name == "#":
            why = ("get_module rejects it" if type(name) is not str and name is not None
                   else 'get_module calls the package\'s attribute "#" instead of importing a submodule')
            found.add(index, "error", label, "name", f"{label} ({type(name).__name__}): {why}")
        elif name in names:
            found.add(index, "warning", label, "duplicate-name",
                      f"named twice (starts {text_of(names[name])} and {text_of(start)}): one submodule for both")
        else:
            names[name] = start
            try:
                get_module = getattr(version_manager, "VersionManager").get_module
                module = get_module(module=package, version=name, current="#")
            except KeyboardInterrupt:
                raise
            except BaseException as exc:
                found.add(index, "error", label, "import", _one_line(exc))
                continue
            public = _public(module)
            if public is not None:
                modules.append((index, name, public))
    return modules


def _drift(package: Any, modules: list[tuple[int, str, dict[str, object]]], in_force: _Row | None,
           found: _Found) -> None:
    """Names the version in force has and another lacks; signatures that change between neighbours."""
    now = in_force.name if in_force and type(in_force.name) is str else None
    reference = next((m for m in modules if m[1] == now), None)
    for index, name, public in modules:
        if in_force and reference and (missing := [n for n in reference[2] if n not in public]):
            found.add(index, "error" if index < in_force.position else "warning", name, "interface",
                      f"lacks {', '.join(missing)}, which {reference[1]} (in force) has")
    for (index, name, newer), (_, old_name, older) in zip(modules, modules[1:]):
        for attr, value in newer.items():
            old = older.get(attr)
            if callable(value) and callable(old):
                new_sig, old_sig = _signature(value, f"{package}.{name}."), _signature(old, f"{package}.{old_name}.")
                if new_sig is not None and old_sig is not None and new_sig != old_sig:
                    found.add(index, "warning", name, "signature",
                              f"{attr}{new_sig} differs from {attr}{old_sig} in {old_name}")


def _public(module: object) -> dict[str, object] | None:
    """A version's public names with their values: `__all__` if it has one, else its non-module attributes."""
    try:
        namespace = dict(vars(module))
        declared = namespace.get("__all__")
        if declared is not None:
            return {n: namespace.get(n) for n in declared if type(n) is str}
        return {n: v for n, v in namespace.items() if not n.startswith("_") and not issubclass(type(v), ModuleType)}
    except Exception:
        return None  # no namespace to read, or an `__all__` that is no list of names: nothing to compare


def _signature(value: Any, prefix: str) -> str | None:
    """The signature as text, the version's own module left out of the names it shows."""
    try:
        return str(inspect.signature(value)).replace(prefix, "")
    except Exception:
        return None


def _before(start: Any, bound: Any) -> bool:
    try:
        return bool(start < bound)
    except Exception:
        return False


def _is_datetime(value: object) -> bool:
    return issubclass(type(value), datetime)  # the type alone: no attribute of `value` is read


def text_of(value: object) -> str:
    """A value as the report shows it, on one line: a datetime as `str` shows it, anything else by repr."""
    try:
        return str(value) if _is_datetime(value) else " ".join(repr(value).split())
    except Exception:
        return f"<{type(value).__name__}>"


def _one_line(exc: BaseException) -> str:
    try:
        text = str(exc)
    except Exception:
        text = ""
    return " ".join(f"{type(exc).__name__}: {text}".split()) if text else type(exc).__name__
