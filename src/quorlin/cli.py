"""The `quorlin` command: `quorlin check [TARGET...] [--at WHEN] [--format FORMAT] [--strict] [--due-within DAYS]`.

Also run as `python -m quorlin`. Without TARGET, the targets come from `[tool.quorlin] check` in
./pyproject.toml.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import sys
import tomllib
from collections.abc import Sequence
from datetime import date, datetime, time, timedelta
from typing import cast

from quorlin.check import CheckError, ManagerReport, Problem, Report, Switch, Unchecked, check, text_of

EXIT_STATUSES = "0 no error, 1 errors found (or warnings, with --strict), 2 a target cannot be checked or bad usage"


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; return its exit status (see EXIT_STATUSES)."""
    parser = argparse.ArgumentParser(prog="quorlin", description="Tools for packages versioned by date.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    cmd = commands.add_parser(
        "check", help="check the schedules of versioned packages",
        description="Check every version of each VersionManager before its start date arrives: that it imports, "
        "that its start can be compared with the clock and that each switch keeps the names and signatures "
        f"callers use. Exit status: {EXIT_STATUSES}.")
    cmd.add_argument("targets", nargs="*", metavar="TARGET",
                     help="PACKAGE (every VersionManager in it and its submodules) or PACKAGE:ATTRIBUTE; "
                     "default: the list `check` under [tool.quorlin] in ./pyproject.toml")
    cmd.add_argument("--at", type=_moment, metavar="WHEN",
                     help="ISO date or datetime in naive local time (default: now, as VersionManager reads it)")
    cmd.add_argument("--format", choices=("text", "json", "github"), default="text",
                     help="text (default), json (one object), or github (text, then GitHub Actions annotations)")
    cmd.add_argument("--json", dest="format", action="store_const", const="json", help="the same as --format json")
    cmd.add_argument("--strict", action="store_true", help="warnings fail the check too (exit status 1)")
    cmd.add_argument("--due-within", type=_days, metavar="DAYS",
                     help="report only the managers whose next switch comes within DAYS days")
    args = parser.parse_args(argv)

    try:
        targets = args.targets or _configured_targets()
    except _Usage as exc:
        print(f"quorlin check: {exc}", file=sys.stderr)
        return 2
    try:
        here = os.getcwd()
    except OSError as exc:
        print(f"quorlin check: the working directory is gone: {exc}", file=sys.stderr)
        return 2
    if here not in sys.path and "" not in sys.path:
        sys.path.insert(0, here)  # targets import from here, as under `python -m`
    try:
        with contextlib.redirect_stdout(sys.stderr):  # what the imported packages print stays out of the report
            report = check(*targets, at=args.at, collect=True)
    except CheckError as exc:
        print(f"quorlin check: {exc}", file=sys.stderr)
        return 2
    if args.due_within is not None:
        report = dataclasses.replace(report, managers=tuple(
            m for m in report.managers if m.next_switch and m.next_switch.left <= args.due_within))
    if args.format == "json":
        print(json.dumps(as_json(report), indent=2))
    else:
        for u in report.unchecked:
            print(_unchecked_text(u), file=sys.stderr)
        if report.managers:
            print(as_text(report))
        if args.format == "github":
            print("\n".join(github_annotations(report)))
    if report.unchecked:
        return 2
    return 1 if report.errors or (args.strict and report.warnings) else 0


class _Usage(Exception):
    pass


def _configured_targets(path: str = "pyproject.toml") -> list[str]:
    """The targets listed under [tool.quorlin] check in the project's pyproject.toml."""
    try:
        with open(path, "rb") as file:
            config = tomllib.load(file)
    except FileNotFoundError:
        raise _Usage(f"no TARGET given, and there is no {path} here to list them under [tool.quorlin] check") from None
    except (OSError, tomllib.TOMLDecodeError, UnicodeDecodeError) as exc:
        raise _Usage(f"cannot read {path}: {exc}") from None
    tool = config.get("tool")
    section = tool.get("quorlin") if isinstance(tool, dict) else None
    targets = section.get("check") if isinstance(section, dict) else None
    if targets is None:
        raise _Usage(f"no TARGET given, and {path} lists none: add check = [\"mypackage\"] under [tool.quorlin]")
    if not isinstance(targets, list) or not targets or not all(isinstance(t, str) and t for t in targets):
        raise _Usage(f"[tool.quorlin] check in {path} must be a non-empty list of targets, each a string: "
                     f"got {text_of(targets)}")
    return cast(list[str], targets)


def parse_when(text: str) -> date | datetime:
    """WHEN as given on a command line: an ISO date, or an ISO datetime (naive, or with its offset)."""
    try:
        return date.fromisoformat(text)
    except ValueError:
        pass
    try:
        return datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO date or datetime: {text!r} (e.g. 2027-01-01 or 2027-01-01T06:00)")


def _moment(text: str) -> datetime:
    when = parse_when(text)
    if not isinstance(when, datetime):
        return datetime.combine(when, time())  # a bare date: its midnight
    if when.utcoffset() is not None:
        raise argparse.ArgumentTypeError(f"{text!r} has a time zone; give naive local time, as the clock reads it")
    return when


