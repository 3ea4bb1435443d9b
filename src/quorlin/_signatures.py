"""What changed between two signatures of one callable, and whether calls written for the old still bind."""

from __future__ import annotations

import inspect
from inspect import Parameter
from typing import Any, NamedTuple

_POSITIONAL = (Parameter.POSITIONAL_ONLY, Parameter.POSITIONAL_OR_KEYWORD)
_VARIADIC = (Parameter.VAR_POSITIONAL, Parameter.VAR_KEYWORD)


class Change(NamedTuple):
    breaking: bool  # some call that bound to the old signature no longer binds, or binds differently
    text: str  # names the parameter and what happened to it


def signature(value: object) -> inspect.Signature | None:
    try:
        return inspect.signature(value)  # type: ignore[arg-type]
    except Exception:
        return None  # not introspectable: nothing to compare


def compare(old: inspect.Signature, new: inspect.Signature, old_module: str, new_module: str) -> list[Change]:
    """The changes from `old` to `new`; annotations are compared as text, each version's own module left out."""
    changes: list[Change] = []
    olds = [p for p in old.parameters.values() if p.kind not in _VARIADIC]
    news = [p for p in new.parameters.values() if p.kind not in _VARIADIC]
    old_names = {p.name for p in olds}
    new_by_name = {p.name: p for p in news}
    old_pos = [p.name for p in olds if p.kind in _POSITIONAL]
    new_pos = [p.name for p in news if p.kind in _POSITIONAL]
    # A parameter whose name is gone, at a position now held by a name the old signature lacked.
    renamed = {name: new_pos[i] for i, name in enumerate(old_pos)
               if name not in new_by_name and i < len(new_pos) and new_pos[i] not in old_names}
    new_var = {p.kind: p for p in new.parameters.values() if p.kind in _VARIADIC}
    old_var = {p.kind: p for p in old.parameters.values() if p.kind in _VARIADIC}

    for p in olds:
        if p.name in renamed:
            q = new_by_name[renamed[p.name]]
            changes.append(Change(p.kind is not Parameter.POSITIONAL_ONLY, f"parameter {p.name} renamed to {q.name}"))
            _parameter(p, q, changes, old_module, new_module)
        elif p.name in new_by_name:
            _parameter(p, new_by_name[p.name], changes, old_module, new_module)
        else:
            by_keyword = p.kind is not Parameter.POSITIONAL_ONLY and Parameter.VAR_KEYWORD not in new_var
            by_position = p.kind in _POSITIONAL and Parameter.VAR_POSITIONAL not in new_var
            changes.append(Change(by_keyword or by_position, f"parameter {p.name} removed"))

    kept_old = [renamed.get(n, n) for n in old_pos if renamed.get(n, n) in new_pos]
    kept_new = [n for n in new_pos if n in kept_old]
    if kept_old != kept_new:
        was, now = ", ".join(kept_old), ", ".join(kept_new)
        changes.append(Change(True, f"positional order changed from ({was}) to ({now})"))
    targets = set(renamed.values())
    for q in news:
        if q.name in old_names or q.name in targets:
            continue
        shifted = [n for n in new_pos[new_pos.index(q.name) + 1:] if n in kept_old] if q.kind in _POSITIONAL else []
        if shifted:
            changes.append(Change(True, f"new parameter {q.name} inserted before {shifted[0]}, "
                                        "which moves one place on"))
        elif q.default is Parameter.empty:
            changes.append(Change(True, f"new required parameter {q.name}"))
        else:
            changes.append(Change(False, f"new optional parameter {q.name}"))
    for kind, stars in ((Parameter.VAR_POSITIONAL, "*"), (Parameter.VAR_KEYWORD, "**")):
        if kind in old_var and kind not in new_var:
            changes.append(Change(True, f"{stars}{old_var[kind].name} removed"))
        elif kind in new_var and kind not in old_var:
            changes.append(Change(False, f"{stars}{new_var[kind].name} added"))
    was, now = _annotation(old.return_annotation, old_module), _annotation(new.return_annotation, new_module)
    if was != now:
        changes.append(Change(False, f"return annotation {was or 'none'} became {now or 'none'}"))
    return changes


def _parameter(p: Parameter, q: Parameter, changes: list[Change], old_module: str, new_module: str) -> None:
    """Changes to one parameter kept under the same or a new name: how it is passed, its default, its annotation."""
    if p.kind is not q.kind:
        if q.kind is Parameter.KEYWORD_ONLY:
            changes.append(Change(True, f"parameter {q.name} made keyword-only"))
        elif q.kind is Parameter.POSITIONAL_ONLY:
            changes.append(Change(True, f"parameter {q.name} made positional-only"))
        elif p.kind is Parameter.POSITIONAL_ONLY:
            changes.append(Change(False, f"parameter {q.name} may now be passed by keyword"))
        else:
            changes.append(Change(False, f"parameter {q.name} may now be passed by position"))
    if p.default is not Parameter.empty and q.default is Parameter.empty:
        changes.append(Change(True, f"parameter {q.name} lost its default: now required"))
    elif p.default is Parameter.empty and q.default is not Parameter.empty:
        changes.append(Change(False, f"parameter {q.name} now optional"))
    elif p.default is not Parameter.empty and (was := _text(p.default)) != (now := _text(q.default)):
        changes.append(Change(False, f"default of {q.name} changed from {was} to {now}"))
    was, now = _annotation(p.annotation, old_module), _annotation(q.annotation, new_module)
    if was != now:
        changes.append(Change(False, f"annotation of {q.name} changed from {was or 'none'} to {now or 'none'}"))


def _annotation(value: Any, module: str) -> str:
    if value is Parameter.empty or value is inspect.Signature.empty:
        return ""
    try:
        return inspect.formatannotation(value, module).replace(f"{module}.", "")
    except Exception:
        return _text(value)


def _text(value: object) -> str:
    try:
        return " ".join(repr(value).split())
    except Exception:
        return f"<{type(value).__name__}>"
