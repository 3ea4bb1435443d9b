"""The `quorlin` command: `quorlin check TARGET... [--at WHEN] [--json]` (also `python -m quorlin`)."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import sys
from collections.abc import Sequence
from datetime import datetime
from typing import cast

from quorlin.check import CheckError, ManagerReport, Report, check, text_of


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; return its exit status: 0 no error, 1 errors found, 2 a target cannot be checked."""
    parser = argparse.ArgumentParser(prog="quorlin", description="Tools for packages versioned by date.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    cmd = commands.add_parser(
        "check", help="check the schedules of versioned packages",
        description="Check every version of each VersionManager before its start date arrives: that it imports, "
        "that its start can be compared with the clock and that it keeps the interface of the version in force. "
        "Exit status: 0 no error, 1 errors found, 2 a target cannot be checked.")
    cmd.add_argument("targets", nargs="+", metavar="TARGET",
                     help="PACKAGE (every VersionManager among its attributes) or PACKAGE:ATTRIBUTE")
    cmd.add_argument("--at", type=_moment, metavar="WHEN",
                     help="ISO date or datetime in naive local time (default: now, as VersionManager reads it)")
    cmd.add_argument("--json", action="store_true", help="print the report as one JSON object")
    args = parser.parse_args(argv)

    if os.getcwd() not in sys.path and "" not in sys.path:
        sys.path.insert(0, os.getcwd())  # targets import from here, as under `python -m`
    try:
        with contextlib.redirect_stdout(sys.stderr):  # what the imported packages print stays out of the report
            report = check(*args.targets, at=args.at)
    except CheckError as exc:
        print(f"quorlin check: {exc}", file=sys.stderr)
        return 2
    print(json.dumps(as_json(report), indent=2) if args.json else as_text(report))
    return 1 if report.has_errors else 0


def _moment(text: str) -> datetime:
    try:
        when = datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO date or datetime: {text!r} (e.g. 2027-01-01 or 2027-01-01T06:00)")
    if when.utcoffset() is not None:
        raise argparse.ArgumentTypeError(f"{text!r} has a time zone; give naive local time, as the clock reads it")
    return when


def _iso(value: object) -> str:
    return cast(datetime, value).isoformat() if issubclass(type(value), datetime) else text_of(value)


def as_json(report: Report) -> dict[str, object]:
    def manager(m: ManagerReport) -> dict[str, object]:
        return {
            "target": m.target,
            "timeline": [{"name": e.name, "start": _iso(e.start), "in_force": e.in_force, "answers": e.answers,
                          "until": None if e.until is None else _iso(e.until)} for e in m.timeline],
            "problems": [dataclasses.asdict(p) for p in m.problems],
        }

    return {"at": _iso(report.at), "errors": len(report.errors), "warnings": len(report.warnings),
            "managers": [manager(m) for m in report.managers]}


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
            lines.append(f"  {e.name:<{width}}  {span}{'  (in force)' if e.in_force else ''}")
        for p in m.problems:
            version = "-" if p.version is None else p.version
            lines.append(f"  {p.severity:<7}  {version:<{width}}  {p.kind}: {p.message}")
        errors = sum(p.severity == "error" for p in m.problems)
        warnings = len(m.problems) - errors
        lines.append(f"  {_count(errors, 'error')}, {_count(warnings, 'warning')}\n")
    return "\n".join(lines).rstrip("\n")


def _count(n: int, word: str) -> str:
    return f"{n or 'no'} {word}{'' if n == 1 else 's'}"
