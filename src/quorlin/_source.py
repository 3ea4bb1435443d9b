"""Where in a package's source a problem lies: definitions, `__all__`, table entries, failing lines."""

from __future__ import annotations

import ast
import functools
import os
import sys
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import date, datetime, time
from types import TracebackType
from typing import Any

# The file name that `quorlin.version_manager` gives its own traceback entries.
MANAGER_FILE = "src/quorlin/version_manager"
# Its members that build a table: the constructor and the `versions` setter with its helpers.
_BUILDERS = ("quorlin.version_manager.VersionManager.__init__", "quorlin.version_manager.VersionManager.versions")


def display(path: str) -> str:
    """A file as the report names it: relative to the working directory when it lies below it."""
    try:
        relative = os.path.relpath(path)
    except (ValueError, OSError):  # another drive; a working directory that is gone
        return path
    return path if relative.startswith(os.pardir) else relative


@functools.lru_cache(maxsize=256)
def _parse(path: str) -> ast.Module | None:
    try:
        with open(path, "rb") as file:
            return ast.parse(file.read(), path)
    except (OSError, SyntaxError, ValueError):
        return None


def module_file(module: object) -> str | None:
    try:
        path = getattr(module, "__file__", None)
    except Exception:
        return None
    return path if type(path) is str and path.endswith(".py") else None


