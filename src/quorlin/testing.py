"""pytest plugin for code versioned with quorlin: one clock for every VersionManager, a run per version.

Opt-in: load it with ``pytest -p quorlin.testing`` or ``pytest_plugins = ["quorlin.testing"]`` in the
top-level conftest. It offers

- the fixture ``version_clock``: ``version_clock.set(when)`` freezes the clock that every
  ``VersionManager`` in the process reads, ``version_clock.advance(delta)`` moves it; the rest of
  the process stays on real time, and the clock is put back after the test;
- the marker ``@pytest.mark.each_version(target)``: the test runs once per version of the table of
  ``target`` (a ``VersionManager`` or ``"package:attribute"``), the clock just after that version's
  start, the version's name as the test id and as the value of the fixture ``version``;
- the option ``--quorlin-at WHEN``: the whole run reads WHEN from every manager's clock.

The managers read their clock through the module attribute ``quorlin.version_manager.datetime`` at
every access; each of the three puts a ``datetime`` subclass there whose ``now()`` answers the frozen
moment, and puts back exactly what it found.
"""

from __future__ import annotations

import datetime as datetime_module
from collections.abc import Iterator
from datetime import date, datetime, timedelta, tzinfo
from types import TracebackType

import pytest

from quorlin import version_manager
from quorlin.moment import _moment, _Stdlib
from quorlin.version_manager import VersionManager

__all__ = ["STEP", "VersionClock", "moment_of"]

# The smallest step of the clock: a version is in force strictly after its start, so this long after.
STEP = timedelta(microseconds=1)
# Set on quorlin.version_manager beside `datetime` while a clock is installed. freezegun caches which
# names of a module hold a real clock, keyed by the module's set of names: this name makes the set
# differ, so a freeze that starts while a clock is installed, or after it was removed, looks again.
_MARK = "_quorlin_testing_clock"
_ABSENT = object()
_RUN_CLOCK = pytest.StashKey["VersionClock"]()  # the clock of --quorlin-at, for the whole run


def moment_of(when: date) -> datetime:
    """The naive local time that the managers' clock reads for `when`.

    A naive datetime is that local time; an aware one is converted to the local time of that instant;
    a bare date is the start of that day plus STEP, so that a version starting at that midnight is in
    force and one starting later that day is not yet.
    """
    return _moment(when, "the clock is set to a date or a datetime")


class VersionClock:
    """The clock that every VersionManager reads while it is installed (a context manager).

    Until `set()` is called it passes the reading of the clock it replaced through: the one installed
    before it, or else the standard library's current `datetime.datetime` (which freezegun swaps and
    time-machine moves). Once set, it answers the frozen moment whatever other tools do.
    """

    def __init__(self, when: date | None = None) -> None:
        self._moment = None if when is None else moment_of(when)
        self._saved: tuple[object, object] | None = None
        clock = self

        class FrozenClock(_Frozen):
            _clock = clock

        self.clock_class: type[datetime] = FrozenClock

    @property
    def moment(self) -> datetime | None:
        """The frozen moment (naive local time), or None while the clock passes real time through."""
        return self._moment

    def set(self, when: date) -> datetime:
        """Freeze the clock at `when` (see `moment_of`) and return the moment it reads."""
        self._moment = moment_of(when)
        return self._moment

    def advance(self, delta: timedelta) -> datetime:
        """Move the frozen moment by `delta` (from the reading passed through, if not set yet)."""
        if not isinstance(delta, timedelta):
            raise TypeError(f"the clock advances by a timedelta, not {type(delta).__name__}")
        return self.set(self._read(None) + delta)

    def _read(self, tz: tzinfo | None) -> datetime:
        if self._moment is None:
            below = _ABSENT if self._saved is None else self._saved[0]
            if below is _ABSENT or below is _Stdlib.datetime:
                below = datetime_module.datetime
            return below.now(tz)  # type: ignore[attr-defined, no-any-return]
        return self._moment if tz is None else self._moment.astimezone(tz)

    def __enter__(self) -> VersionClock:
        if self._saved is not None:
            raise RuntimeError("this clock is installed already")
        namespace = vars(version_manager)
        self._saved = namespace.get("datetime", _ABSENT), namespace.get(_MARK, _ABSENT)
        namespace[_MARK] = self
        namespace["datetime"] = self.clock_class
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        if self._saved is None:
            return
        namespace = vars(version_manager)
        for name, value in zip(("datetime", _MARK), self._saved):
            if value is _ABSENT:
                namespace.pop(name, None)
            else:
                namespace[name] = value
        self._saved = None