def _days(text: str) -> timedelta:
    try:
        days = float(text)
        window = timedelta(days=days)
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"not a number of days: {text!r}") from None
    if not days >= 0:
        raise argparse.ArgumentTypeError(f"the number of days must be 0 or more: {text!r}")
    return window


def _iso(value: object) -> str:
    return cast(datetime, value).isoformat() if issubclass(type(value), datetime) else text_of(value)


def _problem_json(p: Problem) -> dict[str, object]:
    return dataclasses.asdict(p)


def _switch_json(s: Switch | None) -> dict[str, object] | None:
    if s is None:
        return None
    return {"at": _iso(s.at), "seconds_left": s.left.total_seconds(), "from": s.old, "to": s.new,
            "added": _list(s.added), "removed": _list(s.removed), "changed": _list(s.changed)}


def _list(names: tuple[str, ...] | None) -> list[str] | None:
    return None if names is None else list(names)


def as_json(report: Report) -> dict[str, object]:
    def manager(m: ManagerReport) -> dict[str, object]:
        return {
            "target": m.target,
            "timeline": [{"name": e.name, "start": _iso(e.start), "in_force": e.in_force, "answers": e.answers,
                          "until": None if e.until is None else _iso(e.until), "reinstated": e.reinstated}
                         for e in m.timeline],
            "next_switch": _switch_json(m.next_switch),
            "problems": [_problem_json(p) for p in m.problems],
        }

    return {"at": _iso(report.at), "errors": len(report.errors), "warnings": len(report.warnings),
            "infos": len(report.infos), "managers": [manager(m) for m in report.managers],
            "unchecked": [{"target": u.target, "error": u.error, "problems": [_problem_json(p) for p in u.problems]}
                          for u in report.unchecked]}


def as_text(report: Report) -> str:
    lines: list[str] = []
    for m in report.managers:
        lines.append(f"{m.target} at {report.at}:")
        width = max((len(e.name) for e in m.timeline), default=0)
        for e in m.timeline:
            if not e.answers:
                span = f"starts {text_of(e.start)}, never answers"
            else:
                span = f"answers after {text_of(e.start)}" + ("" if e.until is None else f" until {text_of(e.until)}")
            notes = ", ".join(n for n, on in (("reinstated", e.reinstated), ("in force", e.in_force)) if on)
            lines.append(f"  {e.name:<{width}}  {span}{f'  ({notes})' if notes else ''}")
        if m.next_switch:
            lines.append(f"  {_switch_text(m.next_switch)}")
        lines.extend(_problem_text(p, width) for p in m.problems)
        counts = [_count(sum(p.severity == s for p in m.problems), s) for s in ("error", "warning", "info")]
        lines.append(f"  {', '.join(counts[:2] + [c for c in counts[2:] if not c.startswith('no ')])}\n")
    return "\n".join(lines).rstrip("\n")


def _switch_text(s: Switch) -> str:
    left = timedelta(seconds=int(s.left.total_seconds()))
    text = f"next switch: {s.old or 'none'} -> {s.new} after {s.at}, in {left}"
    if s.added is None or s.removed is None or s.changed is None:
        return f"{text}; what changes is unknown: a version does not import, or its names cannot be read"
    changes = ([f"adds {', '.join(s.added)}"] if s.added else []) + (
        [f"drops {', '.join(s.removed)}"] if s.removed else []) + list(s.changed)
    return f"{text}; {'; '.join(changes) if changes else 'the same names and signatures'}"


def _problem_text(p: Problem, width: int) -> str:
    version = "-" if p.version is None else p.version
    return f"  {p.severity:<7}  {version:<{width}}  {p.kind}: {p.message}{_where(p)}"


def _where(p: Problem) -> str:
    if p.file is None:
        return ""
    return f"  ({p.file}{'' if p.line is None else f':{p.line}'})"


def _unchecked_text(u: Unchecked) -> str:
    width = max((len(p.version or "-") for p in u.problems), default=0)
    return "\n".join([f"quorlin check: {u.error}", *(_problem_text(p, width) for p in u.problems)])


_LEVELS = {"error": "error", "warning": "warning", "info": "notice"}


def github_annotations(report: Report) -> list[str]:
    """GitHub Actions workflow commands, one a problem: `::error file=F,line=L,title=T::message`."""
    lines = []
    for target, problems in [(m.target, m.problems) for m in report.managers] + [
            (u.target, (*u.problems, Problem("error", None, "target", u.error))) for u in report.unchecked]:
        for p in problems:
            place = [f"file={_escape(p.file, True)}"] if p.file else []
            place += [f"line={p.line}"] if p.file and p.line else []
            place.append(f"title={_escape(f'quorlin check: {p.kind}', True)}")
            version = "" if p.version is None else f" {p.version}"
            lines.append(f"::{_LEVELS[p.severity]} {','.join(place)}::{_escape(f'{target}{version}: {p.message}')}")
    return lines


def _escape(text: str, property: bool = False) -> str:
    text = text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")
    return text.replace(":", "%3A").replace(",", "%2C") if property else text


def _count(n: int, word: str) -> str:
    return f"{n or 'no'} {word}{'' if n == 1 or word == 'info' else 's'}"
