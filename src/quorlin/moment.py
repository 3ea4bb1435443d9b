"""The version in force at any moment, and starts written as wall time in a named zone.

``at(manager, when)`` returns the module that ``manager.current`` would return if the clock read
``when``; ``name_at(manager, when)`` returns that version's name. ``zoned(table, zone)`` turns a
table whose starts are wall times in ``zone`` into one whose starts are the local times the clock
reads at those instants. Nothing here is imported by ``quorlin.version_manager``; ``zoneinfo`` is
imported only when ``zoned`` is given a zone name.
"""

import builtins
from datetime import date, datetime, tzinfo

import quorlin.version_manager as _vm

# Annotations are strings that only type checkers read: neither `typing` nor `__future__` is imported.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable
    from types import ModuleType

    from quorlin.version_manager import VersionManager

__all__ = ["at", "name_at", "zoned"]

_namespace = _vm.__dict__


class _Stdlib:
    """The standard library's class, where freezegun does not reach: while a freeze runs, it rebinds
    every module-level name that holds the class, this module's `datetime` included."""

    datetime = datetime


def _moment(when: object, expected: str = "when must be a datetime or a date") -> "datetime":
    """The naive local time that the clock would read at `when`.

    A naive datetime is that already. An aware one is converted to local time. A date stands for
    the first moment of its day (just after midnight), so that a version starting at that midnight
    is in force and one starting later that day is not yet. Anything else is a TypeError that
    begins with `expected`.
    """
    if isinstance(when, datetime):
        if when.utcoffset() is None:
            return when
        return when.astimezone().replace(tzinfo=None)
    if isinstance(when, date):
        return _Stdlib.datetime(when.year, when.month, when.day, 0, 0, 0, 1)
    raise TypeError(f"{expected}, not {type(when).__name__}")


def _need_more(got: int) -> "ValueError":
    return ValueError(f"need more than {got} value{'' if got == 1 else 's'} to unpack")


def _split(entry: object) -> "tuple[object, object]":
    """An entry that is not an exact pair, split as `current` splits it (with its messages)."""
    if type(entry) is tuple or type(entry) is list:
        if len(entry) != 2:
            raise _need_more(len(entry)) if len(entry) < 2 else ValueError("too many values to unpack (expected 2)")
        return entry[0], entry[1]
    items = iter(entry)  # type: ignore[call-overload]
    first = next(items, _split)
    if first is _split:
        raise _need_more(0)
    second = next(items, _split)
    if second is _split:
        raise _need_more(1)
    if next(items, _split) is not _split:
        raise ValueError("too many values to unpack (expected 2)")
    return first, second


def _pick(manager: "VersionManager", when: object) -> object:
    """The name of the first version of the table whose start lies strictly before `when`."""
    now = when if type(when) is datetime and when.tzinfo is None else _moment(when)
    version: object
    start: object
    for entry in manager.versions:
        if type(entry) is tuple and len(entry) == 2:
            version, start = entry
        else:
            version, start = _split(entry)
        if now > start:  # type: ignore[operator]
            return version
    raise ModuleNotFoundError(f'Module "{manager.module}" current version not found')


def name_at(manager: "VersionManager", when: "datetime | date") -> str:
    """The name of the version that ``manager.current`` would pick if the clock read `when`.

    Nothing is imported. Raises what ``current`` raises when no version is in force then, or when
    a start cannot be compared with `when`.
    """
    return _pick(manager, when)  # type: ignore[return-value]


def at(manager: "VersionManager", when: "datetime | date") -> "ModuleType":
    """The module that ``manager.current`` would return if the clock read `when`.

    `when` is a naive datetime in the clock's local time, an aware datetime (converted to the local
    time the clock reads at that instant), or a date, which stands for the first moment of that day.
    The version is imported as ``current`` imports it, through
    ``VersionManager.get_module(module=..., version=..., current="#")``.
    """
    version = _pick(manager, when)
    try:
        cls = _namespace["VersionManager"]
    except KeyError:
        try:
            cls = builtins.VersionManager  # type: ignore[attr-defined]
        except AttributeError:
            raise NameError("name 'VersionManager' is not defined") from None
    get_module = cls.get_module
    return get_module(module=manager.module, version=version, current="#")  # type: ignore[no-any-return]


def _local(start: object, zone: "tzinfo") -> "datetime":
    """The naive local time that the clock reads at wall time `start` in `zone`."""
    if isinstance(start, datetime):
        wall = start if start.utcoffset() is not None else start.replace(tzinfo=zone)
    elif isinstance(start, date):
        wall = datetime(start.year, start.month, start.day, tzinfo=zone)
    else:
        raise TypeError(f"a start must be a date or a datetime, not {type(start).__name__}: {start!r}")
    try:
        return wall.astimezone().replace(tzinfo=None)
    except OverflowError:
        # A start at the very edge of the calendar, say date.min for "since always", stays there.
        return datetime.min if wall.year == 1 else datetime.max


def zoned(
    table: "dict[str, date] | Iterable[tuple[str, date]]", zone: "str | tzinfo"
) -> "dict[str, datetime] | list[tuple[str, datetime]]":
    """`table` with every start, written as wall time in `zone`, turned into local clock time.

    A date means midnight in `zone`; a naive datetime is wall time in `zone` (an IANA name such as
    "Europe/Berlin", or a tzinfo); an aware datetime is the instant it names. A wall time that the
    zone skips or repeats is read as zoneinfo reads it (with the datetime's fold, 0 unless set):
    never an error. A dict gives a dict, any other iterable of pairs a list of pairs. The local time
    zone is the process's at the moment of the call.
    """
    if isinstance(zone, str):
        from zoneinfo import ZoneInfo

        zone = ZoneInfo(zone)
    elif not isinstance(zone, tzinfo):
        raise TypeError(f"zone must be a time zone name or a tzinfo, not {type(zone).__name__}")
    if isinstance(table, dict):
        return {name: _local(start, zone) for name, start in table.items()}
    return [(name, _local(start, zone)) for name, start in table]