def _bound(statement: ast.stmt) -> list[str]:
    """The module-level names that a statement binds."""
    if isinstance(statement, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        return [statement.name]
    if isinstance(statement, ast.Assign):
        return [n.id for t in statement.targets for n in ast.walk(t) if isinstance(n, ast.Name)]
    if isinstance(statement, (ast.AnnAssign, ast.AugAssign)) and isinstance(statement.target, ast.Name):
        return [statement.target.id]
    if isinstance(statement, (ast.Import, ast.ImportFrom)):
        return [(a.asname or a.name).split(".")[0] for a in statement.names]
    return []


def definitions(path: str) -> dict[str, int]:
    """Each module-level name of a file with the line of its last binding (the one in effect)."""
    tree = _parse(path)
    lines: dict[str, int] = {}
    for statement in tree.body if tree else []:
        for name in _bound(statement):
            lines[name] = statement.lineno
    return lines


def all_lines(path: str) -> dict[str, int]:
    """`__all__` with the line of its statement, and each name listed in it with its own line."""
    tree = _parse(path)
    lines: dict[str, int] = {}
    for statement in tree.body if tree else []:
        if "__all__" in _bound(statement) and isinstance(statement, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
            lines.setdefault("__all__", statement.lineno)
            for node in ast.walk(statement.value) if statement.value else []:
                if isinstance(node, ast.Constant) and type(node.value) is str:
                    lines.setdefault(node.value, node.lineno)
    return lines


def failing_line(exc: BaseException, files: list[str]) -> tuple[str, int] | None:
    """The deepest point of a failed import that lies in one of `files` (a syntax error: its own place)."""
    wanted = {os.path.realpath(f) for f in files}
    if isinstance(exc, SyntaxError) and exc.filename and os.path.realpath(exc.filename) in wanted:
        return exc.filename, exc.lineno or 1
    found = None
    tb: TracebackType | None = exc.__traceback__
    while tb is not None:
        if os.path.realpath(tb.tb_frame.f_code.co_filename) in wanted:
            found = tb.tb_frame.f_code.co_filename, tb.tb_lineno
        tb = tb.tb_next
    return found


@dataclass
class TableSource:
    """The source of one table: the file, the line of the table (or of the call given it), its entries."""

    file: str
    line: int
    table: ast.expr | None
    entries: list[tuple[ast.expr | None, ast.expr | None, int]]  # (name, start, line); no pair: (None, None, line)
    namespace: Mapping[str, Any]  # what the start expressions are evaluated in to tell equal names apart
    local: Mapping[str, Any] | None = None

    def line_of(self, name: object, start: object) -> int:
        """The line of the entry with this name and start; the table's line when it cannot be told."""
        same = [e for e in self.entries if isinstance(e[0], ast.Constant) and _same(e[0].value, name)]
        if len(same) > 1:
            same = [e for e in same if _same(self.value(e[1]), start)] or same
        return same[0][2] if same else self.line

    def value(self, node: ast.expr | None) -> object:
        """What a node of the table evaluates to, a date made the datetime the table stores; None on failure."""
        if node is None:
            return None
        try:
            namespace = self.namespace if isinstance(self.namespace, dict) else dict(self.namespace)
            value = eval(compile(ast.Expression(node), self.file, "eval"), namespace, self.local)
        except Exception:
            return None
        return datetime.combine(value, time()) if type(value) is date else value


def _same(a: object, b: object) -> bool:
    try:
        return type(a) is type(b) and bool(a == b)
    except Exception:
        return False


def _table_argument(call: ast.Call) -> ast.expr | None:
    if len(call.args) >= 2:
        return call.args[1]
    return next((k.value for k in call.keywords if k.arg == "versions"), None)


def _assigned(tree: ast.Module, name: str) -> ast.expr | None:
    value = None
    for statement in tree.body:
        if isinstance(statement, ast.Assign) and any(isinstance(t, ast.Name) and t.id == name
                                                     for t in statement.targets):
            value = statement.value
        elif isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name) \
                and statement.target.id == name and statement.value is not None:
            value = statement.value
    return value


def _source(path: str, line: int, table: ast.expr | None, tree: ast.Module, namespace: Mapping[str, Any],
            local: Mapping[str, Any] | None = None) -> TableSource:
    for _ in range(3):  # a table bound to a name first: follow the name to its value
        if not isinstance(table, ast.Name) or (value := _assigned(tree, table.id)) is None:
            break
        table = value
    entries: list[tuple[ast.expr | None, ast.expr | None, int]] = []
    if isinstance(table, ast.Dict):
        entries = [(k, v, (k or v).lineno) for k, v in zip(table.keys, table.values)]
    elif isinstance(table, (ast.List, ast.Tuple, ast.Set)):
        entries = [(e.elts[0], e.elts[1], e.lineno) if isinstance(e, (ast.Tuple, ast.List)) and len(e.elts) == 2
                   else (None, None, e.lineno) for e in table.elts]
    return TableSource(display(path), table.lineno if table is not None else line, table, entries, namespace, local)


def table_of(module: object, attribute: str) -> TableSource | None:
    """The table that built the manager bound to `attribute` at the top level of `module`, followed through aliases."""
    path = module_file(module)
    tree = _parse(path) if path else None
    if path is None or tree is None:
        return None
    seen: set[str] = set()
    while attribute not in seen:
        seen.add(attribute)
        value = _assigned(tree, attribute)
        if isinstance(value, ast.Call):
            try:
                namespace = vars(module)
            except TypeError:
                namespace = {}
            return _source(path, value.lineno, _table_argument(value), tree, namespace)
        if not isinstance(value, ast.Name):
            return None
        attribute = value.id
    return None


def failed_construction(exc: BaseException) -> TableSource | None:
    """Where a failed import built a manager (or assigned a table) from a table that could not be built."""
    logger_file = getattr(sys.modules.get("logger"), "__file__", None)
    caller: TracebackType | None = None
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename != MANAGER_FILE:
        if tb.tb_frame.f_code.co_filename != logger_file:
            caller = tb
        tb = tb.tb_next
    if tb is None or caller is None or not tb.tb_frame.f_code.co_name.startswith(_BUILDERS):
        return None  # not raised while a table was built: by `current` at import time, say
    path, line, frame = caller.tb_frame.f_code.co_filename, caller.tb_lineno, caller.tb_frame
    tree = _parse(path)
    if tree is None:
        return TableSource(display(path), line, None, [], frame.f_globals, frame.f_locals)
    # The call (or `.versions = ...`) on the failing line; a VersionManager by name before any other call.
    best: tuple[tuple[bool, bool, int], ast.expr] | None = None
    for node in ast.walk(tree):
        if not isinstance(node, (ast.Call, ast.Assign)) or not node.lineno <= line <= (node.end_lineno or 0):
            continue
        if isinstance(node, ast.Call):
            table = _table_argument(node)
            func = node.func
            named = (func.id if isinstance(func, ast.Name) else func.attr if isinstance(func, ast.Attribute)
                     else "").endswith("VersionManager")
        elif any(isinstance(t, ast.Attribute) and t.attr == "versions" for t in node.targets):
            table, named = node.value, True
        else:
            continue
        rank = (named, node.lineno == line, (node.end_lineno or 0) - node.lineno)
        if table is not None and (best is None or rank > best[0]):
            best = rank, table
    local = frame.f_locals if frame.f_locals is not frame.f_globals else None
    return _source(path, line, best[1] if best else None, tree, frame.f_globals, local)
