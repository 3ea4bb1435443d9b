"""Check the schedule of a versioned package before its dates arrive.

``check("tariffs")`` imports a package and its submodules, takes every ``VersionManager`` among
their attributes and, for each, lays out which version answers when and lists what ``current``
and ``last`` would run into on some date: versions that do not import, starts the clock cannot be
compared with, names that ``get_module`` rejects, names and signatures that change at a switch,
and the next switch to come. ``python -m quorlin check`` prints the same report.
"""

from __future__ import annotations

import difflib
import importlib
import os
import pkgutil
import re
import sys
from dataclasses import dataclass, replace
from datetime import date, datetime, timedelta
from types import ModuleType
from typing import Any, Literal, NamedTuple, cast

from quorlin import _signatures, _source, version_manager
from quorlin.version_manager import VersionManager

__all__ = ["CheckError", "Entry", "ManagerReport", "Problem", "Report", "Switch", "Unchecked", "check"]

Severity = Literal["error", "warning", "info"]
_RANK = {"error": 0, "warning": 1, "info": 2}
_NAIVE = "starts are naive local time: a datetime without tzinfo, or a date for midnight"


class CheckError(Exception):
    """A target that cannot be checked: not importable, holding no VersionManager, or a bad `at`.

    `report` holds what was checked nonetheless, with every target that could not be (None for a bad `at`).
    """

    def __init__(self, message: str, report: Report | None = None) -> None:
        super().__init__(message)
        self.report = report


@dataclass(frozen=True)
class Problem:
    severity: Severity  # info: a change that breaks no caller, shown so that it is not a surprise
    version: str | None  # the version concerned (its repr when not a str); None for the whole table
    kind: str  # see docs/check.md for the list
    message: str
    file: str | None = None  # relative to the working directory when it lies below it
    line: int | None = None


@dataclass(frozen=True)
class Entry:
    """One version of the timeline: `current` returns it after `start`, up to and including `until`."""

    name: str  # the version name (its repr when not a str)
    start: object  # the start as stored in the table: normally a datetime
    until: object  # the next start, or None while no later version is due or when it never answers
    answers: bool  # false when `current` can never return it
    in_force: bool  # what `current` returns at the time of the check
    reinstated: bool = False  # the version answered before, and another one in between


@dataclass(frozen=True)
class Switch:
    """The next time `current` changes its answer, and what changes then."""

    at: datetime  # the start of the next version: it answers strictly after
    left: timedelta  # from the time of the check
    old: str | None  # the version in force, None when none is
    new: str
    added: tuple[str, ...] | None  # public names; None when either version does not import
    removed: tuple[str, ...] | None
    changed: tuple[str, ...] | None  # "name: what changed in its signature"


@dataclass(frozen=True)
class ManagerReport:
    target: str  # "package:attribute"
    timeline: tuple[Entry, ...]  # in table order: newest first
    problems: tuple[Problem, ...]  # grouped by version, newest first; errors, warnings, information
    next_switch: Switch | None = None


@dataclass(frozen=True)
class Unchecked:
    """A target (or a submodule of a package target) that could not be checked."""

    target: str
    error: str  # one line
    problems: tuple[Problem, ...] = ()  # located causes, where they can be found


@dataclass(frozen=True)
class Report:
    at: datetime  # the time the schedule was checked at
    managers: tuple[ManagerReport, ...]
    unchecked: tuple[Unchecked, ...] = ()

    def _all(self, severity: Severity) -> list[Problem]:
        every = [p for m in self.managers for p in m.problems] + [p for u in self.unchecked for p in u.problems]
        return [p for p in every if p.severity == severity]

    @property
    def errors(self) -> list[Problem]:
        return self._all("error")

    @property
    def warnings(self) -> list[Problem]:
        return self._all("warning")

    @property
    def infos(self) -> list[Problem]:
        return self._all("info")

    @property
    def has_errors(self) -> bool:
        return bool(self.errors or self.unchecked)