class _Frozen(datetime):
    """What a clock installs: `now()` answers the clock's moment; what it builds are plain datetimes."""

    _clock: VersionClock

    def __new__(cls, *args: int, **kwargs: int) -> datetime:  # type: ignore[misc]
        return _Stdlib.datetime(*args, **kwargs)  # type: ignore[arg-type]

    @classmethod
    def now(cls, tz: tzinfo | None = None) -> datetime:  # type: ignore[override]
        return cls._clock._read(tz)

    @classmethod
    def today(cls) -> datetime:  # type: ignore[override]
        return cls._clock._read(None)


@pytest.fixture
def version_clock() -> Iterator[VersionClock]:
    """The clock of every VersionManager: `set(when)` freezes it, `advance(delta)` moves it."""
    with VersionClock() as clock:
        yield clock


@pytest.fixture
def version(request: pytest.FixtureRequest, _quorlin_each_version: object) -> object:
    """The name of the version a test marked with each_version runs at."""
    if request.node.get_closest_marker("each_version") is None:
        pytest.fail("the version fixture needs @pytest.mark.each_version(target) on the test", pytrace=False)
    return _quorlin_each_version


@pytest.fixture(autouse=True)
def _quorlin_each_version(request: pytest.FixtureRequest) -> Iterator[object]:
    # Parametrized by pytest_generate_tests for marked tests; autouse so that it is set up before
    # every other function-scoped fixture and the clock already reads the version's moment for them.
    param: tuple[object, datetime] | None = getattr(request, "param", None)
    if param is None:
        yield None
        return
    name, moment = param
    with VersionClock(moment):
        yield name


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.getgroup("quorlin").addoption(
        "--quorlin-at", metavar="WHEN", type=_when_option, default=None,
        help="run with the clock of every VersionManager at WHEN: an ISO date (just after its midnight) "
        "or datetime (naive local time, or with an offset)")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "each_version(target): run the test once per version of target (a VersionManager or "
        "'package:attribute'), with the clock just after the version's start; the version's name is "
        "the test id and the value of the `version` fixture")
    when: datetime | None = config.getoption("quorlin_at", None)
    if when is not None:
        config.stash[_RUN_CLOCK] = VersionClock(when).__enter__()


def pytest_unconfigure(config: pytest.Config) -> None:
    clock = config.stash.get(_RUN_CLOCK, None)
    if clock is not None:
        del config.stash[_RUN_CLOCK]
        clock.__exit__(None, None, None)


def pytest_report_header(config: pytest.Config) -> str | None:
    clock = config.stash.get(_RUN_CLOCK, None)
    return None if clock is None else f"quorlin: every VersionManager's clock reads {clock.moment}"


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    marker = metafunc.definition.get_closest_marker("each_version")
    if marker is None:
        return
    if len(marker.args) != 1 or marker.kwargs:
        pytest.fail("each_version takes one target: a VersionManager or 'package:attribute'", pytrace=False)
    label, manager = _manager(marker.args[0])
    params = []
    for name, start in reversed(manager.versions):  # oldest first, as they came into force
        if not isinstance(start, datetime):
            pytest.fail(f"each_version: version {name!r} of {label} starts at {start!r}, not a datetime", pytrace=False)
        params.append(pytest.param((name, moment_of(start) + STEP), id=str(name)))
    metafunc.parametrize("_quorlin_each_version", params, indirect=True)


def _manager(target: object) -> tuple[str, VersionManager]:
    if isinstance(target, VersionManager):
        return target.module, target
    if not isinstance(target, str):
        pytest.fail(f"each_version takes a VersionManager or 'package:attribute', not {type(target).__name__}",
                    pytrace=False)
    from quorlin.check import CheckError, managers  # the target syntax of `quorlin check`

    try:
        found = managers(target)
    except CheckError as exc:
        found, problem = [], str(exc)  # reported below, out of the handler, so that nothing is chained
    unique: dict[int, tuple[str, VersionManager]] = {}
    for label, manager in found:  # a package may hold one manager under several names
        unique.setdefault(id(manager), (label, manager))
    if len(unique) != 1:
        labels = ", ".join(label for label, _ in unique.values())
        pytest.fail(f"each_version: {target} holds {len(unique)} VersionManagers ({labels}): name one" if unique
                    else f"each_version: {problem}", pytrace=False)
    return next(iter(unique.values()))


def _when_option(text: str) -> datetime:
    from quorlin.cli import parse_when  # WHEN as `quorlin check --at` reads it

    return moment_of(parse_when(text))