def check(*targets: str, at: datetime | None = None, collect: bool = False) -> Report:
    """Check each target: "package" (every VersionManager in it and its submodules) or "package:attribute".

    `at` is a naive datetime; by default the clock is read the way `current` reads it. A target that
    cannot be imported or holds no VersionManager raises CheckError, or with `collect` is listed in
    the report's `unchecked`.
    """
    if at is not None and (not isinstance(at, datetime) or at.utcoffset() is not None):
        raise CheckError(f"the time to check at must be a naive datetime, as the clock reads: got {text_of(at)}")
    when: datetime = getattr(version_manager, "datetime").now() if at is None else at
    found: dict[int, _Found] = {}
    unchecked: list[Unchecked] = []
    for target in targets:
        try:
            for item in _resolve(target, unchecked):
                found.setdefault(id(item.manager), item)
        except _Failed as exc:
            unchecked.append(exc.unchecked)
    checked = [_check_manager(item, when) for item in found.values()]
    report = Report(when, tuple(_unlisted(checked)), tuple(unchecked))
    if unchecked and not collect:
        raise CheckError(unchecked[0].error, report)
    return report


def managers(target: str) -> list[tuple[str, VersionManager]]:
    """The managers that `target` names, read as `quorlin check` reads its targets, each with its label.

    CheckError when the target cannot be imported or names no manager.
    """
    unchecked: list[Unchecked] = []
    try:
        found = _resolve(target, unchecked)
    except _Failed as exc:
        raise CheckError(exc.unchecked.error) from None
    if not found and unchecked:
        raise CheckError(unchecked[0].error)
    return [(item.label, item.manager) for item in found]


class _Found(NamedTuple):
    label: str  # "module:attribute"
    manager: VersionManager
    holder: object  # what the manager was read from
    attribute: str


class _Failed(Exception):
    def __init__(self, unchecked: Unchecked) -> None:
        super().__init__(unchecked.error)
        self.unchecked = unchecked


def _resolve(target: str, unchecked: list[Unchecked]) -> list[_Found]:
    package, colon, attribute = target.partition(":")
    if not package or (colon and not attribute):
        raise _Failed(Unchecked(target, f"{target!r} is no target: expected PACKAGE or PACKAGE:ATTRIBUTE"))
    module = _import_target(package)
    if colon:
        try:
            holder, value = None, module
            for part in attribute.split("."):
                holder, value = value, getattr(value, part)
        except Exception as exc:
            raise _Failed(Unchecked(target, f"cannot read {target}: {_one_line(exc)}")) from None
        if not issubclass(type(value), VersionManager):
            raise _Failed(Unchecked(target, f"{target} is not a VersionManager: its type is {type(value).__name__}"))
        return [_Found(target, cast(VersionManager, value), holder, attribute.split(".")[-1])]
    found: list[_Found] = []
    failed = len(unchecked)
    _walk(package, module, found, unchecked)
    if not found and len(unchecked) == failed:
        raise _Failed(Unchecked(target, f"{package} has no VersionManager among its attributes "
                                        "or those of its submodules"))
    return found


def _walk(name: str, module: object, found: list[_Found], unchecked: list[Unchecked]) -> None:
    """The managers among a module's attributes, then those of its submodules, version modules left out."""
    namespace = getattr(module, "__dict__", None)
    if not isinstance(namespace, dict):
        return
    found.extend(_Found(f"{name}:{attribute}", cast(VersionManager, value), module, attribute)
                 for attribute, value in list(namespace.items()) if issubclass(type(value), VersionManager))
    path = namespace.get("__path__")
    if path is None:
        return
    listed = {n for item in found if _package_of(item.manager) == name for n in _names(item.manager)}
    shapes = {_shape(n) for n in listed}
    for child in _submodules(path):
        if child not in listed and child != "__main__" and _shape(child) not in shapes:
            try:
                submodule = _import_target(f"{name}.{child}")
            except _Failed as exc:
                unchecked.append(exc.unchecked)
            else:
                _walk(f"{name}.{child}", submodule, found, unchecked)


def _import_target(name: str) -> object:
    try:
        return importlib.import_module(name)
    except KeyboardInterrupt:
        raise
    except BaseException as exc:
        error = f"cannot import {name}: {_one_line(exc)}{_path_hint(name, exc)}"
        raise _Failed(Unchecked(name, error, _diagnose(exc))) from None


def _path_hint(name: str, exc: BaseException) -> str:
    """Why a package that is right here may not import: its directory (this one, src/, ...) is not on sys.path."""
    top = name.split(".")[0]
    if not isinstance(exc, ModuleNotFoundError) or exc.name != top:
        return ""
    try:
        on_path = {os.path.realpath(p or ".") for p in sys.path if type(p) is str}
        subdirectories = sorted(d for d in os.listdir(".") if not d.startswith(".") and os.path.isdir(d))
    except OSError:
        return ""
    for directory in [".", *subdirectories]:
        package = os.path.join(directory, top)
        if os.path.realpath(directory) not in on_path and (
                os.path.isfile(os.path.join(package, "__init__.py")) or os.path.isfile(f"{package}.py")):
            where = "the working directory" if directory == "." else f"./{directory}"
            return (f" (hint: {top} is in {where}, which is not on sys.path: run from there, "
                    f"set PYTHONPATH={directory} or install the project)")
    return ""


def _diagnose(exc: BaseException) -> tuple[Problem, ...]:
    """The entries of a table that a failed import could not build a manager from."""
    site = _source.failed_construction(exc)
    if site is None:
        return ()
    table = site.value(site.table)
    try:
        items: list[Any] = list(table.items()) if isinstance(table, dict) else list(cast(Any, table))
    except Exception:
        items = []
    problems: list[Problem] = []
    for index, item in enumerate(items):
        line = site.entries[index][2] if len(site.entries) == len(items) else site.line
        try:
            name, start = item
        except Exception:
            problems.append(Problem("error", item if type(item) is str else None, "entry",
                                    f"entry {index} is not a (name, start) pair: {text_of(item)}", site.file, line))
            continue
        label = name if type(name) is str else text_of(name)
        if _is_datetime(start) and _offset(start) is not None:
            why = "an aware datetime"
        elif not isinstance(start, date):
            why = f"a {type(start).__name__}, not a datetime"
        else:
            continue
        problems.append(Problem("error", label, "start", f"{text_of(start)} is {why}: {_NAIVE}", site.file,
                                site.line_of(name, start)))
    if not problems:
        problems.append(Problem("error", None, "table", f"the table cannot be built: {_one_line(exc)} ({_NAIVE})",
                                site.file, site.line))
    return tuple(problems)


def _offset(value: Any) -> object:
    try:
        return value.utcoffset()
    except Exception:
        return "unknown"


class _Problems(list[tuple[int, Problem]]):
    """Problems with the table index they concern (-1: the whole table), for sorting at the end."""

    def add(self, index: int, severity: Severity, version: str | None, kind: str, message: str,
            where: tuple[str | None, int | None] = (None, None)) -> None:
        self.append((index, Problem(severity, version, kind, message, *where)))


class _Row(NamedTuple):
    position: int  # in the table
    name: Any
    start: Any
    label: str | None  # the name as the report shows it; None: the entry is no pair, `start` says why


class _Version(NamedTuple):
    module: object
    public: dict[str, object]  # the names it really has, of those it declares public
    file: str | None


class _Checked(NamedTuple):
    report: ManagerReport
    package: Any  # the manager's package name


def _check_manager(item: _Found, when: datetime) -> _Checked:
    found = _Problems()
    source = _source.table_of(item.holder, item.attribute) if isinstance(item.holder, ModuleType) else None
    whole = (source.file, source.line) if source else (None, None)
    try:
        package: Any = item.manager.module
        table: list[Any] = list(item.manager.versions)
    except Exception as exc:
        found.add(-1, "error", None, "entry", f"cannot read the table: {_one_line(exc)}", whole)
        package, table = None, []
    else:
        if not table:
            found.add(-1, "error", None, "empty", "the table is empty: current and last raise ModuleNotFoundError",
                      whole)
    rows: list[_Row] = []
    for index, entry in enumerate(table):
        try:
            name, start = entry
        except Exception as exc:
            found.add(index, "error", None, "entry", f"entry {index} is not a (name, start) pair: {_one_line(exc)}",
                      whole)
            rows.append(_Row(index, None, _one_line(exc), None))  # `current` raises on reaching it
            continue
        rows.append(_Row(index, name, start, name if type(name) is str else text_of(name)))

    def where(row: _Row | None) -> tuple[str | None, int | None]:
        return (source.file, source.line_of(row.name, row.start)) if source and row else whole

    timeline, answering, in_force = _timeline(rows, when, found, where)
    timeline = _reinstatements(timeline, answering, found, where)
    versions = _import(package, [r for r in rows if r.label is not None], found, where)
    chronological = [r for r in reversed(answering) if type(r.name) is str]
    _drift(chronological, versions, when, found)
    switch = _next_switch(chronological, versions, in_force, when)
    found.sort(key=lambda p: (p[0], _RANK[p[1].severity]))
    report = ManagerReport(item.label, tuple(e for _, e in timeline), tuple(p for _, p in found), switch)
    return _Checked(report, package)


def _timeline(rows: list[_Row], when: datetime, found: _Problems, where: Any
              ) -> tuple[list[tuple[_Row, Entry]], list[_Row], _Row | None]:
    """Walk the table as `current` does, and work out when each version answers."""
    clock: Any = when
    timeline: list[tuple[_Row, Entry]] = []
    answering: list[_Row] = []  # newest first
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
                      f"{text_of(start)} cannot be compared with the clock: {_one_line(exc)}", where(row))
            raises, comparable, started = raises or _one_line(exc), False, False
        else:
            comparable = True
            if not _is_datetime(start):
                found.add(index, "error", label, "start",
                          f"{text_of(start)} is a {type(start).__name__}, not a datetime", where(row))
        if started and in_force is None and raises is None:
            in_force = row
        answers = comparable and not blocked and (bound is None or _before(start, bound))
        timeline.append((row, Entry(label, start, bound if answers else None, answers, in_force is row)))
        if answers:
            answering.append(row)
        if comparable and (bound is None or _before(start, bound)):
            bound = start
        blocked = blocked or not comparable
        if _is_datetime(start) and (first := starts.setdefault(start, (index, label)))[0] != index:
            found.add(index, "warning", label, "same-start",
                      f"same start as {first[1]}, which comes first and is chosen: this one never answers", where(row))
    if rows and in_force is None:
        found.add(-1, "error", None, "not-in-force",
                  f"no version is in force at {when}: current raises {raises or 'ModuleNotFoundError'}",
                  where(None))
    return timeline, answering, in_force


def _reinstatements(timeline: list[tuple[_Row, Entry]], answering: list[_Row], found: _Problems, where: Any
                    ) -> list[tuple[_Row, Entry]]:
    """A name that answers again after another version did is a reinstatement; any other repeat is a warning."""
    order = {row.position: i for i, row in enumerate(reversed(answering))}  # oldest first
    names = [row.name for row in reversed(answering)]

    def apart(a: _Row, b: _Row) -> bool:  # both answer, another version between them
        if a.position not in order or b.position not in order:
            return False
        low, high = sorted((order[a.position], order[b.position]))
        return any(not _same(n, a.name) for n in names[low + 1:high])

    first: dict[str, _Row] = {}
    result: list[tuple[_Row, Entry]] = []
    for row, entry in timeline:
        earlier = first.setdefault(row.name, row) if type(row.name) is str else row
        if earlier is not row and not apart(earlier, row):
            found.add(row.position, "warning", row.label, "duplicate-name",
                      f"named twice (starts {text_of(earlier.start)} and {text_of(row.start)}): "
                      "one submodule for both", where(row))
        back = row.position in order and any(
            _same(n, row.name) and not all(_same(m, row.name) for m in names[i + 1:order[row.position]])
            for i, n in enumerate(names[:order[row.position]]))
        result.append((row, replace(entry, reinstated=True) if back else entry))
    return result


def _import(package: Any, rows: list[_Row], found: _Problems, where: Any) -> dict[str, _Version]:
    """Import every version as `current` and `last` would; the public names of each that imports."""
    versions: dict[str, _Version] = {}
    seen: set[str] = set()
    for row in rows:
        index, name, _, label = row
        if type(name) is not str or name == "#":
            why = ("get_module rejects it" if type(name) is not str and name is not None
                   else 'get_module calls the package\'s attribute "#" instead of importing a submodule')
            found.add(index, "error", label, "name", f"{label} ({type(name).__name__}): {why}", where(row))
            continue
        if name in seen:
            continue
        seen.add(name)
        files = _version_files(package, name)
        try:
            get_module = getattr(version_manager, "VersionManager").get_module
            module = get_module(module=package, version=name, current="#")
        except KeyboardInterrupt:
            raise
        except BaseException as exc:
            failing = _source.failing_line(exc, files)
            message = _one_line(exc)
            if failing is None and isinstance(exc, ModuleNotFoundError):
                siblings = [n for n in _submodules(_package_dirs(package)) if n != name]
                if close := difflib.get_close_matches(name, siblings, n=1):
                    message += f"; did you mean {close[0]}?"
            found.add(index, "error", label, "import", message,
                      (_source.display(failing[0]), failing[1]) if failing else where(row))
            continue
        public = _public(module)
        if public is None:
            continue
        file = _source.module_file(module)
        declared = _source.all_lines(file) if file else {}
        for missing in public[1]:
            found.add(index, "error", label, "export",
                      f"__all__ lists {missing}, which the module does not define: a star import fails",
                      (_source.display(file), declared.get(missing)) if file else (None, None))
        versions[name] = _Version(module, public[0], file)
    return versions


def _drift(chronological: list[_Row], versions: dict[str, _Version], when: datetime, found: _Problems) -> None:
    """At each switch, the public names the new version drops and the signatures it changes.

    Breaking changes are errors on a switch to come and warnings on one already past; compatible
    signature changes are information.
    """
    previous: _Row | None = None
    for row in chronological:
        if row.name not in versions:
            continue
        if previous is not None and previous.name != row.name:
            old, new = versions[previous.name], versions[row.name]
            severity: Severity = "warning" if _after(when, row.start) else "error"
            place = _source.display(new.file) if new.file else None
            removed, _, changed = _differences(old, new, previous.name, row.name)
            if removed:
                line = _source.all_lines(new.file).get("__all__") if new.file else None
                found.add(row.position, severity, row.label, "interface",
                          f"drops {', '.join(removed)}, which {previous.name} has", (place, line))
            lines = _source.definitions(new.file) if new.file else {}
            for attribute, changes in changed:
                breaking = any(c.breaking for c in changes)
                effect = "break" if breaking else "still bind"
                found.add(row.position, severity if breaking else "info", row.label, "signature",
                          f"{attribute}: {'; '.join(c.text for c in changes)} (calls written for {previous.name} "
                          f"{effect})", (place, lines.get(attribute)))
        previous = row


def _differences(old: _Version, new: _Version, old_name: str, new_name: str
                 ) -> tuple[list[str], list[str], list[tuple[str, list[_signatures.Change]]]]:
    """Names dropped, names added, and changed signatures from one version to the next."""
    removed = [n for n in old.public if n not in new.public]
    added = [n for n in new.public if n not in old.public]
    changed: list[tuple[str, list[_signatures.Change]]] = []
    for attribute, value in new.public.items():
        before = old.public.get(attribute)
        if attribute in old.public and callable(value) and callable(before):
            was, now = _signatures.signature(before), _signatures.signature(value)
            old_module, new_module = _module_name(old.module, old_name), _module_name(new.module, new_name)
            try:
                changes = _signatures.compare(was, now, old_module, new_module) if was and now else []
            except Exception:
                changes = []  # a signature that cannot even be read
            if changes:
                changed.append((attribute, changes))
    return removed, added, changed


def _next_switch(chronological: list[_Row], versions: dict[str, _Version], in_force: _Row | None,
                 when: datetime) -> Switch | None:
    coming = next((r for r in chronological if not _after(when, r.start) and _is_datetime(r.start)), None)
    if coming is None:
        return None
    try:
        left = coming.start - when
    except Exception:
        return None
    old = in_force.label if in_force else None
    added: tuple[str, ...] | None = None
    removed: tuple[str, ...] | None = None
    changed: tuple[str, ...] | None = None
    new = versions.get(coming.name)
    if in_force is None and new is not None:
        added, removed, changed = tuple(new.public), (), ()
    elif in_force is not None and new is not None and in_force.name in versions:
        gone, new_names, signatures = _differences(versions[in_force.name], new, in_force.name, coming.name)
        added, removed = tuple(new_names), tuple(gone)
        changed = tuple(f"{a}: {'; '.join(c.text for c in cs)}" for a, cs in signatures)
    return Switch(coming.start, left, old, coming.label or "", added, removed, changed)


def _unlisted(checked: list[_Checked]) -> list[ManagerReport]:
    """Add, to the first manager of each package, the module files that look like versions but no table lists."""
    reports = [c.report for c in checked]
    first: dict[str, int] = {}
    listed: dict[str, set[str]] = {}
    for i, c in enumerate(checked):
        if type(c.package) is str:
            first.setdefault(c.package, i)
            listed.setdefault(c.package, set()).update(e.name for e in c.report.timeline)
    for package, i in first.items():
        shapes = {_shape(n) for n in listed[package]}
        extra = []
        for name in _submodules(_package_dirs(package)):
            if name not in listed[package] and _shape(name) in shapes:
                path = next((p for p in _version_files(package, name) if os.path.exists(p)), None)
                extra.append(Problem("warning", name, "unlisted", "looks like a version, but no table lists it",
                                     _source.display(path) if path else None, 1 if path else None))
        if extra:
            reports[i] = replace(reports[i], problems=reports[i].problems + tuple(extra))
    return reports


def _public(module: object) -> tuple[dict[str, object], list[str]] | None:
    """A version's public names with their values: `__all__` if it has one, else its non-module attributes.

    With `__all__`, also the names that it lists and the module lacks.
    """
    try:
        namespace = dict(vars(module))
        declared = namespace.get("__all__")
        if declared is None:
            return {n: v for n, v in namespace.items()
                    if not n.startswith("_") and not issubclass(type(v), ModuleType)}, []
        public: dict[str, object] = {}
        missing: list[str] = []
        for n in declared:
            if type(n) is not str:
                continue
            if n in namespace:
                public[n] = namespace[n]
            elif "__getattr__" in namespace and (value := _attribute(module, n)) is not _MISSING:
                public[n] = value
            else:
                missing.append(n)
        return public, missing
    except Exception:
        return None  # no namespace to read, or an `__all__` that is no list of names: nothing to compare


_MISSING = object()


def _attribute(module: object, name: str) -> object:
    try:
        return getattr(module, name)
    except Exception:
        return _MISSING  # what a star import would fail on too


def _package_of(manager: VersionManager) -> object:
    try:
        return manager.module
    except Exception:
        return None


def _names(manager: VersionManager) -> list[str]:
    try:
        return [entry[0] for entry in list(manager.versions) if type(entry[0]) is str]
    except Exception:
        return []


def _package_dirs(package: Any) -> list[str]:
    path = getattr(sys.modules.get(package) if type(package) is str else None, "__path__", None)
    try:
        return [p for p in path if type(p) is str] if path is not None else []
    except Exception:
        return []


def _version_files(package: Any, name: str) -> list[str]:
    """Where the source of submodule `name` of `package` may lie: a module file, or a package's __init__.py."""
    return [p for d in _package_dirs(package) for p in (os.path.join(d, f"{name}.py"),
                                                         os.path.join(d, name, "__init__.py"))]


def _submodules(path: Any) -> list[str]:
    """The names of the modules found in a package's `__path__`, sorted."""
    try:
        return sorted(info.name for info in pkgutil.iter_modules(path))
    except Exception:
        return []


def _shape(name: str) -> str:
    """A version name with its digits generalised: v2025_03 and v2026_11 have the same shape."""
    return re.sub(r"\d+", "0", name)


def _module_name(module: object, fallback: str) -> str:
    name = getattr(module, "__name__", None)
    return name if type(name) is str else fallback


def _before(start: Any, bound: Any) -> bool:
    try:
        return bool(start < bound)
    except Exception:
        return False


def _after(when: Any, start: Any) -> bool:
    try:
        return bool(when > start)
    except Exception:
        return False


def _same(a: object, b: object) -> bool:
    return type(a) is str and type(b) is str and a == b


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
